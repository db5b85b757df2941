'use strict';
// The loop watchdog: the stack of what blocked the thread's loop, taken
// while it blocked and handed over after. Each case runs in a child, whose
// loop does nothing else.
const test = require('node:test');
const assert = require('node:assert');
const { runNode } = require('./common');

// Runs main() of the source in a child; its result is printed as JSON.
function inChild(source, { timeout = 30000 } = {}) {
  const r = runNode(`
    const vantarel = require('./');
    const crypto = require('crypto');
    const { Worker } = require('worker_threads');
    const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
    function busyLoop(ms) { const end = Date.now() + ms; while (Date.now() < end); }
    function hashPasswords(ms) {
      const end = Date.now() + ms;
      while (Date.now() < end) crypto.pbkdf2Sync('secret', 'salt', 20000, 64, 'sha512');
    }
    const seen = [];
    const watch = (threshold) => vantarel.startLoopWatchdog({ threshold },
      (ms, frames) => seen.push({ ms, names: frames.map((f) => f.functionName), frames }));
    ${source}
    main().then((result) => console.log(JSON.stringify(result)),
      (error) => { console.error(error); process.exitCode = 1; });`, { timeout });
  assert.strictEqual(r.status, 0, r.stderr);
  return JSON.parse(r.stdout.trim().split('\n').pop());
}

test('a block in script or in a native call is reported once, after it ends, with its stack', () => {
  const result = inChild(`
    async function main() {
      watch(100);
      await pause(50);
      busyLoop(400);
      const duringScript = seen.length;
      await pause(300);
      hashPasswords(400);
      await pause(300);
      return { duringScript, seen };
    }`);
  assert.strictEqual(result.duringScript, 0, 'called after the block, on the loop');
  assert.strictEqual(result.seen.length, 2, JSON.stringify(result.seen));
  const [script, native] = result.seen;
  for (const block of result.seen) assert.ok(block.ms >= 350 && block.ms < 1500, block.ms);
  assert.strictEqual(script.names[0], 'busyLoop');
  assert.ok(script.names.includes('main'));
  assert.ok(native.names.indexOf('hashPasswords') > 0, native.names.join(' < '));
  assert.ok(native.names.includes('pbkdf2Sync'));
  const frame = script.frames[0];
  assert.deepStrictEqual(Object.keys(frame), ['functionName', 'scriptName', 'lineNumber', 'columnNumber']);
  assert.ok(frame.scriptName.endsWith('[eval]') && frame.lineNumber > 0 && frame.columnNumber > 0,
    JSON.stringify(frame));
});

test('short blocks give no call, and none comes after stopLoopWatchdog', () => {
  const result = inChild(`
    async function main() {
      watch(200);
      for (let i = 0; i < 10; i++) {
        busyLoop(30);
        await pause(20);
      }
      busyLoop(300);
      vantarel.stopLoopWatchdog();
      await pause(300);
      busyLoop(300);
      await pause(300);
      vantarel.stopLoopWatchdog();
      return seen;
    }`);
  assert.deepStrictEqual(result, []);
});

test('bad arguments are a TypeError naming them, and change nothing', () => {
  const result = inChild(`
    async function main() {
      const errors = [];
      const bad = [[undefined, () => {}], [100, () => {}], [{}, () => {}],
        [{ threshold: 0 }, () => {}], [{ threshold: 1.5 }, () => {}],
        [{ threshold: '100' }, () => {}], [{ threshold: 100 }, 'callback'], [{ threshold: 100 }]];
      watch(100);
      for (const args of bad) {
        try {
          vantarel.startLoopWatchdog(...args);
        } catch (error) {
          errors.push(error instanceof TypeError && error.message);
        }
      }
      busyLoop(300);
      await pause(300);
      return { errors, names: seen.map((s) => s.names[0]) };
    }`);
  const options = 'Expected an object for the options of startLoopWatchdog';
  const threshold = 'Expected a positive integer of milliseconds for the threshold option of startLoopWatchdog';
  const callback = 'Expected a function for the callback of startLoopWatchdog';
  assert.deepStrictEqual(result, {
    errors: [options, options, threshold, threshold, threshold, threshold, callback, callback],
    names: ['busyLoop'],
  });
});

test('each thread watches its own loop; a worker terminated while blocked leaves the process fine', () => {
  const result = inChild(`
    function worker(source, onMessage = () => {}) {
      const w = new Worker(source, { eval: true });
      w.on('message', (m) => onMessage(m, w));
      return new Promise((resolve, reject) => {
        w.on('error', reject);
        w.on('exit', resolve);
      });
    }
    async function main() {
      watch(100);
      const reports = [];
      const own = worker(\`
        const vantarel = require('./');
        const { parentPort } = require('worker_threads');
        function workerBlock() { const end = Date.now() + 300; while (Date.now() < end); }
        // A thread whose loop ends right after a block is gone before its
        // loop comes around: this one lives until the report.
        const alive = setInterval(() => {}, 1000);
        vantarel.startLoopWatchdog({ threshold: 100 }, (ms, frames) => {
          parentPort.postMessage(frames[0].functionName);
          vantarel.stopLoopWatchdog();
          clearInterval(alive);
        });
        setTimeout(workerBlock, 20);\`, (m) => reports.push(m));
      const terminated = [0, 1].map((n) => worker(\`
        const vantarel = require('./');
        const { parentPort } = require('worker_threads');
        vantarel.startLoopWatchdog({ threshold: 50 }, () => {});
        parentPort.postMessage('blocking');
        for (;;) \${n ? "require('crypto').pbkdf2Sync('a', 'b', 20000, 64, 'sha512')" : ''};\`,
        (m, w) => setTimeout(() => w.terminate(), 150)));
      const codes = await Promise.all([own, ...terminated]);
      busyLoop(300);
      await pause(300);
      return { codes, reports, main: seen.map((s) => s.names[0]) };
    }`);
  assert.deepStrictEqual(result, { codes: [0, 1, 1], reports: ['workerBlock'], main: ['busyLoop'] });
});
