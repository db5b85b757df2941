'use strict';
// Builds the binaries the package ships, one per architecture and Node line,
// at prebuilds/linux-<arch>/node.abi<modules>.glibc.node: the names that
// node-gyp-build loads, whose libc tag keeps a musl system from taking a
// glibc build. Each is built against its line's own headers from the
// registry's node-linux-<arch> package, stripped, and refused when it needs a
// newer glibc or libstdc++ than the official node binary of its line and arch.
// x64 takes the matrix's build of a line when it was made from the same
// sources for the same release, and otherwise builds in build-prebuild/;
// arm64 is cross-compiled there.
// Usage: npm run prebuilds -- [--arch x64|arm64] [--missing] [line...]
//   --missing  builds only what is absent or made from other sources
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { root, headerModuleVersion, nodeGyp, has, run, fail } = require('./env');
const { stageTree } = require('./stage');
const { ensurePackage } = require('./apt');
const { LINES, matrixDir, planLines, obtain } = require('./nodes');
const {
  symbolFloor, aboveFloor, formatFloor, exportedSymbols, expectedExports,
} = require('./floor');

const ARCHS = ['x64', 'arm64'];
const prebuildsDir = path.join(root, 'prebuilds');
const workDir = path.join(root, 'build-prebuild');
const BUILD_TIMEOUT_MS = 10 * 60 * 1000;

// The ELF header's e_machine of each architecture.
const ELF_MACHINE = { x64: 62, arm64: 183 };
// Debian's cross toolchains (g++-aarch64-linux-gnu) by target triplet.
const CROSS_TRIPLET = { arm64: 'aarch64-linux-gnu' };
const BOOST = '/usr/include/boost';

function parseArgs(argv) {
  const options = { archs: ARCHS, missing: false, lines: [] };
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--missing') {
      options.missing = true;
    } else if (argv[i] === '--arch') {
      const arch = argv[++i];
      if (!ARCHS.includes(arch)) fail(`--arch takes one of ${ARCHS.join(', ')}, not "${arch}".`);
      options.archs = [arch];
    } else if (/^\d+$/.test(argv[i])) {
      options.lines.push(argv[i]);
    } else {
      fail(`unknown argument "${argv[i]}".\n` +
        'Usage: node scripts/prebuild.js [--arch x64|arm64] [--missing] [line...]');
    }
  }
  if (!options.lines.length) options.lines = LINES;
  return options;
}

// Installs what a build needs when run as root with apt-get, as set-up does;
// otherwise stops naming the Debian package.
function checkTools(archs) {
  ensurePackage('binutils', () => has('objdump'), 'objdump (checks the binaries)');
  ensurePackage('libboost-dev', () => fs.existsSync(path.join(BOOST, 'property_tree', 'ptree.hpp')),
    'the Boost headers');
  if (archs.includes('arm64')) {
    ensurePackage(`g++-${CROSS_TRIPLET.arm64}`, () => has(`${CROSS_TRIPLET.arm64}-g++`),
      'the arm64 cross compiler');
  }
  const missing = ['nan', 'node-gyp'].filter(
    (m) => !fs.existsSync(path.join(root, 'node_modules', m, 'package.json')));
  if (missing.length) {
    console.log(`prebuild: installing npm dependencies (${missing.join(', ')} missing)`);
    if (!run('npm', ['install', '--ignore-scripts', '--no-audit', '--no-fund'])) {
      fail('"npm install" failed; the npm registry must be reachable.');
    }
  }
}

// What a binary is made from (binding.gyp and the sources) as one digest,
// with the time the newest of them was written.
function readInputs(dir) {
  const hash = crypto.createHash('sha256');
  let newest = 0;
  const add = (rel) => {
    const full = path.join(dir, rel);
    const stat = fs.statSync(full);
    if (stat.isDirectory()) {
      for (const name of fs.readdirSync(full).sort()) add(path.join(rel, name));
      return;
    }
    newest = Math.max(newest, stat.mtimeMs);
    hash.update(`${rel}\0`).update(fs.readFileSync(full)).update('\0');
  };
  add('binding.gyp');
  add('src');
  return { digest: hash.digest('hex'), newest };
}

function sha256(file) {
  return crypto.createHash('sha256').update(fs.readFileSync(file)).digest('hex');
}

// npm's settings (an .npmrc, or those npm sets for a lifecycle script such
// as prepack) override node-gyp's command line; the Node, headers and arch
// chosen here must win.
function buildEnv(extra) {
  const env = Object.fromEntries(Object.entries(process.env).filter(([key]) =>
    !/^npm_config_(nodedir|target|target_arch|arch|runtime|dist_?url)$/i.test(key)));
  return { ...env, ...extra };
}

function runLogged(command, args, { cwd, env, log }) {
  const out = fs.openSync(log, 'w');
  const r = spawnSync(command, args,
    { cwd, env, stdio: ['ignore', out, out], timeout: BUILD_TIMEOUT_MS });
  fs.closeSync(out);
  const text = fs.readFileSync(log, 'utf8');
  if (r.status !== 0) {
    console.log(text.trimEnd().split('\n').slice(-40).join('\n'));
    fail(`the build failed (${path.relative(root, log)}).`);
  }
  const warnings = (text.match(/\bwarning:/g) || []).length;
  if (warnings) fail(`the build gave ${warnings} compiler warnings (${path.relative(root, log)}).`);
}

// The matrix's build of the line, when it was made for the same release from
// the checkout's sources, after they were staged, with scripts/build.js's
// default flags (the matrix passes none).
function matrixBuild(line, version, inputs) {
  const stage = path.join(matrixDir, `node-${line}`);
  const binary = path.join(stage, 'build', 'Release', 'vantarel.node');
  try {
    const stamp = JSON.parse(fs.readFileSync(`${binary}.json`, 'utf8'));
    if (stamp.node !== `v${version}`) return null;
    const staged = readInputs(stage);
    if (staged.digest !== inputs.digest || fs.statSync(binary).mtimeMs < staged.newest) return null;
    return binary;
  } catch {
    return null;
  }
}

// Builds in a staged copy with the line's own node, as the matrix does.
function buildX64(line, node) {
  const stage = stageTree(path.join(workDir, `x64-${line}`));
  runLogged(node.bin, [path.join(stage, 'scripts', 'build.js')], {
    cwd: stage,
    env: buildEnv({ PATH: `${path.dirname(node.bin)}:${process.env.PATH}` }),
    log: path.join(stage, 'build.log'),
  });
  return path.join(stage, 'build', 'Release', 'vantarel.node');
}

// The cross compiler gets Boost, whose headers fit every architecture,
// through a folder that holds nothing else.
function boostOnlyDir() {
  const dir = path.join(workDir, 'boost-include');
  const link = path.join(dir, 'boost');
  fs.mkdirSync(dir, { recursive: true });
  if (!fs.existsSync(link)) fs.symlinkSync(BOOST, link);
  return dir;
}

function crossBuild(arch, line, node) {
  const stage = stageTree(path.join(workDir, `${arch}-${line}`));
  const triplet = CROSS_TRIPLET[arch];
  const gyp = nodeGyp();
  if (!gyp) fail('node-gyp was not found: run "npm install" first.');
  runLogged(process.execPath, [gyp, 'rebuild', `--nodedir=${node.dir}`, `--arch=${arch}`,
    '--jobs=max', '--', `-Dboost_include_dir=${boostOnlyDir()}`], {
    cwd: stage,
    env: buildEnv({
      CC: `${triplet}-gcc`,
      CXX: `${triplet}-g++`,
      LINK: `${triplet}-g++`,
      AR: `${triplet}-ar`,
      // Debian's cross compiler searches the host's /usr/include last, whose
      // glibc headers are x86-64's; a header root of the target's own drops it.
      CPPFLAGS: `-isysroot /usr/${triplet}`,
    }),
    log: path.join(stage, 'build.log'),
  });
  return path.join(stage, 'build', 'Release', 'vantarel.node');
}

function elfMachine(file) {
  const header = Buffer.alloc(20);
  const fd = fs.openSync(file, 'r');
  fs.readSync(fd, header, 0, header.length, 0);
  fs.closeSync(fd);
  return header.readUInt16LE(18);
}

// Refuses (and removes) a binary for the wrong machine, above its floor or
// with other dynamic symbols than it should export, so that no pack can ship
// it.
function check(out, arch, node) {
  const rel = path.relative(root, out);
  if (elfMachine(out) !== ELF_MACHINE[arch]) {
    fs.rmSync(out);
    fail(`${rel} is not an ${arch} binary; removed.`);
  }
  const exported = exportedSymbols(out).join(' ');
  const expected = expectedExports(headerModuleVersion(node.dir)).join(' ');
  if (exported !== expected) {
    fs.rmSync(out);
    fail(`${rel} exports ${exported || 'nothing'}, not ${expected}; removed.`);
  }
  const floor = symbolFloor(out);
  const nodeFloor = symbolFloor(node.bin);
  const above = aboveFloor(floor, nodeFloor);
  if (above.length) {
    fs.rmSync(out);
    fail(`${rel} needs ${above.join(', ')}, newer than the official node binary` +
      ` ${path.relative(root, node.bin)} needs; removed.`);
  }
  return { floor, nodeFloor };
}

function prebuild(arch, line, version, inputs, missingOnly) {
  const node = obtain(version, arch);
  const started = Date.now();
  const modules = headerModuleVersion(node.dir);
  if (!modules) fail(`${node.include} holds no node_version.h.`);
  const out = path.join(prebuildsDir, `linux-${arch}`, `node.abi${modules}.glibc.node`);
  const stampFile = path.join(workDir, `${arch}-${line}.json`);
  let stamp = null;
  try {
    stamp = JSON.parse(fs.readFileSync(stampFile, 'utf8'));
  } catch {
    // No stamp: the binary is built.
  }
  const current = stamp && fs.existsSync(out) && stamp.node === `v${version}` &&
    stamp.inputs === inputs.digest && stamp.sha256 === sha256(out);

  let how = 'up to date';
  if (!(missingOnly && current)) {
    console.log(`prebuild: linux-${arch} Node v${version} (module version ${modules})`);
    let binary = arch === 'x64' ? matrixBuild(line, version, inputs) : null;
    how = binary ? 'the matrix build' : 'built';
    if (!binary) binary = arch === 'x64' ? buildX64(line, node) : crossBuild(arch, line, node);
    fs.mkdirSync(path.dirname(out), { recursive: true });
    fs.mkdirSync(workDir, { recursive: true });
    const partial = path.join(workDir, `${arch}-${line}.node.partial`);
    fs.copyFileSync(binary, partial);
    const strip = CROSS_TRIPLET[arch] ? `${CROSS_TRIPLET[arch]}-strip` : 'strip';
    if (!run(strip, [partial])) fail(`could not strip ${partial}.`);
    fs.renameSync(partial, out);
    fs.writeFileSync(stampFile, `${JSON.stringify({
      node: `v${version}`, inputs: inputs.digest, sha256: sha256(out),
    })}\n`);
  }
  const { floor, nodeFloor } = check(out, arch, node);
  const kb = (fs.statSync(out).size / 1024).toFixed(0);
  const seconds = ((Date.now() - started) / 1000).toFixed(0);
  return { out, text: `${path.relative(root, out)}  Node v${version}  ${kb} KiB  ${how}, ${seconds} s\n` +
    `  needs ${formatFloor(floor)}\n  node  ${formatFloor(nodeFloor)}` };
}

// prebuilds/ holds this script's output alone, and the package ships all of
// it: a run for every line and arch leaves nothing else there.
function removeOthers(kept) {
  if (!fs.existsSync(prebuildsDir)) return;
  for (const platform of fs.readdirSync(prebuildsDir)) {
    const dir = path.join(prebuildsDir, platform);
    const entries = fs.statSync(dir).isDirectory()
      ? fs.readdirSync(dir).map((entry) => path.join(dir, entry)) : [dir];
    for (const file of entries.filter((f) => !kept.has(f))) {
      console.log(`prebuild: removing ${path.relative(root, file)}, made for none of the lines`);
      fs.rmSync(file, { recursive: true, force: true });
    }
    if (fs.existsSync(dir) && !fs.readdirSync(dir).length) fs.rmdirSync(dir);
  }
}

function main() {
  const options = parseArgs(process.argv.slice(2));
  const started = Date.now();
  checkTools(options.archs);
  const inputs = readInputs(root);
  const results = [];
  for (const arch of options.archs) {
    const { plan } = planLines(options.lines, arch);
    for (const { line, version } of plan) {
      results.push(prebuild(arch, line, version, inputs, options.missing));
    }
  }
  if (options.archs === ARCHS && options.lines === LINES) {
    removeOthers(new Set(results.map((r) => r.out)));
  }
  console.log('');
  for (const result of results) console.log(result.text);
  console.log(`prebuild: ${results.length} binaries, each within its node's symbol floor, in ` +
    `${((Date.now() - started) / 1000).toFixed(0)} s`);
}

main();
