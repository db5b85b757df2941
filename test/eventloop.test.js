'use strict';
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const { getEventLoopInfo, resetEventLoopInfo } = require('..');
const { nextTurn } = require('./common');

// Read in the same run of script that loaded the module.
const atLoad = getEventLoopInfo();

const counters = () => {
  const info = getEventLoopInfo();
  return { num: info[0], min: info[1], max: info[2], sum: info[3], iosum: info[4] };
};

test('counters are zero in the run that loaded the module', () => {
  assert.deepStrictEqual(atLoad, { 0: 0, 1: 0, 2: 0, 3: 0, 4: 0 });
});

test('the result is a plain object with keys 0 to 4 and no length', () => {
  const info = getEventLoopInfo();
  assert.strictEqual(Array.isArray(info), false);
  assert.strictEqual(Object.getPrototypeOf(info), Object.prototype);
  assert.deepStrictEqual(Object.keys(info), ['0', '1', '2', '3', '4']);
  assert.strictEqual('length' in info, false);
  for (const v of Object.values(info)) assert.ok(Number.isInteger(v) && v >= 0);
});

test('reset zeroes the counters until the next iteration, which counts once', async () => {
  await nextTurn();
  resetEventLoopInfo();
  assert.deepStrictEqual(counters(), { num: 0, min: 0, max: 0, sum: 0, iosum: 0 });
  await nextTurn();
  const c = counters();
  assert.ok(c.num >= 1);
});

test('num grows by one per iteration', async () => {
  resetEventLoopInfo();
  const seen = [];
  for (let i = 0; i < 10; i++) {
    await nextTurn();
    seen.push(counters().num);
  }
  for (let i = 1; i < seen.length; i++) assert.strictEqual(seen[i] - seen[i - 1], 1, `${seen}`);
});

test('a loop blocked in an I/O callback shows in max, sum and iosum', async () => {
  resetEventLoopInfo();
  await new Promise((resolve) => fs.readFile(__filename, () => {
    const until = Date.now() + 50;
    while (Date.now() < until);
    resolve();
  }));
  await nextTurn();
  const c = counters();
  assert.ok(c.max >= 45, `max ${c.max}`);
  assert.ok(c.sum >= c.max);
  assert.ok(c.iosum <= c.sum);
  assert.ok(c.min <= c.max);
});

test('iosum never exceeds sum across many iterations', async () => {
  resetEventLoopInfo();
  for (let i = 0; i < 50; i++) {
    await new Promise((resolve) => (i % 2 ? setImmediate : setTimeout)(resolve, 1));
    const c = counters();
    assert.ok(c.iosum <= c.sum, JSON.stringify(c));
  }
});
