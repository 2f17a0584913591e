// The official SDK's Client over its StdioClientTransport driving a server it
// spawns; the counterpart of bench_client, with the same options and output:
//
//   node bench/ts_client.mjs [--method ping|tools/list] [--count N] [--warmup N] -- command [args...]
import { sdk } from './sdk.mjs';

const { Client } = await sdk('client/index.js');
const { StdioClientTransport } = await sdk('client/stdio.js');

const argv = process.argv.slice(2);
const split = argv.indexOf('--');
if (split < 0 || split + 1 >= argv.length) {
  console.error('ts_client: no server command given after --');
  process.exit(2);
}
const options = argv.slice(0, split);
const [command, ...args] = argv.slice(split + 1);
const option = (name, fallback) => {
  const at = options.indexOf(name);
  return at >= 0 ? options[at + 1] : fallback;
};
const method = option('--method', 'ping');
const count = Number(option('--count', 2000));
const warmup = Number(option('--warmup', Math.floor(count / 10)));
if (method !== 'ping' && method !== 'tools/list') {
  console.error('ts_client: --method is ping or tools/list');
  process.exit(2);
}

const t0 = performance.now();
const transport = new StdioClientTransport({ command, args, env: process.env, stderr: 'ignore' });
const client = new Client({ name: 'bench-client', version: '1.0.0' });
await client.connect(transport);
const connectMs = performance.now() - t0;

let tools = -1;
const call = method === 'ping'
  ? () => client.ping()
  : async () => { tools = (await client.listTools()).tools.length; };
for (let n = 0; n < warmup; ++n) await call();
const t1 = performance.now();
for (let n = 0; n < count; ++n) await call();
const seconds = (performance.now() - t1) / 1000;
await client.close();

console.log(JSON.stringify({
  side: 'ts-client',
  method,
  count,
  warmup,
  connect_ms: Number(connectMs.toFixed(3)),
  seconds: Number(seconds.toFixed(6)),
  calls_per_second: Number((count / seconds).toFixed(1)),
  tools,
  client_peak_rss_kb: process.resourceUsage().maxRSS,
}));
