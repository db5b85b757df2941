'use strict';
// Facts about this machine that the set-up and build scripts share.
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');

const root = path.resolve(__dirname, '..');

// The install prefix of the running Node holds include/node; building
// against it keeps node-gyp from downloading headers.
function nodeDir() {
  const candidates = [
    process.config.variables.node_prefix,
    path.resolve(path.dirname(process.execPath), '..'),
    '/usr',
    '/usr/local',
  ];
  return candidates.find(
    (dir) => dir && fs.existsSync(path.join(dir, 'include', 'node', 'node.h')));
}

function nodeGyp() {
  try {
    return require.resolve('node-gyp/bin/node-gyp.js', { paths: [root] });
  } catch {
    const bundled = path.resolve(path.dirname(process.execPath), '..', 'lib',
      'node_modules', 'npm', 'node_modules', 'node-gyp', 'bin', 'node-gyp.js');
    return fs.existsSync(bundled) ? bundled : null;
  }
}

function has(command) {
  return spawnSync('sh', ['-c', `command -v ${command}`], { stdio: 'ignore' })
    .status === 0;
}

function run(command, args, options = {}) {
  const result = spawnSync(command, args, { stdio: 'inherit', cwd: root, ...options });
  return result.status === 0;
}

function fail(message) {
  console.error(`\nvantarel set-up: ${message}\n`);
  process.exit(1);
}

module.exports = { root, nodeDir, nodeGyp, has, run, fail };
