'use strict';
// The sampling heap profile: which allocation sites hold the live heap,
// walked like the CPU profile and encoded as pprof.
const test = require('node:test');
const assert = require('node:assert');
const vantarel = require('..');
const { readPprof, byLeaf } = require('./pprof');

const MB = 2 ** 20;
let kept = [];
// Some 16 MB of small objects, kept.
function retainSixteen() {
  for (let i = 0; i < 160000; i++) kept.push({ i, text: `entry ${i}` });
}
// As much, dropped at once.
function churnSixteen() {
  let garbage = [];
  for (let i = 0; i < 160000; i++) garbage.push({ i, text: `entry ${i}` });
  garbage = null;
  return garbage;
}

test('a retaining site holds its memory, and dropped garbage is not live', () => {
  vantarel.startHeapSampling({ samplingInterval: 32 * 1024 });
  try {
    gc();
    const before = process.memoryUsage().heapUsed;
    retainSixteen();
    churnSixteen();
    gc();
    const grown = process.memoryUsage().heapUsed - before;
    const walked = new Map();
    vantarel.getHeapSamples(() => false, (retained, bytes, fn, url, line, count) => {
      assert.ok(Number.isInteger(retained) && Number.isInteger(line) &&
        typeof url === 'string' && count >= 0);
      walked.set(fn, (walked.get(fn) || 0) + bytes);
    });
    const retaining = walked.get('retainSixteen') || 0;
    assert.ok(retaining > 0.6 * grown && retaining < 1.5 * grown,
      `retainSixteen holds ${(retaining / MB).toFixed(1)} MB of ${(grown / MB).toFixed(1)} MB`);
    assert.ok((walked.get('churnSixteen') || 0) < 0.05 * retaining, 'garbage is not live');

    const profile = readPprof(vantarel.getHeapSamplesPprof());
    assert.deepStrictEqual([profile.sampleTypes, profile.periodType, profile.period],
      [['objects/count', 'space/bytes'], 'space/bytes', 32 * 1024]);
    assert.ok(Math.abs(profile.timeNanos / 1e6 - Date.now()) < 60000);
    const [top, bytes] = byLeaf(profile, 1)[0];
    assert.strictEqual(top, 'retainSixteen');
    assert.strictEqual(bytes, Math.trunc(retaining));
    const site = profile.samples.find((s) => s.stack[0].name === 'retainSixteen');
    assert.strictEqual(site.stack[0].file, __filename);
    assert.ok(site.stack.some((frame) => frame.name === 'retainSixteen') &&
      site.stack.at(-1).name !== 'retainSixteen', 'the stack runs leaf first to its root');
  } finally {
    vantarel.stopHeapSampling();
    kept = [];
  }
});

test('without sampling nothing is walked or encoded; a start again takes the new options', () => {
  const calls = [];
  const count = () => { calls.push(1); };
  assert.strictEqual(vantarel.getHeapSamplesPprof(), undefined);
  vantarel.getHeapSamples(count, count);
  vantarel.startHeapSampling({ samplingInterval: 1024, stackDepth: 4 });
  vantarel.startHeapSampling({ samplingInterval: 4096 });
  assert.strictEqual(readPprof(vantarel.getHeapSamplesPprof()).period, 4096);
  vantarel.getHeapSamples(true, count);
  vantarel.stopHeapSampling();
  vantarel.stopHeapSampling();
  assert.strictEqual(vantarel.getHeapSamplesPprof(), undefined);
  assert.deepStrictEqual(calls, []);
});

test('a throwing filter or visitor ends the walk and throws to the caller', () => {
  vantarel.startHeapSampling({ samplingInterval: 1024 });
  retainSixteen();
  try {
    for (const which of ['filter', 'visitor']) {
      const error = new Error(which);
      let calls = 0;
      const fail = () => { calls++; throw error; };
      assert.throws(() => vantarel.getHeapSamples(which === 'filter' ? fail : () => false,
        which === 'visitor' ? fail : () => {}), (e) => e === error);
      assert.strictEqual(calls, 1);
    }
  } finally {
    vantarel.stopHeapSampling();
    kept = [];
  }
});

test('bad options are a TypeError naming them, and start nothing', () => {
  const cases = [[null, /^Expected an object for the options of startHeapSampling$/],
    [512, /^Expected an object for the options of startHeapSampling$/]];
  for (const value of [0, -1, 1.5, NaN, '4096', 4096n, null, 2 ** 53]) {
    cases.push([{ samplingInterval: value },
      /^Expected a positive integer of bytes for the samplingInterval option of startHeapSampling$/]);
  }
  for (const value of [0, 2.5, 2 ** 31, '8']) {
    cases.push([{ stackDepth: value }, /^Expected a positive integer of at most 2147483647 frames for the stackDepth option of startHeapSampling$/]);
  }
  for (const [value, message] of cases) {
    assert.throws(() => vantarel.startHeapSampling(value),
      (e) => e instanceof TypeError && message.test(e.message), String(value));
    assert.strictEqual(vantarel.getHeapSamplesPprof(), undefined, 'nothing started');
  }
});
