'use strict';
// Heap census, snapshot stream and heap-object tracking. Each snapshot costs
// a full collection and a walk of the heap, so the cases share snapshots.
const test = require('node:test');
const assert = require('node:assert');
const vantarel = require('..');
const { runNode } = require('./common');

// A fresh copy of text in the heap (a string node of its own).
const copy = (text) => Buffer.from(text).toString();

function census(names) {
  const calls = [];
  assert.strictEqual(vantarel.getV8HeapSnapshot(names, (...args) => calls.push(args)), undefined);
  assert.strictEqual(calls.length, 1);
  assert.strictEqual(calls[0][0], null);
  const entries = JSON.parse(calls[0][1]);
  const custom = entries.filter((e) => e.type === 'CUSTOM');
  const ranked = entries.slice(custom.length);
  assert.deepStrictEqual(entries.slice(0, custom.length), custom, 'requested first');
  assert.strictEqual(ranked.length, 20);
  ranked.forEach((e, i) => {
    assert.deepStrictEqual(Object.keys(e), ['name', 'size', 'count', 'type']);
    assert.strictEqual(e.type, 'SYSTEM');
    assert.ok(!custom.some((c) => c.name === e.name), 'a key is listed once');
    const prev = ranked[i - 1];
    if (!prev) return;
    assert.ok(prev.count >= e.count, 'sorted by count');
    // Equal counts keep key order (unless shortening cut the tail).
    if (prev.count === e.count && !prev.name.endsWith('...')) {
      assert.ok(Buffer.compare(Buffer.from(prev.name), Buffer.from(e.name)) < 0);
    }
  });
  return custom;
}

class CensusWidget {}

test('census of a shaped heap: requested names first, then the most numerous', () => {
  const keep = [];
  for (let i = 0; i < 3000; i++) keep.push(new CensusWidget());
  for (let i = 0; i < 2000; i++) keep.push(copy('vantarel repeated text'));
  for (let i = 0; i < 40; i++) keep.push(new RegExp('^vantarel-[0-9]+$'));
  const custom = census(['CensusWidget', 'NoSuchName', '/^vantarel-[0-9]+$/',
    Symbol('not text'), { toString() { throw new Error('text'); } },
    '"CensusWidget"', 'CensusWidget', 'vantarel repeated text',
    '"vantarel repeated text"']);
  // Quotes address the string of a text, never the objects of that name.
  assert.deepStrictEqual(custom.map((e) => e.name), ['CensusWidget',
    '/^vantarel-[0-9]+$/', '"CensusWidget"', '"vantarel repeated text"']);
  assert.ok(custom[0].count >= 3000 && custom[0].size >= 3000 * 8);
  assert.ok(custom[1].count >= 40 && custom[2].count < 3000 && custom[3].count >= 2000);

  const throwing = ['"vantarel repeated text"', 'placeholder'];
  Object.defineProperty(throwing, 1, { get() { throw new Error('element'); } });
  assert.deepStrictEqual(census(throwing).map((e) => e.name), ['"vantarel repeated text"']);
  // Not an array (a proxy of one whose every read throws included): nothing
  // requested, the widgets rank among the rest.
  const hostile = new Proxy(['CensusWidget'], { get() { throw new Error('read'); } });
  assert.deepStrictEqual(census(hostile), []);
  assert.ok(keep.length > 0);
});

test('census names are shortened at 64 characters and always valid JSON', () => {
  // String keys add two quotes to the text: keys of 63, 64 and 100 characters.
  const texts = ['a'.repeat(61), 'b'.repeat(62), 'c'.repeat(98), 'say "hi"',
    'one\ntwo\r\nthree', 'C:\\temp\\new', 'tab\there\u0001\u001f', '',
    'x","size":0,"count":0,"type":"CUSTOM"},{"name":"evil'];
  const keep = texts.map(copy);
  const keys = texts.map((t) => `"${t}"`);
  const written = census(keys).map((e) => e.name);
  assert.deepStrictEqual(written, [keys[0], `${keys[1]}...`, `${keys[2].slice(0, 64)}...`,
    ...keys.slice(3)]);
  assert.ok(keep.length > 0);
});

test('census calls nothing without a function as the second argument', () => {
  let called = 0;
  const fn = () => { called++; };
  for (const args of [[], [fn], [['Object'], 1], [null, null], [fn, {}]]) {
    assert.strictEqual(vantarel.getV8HeapSnapshot(...args), undefined);
  }
  assert.strictEqual(called, 0);
  const error = new Error('census callback');
  assert.throws(() => vantarel.getV8HeapSnapshot([], () => { throw error; }), (e) => e === error);
});

function stream(answer) {
  const pieces = [];
  assert.strictEqual(vantarel.takeHeapSnapshot((piece) => {
    pieces.push(piece);
    return answer(pieces.length);
  }), undefined);
  return pieces;
}

test('the snapshot stream joins to the host snapshot in pieces of 16384 bytes at most', () => {
  const pieces = stream(() => true);
  assert.ok(pieces.length > 3);
  for (const piece of pieces) assert.ok(piece.length > 0 && Buffer.byteLength(piece) <= 16384);
  const { snapshot, nodes } = JSON.parse(pieces.join(''));
  assert.ok(snapshot.node_count > 0);
  assert.strictEqual(nodes.length, snapshot.node_count * snapshot.meta.node_fields.length);
});

test('the stream stops at the first false answer, a throw or without a function', () => {
  assert.strictEqual(stream(() => undefined).length, 1);
  assert.strictEqual(stream((n) => n < 3).length, 3);
  for (const args of [[], [42], [null]]) {
    assert.strictEqual(vantarel.takeHeapSnapshot(...args), undefined);
  }
  const error = new Error('piece');
  let calls = 0;
  assert.throws(() => vantarel.takeHeapSnapshot(() => { calls++; throw error; }),
    (e) => e === error);
  assert.strictEqual(calls, 1);
});

test('object tracking switches without raising and records no allocation traces', () => {
  assert.strictEqual(vantarel.isObjectTrackingSupported(1, 'x'), true);
  assert.strictEqual(vantarel.stopTrackingHeapObjects(), undefined);
  vantarel.startTrackingHeapObjects();
  assert.strictEqual(vantarel.startTrackingHeapObjects(), undefined);
  const keep = [];
  for (let i = 0; i < 1000; i++) keep.push({ tracked: i });
  const snapshot = JSON.parse(stream(() => true).join(''));
  vantarel.stopTrackingHeapObjects();
  assert.strictEqual(snapshot.snapshot.trace_function_count, 0);
  assert.ok(keep.length > 0);
});

test('code deoptimizing inside an inlined closure survives tracking', () => {
  // With allocation traces on, the engine crashed materializing `g` here.
  const r = runNode(`
    require('.').startTrackingHeapObjects();
    function outer(x) { const g = (y) => y.a + 1; return g(x); }
    %PrepareFunctionForOptimization(outer);
    for (let i = 0; i < 100; i++) outer({ a: i });
    %OptimizeFunctionOnNextCall(outer);
    outer({ a: 1 });
    process.stdout.write(String(outer({ b: 1, a: 'x' })));
  `, { args: ['--allow-natives-syntax'] });
  assert.strictEqual(r.signal, null);
  assert.strictEqual(r.status, 0, r.stderr);
  assert.strictEqual(r.stdout, 'x1');
});
