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
  'stopTrackingHeapObjects', 'takeHeapSnapshot', 'startHeapSampling', 'getHeapSamples',
  'getHeapSamplesPprof', 'stopHeapSampling', 'stopV8ProfilerPprof', 'startLoopWatchdog',
  'stopLoopWatchdog',
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
