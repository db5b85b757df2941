'use strict';
// One fresh process of the watchdog bench (watchdog.bench.js); prints one
// JSON line.
//   blocks   blocks of several kinds, each in a named function, 300 ms
//            apart, then ten 40 ms blocks and a block after the stop
//   idle <watch|none>   an idle process, watched at 100 ms or not, for the
//            bench to count its threads' wakeups
const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');
const zlib = require('zlib');
const vantarel = require('..');

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const until = (ms) => Date.now() + ms;

// The blocking functions, each some 400 ms on this machine; the native
// ones repeat their call for that long.
function scriptLoop() { const end = until(400); while (Date.now() < end); }
function hashPasswords() {
  const end = until(400);
  while (Date.now() < end) crypto.pbkdf2Sync('secret', 'salt', 50000, 64, 'sha512');
}
function compressPayload(payload) {
  const end = until(400);
  while (Date.now() < end) zlib.gzipSync(payload, { level: 9 });
}
function loadFile(file) {
  const end = until(400);
  while (Date.now() < end) fs.readFileSync(file);
}
function matchInput() {
  const end = until(400);
  while (Date.now() < end) /(a+)+b/.test('a'.repeat(22));
}
function parseDocument(text) { return JSON.parse(text); }

async function blocks() {
  const seen = [];
  vantarel.startLoopWatchdog({ threshold: 100 },
    (ms, frames) => seen.push({ ms, names: frames.map((f) => f.functionName) }));
  const payload = crypto.randomBytes(4 << 20);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vantarel-watchdog-'));
  const file = path.join(dir, 'data');
  fs.writeFileSync(file, crypto.randomBytes(64 << 20));
  // A text that takes some 400 ms to parse.
  let rows = 200000;
  let text = JSON.stringify(Array.from({ length: rows }, (_, i) => ({ i, name: `row ${i}` })));
  let start = Date.now();
  JSON.parse(text);
  rows = Math.round(rows * 400 / Math.max(1, Date.now() - start));
  text = JSON.stringify(Array.from({ length: rows }, (_, i) => ({ i, name: `row ${i}`, tags: [i] })));
  const cases = [['scriptLoop', () => scriptLoop()], ['hashPasswords', () => hashPasswords()],
    ['compressPayload', () => compressPayload(payload)], ['loadFile', () => loadFile(file)],
    ['matchInput', () => matchInput()], ['parseDocument', () => parseDocument(text)]];
  const results = [];
  for (const [name, block] of cases) {
    await pause(300);
    const before = seen.length;
    start = Date.now();
    block();
    const took = Date.now() - start;
    await pause(300);
    const calls = seen.slice(before);
    results.push({ name, took, calls: calls.length, ms: calls.map((c) => c.ms),
      named: calls.length === 1 && calls[0].names.includes(name), stack: calls[0] && calls[0].names.slice(0, 6) });
  }
  await pause(300);
  const before = seen.length;
  for (let i = 0; i < 10; i++) {
    const end = until(40);
    while (Date.now() < end);
    await pause(60);
  }
  const short = seen.length - before;
  vantarel.stopLoopWatchdog();
  scriptLoop();
  await pause(300);
  fs.rmSync(dir, { recursive: true, force: true });
  return { results, short, afterStop: seen.length - before - short };
}

async function idle(mode) {
  if (mode === 'watch') vantarel.startLoopWatchdog({ threshold: 100 }, () => {});
  // Kept alive, idle, until the bench ends it.
  setInterval(() => {}, 1 << 30);
  process.send ? process.send('ready') : console.log('ready');
  await new Promise(() => {});
}

const [what, ...args] = process.argv.slice(2);
(what === 'blocks' ? blocks() : idle(...args)).then((result) => console.log(JSON.stringify(result)));
