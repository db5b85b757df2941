'use strict';
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { root } = require('./common');

test('index.d.ts types a typical agent (tsc --noEmit)', () => {
  const tsc = require.resolve('typescript/bin/tsc', { paths: [root] });
  const r = spawnSync(process.execPath, [tsc, '-p', path.join(__dirname, 'types')],
    { encoding: 'utf8' });
  assert.strictEqual(r.status, 0, r.stdout + r.stderr);
});
