'use strict';
// Runs the script tests through node's test runner, then the C++ unit tests
// of the engine-free sources.
const fs = require('fs');
const path = require('path');
const { root, run } = require('./env');

const testDir = path.join(root, 'test');
const files = fs.readdirSync(testDir)
  .filter((name) => name.endsWith('.test.js'))
  .map((name) => path.join('test', name));

let ok = run(process.execPath, ['--test', '--expose-gc', ...files]);
ok = run(process.execPath, [path.join(__dirname, 'cpp-test.js')]) && ok;
process.exit(ok ? 0 : 1);
