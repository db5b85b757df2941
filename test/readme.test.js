'use strict';
// Every js example of the README runs as written.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { root, runNode } = require('./common');

const readme = fs.readFileSync(path.join(root, 'README.md'), 'utf8');
// `mjs` marks an example written as an ES module.
const examples = [...readme.matchAll(/```(js|mjs)\n([\s\S]*?)```/g)]
  .map((m) => ({ source: m[2], esm: m[1] === 'mjs' }));

test('the README has examples', () => assert.ok(examples.length >= 5));

for (const [i, { source, esm }] of examples.entries()) {
  const title = source.split('\n').find((l) => l.includes('vantarel.') && !l.includes('require')) || source;
  test(`README example ${i + 1}: ${title.trim().slice(0, 60)}`, () => {
    const args = ['--expose-gc', ...(esm ? ['--input-type=module'] : [])];
    const r = runNode(source, { args });
    assert.strictEqual(r.status, 0, r.stderr);
  });
}
