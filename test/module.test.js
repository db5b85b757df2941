'use strict';
const test = require('node:test');
const assert = require('node:assert');
const addon = require('..');
const { runNode } = require('./common');

const EXPORTED = [
  'time', 'cpuTime', 'afterGC', 'startV8Profiler', 'stopV8Profiler',
  'getEventLoopInfo', 'resetEventLoopInfo', 'getV8HeapSnapshot',
  'isObjectTrackingSupported', 'initAnalytics', 'enableAnalytics',
  'recordTransaction', 'reportTransactions', 'startTrackingHeapObjects',
  'stopTrackingHeapObjects', 'takeHeapSnapshot',
];

test('the exports object holds exactly the module functions, in order', () => {
  assert.deepStrictEqual(Object.keys(addon), EXPORTED);
  for (const name of EXPORTED) assert.strictEqual(typeof addon[name], 'function', name);
});

test('the package entry exports the addon functions, recordTransaction read in script', () => {
  const binary = require('../build/Release/vantarel.node');
  for (const name of EXPORTED.filter((n) => n !== 'recordTransaction')) {
    assert.strictEqual(addon[name], binary[name], name);
  }
  assert.strictEqual(typeof binary.recordFlatTransaction, 'function');
});

test('ES module imports give the CommonJS exports, as default and by name', () => {
  const r = runNode(`
    import vantarel, * as named from 'vantarel';
    import { time, recordTransaction } from 'vantarel';
    import { createRequire } from 'node:module';
    const required = createRequire(import.meta.url)('vantarel');
    const same = Object.keys(required).filter((name) => named[name] === required[name]);
    console.log(JSON.stringify({
      defaultIsRequired: vantarel === required,
      named: Object.keys(named).sort(),
      same: same.length,
      picked: time === required.time && recordTransaction === required.recordTransaction,
    }));`, { args: ['--input-type=module'] });
  assert.strictEqual(r.status, 0, r.stderr);
  assert.deepStrictEqual(JSON.parse(r.stdout), {
    defaultIsRequired: true,
    named: [...EXPORTED, 'default'].sort(),
    same: EXPORTED.length,
    picked: true,
  });
});

test('a process with nothing pending exits although monitoring runs', () => {
  const r = runNode("require('.'); setTimeout(() => {}, 10);", { timeout: 10000 });
  assert.strictEqual(r.error, undefined);
  assert.strictEqual(r.status, 0);
});

test('a first load in a worker thread is refused and the main loop is unharmed', () => {
  const r = runNode(`
    const { Worker } = require('worker_threads');
    const w = new Worker(
      "try { require('./'); console.log('loaded'); } catch (e) { console.log('error: ' + e.message); }",
      { eval: true });
    w.on('exit', () => {
      const addon = require('./');
      let ticks = 0;
      const t = setInterval(() => {
        if (++ticks === 5) {
          clearInterval(t);
          setImmediate(() => console.log('main num ' + addon.getEventLoopInfo()[0]));
        }
      }, 1);
    });`);
  assert.strictEqual(r.status, 0, r.stderr);
  const lines = r.stdout.trim().split('\n');
  assert.strictEqual(lines[0], 'error: vantarel works on the main thread only');
  assert.match(lines[1], /^main num [1-9]\d*$/);
});

test('loading in a worker after the main thread is refused too', () => {
  const r = runNode(`
    require('./');
    const { Worker } = require('worker_threads');
    new Worker("try { require('./'); } catch (e) { console.log(e.message); }", { eval: true });`);
  assert.strictEqual(r.status, 0, r.stderr);
  assert.strictEqual(r.stdout.trim(), 'vantarel works on the main thread only');
});
