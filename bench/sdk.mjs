// Loads modules of the official MCP TypeScript SDK from the copy the interop
// tests install (tests/interop/node_modules), or from $BRISOLET_SDK_DIR, the
// package's own folder. Subpaths go through the package's "exports" map with
// the "import" condition, as a plain `import` from a dependent package would.
import { readFileSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
export const sdkDir = process.env.BRISOLET_SDK_DIR
  ?? resolve(here, '../tests/interop/node_modules/@modelcontextprotocol/sdk');

const manifest = JSON.parse(readFileSync(join(sdkDir, 'package.json'), 'utf8'));
export const sdkVersion = manifest.version;

function target(subpath) {
  const key = './' + subpath;
  const pick = (entry) => (typeof entry === 'string' ? entry : entry?.import ?? entry?.default);
  if (manifest.exports[key]) return pick(manifest.exports[key]);
  for (const [pattern, entry] of Object.entries(manifest.exports)) {
    const star = pattern.indexOf('*');
    if (star < 0) continue;
    const head = pattern.slice(0, star);
    const tail = pattern.slice(star + 1);
    if (key.startsWith(head) && key.endsWith(tail)) {
      return pick(entry).replace('*', key.slice(head.length, key.length - tail.length));
    }
  }
  throw new Error(`@modelcontextprotocol/sdk does not export ${subpath}`);
}

export function sdk(subpath) {
  return import(pathToFileURL(join(sdkDir, target(subpath))).href);
}
