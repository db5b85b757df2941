'use strict';
const test = require('node:test');
const assert = require('node:assert');
const vantarel = require('..');

const TABLE = ['time', 'cpuTime', 'afterGC', 'startV8Profiler', 'stopV8Profiler',
  'getEventLoopInfo', 'resetEventLoopInfo', 'getV8HeapSnapshot',
  'isObjectTrackingSupported', 'initAnalytics', 'enableAnalytics',
  'recordTransaction', 'reportTransactions', 'startTrackingHeapObjects',
  'stopTrackingHeapObjects', 'takeHeapSnapshot'];

test('exports are functions of the table, in table order', () => {
  const keys = Object.keys(vantarel);
  assert.deepStrictEqual(keys, TABLE.filter((name) => keys.includes(name)));
  for (const name of ['startV8Profiler', 'stopV8Profiler', 'getV8HeapSnapshot',
    'isObjectTrackingSupported', 'startTrackingHeapObjects',
    'stopTrackingHeapObjects', 'takeHeapSnapshot']) {
    assert.strictEqual(typeof vantarel[name], 'function', name);
  }
});

function busy(ms) {
  const end = Date.now() + ms;
  let x = 0;
  while (Date.now() < end) x += Math.sqrt(x + 1);
  return x;
}
function leafOne() { return busy(15); }
function leafTwo() { return busy(15); }
function branch() { return leafOne() + leafTwo() + busy(5); }

// Profiles some nested calls and stops with callbacks that record their
// calls in order; `fail` makes the first call of one kind throw.
function profileAndStop(dissolve, { calls = [], fail } = {}) {
  vantarel.startV8Profiler();
  branch();
  busy(10);
  const record = (kind) => (count, hit, fn, url, line) => {
    assert.ok(Number.isInteger(count) && count >= 0);
    assert.ok(typeof hit === 'number' && hit >= 0);
    assert.strictEqual(typeof fn, 'string');
    assert.strictEqual(typeof url, 'string');
    assert.ok(Number.isInteger(line));
    const call = { kind, count, hit, fn, url, line };
    calls.push(call);
    if (fail && fail.kind === kind) throw fail.error;
    return kind === 'filter' ? dissolve(call) : 'ignored';
  };
  const result = vantarel.stopV8Profiler(record('filter'), record('visit'));
  assert.strictEqual(result, undefined);
  return calls;
}

// Checks a walk's calls against the order rules: the root first, retained
// nodes breadth first, a node's children (and the children of dissolved
// ones, depth first) screened right before its visit, and each visit's
// count the number of retained nodes found there.
function replay(calls, dissolve) {
  let pos = 0;
  const take = (kind) => {
    const call = calls[pos++];
    assert.ok(call, `a ${kind} call is missing`);
    assert.strictEqual(call.kind, kind, `call ${pos - 1}`);
    return call;
  };
  const queue = [null];
  const screen = () => {
    const node = take('filter');
    if (!dissolve(node)) {
      queue.push(node);
      return 1;
    }
    let found = 0;
    for (let i = 0; i < node.count; i++) found += screen();
    return found;
  };
  let visits = 0;
  while (queue.length > 0) {
    const node = queue.shift();
    let retained = 0;
    if (node === null) {
      // The root's child count is never shown: its children are screened
      // until its visit.
      while (calls[pos] && calls[pos].kind === 'filter') retained += screen();
    } else {
      for (let i = 0; i < node.count; i++) retained += screen();
    }
    const visit = take('visit');
    assert.strictEqual(visit.count, retained);
    if (node !== null) {
      for (const key of ['hit', 'fn', 'url', 'line']) assert.strictEqual(visit[key], node[key]);
    }
    visits++;
  }
  assert.strictEqual(pos, calls.length, 'no call after the walk');
  return visits;
}

test('a filter that always dissolves leaves the root alone, with count 0', () => {
  const calls = profileAndStop(() => true);
  assert.ok(calls.length > 2);
  const visits = calls.filter((c) => c.kind === 'visit');
  assert.deepStrictEqual(visits.map((c) => [c.count, c.fn]), [[0, '(root)']]);
  assert.strictEqual(calls.at(-1).kind, 'visit');
  replay(calls, () => true);
});

test('a filter that always retains visits the whole tree breadth first', () => {
  const calls = profileAndStop(() => false);
  const visits = calls.filter((c) => c.kind === 'visit');
  const filtered = calls.filter((c) => c.kind === 'filter');
  assert.strictEqual(visits[0].fn, '(root)');
  // Every node but the root is filtered, in the order the visits follow,
  // and each visit counts its node's children.
  assert.strictEqual(filtered.length, visits.length - 1);
  filtered.forEach((f, i) => assert.deepStrictEqual({ ...visits[i + 1], kind: 'filter' }, f));
  assert.strictEqual(visits.reduce((sum, v) => sum + v.count, 0), visits.length - 1);
  assert.ok(visits.some((v) => v.fn === 'branch'));
  replay(calls, () => false);
});

test('a mixed filter follows the order rules on the engine tree', () => {
  // Keep the test's own functions and dissolve the frames around them.
  const keep = new Set(['leafOne', 'leafTwo', 'busy']);
  const dissolve = (node) => !keep.has(node.fn);
  const calls = profileAndStop(dissolve);
  const visits = calls.filter((c) => c.kind === 'visit');
  assert.strictEqual(replay(calls, dissolve), visits.length);
  assert.strictEqual(visits.reduce((sum, v) => sum + v.count, 0), visits.length - 1);
  assert.ok(visits.some((v) => v.fn === 'leafOne'));
  assert.ok(!visits.some((v) => v.fn === 'branch'));
});

test('stops that cannot walk call nothing and end the profile', () => {
  let called = 0;
  const fn = () => { called++; return false; };
  vantarel.stopV8Profiler(fn, fn);  // nothing started
  vantarel.startV8Profiler();
  busy(5);
  assert.strictEqual(vantarel.stopV8Profiler(fn), undefined);
  vantarel.stopV8Profiler(fn, fn);  // the profile is gone
  for (const args of [[], [fn, 1], [1, fn], [fn, {}]]) {
    vantarel.startV8Profiler();
    vantarel.stopV8Profiler(...args);
  }
  vantarel.stopV8Profiler(fn, fn);
  assert.strictEqual(called, 0);
});

test('starting twice is one profile for the engine', () => {
  vantarel.startV8Profiler();
  assert.strictEqual(vantarel.startV8Profiler(), undefined);
  busy(5);
  let visits = 0;
  vantarel.stopV8Profiler(() => true, () => { visits++; });
  assert.strictEqual(visits, 1);
  vantarel.stopV8Profiler(() => true, () => { visits++; });
  assert.strictEqual(visits, 1);
});

test('a throwing filter or visitor ends the walk and throws to the caller', () => {
  for (const kind of ['filter', 'visit']) {
    const calls = [];
    const error = new Error(kind);
    assert.throws(() => profileAndStop(() => false, { calls, fail: { kind, error } }),
      (e) => e === error);
    assert.strictEqual(calls.filter((c) => c.kind === kind).length, 1, `one ${kind} call`);
    assert.strictEqual(calls.at(-1).kind, kind, 'no call after the throw');
    let after = 0;
    vantarel.stopV8Profiler(() => { after++; }, () => { after++; });
    assert.strictEqual(after, 0, 'the profile is gone');
  }
});
