// The official TypeScript SDK client drives brisolet over standard input and
// output. Usage: node sdk_client_stdio.mjs <brisolet> <home> <wire-log>
// The server's standard output is copied to <wire-log> so the caller can check
// that every byte on it belongs to a protocol message.
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";

const [, , executable, home, wireLog] = process.argv;

function check(condition, what) {
  if (!condition) {
    console.error(`interop check failed: ${what}`);
    process.exit(1);
  }
}

const timer = setTimeout(() => {
  console.error("interop run timed out");
  process.exit(2);
}, 30000);

// The SDK starts its child with a reduced environment: pass ours explicitly.
const transport = new StdioClientTransport({
  command: "/bin/sh",
  args: ["-c", '"$0" | tee "$1"', executable, wireLog],
  env: {
    HOME: home,
    XDG_CONFIG_HOME: `${home}/config`,
    XDG_DATA_HOME: `${home}/data`,
    PATH: `${home}/bin:/usr/bin:/bin`,
  },
  stderr: "inherit",
});
const errors = [];
const client = new Client({ name: "brisolet-interop", version: "1.0.0" });
client.onerror = (e) => errors.push(String(e));

await client.connect(transport);
const server = client.getServerVersion();
check(server?.name === "Kettleward" && server?.version === "1.0.0", `server info ${JSON.stringify(server)}`);
check(client.getServerCapabilities()?.tools?.listChanged === true, "tools capability");

const { tools } = await client.listTools();
check(tools.some((t) => t.name === "send_email"), `tools ${JSON.stringify(tools.map((t) => t.name))}`);

const ok = await client.callTool({ name: "send_email", arguments: { recipient: "x@example.org", subject: "hi" } });
check(!ok.isError && ok.content?.[0]?.text === "Mail composer opened for x@example.org.", `call ${JSON.stringify(ok)}`);

const bad = await client.callTool({ name: "send_email", arguments: {} });
check(bad.isError === true && bad.content?.[0]?.text === "Error: Missing recipient", `failing call ${JSON.stringify(bad)}`);

await client.ping();
await client.close();
check(errors.length === 0, `client errors: ${errors.join("; ")}`);
clearTimeout(timer);
console.log("interop ok");
