// Whole-process comparison of our `brisolet` with the official MCP TypeScript
// SDK, both sides in one run, figures and ratios on standard output.
//
//   node bench/compare.mjs [options]
//
//   --build DIR        build directory with bench_stdio_driver and bench_client
//                      (default: build-bench next to this folder)
//   --brisolet PATH    the program (default: $BRISOLET_BIN or DIR/src/app/hosting/brisolet)
//   --families LIST    tool families switched on, comma-separated, or "all"
//                      (calendar,reminders,contacts,messages,notes,mail,music,maps,macos,vision;
//                      default all)
//   --count N          pipelined ping and tools/call requests (default 50000)
//   --list-count N     pipelined tools/list requests (default 50000)
//   --runs N           fresh processes for start-up and idle memory (default 10)
//   --client-count N   sequential calls per client run (default 2000)
//   --client-server S  the server both clients drive: brisolet (default), core
//                      (bench_server_core, the library alone) or ts
//   --repeat N         throughput and client runs per side, the median is kept (default 3)
//   --latency-count N  sequential tools/call requests for the latency tail (default 5000)
//   --quick            small counts, for a smoke run
//   --json FILE        also write every raw figure there
//
// Both servers get the same temporary HOME and XDG directories, with the
// chosen families switched on in $XDG_CONFIG_HOME/brisolet/defaults.json; the
// TypeScript server offers exactly the tools our program lists there.
import { spawnSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { cpus, tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { sdkVersion } from './sdk.mjs';

const here = dirname(fileURLToPath(import.meta.url));

// ---- Options --------------------------------------------------------------

const argv = process.argv.slice(2);
const flag = (name) => argv.includes(name);
const option = (name, fallback) => {
  const at = argv.indexOf(name);
  return at >= 0 && at + 1 < argv.length ? argv[at + 1] : fallback;
};
const quick = flag('--quick');
const buildDir = resolve(option('--build', join(here, '../build-bench')));
const brisolet = resolve(option('--brisolet', process.env.BRISOLET_BIN ?? join(buildDir, 'src/app/hosting/brisolet')));
const count = Number(option('--count', quick ? 2000 : 50000));
const listCount = Number(option('--list-count', quick ? 500 : 50000));
const runs = Number(option('--runs', quick ? 3 : 10));
const clientCount = Number(option('--client-count', quick ? 200 : 2000));
const repeat = Number(option('--repeat', quick ? 1 : 3));
const latencyCount = Number(option('--latency-count', quick ? 500 : 5000));
const jsonOut = option('--json', null);

const familyKeys = {
  calendar: 'isCalendarEnabled',
  reminders: 'isRemindersEnabled',
  contacts: 'isContactsEnabled',
  messages: 'isMessagesEnabled',
  notes: 'isNotesEnabled',
  mail: 'isMailEnabled',
  music: 'isMusicEnabled',
  maps: 'isMapsEnabled',
  macos: 'isMacOSEnabled',
  vision: 'isVisionEnabled',
};
const familiesOption = option('--families', 'all');
const families = familiesOption === 'all' ? Object.keys(familyKeys) : familiesOption.split(',').filter(Boolean);
for (const f of families) {
  if (!familyKeys[f]) fail(`unknown family ${f} (known: ${Object.keys(familyKeys).join(', ')})`);
}

const driver = join(buildDir, 'bench/bench_stdio_driver');
const cppClient = join(buildDir, 'bench/bench_client');
for (const [what, path] of [['driver', driver], ['brisolet', brisolet]]) {
  if (!existsSync(path)) fail(`${what} not found at ${path}; build it first (see bench/README.md)`);
}

function fail(message) {
  console.error(`compare: ${message}`);
  process.exit(2);
}

// ---- Environment shared by both servers ------------------------------------

const scratch = mkdtempSync(join(tmpdir(), 'brisolet-bench-'));
const home = join(scratch, 'home');
const env = {
  ...process.env,
  HOME: home,
  XDG_CONFIG_HOME: join(home, '.config'),
  XDG_DATA_HOME: join(home, '.local/share'),
  XDG_CACHE_HOME: join(home, '.cache'),
  XDG_STATE_HOME: join(home, '.local/state'),
};
delete env.DISPLAY;
delete env.WAYLAND_DISPLAY;
mkdirSync(join(env.XDG_CONFIG_HOME, 'brisolet'), { recursive: true });
mkdirSync(env.XDG_DATA_HOME, { recursive: true });
writeFileSync(
  join(env.XDG_CONFIG_HOME, 'brisolet/defaults.json'),
  JSON.stringify(Object.fromEntries(families.map((f) => [familyKeys[f], true])), null, 2) + '\n',
);
process.on('exit', () => rmSync(scratch, { recursive: true, force: true }));

function run(command, args) {
  const r = spawnSync(command, args, { env, encoding: 'utf8', maxBuffer: 256 << 20 });
  if (r.error) fail(`${command}: ${r.error.message}`);
  if (r.status !== 0) fail(`${[command, ...args].join(' ')} exited with ${r.status}\n${r.stderr}`);
  return r.stdout;
}
const runJson = (command, args) => JSON.parse(run(command, args).trim().split('\n').pop());

// ---- The two servers ---------------------------------------------------------

const listing = JSON.parse(run(driver, ['--dump', '--method', 'tools/list', '--', brisolet]));
const tools = listing.result.tools;
const toolsFile = join(scratch, 'tools.json');
writeFileSync(toolsFile, JSON.stringify(tools));

const servers = {
  brisolet: [brisolet],
  ts: [process.execPath, join(here, 'ts_server.mjs'), '--tools', toolsFile],
};
// The protocol library alone, same answers: tells the library's share from the program's.
const core = join(buildDir, 'bench/bench_server_core');
const coreCommand = existsSync(core) ? [core, '--tools', toolsFile] : null;
const check = JSON.parse(run(driver, ['--dump', '--method', 'tools/list', '--', ...servers.ts]));
if (check.result.tools.length !== tools.length) fail('the TypeScript server lists a different number of tools');

// ---- Measurements --------------------------------------------------------------

const median = (xs) => {
  const s = [...xs].sort((a, b) => a - b);
  return s.length % 2 ? s[(s.length - 1) / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
};
const raw = { startup: {}, throughput: {}, latency: {}, clients: {} };

const callParams = JSON.stringify({ name: 'bench_no_such_tool', arguments: { note: 'x' } });
// A call that runs a handler on both sides: our mail family answers "Error:
// Missing recipient" from its lane, the SDK's handler returns a text.
const handlerParams = JSON.stringify({ name: 'send_email', arguments: { subject: 'Hello', body: 'x' } });
const workloads = [
  { label: 'ping', args: ['--method', 'ping', '--count', String(count)] },
  { label: 'tools/list', args: ['--method', 'tools/list', '--count', String(listCount)] },
  { label: 'tools/call (unknown tool)', args: ['--method', 'tools/call', '--params', callParams, '--count', String(count)] },
  ...(tools.some((t) => t.name === 'send_email')
    ? [{ label: 'tools/call (handler runs)', args: ['--method', 'tools/call', '--params', handlerParams,
      '--count', String(count), '--expect', 'Missing recipient'] }]
    : []),
];

progress(`start-up: ${runs} processes per side`);
for (const [side, command] of Object.entries(servers)) {
  raw.startup[side] = runJson(driver, ['--startup', '--runs', String(runs), '--', ...command]);
}

for (const w of workloads) {
  progress(`throughput: ${w.label}, ${repeat} run(s) per side`);
  raw.throughput[w.label] = { brisolet: [], ts: [], core: [] };
  // Sides alternate so that a change in the machine's load hits both alike.
  for (let r = 0; r < repeat; ++r) {
    for (const [side, command] of Object.entries({ ...servers, ...(coreCommand ? { core: coreCommand } : {}) })) {
      raw.throughput[w.label][side].push(runJson(driver, ['--throughput', ...w.args, '--', ...command]));
    }
  }
}

// Counter writes are coalesced, so no call may wait for the disk: sequential
// tools/call over a couple of coalescing intervals shows it in the tail.
progress(`latency: ${latencyCount} sequential tools/call per side`);
for (const [side, command] of Object.entries(servers)) {
  raw.latency[side] = runJson(driver, ['--latency', '--method', 'tools/call', '--params', callParams,
    '--count', String(latencyCount), '--', ...command]);
}

const clientServerName = option('--client-server', 'brisolet');
const clientServer = { brisolet: servers.brisolet, core: coreCommand, ts: servers.ts }[clientServerName];
if (!clientServer) fail(`--client-server: brisolet, core (needs bench_server_core) or ts`);
const clientSides = {
  brisolet: (method) => [cppClient, ['--method', method, '--count', String(clientCount), '--', ...clientServer]],
  ts: (method) => [
    process.execPath,
    [join(here, 'ts_client.mjs'), '--method', method, '--count', String(clientCount), '--', ...clientServer],
  ],
};
const haveCppClient = existsSync(cppClient);
if (!haveCppClient) progress(`clients: ${cppClient} is missing, our client is left out`);
for (const method of ['ping', 'tools/list']) {
  progress(`clients: ${clientCount} sequential ${method} calls, ${repeat} run(s) per side`);
  raw.clients[method] = { brisolet: [], ts: [] };
  for (let r = 0; r < repeat; ++r) {
    for (const [side, make] of Object.entries(clientSides)) {
      if (side === 'brisolet' && !haveCppClient) continue;
      raw.clients[method][side].push(runJson(...make(method)));
    }
  }
}

// ---- Report ----------------------------------------------------------------------

const cpuModel = cpus()[0]?.model ?? 'unknown';
const lines = [];
const out = (s = '') => lines.push(s);
const fmt = (x, digits = 0) =>
  x === undefined || Number.isNaN(x) ? 'n/a' : x.toLocaleString('en-US', { maximumFractionDigits: digits, minimumFractionDigits: digits });
const ratio = (x) => (Number.isFinite(x) ? `${x.toFixed(1)}x` : 'n/a');
const row = (cells, widths) => cells.map((c, i) => (i === 0 ? String(c).padEnd(widths[i]) : String(c).padStart(widths[i]))).join('  ');
const W = [30, 14, 14, 10];

out(`Brisolet vs @modelcontextprotocol/sdk ${sdkVersion} (Node.js ${process.versions.node})`);
out(`${new Date().toISOString()}  nproc ${cpus().length}  ${cpuModel}`);
out(`families on: ${families.join(',')}  tools listed: ${tools.length}  ` +
  `tools/list answer: ${JSON.stringify(listing).length} bytes`);
out();
out(`(a) stdio throughput, pipelined requests, requests per second (median of ${repeat})`);
out(row(['workload', 'brisolet', 'ts sdk', 'ratio', 'library only'], [...W, 14]));
const targets = [];
for (const w of workloads) {
  const b = median(raw.throughput[w.label].brisolet.map((x) => x.requests_per_second));
  const t = median(raw.throughput[w.label].ts.map((x) => x.requests_per_second));
  const c = raw.throughput[w.label].core.length ? median(raw.throughput[w.label].core.map((x) => x.requests_per_second)) : NaN;
  out(row([w.label, fmt(b), fmt(t), ratio(b / t), fmt(c)], [...W, 14]));
  // Met only when every timed answer is the one asked for: refusals are cheaper than calls.
  const refused = Math.max(...raw.throughput[w.label].brisolet.map((x) => x.unexpected ?? 0));
  targets.push([`throughput ${w.label} >= 10x`, b / t >= 10 && refused === 0,
    refused ? `${ratio(b / t)}, ${fmt(refused)} answers refused as busy` : ratio(b / t)]);
}
// A call refused because its family is busy ran no handler: said, never hidden.
for (const w of workloads) {
  for (const side of ['brisolet', 'ts']) {
    const skipped = Math.max(...raw.throughput[w.label][side].map((x) => x.unexpected ?? 0));
    if (skipped > 0) out(`  ${w.label}, ${side}: up to ${fmt(skipped)} of ${fmt(count)} answers ran no handler (refused as busy)`);
  }
}
out('  library only: bench_server_core, mcp::Server over mcp::StdioTransport answering the same list');
out('  from a result decoded once, without the tool registry (not a target, a split of the cost)');
out();
out('(b) memory and start-up');
out(row(['measure', 'brisolet', 'ts sdk', 'ratio'], W));
const peakUnderLoad = (side) =>
  Math.max(...Object.values(raw.throughput).flatMap((w) => w[side].map((x) => x.peak_rss_kb)));
const idleB = median(raw.startup.brisolet.peak_rss_kb);
const idleT = median(raw.startup.ts.peak_rss_kb);
const loadB = peakUnderLoad('brisolet');
const loadT = peakUnderLoad('ts');
const upB = median(raw.startup.brisolet.startup_ms);
const upT = median(raw.startup.ts.startup_ms);
out(row(['peak RSS after initialize, KiB', fmt(idleB), fmt(idleT), ratio(idleT / idleB)], W));
out(row(['peak RSS under load, KiB', fmt(loadB), fmt(loadT), ratio(loadT / loadB)], W));
out(row(['start-up to initialize, ms', fmt(upB, 1), fmt(upT, 1), ratio(upT / upB)], W));
out(`  (ratios: how many times smaller or faster ours is; start-up median of ${runs}, ` +
  `min ${fmt(Math.min(...raw.startup.brisolet.startup_ms), 1)} / ${fmt(Math.min(...raw.startup.ts.startup_ms), 1)} ms)`);
targets.push(['peak memory <= 1/5 (after initialize)', idleT / idleB >= 5, ratio(idleT / idleB)]);
targets.push(['peak memory <= 1/5 (under load)', loadT / loadB >= 5, ratio(loadT / loadB)]);
targets.push(['peak memory under load <= 16 MB', loadB <= 16 * 1024, `${fmt(loadB)} KiB`]);
targets.push(['start-up >= 5x faster', upT / upB >= 5, ratio(upT / upB)]);
const uiPattern = /\/lib(Qt|gtk|gdk|X11|xcb|wayland|GL|EGL|vulkan|fontconfig|freetype)[^/]*$/i;
const uiLibraries = raw.startup.brisolet.libraries.filter((l) => uiPattern.test(l));
out(`  libraries mapped by brisolet at its first answer: ${raw.startup.brisolet.libraries.length}, ` +
  `UI among them: ${uiLibraries.length ? uiLibraries.join(' ') : 'none'}`);
targets.push(['no Qt or other UI library on the stdio path', uiLibraries.length === 0,
  uiLibraries.length ? uiLibraries.join(' ') : 'none mapped']);
out();
out(`(b') tools/call latency, ${latencyCount} sequential calls of an unknown tool, microseconds`);
const LW = [30, 10, 10, 10, 10];
out(row(['side', 'p50', 'p90', 'p99', 'max'], LW));
for (const side of ['brisolet', 'ts']) {
  const l = raw.latency[side];
  out(row([side === 'ts' ? 'ts sdk' : side, fmt(l.p50_us), fmt(l.p90_us), fmt(l.p99_us), fmt(l.max_us)], LW));
}
out();
out(`(c) clients driving ${clientServerName === 'core' ? 'bench_server_core' : clientServerName === 'ts' ? 'the ts sdk server' : 'our brisolet'}: ` +
  `${clientCount} sequential calls, calls per second (median)`);
out(row(['call', 'our Client', 'ts Client', 'ratio'], W));
for (const method of Object.keys(raw.clients)) {
  const b = raw.clients[method].brisolet.length ? median(raw.clients[method].brisolet.map((x) => x.calls_per_second)) : NaN;
  const t = median(raw.clients[method].ts.map((x) => x.calls_per_second));
  out(row([method, fmt(b), fmt(t), ratio(b / t)], W));
}
const connB = raw.clients.ping.brisolet.length ? median(raw.clients.ping.brisolet.map((x) => x.connect_ms)) : NaN;
const connT = median(raw.clients.ping.ts.map((x) => x.connect_ms));
const rssB = raw.clients.ping.brisolet.length
  ? Math.max(...Object.values(raw.clients).flatMap((m) => m.brisolet.map((x) => x.client_peak_rss_kb)))
  : NaN;
const rssT = Math.max(...Object.values(raw.clients).flatMap((m) => m.ts.map((x) => x.client_peak_rss_kb)));
out(row(['connect (spawn + handshake), ms', fmt(connB, 1), fmt(connT, 1), ratio(connT / connB)], W));
out(row(['client peak RSS, KiB', fmt(rssB), fmt(rssT), ratio(rssT / rssB)], W));
out();
out('targets');
for (const [name, ok, value] of targets) out(`  ${ok ? 'met   ' : 'MISSED'}  ${name}: ${value}`);

console.log(lines.join('\n'));
if (jsonOut) {
  writeFileSync(jsonOut, JSON.stringify({ sdkVersion, node: process.versions.node, cpuModel, nproc: cpus().length,
    families, tools: tools.length, raw }, null, 2) + '\n');
}

function progress(message) {
  process.stderr.write(`compare: ${message}\n`);
}
