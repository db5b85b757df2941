'use strict';
// Builds a test-only addon from test/addon/<name>.cc into build/test-addons/,
// with one compiler call against the running Node's headers (no node-gyp:
// it has no binding of its own and never ships). Rebuilt when the source or
// the Node changes.
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { root, nodeDir } = require('./env');
const { compilerCommand } = require('./prerequisites');

// The host's own language standard, from the common.gypi beside its headers.
function languageStandard(dir) {
  try {
    const gypi = fs.readFileSync(path.join(dir, 'include', 'node', 'common.gypi'), 'utf8');
    const match = /'(-std=gnu\+\+\d+)'/.exec(gypi);
    if (match) return match[1];
  } catch {
    // Falls back to the oldest line's standard.
  }
  return '-std=gnu++17';
}

// { file } of the built addon, or { skip } with the reason it cannot be built.
function buildTestAddon(name) {
  const source = path.join(root, 'test', 'addon', `${name}.cc`);
  const dir = nodeDir();
  if (!dir) return { skip: `the headers of this Node (${process.version}) were not found` };
  const compiler = compilerCommand();
  if (!compiler) return { skip: 'no C++ compiler (g++ or $CXX) to build the test addon' };
  const out = path.join(root, 'build', 'test-addons', `${name}.node`);
  const stampFile = `${out}.json`;
  const stamp = JSON.stringify({ node: process.execPath, version: process.version,
    source: fs.statSync(source).mtimeMs });
  try {
    if (fs.readFileSync(stampFile, 'utf8') === stamp && fs.existsSync(out)) return { file: out };
  } catch {
    // Not built yet.
  }
  fs.mkdirSync(path.dirname(out), { recursive: true });
  const partial = `${out}.${process.pid}.partial`;
  const [command, ...flags] = compiler;
  const r = spawnSync(command, [...flags, languageStandard(dir), '-O1', '-fPIC', '-shared',
    '-Wall', '-Wextra', '-Werror', '-isystem', path.join(dir, 'include', 'node'), source,
    '-o', partial], { encoding: 'utf8' });
  if (r.status !== 0) {
    fs.rmSync(partial, { force: true });
    throw new Error(`the test addon ${name} did not build:\n${r.error || r.stderr}`);
  }
  fs.renameSync(partial, out);
  fs.writeFileSync(stampFile, stamp);
  return { file: out };
}

module.exports = { buildTestAddon };
