'use strict';
// Builds build/Release/vantarel.node against the headers of the running Node.
// Usage: node scripts/build.js [--sanitize] [--debug]
const { nodeDir, nodeGyp, run, fail } = require('./env');

const dir = nodeDir();
if (!dir) {
  fail('the headers of this Node (include/node/node.h) were not found.\n' +
    'Install the Node.js development headers for ' + process.version + '.');
}
const gyp = nodeGyp();
if (!gyp) fail('node-gyp was not found: run "npm install" first.');

const args = [gyp, 'rebuild', `--nodedir=${dir}`, '--jobs=max'];
if (process.argv.includes('--debug')) args.push('--debug');
if (process.argv.includes('--sanitize')) args.push('--', '-Dsanitize=1');
if (!run(process.execPath, args)) fail('the build of vantarel.node failed.');
