'use strict';
// The fuzzing process: makes and runs calls from..from+calls-1 of the run
// with the given seed, then prints one result line. run.js starts it, so an
// abort here is caught and reported with the seed.
//   node --expose-gc test/fuzz/child.js --seed S --calls N [--from K]
//        [--progress FILE] [--describe]
const fs = require('fs');
const { Rng, callSeed } = require('./prng');
const { value, describe, Hostile, THROWN } = require('./values');
const { ROWS, flood } = require('./table');

const RESULT = 'FUZZ-RESULT ';
const MAX_DEPTH = 2;
// Functions a callback of each role prefers when it calls back into the module.
const PREFER = {
  report: ['initAnalytics', 'reportTransactions', 'recordTransaction', 'enableAnalytics'],
  filter: ['startV8Profiler', 'stopV8Profiler', 'stopHeapSampling', 'getHeapSamples'],
  visitor: ['startV8Profiler', 'stopV8Profiler', 'getV8HeapSnapshot', 'stopHeapSampling',
    'getHeapSamplesPprof'],
  block: ['startLoopWatchdog', 'stopLoopWatchdog', 'stopV8ProfilerPprof', 'startV8Profiler'],
  piece: ['getV8HeapSnapshot', 'takeHeapSnapshot', 'stopTrackingHeapObjects',
    'startTrackingHeapObjects', 'stopV8Profiler'],
  census: ['getV8HeapSnapshot', 'takeHeapSnapshot', 'recordTransaction'],
  gc: ['afterGC', 'recordTransaction', 'reportTransactions', 'stopV8Profiler'],
};

function option(name, fallback) {
  const i = process.argv.indexOf(`--${name}`);
  return i < 0 ? fallback : process.argv[i + 1];
}

function makeContext(addon) {
  const present = ROWS.filter((row) => typeof addon[row.name] === 'function');
  const byName = new Map(present.map((row) => [row.name, row]));
  const floodRow = { name: 'flood', weight: 0.03, heavy: false };
  const picks = present.map((row) => [row.weight, row]);
  if (byName.has('recordTransaction') && byName.has('initAnalytics')) picks.push([floodRow.weight, floodRow]);

  const ctx = {
    addon, present, picks, failures: [], failureCount: 0,
    depth: 0, heavy: 0, index: -1, current: '', sink: null,
    acceptable: (e) => e instanceof Error || THROWN.includes(e),
    fail(message) {
      ctx.failureCount++;
      if (ctx.failures.length < 20) {
        ctx.failures.push({ index: ctx.index, fn: ctx.current, message: String(message).slice(0, 500) });
      }
    },
    gc(r) {
      if (r.chance(0.3)) global.gc();
      else global.gc({ type: 'minor' });
    },
    // A call into the module from inside a callback, a getter or a conversion.
    reenter(r, role) {
      if (ctx.depth >= MAX_DEPTH) return;
      const prefer = PREFER[role];
      const row = prefer && r.chance(0.7)
        ? byName.get(r.pick(prefer))
        : r.weighted(present.map((x) => [x.weight, x]));
      if (!row) return;
      if (row.heavy) {
        if (ctx.heavy <= 0) return;
        ctx.heavy--;
      }
      ctx.depth++;
      try {
        const args = row.args(r, ctx);
        const result = addon[row.name](...args);
        try {
          row.check(result, args, ctx);
        } catch (e) {
          ctx.fail(`nested ${row.name}: ${e.message}`);
        }
      } catch (e) {
        if (!ctx.acceptable(e)) ctx.fail(`nested ${row.name} threw ${String(e)}`);
        if (r.chance(0.5)) throw e;
      } finally {
        ctx.depth--;
      }
    },
  };
  return ctx;
}

// Missing and extra arguments.
function arity(rng, ctx, args) {
  const r = rng.int(10);
  if (r === 0) return args.slice(0, rng.int(args.length + 1));
  if (r === 1) return [...args, ...Array.from({ length: 1 + rng.int(3) }, () => value(rng, ctx))];
  return args;
}

function makeCall(ctx, index, seed) {
  const rng = new Rng(callSeed(seed, index));
  const row = rng.weighted(ctx.picks);
  if (row.name === 'flood') return { row, rng, args: [], mode: 'flood' };
  const args = arity(rng, ctx, row.args(rng, ctx));
  const mode = rng.weighted([[18, 'call'], [1, 'construct'], [1, 'receiver']]);
  const receiver = mode === 'receiver' ? value(rng, ctx) : undefined;
  return { row, rng, args, mode, receiver };
}

const turn = () => new Promise((resolve) => setImmediate(resolve));

async function main() {
  const seed = Number(option('seed', '1')) >>> 0;
  const from = Number(option('from', '0'));
  const calls = Number(option('calls', '1000'));
  const addon = require('../..');
  const ctx = makeContext(addon);

  if (process.argv.includes('--describe')) {
    for (let i = from; i < from + calls; i++) {
      const call = makeCall(ctx, i, seed);
      const args = call.args.map((a) => describe(a)).join(', ');
      console.log(`call ${i}: ${call.mode} ${call.row.name}(${args})`);
    }
    return;
  }

  const progressFile = option('progress', null);
  const progress = progressFile ? fs.openSync(progressFile, 'w') : null;
  const stats = { threw: 0, uncaught: 0, perFunction: {}, msPerFunction: {}, slowest: [],
    memory: [] };
  process.on('uncaughtException', (e) => {
    stats.uncaught++;
    if (!ctx.acceptable(e)) ctx.fail(`uncaught ${String(e && e.stack || e)}`);
  });
  ctx.current = 'afterGC (delivery)';

  const started = Date.now();
  for (let i = from; i < from + calls; i++) {
    if (progress !== null) fs.writeSync(progress, String(i).padEnd(12), 0);
    ctx.index = i;
    ctx.heavy = 1;
    const call = makeCall(ctx, i, seed);
    const { row, args, mode } = call;
    ctx.current = row.name;
    stats.perFunction[row.name] = (stats.perFunction[row.name] || 0) + 1;
    const t0 = Date.now();
    try {
      if (mode === 'flood') {
        flood(ctx, call.rng);
      } else {
        const fn = addon[row.name];
        let result;
        if (mode === 'construct') result = new fn(...args);
        else if (mode === 'receiver') result = fn.apply(call.receiver, args);
        else result = fn(...args);
        if (mode === 'construct') {
          if (typeof result !== 'object') ctx.fail('construction gave no object');
        } else {
          try {
            row.check(result, args, ctx);
          } catch (e) {
            ctx.fail(e.message);
          }
        }
      }
    } catch (e) {
      stats.threw++;
      if (!ctx.acceptable(e)) ctx.fail(`threw ${String(e)}`);
    }
    const ms = Date.now() - t0;
    stats.msPerFunction[row.name] = (stats.msPerFunction[row.name] || 0) + ms;
    if (ms > 50) {
      stats.slowest.push({ index: i, fn: row.name, ms });
      stats.slowest.sort((a, b) => b.ms - a.ms).splice(5);
    }
    ctx.sink = null;
    ctx.current = 'afterGC (delivery)';
    // Lets collection notifications arrive and the loop hooks run.
    if (i % 64 === 63) await turn();
    if ((i - from) % 10000 === 9999) {
      const m = process.memoryUsage();
      stats.memory.push({ calls: i - from + 1, rssMB: Math.round(m.rss / 1048576),
        heapMB: Math.round(m.heapUsed / 1048576), externalMB: Math.round(m.external / 1048576) });
    }
  }
  ctx.index = -1;
  if (typeof addon.stopTrackingHeapObjects === 'function') addon.stopTrackingHeapObjects();
  global.gc();
  for (let i = 0; i < 3; i++) await turn();
  const summary = {
    seed, from, calls, ms: Date.now() - started, functions: ctx.present.map((r) => r.name),
    ...stats, failureCount: ctx.failureCount, failures: ctx.failures,
  };
  process.stdout.write(`${RESULT}${JSON.stringify(summary)}\n`);
  // Exits at once: callbacks held by the module must not run any more.
  process.exit(0);
}

if (require.main === module) {
  main().catch((e) => {
    process.stderr.write(`fuzz child: ${e && e.stack}\n`);
    process.exit(70);
  });
}

module.exports = { RESULT, Hostile };
