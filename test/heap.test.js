'use strict';
// Heap census, snapshot stream and heap-object tracking. Each snapshot costs
// a full collection and a walk of the heap, so the cases share snapshots.
const test = require('node:test');
const assert = require('node:assert');
const vantarel = require('..');

// A fresh copy of text in the heap (a string node of its own).
const copy = (text) => Buffer.from(text).toString();

function census(names) {
  const calls = [];
  const result = vantarel.getV8HeapSnapshot(names, (...args) => calls.push(args));
  assert.strictEqual(result, undefined);
  assert.strictEqual(calls.length, 1);
  assert.strictEqual(calls[0][0], null);
  assert.strictEqual(typeof calls[0][1], 'string');
  return JSON.parse(calls[0][1]);
}

const byteOrder = (a, b) => Buffer.compare(Buffer.from(a), Buffer.from(b));

function assertRanked(entries) {
  assert.ok(entries.length <= 20);
  for (let i = 0; i < entries.length; i++) {
    const e = entries[i];
    assert.strictEqual(e.type, 'SYSTEM');
    assert.deepStrictEqual(Object.keys(e), ['name', 'size', 'count', 'type']);
    assert.ok(Number.isInteger(e.count) && e.count > 0 && Number.isInteger(e.size));
    if (i === 0) continue;
    const prev = entries[i - 1];
    assert.ok(prev.count >= e.count, 'sorted by count');
    // Equal counts keep key order; shortened names may have lost the tail.
    if (prev.count === e.count && !prev.name.endsWith('...')) {
      assert.ok(byteOrder(prev.name, e.name) < 0, `${prev.name} before ${e.name}`);
    }
  }
}

class CensusWidget {}

test('census of a shaped heap: requested names first, then the most numerous', () => {
  const keep = [];
  for (let i = 0; i < 3000; i++) keep.push(new CensusWidget());
  for (let i = 0; i < 2000; i++) keep.push(copy('vantarel repeated text'));
  for (let i = 0; i < 40; i++) keep.push(new RegExp('^vantarel-[0-9]+$'));
  const throwing = ['"vantarel repeated text"', 'placeholder'];
  Object.defineProperty(throwing, 1, { get() { throw new Error('element'); } });

  const names = ['CensusWidget', 'NoSuchName', '/^vantarel-[0-9]+$/',
    Symbol('not text'), { toString() { throw new Error('text'); } },
    '"CensusWidget"', 'CensusWidget', 'vantarel repeated text',
    '"vantarel repeated text"'];
  const entries = census(names);
  const custom = entries.filter((e) => e.type === 'CUSTOM');
  // Quotes address the string of a text, never the objects of that name.
  assert.deepStrictEqual(custom.map((e) => e.name), ['CensusWidget',
    '/^vantarel-[0-9]+$/', '"CensusWidget"', '"vantarel repeated text"']);
  assert.deepStrictEqual(entries.slice(0, 4), custom);
  assert.ok(custom[0].count >= 3000 && custom[0].size >= 3000 * 8);
  assert.ok(custom[1].count >= 40);
  assert.ok(custom[2].count < 3000);
  assert.ok(custom[3].count >= 2000);
  const ranked = entries.slice(4);
  assert.strictEqual(ranked.length, 20);
  assertRanked(ranked);
  for (const e of ranked) assert.ok(!custom.some((c) => c.name === e.name));

  // A throwing element read is skipped like any other unreadable name.
  const fromThrowing = census(throwing).filter((e) => e.type === 'CUSTOM');
  assert.deepStrictEqual(fromThrowing.map((e) => e.name), ['"vantarel repeated text"']);

  // Not an array: nothing requested; the widgets now rank among the rest.
  const plain = census(null);
  assert.strictEqual(plain.length, 20);
  assertRanked(plain);
  assert.ok(plain.some((e) => e.name === 'CensusWidget'));
  assert.ok(keep.length > 0);
});

test('census names are shortened at 64 characters and always valid JSON', () => {
  // String keys add two quotes to the text.
  const texts = {
    k63: 'a'.repeat(61),
    k64: 'b'.repeat(62),
    k100: 'c'.repeat(98),
    quotes: 'say "hi"',
    breaks: 'one\ntwo\r\nthree',
    backslash: 'C:\\temp\\new',
    control: 'tab\there\u0001\u001f',
    inject: 'x","size":0,"count":0,"type":"CUSTOM"},{"name":"evil',
    empty: '',
  };
  const keep = Object.values(texts).map(copy);
  const keys = Object.fromEntries(Object.entries(texts).map(([k, t]) => [k, `"${t}"`]));
  const entries = census(Object.values(keys));
  const written = Object.fromEntries(entries.filter((e) => e.type === 'CUSTOM')
    .map((e) => [e.name.startsWith(keys.k100.slice(0, 10)) ? keys.k100 : e.name, e]));
  assert.strictEqual(entries.filter((e) => e.type === 'CUSTOM').length, 9);
  assert.ok(written[keys.k63], 'a 63-character name is written whole');
  assert.ok(written[`${keys.k64}...`], 'a 64-character name gains the full stops');
  assert.strictEqual(written[keys.k100].name, `${keys.k100.slice(0, 64)}...`);
  for (const k of ['quotes', 'breaks', 'backslash', 'control', 'inject', 'empty']) {
    assert.ok(written[keys[k]], `${k} survives escaping`);
  }
  assert.strictEqual(entries.length, 9 + 20);
  assert.ok(keep.length > 0);
});

test('census calls nothing without a function as the second argument', () => {
  let called = 0;
  const fn = () => { called++; };
  for (const args of [[], [fn], [['Object'], 1], [null, null], [fn, {}]]) {
    assert.strictEqual(vantarel.getV8HeapSnapshot(...args), undefined);
  }
  assert.strictEqual(called, 0);
});

test('an exception of the census callback reaches the caller', () => {
  const error = new Error('census callback');
  assert.throws(() => vantarel.getV8HeapSnapshot([], () => { throw error; }),
    (e) => e === error);
});

function stream(answer) {
  const pieces = [];
  const result = vantarel.takeHeapSnapshot((piece) => {
    pieces.push(piece);
    return answer(pieces.length);
  });
  assert.strictEqual(result, undefined);
  return pieces;
}

test('the snapshot stream joins to the host snapshot in pieces of 16384 bytes at most', () => {
  const pieces = stream(() => true);
  assert.ok(pieces.length > 3);
  for (const piece of pieces) {
    assert.strictEqual(typeof piece, 'string');
    assert.ok(Buffer.byteLength(piece) <= 16384 && piece.length > 0);
  }
  const snapshot = JSON.parse(pieces.join(''));
  const fields = snapshot.snapshot.meta.node_fields.length;
  assert.ok(snapshot.snapshot.node_count > 0);
  assert.strictEqual(snapshot.nodes.length, snapshot.snapshot.node_count * fields);
});

test('the stream stops at the first false answer', () => {
  assert.strictEqual(stream(() => undefined).length, 1);
  assert.strictEqual(stream((n) => n < 3).length, 3);
  assert.strictEqual(stream((n) => (n < 2 ? 'more' : 0)).length, 2);
});

test('the stream calls nothing without a function', () => {
  for (const args of [[], [42], ['fn'], [null]]) {
    assert.strictEqual(vantarel.takeHeapSnapshot(...args), undefined);
  }
});

test('an exception of the piece function ends the stream and reaches the caller', () => {
  const error = new Error('piece');
  let calls = 0;
  assert.throws(() => vantarel.takeHeapSnapshot(() => { calls++; throw error; }),
    (e) => e === error);
  assert.strictEqual(calls, 1);
});

test('object tracking is supported and switches without raising', () => {
  assert.strictEqual(vantarel.isObjectTrackingSupported(), true);
  assert.strictEqual(vantarel.isObjectTrackingSupported(1, 'x', {}), true);
  assert.strictEqual(vantarel.stopTrackingHeapObjects(), undefined);
  vantarel.startTrackingHeapObjects();
  assert.strictEqual(vantarel.startTrackingHeapObjects(), undefined);
  const keep = [];
  for (let i = 0; i < 1000; i++) keep.push({ tracked: i });
  const snapshot = JSON.parse(stream(() => true).join(''));
  vantarel.stopTrackingHeapObjects();
  assert.ok(snapshot.snapshot.trace_function_count > 0);
  assert.ok(snapshot.trace_tree.length > 0);
  assert.ok(keep.length > 0);
});
