'use strict';
// Runs every bench/*.bench.js, or those whose name contains the filter:
//   npm run bench [-- filter]
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');

const filter = process.argv[2] || '';
const files = fs.readdirSync(__dirname)
  .filter((f) => f.endsWith('.bench.js') && f.includes(filter))
  .sort();
let failed = false;
for (const file of files) {
  const r = spawnSync(process.execPath, ['--expose-gc', path.join(__dirname, file)],
    { stdio: 'inherit' });
  failed ||= r.status !== 0;
}
process.exit(failed ? 1 : 0);
