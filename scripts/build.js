'use strict';
// Builds build/Release/vantarel.node against the headers of the running Node.
// Usage: node scripts/build.js [--sanitize] [--debug]
const fs = require('fs');
const { nodeDir, nodeGyp, run, fail, buildStamp, builtFor } = require('./env');

const dir = nodeDir();
if (!dir) {
  fail(`the headers of this Node (include/node, module version ${process.versions.modules})` +
    ` were not found.\nInstall the Node.js development headers for ${process.version}.`);
}
const gyp = nodeGyp();
if (!gyp) fail('node-gyp was not found: run "npm install" first.');

const args = [gyp, 'rebuild', `--nodedir=${dir}`, '--jobs=max'];
if (process.argv.includes('--debug')) args.push('--debug');
if (process.argv.includes('--sanitize')) args.push('--', '-Dsanitize=1');
if (!run(process.execPath, args)) fail('the build of vantarel.node failed.');

// Records the Node the addon was built for, so set-up rebuilds it when the
// checkout is next used with another Node line.
fs.writeFileSync(buildStamp, `${JSON.stringify(builtFor())}\n`);
