// The comparison's TypeScript server: the official SDK's Server over its
// StdioServerTransport, offering the very tools listed in a JSON file (the
// "tools" array of a tools/list result, as our server answers it).
//
//   node bench/ts_server.mjs --tools tools.json
//
// It answers "ping" (built into the SDK), "tools/list" with that list, and
// "tools/call" like our server does for a name it does not know, and for
// "send_email" with a handler that checks the recipient, as our mail family does. Written the
// way the SDK's documentation shows a low-level server; no validation or
// logging is switched off or added.
import { readFileSync } from 'node:fs';
import { sdk } from './sdk.mjs';

const { Server } = await sdk('server/index.js');
const { StdioServerTransport } = await sdk('server/stdio.js');
const { ListToolsRequestSchema, CallToolRequestSchema } = await sdk('types.js');

const at = process.argv.indexOf('--tools');
const tools = at > 0 ? JSON.parse(readFileSync(process.argv[at + 1], 'utf8')) : [];
const names = new Set(tools.map((t) => t.name));

const server = new Server(
  { name: 'ts-bench-server', version: '1.0.0' },
  { capabilities: { tools: { listChanged: true } } },
);
server.setRequestHandler(ListToolsRequestSchema, async () => ({ tools }));
// send_email runs a handler as trivial as our mail family's first check.
const handlers = {
  send_email: (args) =>
    typeof args?.recipient === 'string' ? `Mail composer opened for ${args.recipient}.` : 'Error: Missing recipient',
};
server.setRequestHandler(CallToolRequestSchema, async (request) => {
  const { name, arguments: args } = request.params;
  const handler = names.has(name) ? handlers[name] : undefined;
  const text = handler
    ? handler(args)
    : names.has(name) ? `Error: ${name} is not run by this benchmark` : `Error: Tool not found: ${name}`;
  return { content: [{ type: 'text', text }], isError: text.startsWith('Error: ') };
});

await server.connect(new StdioServerTransport());
