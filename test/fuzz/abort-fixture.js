'use strict';
// Stands in for child.js in the runner's tests: aborts at call 5.
const fs = require('fs');

const progress = fs.openSync(process.argv[process.argv.indexOf('--progress') + 1], 'w');
for (let i = 0; i < 10; i++) {
  fs.writeSync(progress, String(i).padEnd(12), 0);
  if (i === 5) process.abort();
}
