'use strict';
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { root } = require('./common');

const projects = [
  ['a typical agent in CommonJS', 'types'],
  ['the default and named imports of an ES module', path.join('types', 'esm')],
];

for (const [what, project] of projects) {
  test(`index.d.ts types ${what} (tsc --noEmit)`, () => {
    const tsc = require.resolve('typescript/bin/tsc', { paths: [root] });
    const r = spawnSync(process.execPath, [tsc, '-p', path.join(__dirname, project)],
      { encoding: 'utf8' });
    assert.strictEqual(r.status, 0, r.stdout + r.stderr);
  });
}
