'use strict';
// Facts about this machine that the set-up and build scripts share.
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');

const root = path.resolve(__dirname, '..');

// The install prefix of the running Node holds include/node; building
// against it keeps node-gyp from downloading headers. The prefix next to the
// binary comes first, and headers of another module version are passed over,
// so a Node unpacked beside the machine's own builds against its own headers.
function nodeDir() {
  const candidates = [
    path.resolve(path.dirname(process.execPath), '..'),
    process.config.variables.node_prefix,
    '/usr',
    '/usr/local',
  ];
  return candidates.find(
    (dir) => dir && headerModuleVersion(dir) === process.versions.modules);
}

function headerModuleVersion(dir) {
  try {
    const header = fs.readFileSync(path.join(dir, 'include', 'node', 'node_version.h'), 'utf8');
    const match = /^#define NODE_MODULE_VERSION (\d+)/m.exec(header);
    return match ? match[1] : null;
  } catch {
    return null;
  }
}

const buildStamp = path.join(root, 'build', 'Release', 'vantarel.node.json');

function builtFor() {
  return { node: process.version, modules: process.versions.modules };
}

// The checkout's own node-gyp first; in a user's install, the one npm
// names to its scripts, else the one bundled with npm beside this Node.
function nodeGyp() {
  try {
    return require.resolve('node-gyp/bin/node-gyp.js', { paths: [root] });
  } catch {
    const bundled = path.resolve(path.dirname(process.execPath), '..', 'lib',
      'node_modules', 'npm', 'node_modules', 'node-gyp', 'bin', 'node-gyp.js');
    return [process.env.npm_config_node_gyp, bundled].find((f) => f && fs.existsSync(f)) || null;
  }
}

// Looked up on PATH directly, so no shell is needed to tell what is missing.
function has(command) {
  return (process.env.PATH || '').split(path.delimiter).some((dir) => {
    const file = path.join(dir || '.', command);
    try {
      fs.accessSync(file, fs.constants.X_OK);
      return fs.statSync(file).isFile();
    } catch {
      return false;
    }
  });
}

// The latest modification time of any file below dir.
function newest(dir) {
  let latest = 0;
  for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
    const full = path.join(dir, entry.name);
    latest = Math.max(latest, entry.isDirectory() ? newest(full) : fs.statSync(full).mtimeMs);
  }
  return latest;
}

function run(command, args, options = {}) {
  const result = spawnSync(command, args, { stdio: 'inherit', cwd: root, ...options });
  return result.status === 0;
}

function fail(message) {
  console.error(`\nvantarel set-up: ${message}\n`);
  process.exit(1);
}

module.exports = {
  root, nodeDir, headerModuleVersion, nodeGyp, has, run, fail, buildStamp, builtFor, newest,
};
