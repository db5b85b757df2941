'use strict';
// Helpers shared by the script tests.
const path = require('path');
const { spawnSync } = require('child_process');

const root = path.resolve(__dirname, '..');

// Runs a script in a fresh node process, so that the addon is loaded anew.
function runNode(source, { args = [], timeout = 20000 } = {}) {
  return spawnSync(process.execPath, [...args, '-e', source],
    { cwd: root, encoding: 'utf8', timeout });
}

const nextTurn = () => new Promise((resolve) => setImmediate(resolve));

module.exports = { root, runNode, nextTurn };
