// A short run of every function against an installed copy of the package,
// copied with test/worked-example.cjs into the project that installed it and
// run there with `node --expose-gc smoke.mjs`. It starts no process of its
// own, so an arm64 Node under qemu-user can run it too.
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import vantarel, { time, recordTransaction } from 'vantarel';
import { IDENTITY, WORKED, WORKED_TEXT } from './worked-example.cjs';

const EXPORTED = [
  'time', 'cpuTime', 'afterGC', 'startV8Profiler', 'stopV8Profiler',
  'getEventLoopInfo', 'resetEventLoopInfo', 'getV8HeapSnapshot',
  'isObjectTrackingSupported', 'initAnalytics', 'enableAnalytics',
  'recordTransaction', 'reportTransactions', 'startTrackingHeapObjects',
  'stopTrackingHeapObjects', 'takeHeapSnapshot', 'startHeapSampling', 'getHeapSamples',
  'getHeapSamplesPprof', 'stopHeapSampling', 'stopV8ProfilerPprof', 'startLoopWatchdog',
  'stopLoopWatchdog',
];

const required = createRequire(import.meta.url)('vantarel');
assert.equal(vantarel, required, 'the default import is the CommonJS exports object');
assert.deepEqual(Object.keys(required), EXPORTED);
assert.equal(time, required.time);
assert.equal(recordTransaction, required.recordTransaction);

// Every function below is reached through this, so the end can tell that
// none was left out.
const called = new Set();
const addon = new Proxy(required, {
  get(target, name) {
    called.add(name);
    return target[name];
  },
});
const nextTurn = () => new Promise((resolve) => setImmediate(resolve));

const now = addon.time();
assert.ok(Number.isInteger(now) && Math.abs(now / 1000 - Date.now()) < 60000, `time() ${now}`);
const cpu = addon.cpuTime();
assert.ok(Number.isInteger(cpu) && cpu > 0 && addon.cpuTime() >= cpu, `cpuTime() ${cpu}`);

const collected = new Promise((resolve) => addon.afterGC((...args) => resolve(args)));
globalThis.gc();
const [type, flags, used] = await collected;
assert.match(type, /^(kGCType\w+|Other)$/);
assert.match(flags, /^(kNoGCCallbackFlags|kGCCallbackFlagCompacted|Other)$/);
assert.ok(used > 0);

for (let i = 0; i < 3; i++) await nextTurn();
assert.ok(addon.getEventLoopInfo()[0] > 0, 'the loop iterations are counted');
addon.resetEventLoopInfo();
assert.deepEqual({ ...addon.getEventLoopInfo() }, { 0: 0, 1: 0, 2: 0, 3: 0, 4: 0 });

addon.startV8Profiler();
let text = '';
for (let i = 0; i < 20000; i++) text = JSON.stringify({ i, text: text.slice(0, 16) });
const visits = [];
addon.stopV8Profiler(() => false, (retained, hits, name) => visits.push({ retained, name }));
assert.equal(visits[0].name, '(root)');
assert.equal(visits.reduce((sum, v) => sum + v.retained, 0), visits.length - 1,
  'every visit but the root is announced by its parent');

// pprof messages start with their sample types: field 1, length-delimited.
const isPprof = (buffer) => Buffer.isBuffer(buffer) && buffer.length > 10 && buffer[0] === 0x0a;
addon.startV8Profiler({ samplingInterval: 1000 });
for (let i = 0; i < 20000; i++) text = JSON.stringify({ i, text: text.slice(0, 16) });
assert.ok(isPprof(addon.stopV8ProfilerPprof()), 'the CPU profile as pprof');
assert.equal(addon.stopV8ProfilerPprof(), undefined);

addon.startHeapSampling({ samplingInterval: 4096 });
const kept = Array.from({ length: 20000 }, (_, i) => ({ i }));
let sites = 0;
addon.getHeapSamples(() => false, () => { sites++; });
assert.ok(sites > 1 && kept.length, `${sites} nodes of live samples`);
assert.ok(isPprof(addon.getHeapSamplesPprof()), 'the heap profile as pprof');
addon.stopHeapSampling();
assert.equal(addon.getHeapSamplesPprof(), undefined);

// An emulated arm64 machine may sample too slowly to name the block: its
// length and the frames' shape are what is checked here.
const block = new Promise((resolve) => addon.startLoopWatchdog({ threshold: 50 },
  (ms, frames) => resolve({ ms, frames })));
setTimeout(() => { for (const end = Date.now() + 300; Date.now() < end;); }, 10);
const { ms, frames } = await block;
addon.stopLoopWatchdog();
assert.ok(ms >= 50 && Array.isArray(frames), `blocked ${ms} ms`);
assert.ok(frames.every((f) => typeof f.functionName === 'string' && Number.isInteger(f.lineNumber)));

class SmokeCustomer {}
const customers = Array.from({ length: 100 }, () => new SmokeCustomer());
let census;
addon.getV8HeapSnapshot(['SmokeCustomer'], (error, result) => { census = [error, result]; });
assert.equal(census[0], null);
const [first] = JSON.parse(census[1]);
assert.equal(first.name, 'SmokeCustomer');
assert.equal(first.type, 'CUSTOM');
assert.ok(first.count >= customers.length, `census count ${first.count}`);

assert.equal(addon.isObjectTrackingSupported(), true);
addon.startTrackingHeapObjects();
const pieces = [];
addon.takeHeapSnapshot((piece) => pieces.push(piece));
addon.stopTrackingHeapObjects();
assert.ok(pieces.every((piece) => Buffer.byteLength(piece) <= 16384));
const { snapshot, nodes } = JSON.parse(pieces.join(''));
assert.equal(nodes.length, snapshot.node_count * snapshot.meta.node_fields.length);

// A report is due at once when more than 10000 events wait.
const batches = [];
addon.initAnalytics(IDENTITY, (batch) => batches.push(batch));
addon.enableAnalytics(true);
addon.recordTransaction(WORKED);
for (let i = 0; i < 10000; i++) addon.recordTransaction({});
addon.reportTransactions();
assert.equal(batches.length, 1);
assert.equal(batches[0].slice(1, batches[0].indexOf('\n}\n, ') + 3), WORKED_TEXT);

assert.deepEqual(EXPORTED.filter((name) => !called.has(name)), []);
console.log(`smoke: ${EXPORTED.length} functions ok on Node ${process.version} ${process.arch}`);
