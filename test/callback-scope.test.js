'use strict';
// Script that reaches the module from another addon's libuv callback, which
// calls it with a plain function call and no callback scope open (the test
// addon test/addon/no_callback_scope.cc). A throwing callback must end the
// call there as from plain script: called once, its exception reaching the
// caller.
const test = require('node:test');
const assert = require('node:assert');
const vantarel = require('..');
const { buildTestAddon } = require('../scripts/test-addon');

const addon = buildTestAddon('no_callback_scope');

// Runs fn from the test addon's timer; resolves with what fn threw.
function callWithoutScope(fn) {
  const { call } = require(addon.file);
  return new Promise((resolve) => call(fn, (thrown) => resolve(thrown)));
}

function busy(ms) {
  const end = Date.now() + ms;
  let x = 0;
  while (Date.now() < end) x += Math.sqrt(x + 1);
  return x;
}

function profiled() {
  vantarel.startV8Profiler();
  busy(20);
}

// Each case: what to set up, then the call that hands `callback` to the
// module.
const CASES = {
  visitor: [profiled, (callback) => vantarel.stopV8Profiler(() => false, callback)],
  filter: [profiled, (callback) => vantarel.stopV8Profiler(callback, () => {})],
  census: [() => {}, (callback) => vantarel.getV8HeapSnapshot([], callback)],
  piece: [() => {}, (callback) => vantarel.takeHeapSnapshot(callback)],
  report: [
    () => {},
    (callback) => {
      vantarel.initAnalytics({}, callback);
      for (let i = 0; i <= 10000; i++) vantarel.recordTransaction({});
      vantarel.reportTransactions();
    },
  ],
};

test('a throwing callback is called once and its exception reaches the caller',
  { skip: addon.skip }, async () => {
    for (const [name, [setUp, hand]] of Object.entries(CASES)) {
      const error = new Error(name);
      let calls = 0;
      setUp();
      const thrown = await callWithoutScope(() => hand(() => {
        calls++;
        throw error;
      }));
      assert.strictEqual(thrown, error, name);
      assert.strictEqual(calls, 1, name);
    }
  });
