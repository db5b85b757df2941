'use strict';
// The module in worker threads: every thread that loads it has its own loop
// counters, GC notifications, analytics, heap and profile, and workers come
// and go, some terminated inside the module. Each case runs in a child
// process (`main` is the child's main thread), so that a crash fails the
// case and not the runner.
const test = require('node:test');
const assert = require('node:assert');
const { runNode } = require('./common');

// Sanitized builds run several times slower: fewer workers then.
const SANITIZED = Boolean(process.env.ASAN_OPTIONS);

// Runs main() of the source in a child with --expose-gc, where `worker(fn,
// data)` starts a worker running fn(data) and resolves with its messages
// and exit code. main's result is printed as JSON and returned parsed.
function inChild(source, { timeout = 30000 } = {}) {
  const r = runNode(`
    const { Worker } = require('worker_threads');
    function worker(fn, data, onMessage = () => {}) {
      const w = new Worker(\`(\${fn})(require('worker_threads').workerData)\`,
        { eval: true, workerData: data });
      const messages = [];
      w.on('message', (m) => { messages.push(m); onMessage(m, w); });
      return new Promise((resolve, reject) => {
        w.on('error', reject);
        w.on('exit', (code) => resolve({ messages, code }));
      });
    }
    ${source}
    main().then((result) => console.log(JSON.stringify(result)),
      (error) => { console.error(error); process.exitCode = 1; });`,
  { args: ['--expose-gc'], timeout });
  assert.strictEqual(r.error, undefined, r.error && r.error.message);
  assert.strictEqual(r.status, 0, r.stderr);
  const lines = r.stdout.trim().split('\n');
  return { result: JSON.parse(lines.pop()), printed: lines };
}

test('each thread counts its own loop: a block in a worker is not the main thread\'s', () => {
  const { result } = inChild(`
    async function main() {
      const a = require('./');
      a.resetEventLoopInfo();
      const { messages } = await worker(() => {
        const a = require('./');
        const { parentPort } = require('worker_threads');
        a.resetEventLoopInfo();
        // Tick times run from the poll for I/O: the block is an I/O callback.
        require('fs').readFile(__filename, () => {
          const end = Date.now() + 310;
          while (Date.now() < end);
          setImmediate(() => parentPort.postMessage(a.getEventLoopInfo()));
        });
      });
      await new Promise((resolve) => setImmediate(resolve));
      return { main: a.getEventLoopInfo(), worker: messages[0] };
    }`);
  assert.ok(result.worker[0] >= 1 && result.worker[2] >= 300, JSON.stringify(result));
  assert.ok(result.main[0] >= 1 && result.main[2] < 300, JSON.stringify(result));
});

test('GC notifications come from the thread\'s own isolate, with the pause', () => {
  const { result } = inChild(`
    async function main() {
      const a = require('./');
      const seen = [];
      a.afterGC((...args) => seen.push(args));
      const { messages } = await worker(() => {
        const a = require('./');
        const { parentPort } = require('worker_threads');
        globalThis.ballast = Array.from({ length: 1e7 }, (_, i) => i / 3);
        const seen = [];
        const walls = [];
        a.afterGC((...args) => seen.push(args));
        for (let i = 0; i < 3; i++) {
          const start = process.hrtime.bigint();
          gc();
          walls.push(Number(process.hrtime.bigint() - start) / 1000);
        }
        setTimeout(() => parentPort.postMessage({ seen, walls }), 50);
      });
      const start = process.hrtime.bigint();
      gc();
      const wall = Number(process.hrtime.bigint() - start) / 1000;
      await new Promise((resolve) => setTimeout(resolve, 50));
      return { main: seen, wall, worker: messages[0] };
    }`);
  const { main, wall, worker } = result;
  const full = (calls) => calls.filter((c) => c[0] === 'kGCTypeMarkSweepCompact');
  // The first three are the forced ones: nothing else runs in between.
  assert.ok(full(worker.seen).length >= 3, JSON.stringify(worker.seen));
  full(worker.seen).slice(0, 3).forEach(([, , size, pause], i) => {
    assert.ok(size > 64e6, `the worker's heap holds its ballast: ${size}`);
    assert.ok(Number.isInteger(pause) && pause >= 0 && pause <= worker.walls[i],
      `pause ${pause} us within ${worker.walls[i]} us`);
  });
  assert.ok(full(main).length >= 1);
  for (const [type, flags, size, pause] of main) {
    assert.ok(typeof type === 'string' && typeof flags === 'string');
    assert.ok(size < 64e6, `no collection of the worker reaches the main thread: ${size}`);
    assert.ok(Number.isInteger(pause) && pause >= 0);
  }
  assert.ok(full(main).at(-1)[3] <= wall);
});

test('each thread collects and reports its own analytics under its own identity', () => {
  const { result } = inChild(`
    function collectAs(a, name) {
      const batches = [];
      a.initAnalytics({ applicationName: name, nodeName: name + '-node' },
        (batch) => batches.push(batch));
      for (let i = 0; i <= 10000; i++) a.recordTransaction({ transactionName: name + '/' + i });
      a.reportTransactions();
      // A forced report, as before the thread ends.
      for (let i = 0; i < 3; i++) a.recordTransaction({ transactionName: name + '/last' });
      a.reportTransactions({ force: true });
      return batches.map((b) => JSON.parse(b).map((e) =>
        [e.application, e.segments[0].node, e.transactionName.split('/')[0]]));
    }
    async function main() {
      const a = require('./');
      const body = (name) => {
        const a = require('./');
        require('worker_threads').parentPort.postMessage(collectAs(a, name));
      };
      const source = \`(name) => { \${collectAs}; (\${body})(name); }\`;
      const workers = await Promise.all(['one', 'two'].map((name) => worker(source, name)));
      return { main: collectAs(a, 'main'), workers: workers.map((w) => w.messages[0]) };
    }`);
  const check = (batches, name) => {
    assert.deepStrictEqual(batches.map((b) => b.length), [10001, 3]);
    const expected = [name, `${name}-node`, name];
    assert.ok(batches.flat().every((e) => e.join() === expected.join()), name);
  };
  check(result.main, 'main');
  check(result.workers[0], 'one');
  check(result.workers[1], 'two');
});

test('census and snapshot see the calling thread\'s heap; a profile walks its own code', () => {
  const { result } = inChild(`
    function look(a) {
      let census;
      a.getV8HeapSnapshot(['WorkerOnlyWidget'], (error, text) => { census = JSON.parse(text); });
      let text = '';
      a.takeHeapSnapshot((piece) => { text += piece; return true; });
      // The objects of the snapshot named WorkerOnlyWidget.
      const { snapshot: { meta }, nodes, strings } = JSON.parse(text);
      const width = meta.node_fields.length;
      const [type, name] = ['type', 'name'].map((f) => meta.node_fields.indexOf(f));
      const object = meta.node_types[type].indexOf('object');
      let widgets = 0;
      for (let i = 0; i < nodes.length; i += width) {
        if (nodes[i + type] === object && strings[nodes[i + name]] === 'WorkerOnlyWidget') widgets++;
      }
      return { census: census.find((e) => e.type === 'CUSTOM') || null, widgets };
    }
    async function main() {
      const a = require('./');
      const { messages } = await worker(\`(() => { \${look}; (\${() => {
        const a = require('./');
        class WorkerOnlyWidget {}
        globalThis.kept = Array.from({ length: 5000 }, () => new WorkerOnlyWidget());
        const seen = look(a);
        function workerHotLoop(ms) {
          const end = Date.now() + ms;
          let x = 0;
          while (Date.now() < end) x += Math.sqrt(x + 1);
          return x;
        }
        a.startV8Profiler();
        workerHotLoop(200);
        const names = [];
        a.stopV8Profiler(() => false, (count, hits, name) => names.push(name));
        seen.profiled = names;
        require('worker_threads').parentPort.postMessage(seen);
      }})(); })\`);
      return { main: look(a), worker: messages[0] };
    }`);
  const { main, worker } = result;
  assert.strictEqual(worker.census.name, 'WorkerOnlyWidget');
  assert.ok(worker.census.count >= 5000 && worker.census.type === 'CUSTOM');
  assert.ok(worker.widgets >= 5000);
  assert.strictEqual(main.census, null);
  assert.strictEqual(main.widgets, 0);
  assert.ok(worker.profiled.includes('workerHotLoop'), worker.profiled.join());
});

// Every function, in an order that reaches each place where a worker may be
// terminated; `site` names the place where this one announces itself and
// spins until it is. The snapshots (some 300 ms each on a busy machine) and
// a due report are left to the workers that need them and to one in twelve.
function useEverything({ site, index }) {
  const a = require('./');
  const { parentPort } = require('worker_threads');
  const reach = (where) => {
    if (where !== site) return;
    parentPort.postMessage('inside');
    for (;;);
  };
  const heavy = index % 12 === 1;
  a.time();
  a.cpuTime();
  a.isObjectTrackingSupported();
  a.resetEventLoopInfo();
  a.afterGC(() => reach('afterGC'));
  a.startTrackingHeapObjects();
  a.startV8Profiler(index % 2 ? { samplingInterval: 5000 } : undefined);
  globalThis.kept = Array.from({ length: 2000 }, (_, i) => ({ i }));
  if (heavy || site === 'census') a.getV8HeapSnapshot(['Object'], () => reach('census'));
  let pieces = 0;
  if (heavy || site === 'snapshot') {
    a.takeHeapSnapshot(() => { reach('snapshot'); return ++pieces < 4; });
  }
  a.stopV8Profiler(() => false, () => reach('walk'));
  a.initAnalytics({ applicationName: `worker-${index}` }, (batch) => {
    globalThis.batch = batch;
    reach('report');
  });
  a.enableAnalytics(true);
  a.recordTransaction({ get transactionName() { reach('getter'); return 'read'; } });
  const records = heavy || site === 'report' ? 10000 : 100;
  for (let i = 0; i < records; i++) a.recordTransaction({});
  a.reportTransactions();
  a.getEventLoopInfo();
  // Some leave tracking on, a profile running, analytics pending and a
  // collection waiting for delivery, for the teardown to handle.
  if (index % 2) a.stopTrackingHeapObjects();
  if (index % 4 === 1) a.startV8Profiler();
  gc();
  parentPort.postMessage('done');
}

test('workers come and go, a third terminated inside the module, and memory settles', (t) => {
  const total = SANITIZED ? 36 : 120;
  const { result, printed } = inChild(`
    const SITES = ['snapshot', 'walk', 'census', 'getter', 'report', 'afterGC'];
    async function main() {
      const a = require('./');
      const events = [];
      a.initAnalytics({ applicationName: 'main' }, (batch) => events.push(...JSON.parse(batch)));
      let mainGCs = 0;
      a.afterGC(() => mainGCs++);
      const failures = [];
      const run = async (index) => {
        const site = index % 3 === 0 ? SITES[(index / 3) % SITES.length] : 'none';
        const { messages, code } = await worker(${useEverything}, { site, index },
          (m, w) => { if (m === 'inside') w.terminate(); });
        const expected = site === 'none' ? ['done', 0] : ['inside', 1];
        if (messages.at(-1) !== expected[0] || code !== expected[1]) {
          failures.push({ index, site, messages, code });
        }
      };
      // One after the other: threads that overlap leave the allocator's
      // per-thread arenas at their peaks, which hides the trend in noise.
      const batch = async (from, to) => {
        for (let index = from; index < to; index++) await run(index);
      };
      const rss = () => { gc(); return process.memoryUsage.rss(); };
      const warm = Math.round(${total} / 3);
      await batch(0, warm);
      const settled = rss();
      // Workers reset their own counters only: the main thread's keep growing.
      const loopAtWarm = a.getEventLoopInfo()[0];
      await batch(warm, ${total});
      const end = rss();
      console.log(\`rss after \${warm} workers \${(settled / 2 ** 20).toFixed(1)} MiB, \` +
        \`after \${${total}} \${(end / 2 ** 20).toFixed(1)} MiB\`);
      for (let i = 0; i <= 10000; i++) a.recordTransaction({ transactionName: 'main' });
      a.reportTransactions();
      await new Promise((resolve) => setTimeout(resolve, 20));
      return {
        failures, settled, end, mainGCs, loopAtWarm, loop: a.getEventLoopInfo()[0],
        events: events.length, apps: [...new Set(events.map((e) => e.application))],
      };
    }`, { timeout: SANITIZED ? 600000 : 120000 });
  printed.forEach((line) => t.diagnostic(line));
  assert.deepStrictEqual(result.failures, []);
  assert.ok(result.mainGCs >= 2 && result.loop > result.loopAtWarm + 100);
  assert.deepStrictEqual([result.events, result.apps], [10001, ['main']]);
  if (!SANITIZED) {
    // A worker's isolate is some megabytes, its analytics up to six: a
    // leaked one per lifecycle would stand out of the noise of some 20 MiB.
    assert.ok(result.end - result.settled < 48 * 2 ** 20, printed.join());
  }
});

test('a main thread that never loads the module: it goes with the last worker, and comes back', () => {
  const { result } = inChild(`
    const mapped = () => require('fs').readFileSync('/proc/self/maps', 'utf8')
      .includes('vantarel.node');
    function use() {
      const a = require('./');
      const { parentPort } = require('worker_threads');
      a.initAnalytics({}, (batch) => { globalThis.batch = batch; });
      for (let i = 0; i <= 10000; i++) a.recordTransaction({});
      a.reportTransactions();
      a.afterGC(() => {});
      a.startTrackingHeapObjects();
      a.startV8Profiler();
      gc();
      setTimeout(() => parentPort.postMessage([typeof globalThis.batch, a.getEventLoopInfo()[0] > 0]), 10);
    }
    async function main() {
      const before = mapped();
      const first = await Promise.all([worker(use), worker(use)]);
      const between = mapped();
      const again = await worker(use);
      return { before, between, after: mapped(), first, again,
        loaded: Object.keys(require.cache).some((f) => f.endsWith('.node')) };
    }`);
  assert.deepStrictEqual(result, {
    before: false,
    between: false,
    after: false,
    first: [{ messages: [['string', true]], code: 0 }, { messages: [['string', true]], code: 0 }],
    again: { messages: [['string', true]], code: 0 },
    loaded: false,
  });
});

test('what a worker hands to a thread that never loaded the module outlives the worker', () => {
  const { result } = inChild(`
    const mapped = () => require('fs').readFileSync('/proc/self/maps', 'utf8')
      .includes('vantarel.node');
    async function main() {
      // A batch Buffer sent on to be sent, and the raw binding's control word.
      const { messages, code } = await worker(() => {
        const a = require('./');
        const binding = require('node-gyp-build')('.');
        const { parentPort } = require('worker_threads');
        a.initAnalytics({ applicationId: 'w' },
          (b) => parentPort.postMessage(b, [b.buffer]), { asBuffer: true });
        for (let i = 0; i < 100; i++) a.recordTransaction({ requestGUID: 'g' + i });
        a.reportTransactions({ force: true });
        const control = binding.analyticsControl;
        try {
          parentPort.postMessage(control, [control.buffer]);
        } catch (error) {
          parentPort.postMessage(error.name);
        }
      });
      const [batch, control] = messages;
      const text = Buffer.from(batch.buffer, batch.byteOffset, batch.length).toString('latin1');
      const held = mapped();
      messages.length = 0;
      for (let i = 0; i < 10; i++) {
        gc();
        await new Promise((resolve) => setTimeout(resolve, 5));
      }
      return { code, held, events: JSON.parse(text).map((e) => e.requestGUID).join(),
        control: typeof control === 'string' ? control : 'sent' };
    }`);
  const ids = Array.from({ length: 100 }, (_, i) => `g${i}`).join();
  assert.deepStrictEqual(result, { code: 0, held: true, events: ids,
    control: Number(process.versions.node.split('.')[0]) >= 22 ? 'DataCloneError' : 'sent' });
});

test('each thread samples its own heap, and workers terminated while encoding leave the process fine', () => {
  const { result } = inChild(`
    const { Profile } = require('pprof-format');
    function topLeaf(buffer) {
      const p = Profile.decode(buffer);
      const name = (s) => p.stringTable.strings[Number(p.function.find((f) =>
        f.id === p.location.find((l) => l.id === s.locationId[0]).line[0].functionId).name)];
      return name(p.sample.reduce((a, b) => (a.value[1] > b.value[1] ? a : b)));
    }
    const kept = [];
    function mainRetains() { for (let i = 0; i < 50000; i++) kept.push({ i }); }
    async function main() {
      const a = require('./');
      a.startHeapSampling({ samplingInterval: 16384 });
      mainRetains();
      const own = await worker(() => {
        const a = require('./');
        const kept = [];
        (function workerRetains() { for (let i = 0; i < 50000; i++) kept.push({ i }); })();
        a.startHeapSampling({ samplingInterval: 16384 });
        (function workerRetains() { for (let i = 0; i < 50000; i++) kept.push({ i }); })();
        require('worker_threads').parentPort.postMessage(a.getHeapSamplesPprof());
      });
      const terminated = await Promise.all([0, 1, 2].map((n) => worker((n) => {
        const a = require('./');
        a.startHeapSampling({ samplingInterval: 1024 });
        a.startV8Profiler({ samplingInterval: 1000 });
        const kept = [];
        require('worker_threads').parentPort.postMessage('running');
        for (;;) {
          kept.push(new Array(100).fill(n));
          if (kept.length > 5000) kept.length = 0;
          a.getHeapSamplesPprof();
          a.stopV8ProfilerPprof();
          a.startV8Profiler({ samplingInterval: 1000 });
        }
      }, n, (m, w) => setTimeout(() => w.terminate(), 50 + 40 * n))));
      return { main: topLeaf(a.getHeapSamplesPprof()), worker: topLeaf(own.messages[0]),
        codes: [own.code, ...terminated.map((t) => t.code)] };
    }`);
  assert.deepStrictEqual(result, { main: 'mainRetains', worker: 'workerRetains', codes: [0, 1, 1, 1] });
});
