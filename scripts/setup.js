'use strict';
// Brings a fresh checkout to a built addon: system packages, npm
// dependencies, then the build. Each step runs only when its result is
// missing or stale, so the second run costs nothing.
const fs = require('fs');
const path = require('path');
const { root, has, run, fail, buildStamp, builtFor } = require('./env');

const major = Number(process.versions.node.split('.')[0]);
if (major < 20) fail(`Node 20 or later is needed; this is ${process.version}.`);

const isRoot = process.getuid && process.getuid() === 0;
let aptUpdated = false;

function ensurePackage(pkg, present, why, { optional = false } = {}) {
  if (present()) return;
  if (isRoot && has('apt-get')) {
    console.log(`vantarel set-up: installing ${pkg} (${why})`);
    if (!aptUpdated) {
      run('apt-get', ['update', '-qq']);
      aptUpdated = true;
    }
    if (run('apt-get', ['install', '-y', '-qq', pkg],
      { env: { ...process.env, DEBIAN_FRONTEND: 'noninteractive' } }) && present()) {
      return;
    }
  }
  if (optional) return;
  fail(`${why} is missing: install the Debian package ${pkg}` +
    ` (sudo apt-get install ${pkg}).`);
}

ensurePackage('g++', () => has('g++') || has('c++'), 'a C++ compiler');
ensurePackage('make', () => has('make'), 'make');
ensurePackage('python3', () => has('python3'), 'Python 3 (node-gyp runs on it)');
ensurePackage('libboost-dev',
  () => fs.existsSync('/usr/include/boost/property_tree/ptree.hpp'),
  'the Boost headers');

// Without it only the C++ unit tests are skipped, and their runner says so.
ensurePackage('libgtest-dev', () => fs.existsSync('/usr/include/gtest/gtest.h'),
  'GoogleTest', { optional: true });

const need = ['nan', 'node-gyp', 'typescript'];
if (!need.every((m) => fs.existsSync(path.join(root, 'node_modules', m, 'package.json')))) {
  console.log('vantarel set-up: installing npm dependencies');
  if (!run('npm', ['install', '--ignore-scripts', '--no-audit', '--no-fund'])) {
    fail('"npm install" failed; the npm registry must be reachable.');
  }
}

function newest(dir) {
  let latest = 0;
  for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
    const full = path.join(dir, entry.name);
    latest = Math.max(latest, entry.isDirectory() ? newest(full) : fs.statSync(full).mtimeMs);
  }
  return latest;
}

function builtForThisNode() {
  try {
    return JSON.parse(fs.readFileSync(buildStamp, 'utf8')).modules === builtFor().modules;
  } catch {
    return false;
  }
}

const addon = path.join(root, 'build', 'Release', 'vantarel.node');
const inputs = Math.max(newest(path.join(root, 'src')),
  fs.statSync(path.join(root, 'binding.gyp')).mtimeMs);
if (!fs.existsSync(addon) || fs.statSync(addon).mtimeMs < inputs || !builtForThisNode()) {
  console.log(`vantarel set-up: building vantarel.node for Node ${process.version}`);
  if (!run(process.execPath, [path.join(__dirname, 'build.js')])) process.exit(1);
}
