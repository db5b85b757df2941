'use strict';
// Builds build/Release/vantarel.node against the headers of the running Node.
// Usage: node scripts/build.js [--sanitize] [--debug] [--bench-exports]
// (--bench-exports adds what only the benchmarks read, analyticsMemory).
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
const defines = [];
if (process.argv.includes('--sanitize')) defines.push('-Dsanitize=1');
if (process.argv.includes('--bench-exports')) defines.push('-Dbench_exports=1');
if (defines.length) args.push('--', ...defines);
// node-gyp lets npm's settings (npm_config_nodedir from an .npmrc, say)
// override its command line; the headers chosen above must win, or a build
// for one Node line would compile against another line's headers.
const env = Object.fromEntries(Object.entries(process.env)
  .filter(([key]) => !/^npm_config_(nodedir|target|runtime|dist_?url)$/i.test(key)));
if (!run(process.execPath, args, { env })) fail('the build of vantarel.node failed.');

// Records the Node the addon was built for, so set-up rebuilds it when the
// checkout is next used with another Node line.
fs.writeFileSync(buildStamp, `${JSON.stringify(builtFor())}\n`);
