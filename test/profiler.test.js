'use strict';
const test = require('node:test');
const assert = require('node:assert');
const vantarel = require('..');
const { runNode } = require('./common');
const { readPprof, byLeaf } = require('./pprof');

const TABLE = ['time', 'cpuTime', 'afterGC', 'startV8Profiler', 'stopV8Profiler',
  'getEventLoopInfo', 'resetEventLoopInfo', 'getV8HeapSnapshot',
  'isObjectTrackingSupported', 'initAnalytics', 'enableAnalytics',
  'recordTransaction', 'reportTransactions', 'startTrackingHeapObjects',
  'stopTrackingHeapObjects', 'takeHeapSnapshot', 'startHeapSampling', 'getHeapSamples',
  'getHeapSamplesPprof', 'stopHeapSampling', 'stopV8ProfilerPprof', 'startLoopWatchdog',
  'stopLoopWatchdog'];

test('exports are functions of the table, in table order', () => {
  const keys = Object.keys(vantarel);
  assert.deepStrictEqual(keys, TABLE.filter((name) => keys.includes(name)));
  for (const name of TABLE.slice(3, 5).concat(TABLE.slice(7, 9), TABLE.slice(13))) {
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
// calls in order into `calls`; `fail` makes the first call of a kind throw.
function profileAndStop(dissolve, { calls = [], fail } = {}) {
  vantarel.startV8Profiler();
  branch();
  const record = (kind) => (count, hit, fn, url, line) => {
    assert.ok(Number.isInteger(count) && typeof hit === 'number' &&
      typeof fn === 'string' && typeof url === 'string' && Number.isInteger(line));
    calls.push({ kind, count, hit, fn, url, line });
    if (fail && fail.kind === kind) throw fail.error;
    return kind === 'filter' ? dissolve(calls.at(-1)) : 'ignored';
  };
  assert.strictEqual(vantarel.stopV8Profiler(record('filter'), record('visit')), undefined);
  return calls;
}

// Checks a walk's calls against the order rules: the root first, retained
// nodes breadth first, a node's children (and those of dissolved ones, depth
// first) screened right before its visit, each visit counting the retained
// nodes found there. Answers the number of visits.
function replay(calls, dissolve) {
  let pos = 0;
  const take = (kind) => {
    const call = calls[pos++];
    assert.strictEqual(call && call.kind, kind, `call ${pos - 1}`);
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
  for (; queue.length > 0; visits++) {
    const node = queue.shift();
    let retained = 0;
    // The root's child count is never shown: screen until its visit.
    if (node === null) while (calls[pos] && calls[pos].kind === 'filter') retained += screen();
    else for (let i = 0; i < node.count; i++) retained += screen();
    const visit = take('visit');
    assert.strictEqual(visit.count, retained);
    if (node !== null) assert.deepStrictEqual({ ...visit, kind: 'filter', count: node.count }, node);
  }
  assert.strictEqual(pos, calls.length, 'no call after the walk');
  return visits;
}

test('the walk follows the order rules on the engine tree', () => {
  const all = profileAndStop(() => true);
  assert.ok(all.length > 2);
  assert.deepStrictEqual(all.filter((c) => c.kind === 'visit').map((c) => [c.count, c.fn]),
    [[0, '(root)']]);
  replay(all, () => true);

  const none = profileAndStop(() => false);
  const visits = none.filter((c) => c.kind === 'visit');
  assert.strictEqual(replay(none, () => false), visits.length);
  assert.strictEqual(visits[0].fn, '(root)');
  assert.strictEqual(visits.reduce((sum, v) => sum + v.count, 0), visits.length - 1);

  // Keep the test's own leaves and dissolve the frames around them.
  const dissolve = (node) => !['leafOne', 'leafTwo', 'busy'].includes(node.fn);
  const mixed = profileAndStop(dissolve);
  const kept = mixed.filter((c) => c.kind === 'visit');
  assert.strictEqual(replay(mixed, dissolve), kept.length);
  assert.strictEqual(kept.reduce((sum, v) => sum + v.count, 0), kept.length - 1);
  assert.ok(kept.some((v) => v.fn === 'leafOne') && !kept.some((v) => v.fn === 'branch'));
});

test('stops that cannot walk call nothing and end the profile', () => {
  let called = 0;
  const fn = () => { called++; return false; };
  vantarel.stopV8Profiler(fn, fn);  // nothing started
  for (const args of [[fn], [], [fn, 1], [1, fn], [fn, {}]]) {
    vantarel.startV8Profiler();
    busy(2);
    vantarel.stopV8Profiler(...args);
    vantarel.stopV8Profiler(fn, fn);  // the profile is gone
  }
  assert.strictEqual(called, 0);
  // Starting twice is one profile for the engine.
  vantarel.startV8Profiler();
  vantarel.startV8Profiler();
  vantarel.stopV8Profiler(() => true, fn);
  vantarel.stopV8Profiler(() => true, fn);
  assert.strictEqual(called, 1);
});

test('a throwing filter or visitor ends the walk and throws to the caller', () => {
  for (const kind of ['filter', 'visit']) {
    const calls = [];
    const error = new Error(kind);
    assert.throws(() => profileAndStop(() => false, { calls, fail: { kind, error } }),
      (e) => e === error);
    assert.strictEqual(calls.filter((c) => c.kind === kind).length, 1);
    assert.strictEqual(calls.at(-1).kind, kind, 'no call after the throw');
    let after = 0;
    vantarel.stopV8Profiler(() => { after++; }, () => { after++; });
    assert.strictEqual(after, 0, 'the profile is gone');
  }
});

// The samples a profile took over ms of busy work, and the time it ran.
function samplesOver(ms, options) {
  const started = process.hrtime.bigint();
  vantarel.startV8Profiler(options);
  busy(ms);
  let samples = 0;
  vantarel.stopV8Profiler(() => false, (count, hits) => { samples += hits; });
  return { samples, ms: Number(process.hrtime.bigint() - started) / 1e6 };
}

test('samplingInterval sets the time between samples', () => {
  const sparse = samplesOver(150, { samplingInterval: 100000 });
  // A sample every 100 ms, and one where the profile starts.
  assert.ok(sparse.samples <= sparse.ms / 100 + 2, JSON.stringify(sparse));
  // The engine's default, 1 ms, however starved the sampling thread is.
  for (const options of [undefined, { samplingInterval: undefined }]) {
    const dense = samplesOver(150, options);
    assert.ok(dense.samples > 3 * (dense.ms / 100 + 2), JSON.stringify({ options, dense }));
  }
});

test('bad options are a TypeError naming them, and start nothing', () => {
  const interval = /^Expected a positive integer of microseconds, at most 2147483647, for the samplingInterval option of startV8Profiler$/;
  const options = /^Expected an object for the options of startV8Profiler$/;
  const cases = [[null, options], [10000, options], ['fast', options]];
  for (const value of [0, -1000, 1.5, NaN, Infinity, 2 ** 31, '10000', 10000n, null, true]) {
    cases.push([{ samplingInterval: value }, interval]);
  }
  let called = 0;
  const count = () => { called++; };
  for (const [value, message] of cases) {
    assert.throws(() => vantarel.startV8Profiler(value),
      (e) => e instanceof TypeError && message.test(e.message), String(value));
    vantarel.stopV8Profiler(count, count);
  }
  const error = new Error('read');
  assert.throws(() => vantarel.startV8Profiler({ get samplingInterval() { throw error; } }),
    (e) => e === error);
  vantarel.stopV8Profiler(count, count);
  assert.strictEqual(called, 0, 'no profile was started');
});

test('a stopped profile leaves nothing that keeps the process alive', () => {
  // The profiler outlives its profiles for minutes; the process must not
  // wait for that.
  const r = runNode(`
    const vantarel = require('.');
    vantarel.startV8Profiler();
    vantarel.stopV8Profiler(() => false, () => {});
    const ended = Date.now();
    process.on('exit', () => console.log(Date.now() - ended));
  `);
  assert.strictEqual(r.status, 0, r.stderr);
  assert.ok(Number(r.stdout) < 4000, r.stdout);
});

test('stopV8ProfilerPprof gives the profile as pprof, and undefined without one', () => {
  assert.strictEqual(vantarel.stopV8ProfilerPprof(), undefined);
  const started = Date.now();
  vantarel.startV8Profiler({ samplingInterval: 2000 });
  for (let i = 0; i < 10; i++) branch();
  const profile = readPprof(vantarel.stopV8ProfilerPprof());
  assert.strictEqual(vantarel.stopV8ProfilerPprof(), undefined, 'stopped');
  assert.deepStrictEqual([profile.sampleTypes, profile.periodType, profile.period],
    [['samples/count', 'wall/nanoseconds'], 'wall/nanoseconds', 2e6]);
  assert.ok(Math.abs(profile.timeNanos / 1e6 - started) < 100, 'started then');
  // The end is the last sample the engine processed: up to an interval early.
  assert.ok(profile.durationNanos >= 300e6 && profile.durationNanos < 5e9, String(profile.durationNanos));
  for (const { values } of profile.samples) assert.strictEqual(values[1], values[0] * 2e6);
  const leaves = byLeaf(profile, 0).map(([name]) => name);
  const busyAt = leaves.indexOf('busy');
  assert.ok(busyAt >= 0 && busyAt < 3, leaves.join());
  const sample = profile.samples.find((s) => s.stack[0].name === 'busy' &&
    s.stack[1].name === 'leafOne');
  assert.deepStrictEqual(sample.stack.slice(1, 3).map((f) => [f.name, f.file]),
    [['leafOne', __filename], ['branch', __filename]]);
});
