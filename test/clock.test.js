'use strict';
const test = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const { promisify } = require('node:util');
const { time, cpuTime } = require('..');

test('time() is integral microseconds close to Date.now()', () => {
  const before = Date.now() * 1000;
  const t = time();
  const after = Date.now() * 1000;
  assert.ok(Number.isInteger(t));
  assert.ok(t >= before - 1000 && t <= after + 1000, `${before} ${t} ${after}`);
  const later = time('ignored', 42);
  assert.ok(later >= t);
});

test('time() has microsecond resolution', () => {
  const seen = new Set();
  for (let i = 0; i < 2000; i++) seen.add(time() % 1000);
  assert.ok(seen.size > 10, `only ${seen.size} distinct sub-millisecond values`);
});

test('cpuTime() grows while the main thread burns CPU', () => {
  // Burn until the kernel has charged 50 ms, however loaded the machine is.
  const usage = process.cpuUsage();
  const start = cpuTime();
  let x = 0;
  while (process.cpuUsage(usage).user < 50000) x += Math.sqrt(x + 1);
  const used = cpuTime() - start;
  assert.ok(Number.isInteger(used));
  assert.ok(used >= 50000, `only ${used} us`);
});

test('cpuTime() counts the worker pool and matches process.cpuUsage()', async () => {
  const pbkdf2 = promisify(crypto.pbkdf2);
  const usage = process.cpuUsage();
  const start = cpuTime();
  await Promise.all([0, 1].map(() => pbkdf2('secret', 'salt', 400000, 32, 'sha256')));
  const ours = cpuTime() - start;
  const theirs = process.cpuUsage(usage);
  assert.ok(ours >= 100000, `the pool's ${ours} us were not counted`);
  assert.ok(Math.abs(ours - (theirs.user + theirs.system)) < 20000,
    `${ours} vs ${theirs.user + theirs.system}`);
});
