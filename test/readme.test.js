'use strict';
// Every js example of the README and of docs/ runs as written, and every
// link between those pages leads to a page and heading that exist.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { root, runNode } = require('./common');

const pages = ['README.md', ...fs.readdirSync(path.join(root, 'docs'))
  .filter((name) => name.endsWith('.md')).map((name) => `docs/${name}`)];
const text = new Map(pages.map((page) => [page, fs.readFileSync(path.join(root, page), 'utf8')]));

// `mjs` marks an example written as an ES module.
const examples = pages.flatMap((page) => [...text.get(page).matchAll(/```(js|mjs)\n([\s\S]*?)```/g)]
  .map((m, i) => ({ page, i, source: m[2], esm: m[1] === 'mjs' })));

test('the README and docs have examples', () => assert.ok(examples.length >= 10));

for (const { page, i, source, esm } of examples) {
  const title = source.split('\n').find((l) => l.includes('vantarel.') && !l.includes('require')) ||
    source;
  test(`${page} example ${i + 1}: ${title.trim().slice(0, 60)}`, () => {
    const args = ['--expose-gc', ...(esm ? ['--input-type=module'] : [])];
    const r = runNode(source, { args });
    assert.strictEqual(r.status, 0, r.stderr);
  });
}

// A heading's anchor as the repository's Markdown renderer makes it.
const slug = (heading) => heading.trim().toLowerCase().replace(/[^\p{L}\p{N}\s_-]/gu, '')
  .replace(/\s/g, '-');

// The page without its code blocks, whose lines may look like headings.
const prose = (page) => text.get(page).replace(/```[\s\S]*?```/g, '');

const anchors = (page) => new Set([...prose(page).matchAll(/^#+ (.*)$/gm)].map((m) => slug(m[1])));

test('links between the README and docs lead to pages and headings that exist', () => {
  const broken = [];
  for (const page of pages) {
    for (const [, target] of prose(page).matchAll(/\]\(([^)\s]+)\)/g)) {
      if (/^[a-z]+:/.test(target)) continue;
      const [file, anchor] = target.split('#');
      const linked = file ? path.posix.join(path.posix.dirname(page), file) : page;
      if (!text.has(linked) || (anchor && !anchors(linked).has(anchor))) {
        broken.push(`${page}: ${target}`);
      }
    }
  }
  assert.deepStrictEqual(broken, []);
});
