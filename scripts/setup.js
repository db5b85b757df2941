'use strict';
// Brings a fresh checkout to a built addon: system packages, npm
// dependencies, then the build. Each step runs only when its result is
// missing or stale, so the second run costs nothing.
const fs = require('fs');
const path = require('path');
const { root, run, fail, buildStamp, builtFor, newest } = require('./env');
const { ensurePackage } = require('./apt');
const { SOURCE_BUILD } = require('./prerequisites');

const major = Number(process.versions.node.split('.')[0]);
if (major < 20) fail(`Node 20 or later is needed; this is ${process.version}.`);

for (const { pkg, present, what } of SOURCE_BUILD) ensurePackage(pkg, present, what);

// Without it only the C++ unit tests are skipped, and their runner says so.
ensurePackage('libgtest-dev', () => fs.existsSync('/usr/include/gtest/gtest.h'),
  'GoogleTest', { optional: true });

const need = ['nan', 'node-gyp', 'node-gyp-build', 'typescript', 'autocannon', 'playwright-core',
  'pprof-format'];
if (!need.every((m) => fs.existsSync(path.join(root, 'node_modules', m, 'package.json')))) {
  console.log('vantarel set-up: installing npm dependencies');
  if (!run('npm', ['install', '--ignore-scripts', '--no-audit', '--no-fund'])) {
    fail('"npm install" failed; the npm registry must be reachable.');
  }
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
