'use strict';
// Every js example of the README runs as written.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { root, runNode } = require('./common');

const readme = fs.readFileSync(path.join(root, 'README.md'), 'utf8');
const examples = [...readme.matchAll(/```js\n([\s\S]*?)```/g)].map((m) => m[1]);

test('the README has examples', () => assert.ok(examples.length >= 5));

for (const [i, source] of examples.entries()) {
  const title = source.split('\n').find((l) => l.includes('vantarel.') && !l.includes('require')) || source;
  test(`README example ${i + 1}: ${title.trim().slice(0, 60)}`, () => {
    const r = runNode(source, { args: ['--expose-gc'] });
    assert.strictEqual(r.status, 0, r.stderr);
  });
}
