'use strict';
// A staged copy of the package under build-*/, so a build made there with
// other flags or for another Node leaves the checkout's build/Release alone.
// The sources and tests are copied fresh on every call, and the checkout's
// node_modules is shared through a link.
const fs = require('fs');
const path = require('path');
const { root } = require('./env');

const ENTRIES = ['binding.gyp', 'index.js', 'index.mjs', 'index.d.ts', 'lib', 'package.json',
  'README.md', 'docs', 'src', 'test', 'scripts', 'examples'];

function stageTree(stage) {
  fs.mkdirSync(stage, { recursive: true });
  for (const entry of ENTRIES) {
    const from = path.join(root, entry);
    if (!fs.existsSync(from)) continue;
    const to = path.join(stage, entry);
    fs.rmSync(to, { recursive: true, force: true });
    fs.cpSync(from, to, { recursive: true });
  }
  const modules = path.join(stage, 'node_modules');
  if (!fs.existsSync(modules)) {
    fs.symlinkSync(fs.realpathSync(path.join(root, 'node_modules')), modules);
  }
  return stage;
}

module.exports = { stageTree };
