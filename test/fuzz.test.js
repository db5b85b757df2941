'use strict';
// The short fuzz pass: a few thousand hostile calls in a child process. The
// seed is printed; FUZZ_SEED=S replays a run.
const test = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const path = require('node:path');
const addon = require('..');
const { fuzz } = require('./fuzz/run');
const { ROWS } = require('./fuzz/table');
const { spawnSync } = require('node:child_process');

const seed = process.env.FUZZ_SEED ? Number(process.env.FUZZ_SEED) : crypto.randomInt(2 ** 32);
const calls = Number(process.env.FUZZ_CALLS || 3000);

// FUZZ_CALLS=N makes a longer pass, e.g. under the sanitizers.
test(`hostile calls never abort the process (seed ${seed})`, { timeout: Math.max(300000, calls * 100) }, async (t) => {
  const r = await fuzz({ seed, calls, quiet: true });
  for (const line of r.report.split('\n')) t.diagnostic(line);
  assert.ok(r.ok, r.report);
  assert.strictEqual(r.summary.calls, calls);
});

test('every exported function has a row in the fuzz table', () => {
  const rows = new Set(ROWS.map((row) => row.name));
  for (const name of Object.keys(addon)) assert.ok(rows.has(name), name);
});

test('a call is made from the seed and its index alone', () => {
  const describe = (s, from) => spawnSync(process.execPath, ['--expose-gc',
    path.join(__dirname, 'fuzz', 'child.js'), '--seed', String(s), '--from', String(from),
    '--calls', '3', '--describe'], { encoding: 'utf8' }).stdout;
  const run = describe(7, 100);
  assert.match(run, /^call 100: /);
  assert.strictEqual(describe(7, 100), run);
  assert.strictEqual(describe(7, 101).split('\n')[0], run.split('\n')[1]);
  assert.notStrictEqual(describe(8, 100), run);
});

test('an abort of the child is reported with the seed and the call it made', async () => {
  const r = await fuzz({ seed: 99, calls: 10, quiet: true,
    script: path.join(__dirname, 'fuzz', 'abort-fixture.js') });
  assert.strictEqual(r.ok, false);
  assert.strictEqual(r.signal, 'SIGABRT');
  assert.strictEqual(r.lastCall, 5);
  assert.match(r.report, /at call 5/);
  assert.match(r.report, /call 5: \w+ \w+\(/);
  assert.match(r.report, /--seed 99 --calls 10/);
});

test('the batch check takes sound batches and names what is wrong with others', () => {
  const { checkBatch } = require('./fuzz/checks');
  const event = (userData) => ({
    eventTimestamp: '1', applicationId: '7', application: 'a', requestGUID: 'r',
    transactionName: 't', transactionId: '-5',
    segments: [{
      segmentTimestamp: '1', tierId: '1', tier: 't', nodeId: '2', node: 'n',
      requestExperience: 'NORMAL', transactionTime: '3', entryPoint: 'true',
      clientRequestGUID: '', httpData: { url: '/', principal: '', sessionId: 's' },
      ...(userData ? { userData } : {}),
    }],
  });
  const batch = (...events) => `[${events.map((e) => `${JSON.stringify(e, null, 4)}\n`).join(', ')}]`;
  // Keys that shadow Object.prototype are data like any other.
  assert.strictEqual(checkBatch(batch(event(), event({ toString: 'x', valueOf: { a: 'y' } }))).length, 2);
  assert.throws(() => checkBatch('[]'), /non-empty array/);
  assert.throws(() => checkBatch(batch(event({ a: {} }))), /userData.a is empty/);
  assert.throws(() => checkBatch(batch(event({ a: 1 }))), /userData.a is a number/);
  assert.throws(() => checkBatch(batch(event()).replace('}\n]', '}]')), /framing/);
  assert.throws(() => checkBatch(batch(event(), event()).replace('\n, {', ',{')), /separators/);
  assert.throws(() => checkBatch('[{"a": "1"}'), /not JSON/);
});
