'use strict';
// Installs the package as its users get it and runs a smoke test of every
// function on each Node line. The tarball comes from `npm pack`; it goes into
// fresh projects in a temporary folder with `npm install --ignore-scripts`,
// with pnpm 10 at its defaults (no dependency build scripts) and with a plain
// `npm install`, none of which may build anything. test/install/smoke.mjs
// then runs in those projects with the registry's Node of every line: x64
// directly, arm64 under qemu-user, which can start no child process, so the
// smoke script starts none. Last, a source build from the tarball.
// Usage: node scripts/install-test.js       (CI=true: all eight prebuilds required)
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { root, headerModuleVersion, has } = require('./env');
const { ensurePackage } = require('./apt');
const { LINES, planLines, obtain } = require('./nodes');

const ARCHES = ['x64', 'arm64'];
const CROSS_ROOT = '/usr/aarch64-linux-gnu';
const SMOKE = path.join(root, 'test', 'install', 'smoke.mjs');
const WORKED_EXAMPLE = path.join(root, 'test', 'worked-example.cjs');
const INSTALL_TIMEOUT_MS = 10 * 60 * 1000;
// The arm64 Node under qemu runs about ten times slower than natively.
const SMOKE_TIMEOUT_MS = { x64: 2 * 60 * 1000, arm64: 10 * 60 * 1000 };

const inCI = process.env.CI === 'true' || process.env.CI === '1';
const results = [];

function record(ok, text) {
  results.push(ok);
  console.log(`install-test: ${text}`);
  return ok;
}

const seconds = (ms) => `${(ms / 1000).toFixed(1)} s`;

// The package managers run as in a user's shell, without the settings that
// `npm run` hands down to its scripts.
const userEnv = Object.fromEntries(Object.entries(process.env)
  .filter(([key]) => !/^npm_/i.test(key)));

function timed(command, args, options) {
  const started = Date.now();
  const r = spawnSync(command, args, { encoding: 'utf8', env: userEnv, ...options });
  return { ...r, ms: Date.now() - started, output: `${r.stdout || ''}${r.stderr || ''}` };
}

function lastLines(text, count = 30) {
  return text.trimEnd().split('\n').slice(-count).map((l) => `    ${l}`).join('\n');
}

// The Node of each line and arch, with the prebuild it loads.
function plannedNodes() {
  return ARCHES.flatMap((arch) => planLines(LINES, arch).plan.map(({ line, version }) => {
    const node = obtain(version, arch);
    const modules = headerModuleVersion(node.dir);
    return { arch, line, version, bin: node.bin, modules,
      prebuild: `prebuilds/linux-${arch}/node.abi${modules}.glibc.node` };
  }));
}

function pack(dir) {
  fs.mkdirSync(dir);
  // prepack builds whatever prebuilds are missing, which can take a while.
  const r = timed('npm', ['pack', '--pack-destination', dir],
    { cwd: root, timeout: 60 * 60 * 1000 });
  const tarball = fs.readdirSync(dir).find((name) => name.endsWith('.tgz'));
  if (r.status !== 0 || !tarball) {
    record(false, `npm pack failed:\n${lastLines(r.output)}`);
    return null;
  }
  return path.join(dir, tarball);
}

// What a user's install needs is in the tarball, and nothing of a build.
function checkContents(tarball, nodes) {
  const list = spawnSync('tar', ['tzf', tarball], { encoding: 'utf8' });
  const entries = new Set(list.stdout.split('\n').filter(Boolean)
    .map((entry) => entry.replace(/^package\//, '')));
  const gyp = fs.readFileSync(path.join(root, 'binding.gyp'), 'utf8');
  const sources = [...gyp.matchAll(/'(src\/[^']+)'/g)].map((m) => m[1]);
  const needed = ['package.json', 'LICENSE', 'README.md', 'index.js', 'index.mjs',
    'lib/record-transaction.js',
    'index.d.ts', 'binding.gyp', 'scripts/install.js', ...sources];
  const missing = needed.filter((entry) => !entries.has(entry));
  const unwanted = [...entries].filter((entry) =>
    /^(build|build-[^/]*|test|bench|examples|node_modules)\//.test(entry));
  const size = `${(fs.statSync(tarball).size / 1024).toFixed(0)} kB`;
  record(!missing.length && !unwanted.length && list.status === 0,
    `tarball ${path.basename(tarball)}, ${size}, ${entries.size} files` +
    `${missing.length ? `; MISSING ${missing.join(' ')}` : ''}` +
    `${unwanted.length ? `; UNWANTED ${unwanted.slice(0, 5).join(' ')}` : ''}`);

  const absent = nodes.filter((n) => !entries.has(n.prebuild));
  const present = nodes.length - absent.length;
  record(!(inCI && absent.length), `${present} of ${nodes.length} prebuilds in the tarball` +
    `${absent.length ? `; ${inCI ? 'MISSING' : 'not built here'}: ` +
      `${absent.map((n) => n.prebuild).join(' ')}` : ''}`);
  return new Set(nodes.filter((n) => entries.has(n.prebuild)).map((n) => n.prebuild));
}

function freshProject(dir) {
  fs.mkdirSync(dir, { recursive: true });
  fs.writeFileSync(path.join(dir, 'package.json'),
    `${JSON.stringify({ name: 'vantarel-install-check', version: '1.0.0', private: true })}\n`);
  fs.copyFileSync(SMOKE, path.join(dir, 'smoke.mjs'));
  fs.copyFileSync(WORKED_EXAMPLE, path.join(dir, 'worked-example.cjs'));
  return dir;
}

function installedCopy(project) {
  return fs.realpathSync(path.join(project, 'node_modules', 'vantarel'));
}

// One install of the tarball; it must leave no build/ behind.
function install(label, project, command, args, expect) {
  const r = timed(command, args, { cwd: project, timeout: INSTALL_TIMEOUT_MS });
  let problem = r.status !== 0 ? `exit ${r.status}${r.error ? ` (${r.error.message})` : ''}` : '';
  if (!problem && fs.existsSync(path.join(installedCopy(project), 'build'))) {
    problem = 'a build/ folder appeared';
  } else if (!problem && expect && !expect.test(r.output)) {
    problem = `its output lacks ${expect}`;
  }
  return record(!problem, `${label}: ${problem ? `FAIL, ${problem}` : 'ok'}, ${seconds(r.ms)}` +
    `${problem ? `\n${lastLines(r.output)}` : ''}`);
}

function pnpmCommand(tools) {
  const r = timed('npm', ['install', '--prefix', tools, '--no-audit', '--no-fund', 'pnpm@10'],
    { timeout: INSTALL_TIMEOUT_MS });
  const bin = path.join(tools, 'node_modules', 'pnpm', 'bin', 'pnpm.cjs');
  if (r.status !== 0 || !fs.existsSync(bin)) {
    record(false, `pnpm 10 could not be installed:\n${lastLines(r.output)}`);
    return null;
  }
  return bin;
}

function smoke(project, node, label) {
  const command = node.arch === 'x64' ? node.bin : 'qemu-aarch64';
  const args = [...(node.arch === 'x64' ? [] : ['-L', CROSS_ROOT, node.bin]),
    '--expose-gc', 'smoke.mjs'];
  const r = timed(command, args, { cwd: project, timeout: SMOKE_TIMEOUT_MS[node.arch] });
  const ok = r.status === 0;
  record(ok, `${node.arch} Node v${node.version} (module version ${node.modules}), ${label}: ` +
    `${ok ? 'ok' : `FAIL, exit ${r.status}${r.signal ? ` ${r.signal}` : ''}`}, ` +
    `${seconds(r.ms)}${ok ? '' : `\n${lastLines(r.output)}`}`);
}

function checkInstalls(tarball, runnable, work) {
  const npmProject = freshProject(path.join(work, 'npm-ignore-scripts'));
  if (install('npm install --ignore-scripts', npmProject, 'npm',
    ['install', '--ignore-scripts', '--no-audit', '--no-fund', tarball])) {
    for (const node of runnable) smoke(npmProject, node, 'npm --ignore-scripts');
  }

  const pnpm = pnpmCommand(path.join(work, 'tools'));
  const pnpmProject = freshProject(path.join(work, 'pnpm'));
  if (pnpm && install('pnpm 10 add (defaults)', pnpmProject, process.execPath,
    [pnpm, 'add', tarball])) {
    for (const node of runnable.filter((n) => n.arch === 'x64')) smoke(pnpmProject, node, 'pnpm');
  }
}

// With scripts on, the install step finds the prebuild of the running Node;
// asked to build from source, it builds from the tarball's sources.
function checkInstallStep(tarball, running, work) {
  const project = freshProject(path.join(work, 'npm-scripts'));
  if (!install('npm install (install script on)', project, 'npm',
    ['install', '--foreground-scripts', '--no-audit', '--no-fund', tarball],
    /vantarel install: using prebuilds\/.*, nothing to build/)) {
    return;
  }
  const r = timed('npm', ['rebuild', 'vantarel', '--build-from-source', '--foreground-scripts'],
    { cwd: project, timeout: INSTALL_TIMEOUT_MS });
  const ok = r.status === 0 &&
    fs.existsSync(path.join(installedCopy(project), 'build', 'Release', 'vantarel.node'));
  if (record(ok, `npm rebuild --build-from-source: ${ok ? 'ok' : 'FAIL'}, ${seconds(r.ms)}` +
    `${ok ? '' : `\n${lastLines(r.output)}`}`)) {
    smoke(project, { ...running, bin: process.execPath, version: process.versions.node },
      'source build');
  }
}

function ensureQemu() {
  ensurePackage('qemu-user', () => has('qemu-aarch64'), 'qemu-user (runs the arm64 Node)');
  ensurePackage('libc6-arm64-cross',
    () => fs.existsSync(path.join(CROSS_ROOT, 'lib', 'ld-linux-aarch64.so.1')),
    'the arm64 C library for qemu-user');
  ensurePackage('libstdc++6-arm64-cross',
    () => fs.existsSync(path.join(CROSS_ROOT, 'lib', 'libstdc++.so.6')),
    'the arm64 C++ library for qemu-user');
}

function main() {
  const started = Date.now();
  ensureQemu();
  const nodes = plannedNodes();
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'vantarel-install-'));
  console.log(`install-test: Node ${nodes.filter((n) => n.arch === 'x64')
    .map((n) => `v${n.version}`).join(', ')} (x64 and arm64), working in ${work}`);

  const tarball = pack(path.join(work, 'pack'));
  if (tarball) {
    const packed = checkContents(tarball, nodes);
    const runnable = nodes.filter((n) => packed.has(n.prebuild));
    checkInstalls(tarball, runnable, work);
    const running = runnable.find((n) =>
      n.arch === process.arch && n.modules === process.versions.modules);
    if (running) checkInstallStep(tarball, running, work);
  }

  const failed = results.filter((ok) => !ok).length;
  if (!failed) fs.rmSync(work, { recursive: true, force: true });
  else console.log(`install-test: the projects are kept in ${work}`);
  console.log(`install-test: done in ${seconds(Date.now() - started)}`);
  console.log(`${results.length - failed} passed, ${failed} failed`);
  process.exit(failed ? 1 : 0);
}

main();
