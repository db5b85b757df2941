'use strict';
// Run with --expose-gc.
const test = require('node:test');
const assert = require('node:assert');
const v8 = require('node:v8');
const { PerformanceObserver } = require('node:perf_hooks');
const { afterGC } = require('..');
const { runNode, nextTurn } = require('./common');

const TYPES = ['kGCTypeScavenge', 'kGCTypeMarkSweepCompact', 'kGCTypeAll', 'Other'];
const FLAGS = ['kNoGCCallbackFlags', 'kGCCallbackFlagCompacted', 'Other'];

function collect() {
  const calls = [];
  afterGC((...args) => calls.push(args));
  return calls;
}

const settle = (ms = 50) => new Promise((resolve) => setTimeout(resolve, ms));

async function until(condition, ms = 3000) {
  const end = Date.now() + ms;
  while (!condition() && Date.now() < end) await settle(10);
}

test('a forced collection is reported in a later turn, never during the run', async () => {
  const calls = collect();
  global.gc();
  global.gc({ type: 'minor' });
  assert.strictEqual(calls.length, 0);
  await until(() => calls.some((c) => c[0] === 'kGCTypeScavenge') &&
    calls.some((c) => c[0] === 'kGCTypeMarkSweepCompact'));
  for (const [type, flags, size] of calls) {
    assert.ok(TYPES.includes(type), type);
    assert.ok(FLAGS.includes(flags), flags);
    assert.ok(Number.isInteger(size) && size > 0);
  }
});

test('the heap size is the used heap size after the collection', async () => {
  const sizes = [];
  afterGC((type, flags, size) => { if (type === 'kGCTypeMarkSweepCompact') sizes.push(size); });
  global.gc();
  const expected = v8.getHeapStatistics().used_heap_size;
  const close = () => sizes.some((s) => Math.abs(s - expected) < 0.05 * expected);
  await until(close);
  assert.ok(close(), `${sizes} vs ${expected}`);
});

test('bad arguments keep the earlier registration; the last function alone is notified', async () => {
  const first = [];
  const second = [];
  afterGC(() => first.push(1));
  afterGC(() => second.push(1));
  for (const bad of [undefined, null, 42, 'f', {}]) assert.strictEqual(afterGC(bad), undefined);
  assert.strictEqual(afterGC(), undefined);
  global.gc();
  await until(() => second.length > 0);
  await settle();
  assert.strictEqual(first.length, 0);
  assert.ok(second.length >= 1);
});

test('each collection is reported exactly once, however often afterGC was called', async () => {
  for (let i = 0; i < 3; i++) afterGC(() => {});
  await settle();
  let ours = 0;
  let theirs = 0;
  const obs = new PerformanceObserver((list) => { theirs += list.getEntries().length; });
  obs.observe({ entryTypes: ['gc'] });
  afterGC(() => { ours++; });
  for (let i = 0; i < 5; i++) {
    global.gc();
    await settle(5);
  }
  await until(() => theirs >= 5 && ours === theirs);
  await settle(100);
  obs.disconnect();
  assert.ok(theirs >= 5);
  assert.strictEqual(ours, theirs);
});

test('collections of one synchronous stretch are each reported once, in order, over turns',
  async () => {
    let turn = 0;
    const seen = [];
    afterGC((type) => seen.push({ type, turn }));
    await settle();
    seen.length = 0;
    const expected = [];
    for (let i = 0; i < 200; i++) {
      // On V8 14, gc() given any argument, even undefined, is a minor one.
      if (i % 10 === 9) {
        global.gc();
        expected.push('kGCTypeMarkSweepCompact');
      } else {
        global.gc({ type: 'minor' });
        expected.push('kGCTypeScavenge');
      }
    }
    for (let i = 0; i < 100 && seen.length < expected.length; i++) {
      await nextTurn();
      turn++;
    }
    assert.deepStrictEqual(seen.map((s) => s.type).filter((t) => t !== 'Other'), expected);
    assert.ok(new Set(seen.map((s) => s.turn)).size > 1, 'delivered over more than one turn');
  });

test('a throwing notification is an uncaught exception; delivery goes on while script may run',
  () => {
    const handled = runNode(`
      const a = require('./');
      const { Worker } = require('worker_threads');
      const errors = [];
      process.on('uncaughtException', (e) => errors.push(e.message));
      let calls = 0;
      a.afterGC(() => { if (++calls === 1) throw new Error('first notification'); });
      gc();
      gc();
      const worker = new Worker(\`
        require('./').afterGC(() => { throw new Error('in the worker'); });
        gc();
        gc();\`, { eval: true });
      let workerError;
      worker.on('error', (e) => { workerError = e.message; });
      worker.on('exit', (code) => console.log(JSON.stringify({ calls, errors, workerError, code })));
    `, { args: ['--expose-gc'] });
    assert.strictEqual(handled.status, 0, handled.stderr);
    const result = JSON.parse(handled.stdout);
    assert.ok(result.calls >= 2, handled.stdout);
    assert.deepStrictEqual(result.errors, ['first notification']);
    assert.strictEqual(result.workerError, 'in the worker');
    assert.strictEqual(result.code, 1);

    const unhandled = runNode(`
      let calls = 0;
      require('./').afterGC(() => { calls++; throw new Error('unhandled notification'); });
      process.on('exit', () => console.log(calls));
      gc();
      gc();
    `, { args: ['--expose-gc'] });
    assert.strictEqual(unhandled.status, 1);
    assert.match(unhandled.stderr, /unhandled notification/);
    assert.strictEqual(unhandled.stdout.trim(), '1');
  });
