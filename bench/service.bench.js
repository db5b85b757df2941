'use strict';
// What a monitoring agent costs a real service: a node:http JSON service
// pinned to one core, loaded by autocannon from the other over 127.0.0.1,
// once bare and once per agent, set-ups alternating with the order rotating
// round by round. The agent's cost is the service's CPU per request with it
// minus the bare service's in the same round.
//   npm run bench -- service
//   node bench/service.bench.js --perf [set-up] [--seconds N]
//   node bench/service.bench.js --sustained [set-up,...] (the sustained run only)
// SERVICE_BENCH_ROUNDS (9), SERVICE_BENCH_WINDOW (3 s), SERVICE_BENCH_WARMUP
// (5 s per set-up, once), SERVICE_BENCH_SUSTAINED (45 s per set-up, 0 for
// none) and SERVICE_BENCH_RATE (10000 requests a second in the sustained
// run, 0 for a closed loop) change the runs; SERVICE_BENCH_PERF=set-up[:seconds] does what
// --perf does.
const assert = require('assert');
const os = require('os');
const { spawnSync } = require('child_process');
const addon = require('..');
const { median } = require('./harness');
const { buildEvent } = require('./js-event');
const { toTransaction, IDENTITY } = require('./service/agents');
const { startService, startLoad, measureWindow, pinning } = require('./service/processes');
const { profile } = require('./service/profile');
const { sustain, printSustained, printSplit, p99 } = require('./service/sustained');

const SETUPS = [
  { key: 'none', title: 'none (bare service)' },
  { key: 'plain', title: 'plain Node: loop delay + ELU, gc observer, event text built in script' },
  { key: 'objects', title: 'hooks and transaction objects only (built, then dropped)' },
  { key: 'vantarel', title: 'vantarel: loop counters, afterGC, recordTransaction, report each second' },
  { key: 'vantarel-off', title: 'vantarel with enableAnalytics(false)' },
  { key: 'vantarel-buffer', title: 'vantarel, batches as Buffers (asBuffer)' },
];
const TITLES = {
  ...Object.fromEntries(SETUPS.map(({ key, title }) => [key, title])),
  // Sustained runs only (--sustained vantarel-off-heap-profiles).
  'vantarel-off-heap-profiles': 'vantarel with analytics off, the heap sampled and its pprof profile read every 5 s',
};
// The sustained run's set-ups: the bare service, both agents at full work,
// and the module's two batch forms.
const SUSTAINED = ['none', 'plain', 'objects', 'vantarel', 'vantarel-buffer'];
const SUSTAINED_S = Number(process.env.SERVICE_BENCH_SUSTAINED ?? 45);
// The sustained run's offered load: a batch is then about 10,000 events of
// some 3 KB each, whatever set-up serves it (0 for a closed loop).
const SUSTAINED_RATE = Number(process.env.SERVICE_BENCH_RATE ?? 10000);
// SERVICE_BENCH_SPLIT=1 prints where each set-up's memory is; the module's own
// figures need a build with `node scripts/build.js --bench-exports`.
const SPLIT = process.env.SERVICE_BENCH_SPLIT === '1';
const ROUNDS = Number(process.env.SERVICE_BENCH_ROUNDS) || 9;
const WINDOW_S = Number(process.env.SERVICE_BENCH_WINDOW) || 3;
// The engine needs some 15000 requests before a service's code is optimized
// and its CPU per request settles; on a slow host that takes seconds.
const WARMUP_S = Number(process.env.SERVICE_BENCH_WARMUP) || 5;
const LEAD_IN_S = 1;
const CONNECTIONS = 16;

// The plain agent's events must be the module's, byte for byte, for the
// comparison to mean anything.
function checkSameEvents() {
  const req = {
    url: '/api/cart/12?currency=EUR&step=2', method: 'GET',
    route: { id: 1, name: '/api/cart/:id' },
    headers: { host: '127.0.0.1:8080', accept: '*/*', cookie: 'sid=sess-19a7c0; locale=de_DE', 'x-request-id': 'c0ffee' },
  };
  const res = { statusCode: 200, getHeader: () => 81 };
  const tx = toTransaction(req, res, { start: 0, exits: [{ type: 'DB', calls: 2, errors: 0, ms: 0.04 }] });
  let batch;
  addon.initAnalytics(IDENTITY, (b) => { batch = b; });
  addon.recordTransaction(tx);
  for (let i = 0; i < 10000; i++) addon.recordTransaction({});
  addon.reportTransactions();
  assert.strictEqual(batch.slice(1, batch.indexOf('\n}\n') + 3), buildEvent(IDENTITY, tx));
}

async function measure(service, load) {
  const { before, after, run } = await measureWindow(service, load,
    { leadIn: LEAD_IN_S, seconds: WINDOW_S, connections: CONNECTIONS });
  const served = after.served - before.served;
  const cpuUs = after.cpuUs - before.cpuUs;
  return {
    cpu: cpuUs / served,
    // Microseconds a request spent inside the module's analytics calls.
    inModule: after.agent && after.agent.inModuleMs !== undefined
      ? ((after.agent.inModuleMs - before.agent.inModuleMs) * 1000) / served : null,
    rps: run.requests / run.seconds,
    p99: run.p99,
    busy: cpuUs / ((after.ns - before.ns) / 1000),
    loadBusy: run.busy,
  };
}

const stats = (list) => ({ median: median(list), min: Math.min(...list), max: Math.max(...list) });
// "to" rather than a dash, as costs can be negative in a noisy round.
const fixed = (digits) => (s) => `${s.median.toFixed(digits)} [${s.min.toFixed(digits)} to ${s.max.toFixed(digits)}]`;
const thousands = (x) => `${(x / 1000).toFixed(1)}k`;
const kilo = (s) => `${thousands(s.median)} [${thousands(s.min)} to ${thousands(s.max)}]`;

function commit() {
  const r = spawnSync('git', ['rev-parse', '--short', 'HEAD'], { cwd: __dirname, encoding: 'utf8' });
  return r.status === 0 ? r.stdout.trim() : 'unknown';
}

function printTable(runs) {
  const bare = runs.none;
  const rows = SETUPS.map(({ key, title }) => {
    const own = runs[key];
    const cost = own.map((r, i) => r.cpu - bare[i].cpu);
    const ratio = own.map((r, i) => r.cpu / bare[i].cpu);
    return {
      key, title, cpu: stats(own.map((r) => r.cpu)), cost: stats(cost), ratio: stats(ratio),
      rps: stats(own.map((r) => r.rps)), p99: stats(own.map((r) => r.p99)),
      busy: stats(own.map((r) => r.busy * 100)),
    };
  });
  console.log('| agent watching the service | service CPU µs/request | agent\'s cost µs/request | CPU ratio to bare | req/s | p99 ms | service core busy % |');
  console.log('|---|---|---|---|---|---|---|');
  for (const r of rows) {
    const bareRow = r.key === 'none';
    console.log(`| ${r.title} | ${fixed(1)(r.cpu)} | ${bareRow ? '—' : fixed(1)(r.cost)} | ` +
      `${bareRow ? '1' : fixed(2)(r.ratio)} | ${kilo(r.rps)} | ${fixed(0)(r.p99)} | ${fixed(0)(r.busy)} |`);
  }
  return Object.fromEntries(rows.map((r) => [r.key, r]));
}

// The module's own cost is a set-up's CPU per request beyond the hooks and
// transaction objects alone, which any agent pays: per round, against the
// bare service of the same round.
function printTargets(rows, runs) {
  const line = (met, text) => console.log(`service: target ${text}: ${met ? 'met' : 'not met'}`);
  const beyond = (key) => stats(runs[key].map((r, i) => r.cpu - runs.objects[i].cpu));
  const share = (key) => stats(runs[key].map((r, i) => (r.cpu - runs.objects[i].cpu) / runs.none[i].cpu));
  for (const key of ['vantarel', 'vantarel-buffer']) {
    line(share(key).median <= 0.15, `${key}: the module's own CPU <= 0.15x the bare service's, ` +
      `${fixed(2)(share(key))}x (${fixed(1)(beyond(key))} µs)`);
  }
  line(beyond('vantarel-off').median <= 2, `analytics off: the module's own cost <= 2 µs/request, ` +
    `${fixed(1)(beyond('vantarel-off'))} µs`);
  // The same costs timed inside the calls, free of the rounds' noise but
  // blind to what the calls cost the rest (collections, caches).
  const inside = (key) => stats(runs[key].map((r) => r.inModule));
  console.log(`service: time inside recordTransaction and reportTransactions per request, µs: ` +
    `vantarel ${fixed(2)(inside('vantarel'))} (${fixed(2)(stats(runs.vantarel.map((r, i) => r.inModule / runs.none[i].cpu)))}x ` +
    `the bare service's CPU), as Buffers ${fixed(2)(inside('vantarel-buffer'))}, analytics off ${fixed(2)(inside('vantarel-off'))}`);
  console.log(`service: of these costs, the hooks and transaction objects take ${fixed(1)(rows.objects.cost)} µs; ` +
    `beyond them, recordTransaction and reportTransactions take ${fixed(1)(beyond('vantarel'))} µs ` +
    `(as Buffers ${fixed(1)(beyond('vantarel-buffer'))} µs), with analytics off ` +
    `${fixed(1)(beyond('vantarel-off'))} µs, and the script-built text ${fixed(1)(beyond('plain'))} µs`);
}

// Each set-up in a fresh service, loaded for SUSTAINED_S seconds.
async function sustainedRun(setups) {
  const load = await startLoad();
  const results = [];
  try {
    for (const key of setups) {
      results.push(await sustain(key, load,
        { seconds: SUSTAINED_S, warmup: WARMUP_S, connections: CONNECTIONS, rate: SUSTAINED_RATE, split: SPLIT }));
    }
  } finally {
    load.stop();
  }
  return results;
}

function printSustainedTargets(results) {
  const line = (met, text) => console.log(`service, sustained: target ${text}: ${met ? 'met' : 'not met'}`);
  const by = Object.fromEntries(results.map((r) => [r.setup, r]));
  const bare = by.none;
  if (!bare) return;
  const above = (r) => (r.peak - bare.peak) / (1 << 20);
  for (const key of ['vantarel', 'vantarel-buffer']) {
    const r = by[key];
    if (!r) continue;
    line(above(r) <= 70, `${key}: peak RSS <= bare + 70 MB, +${above(r).toFixed(0)} MB`);
    line(r.faults <= 2 * bare.faults, `${key}: minor faults/request <= 2x bare, ` +
      `${r.faults.toFixed(3)} against ${bare.faults.toFixed(3)}`);
    if (by.objects) {
      const own = (r.cpu - by.objects.cpu) / bare.cpu;
      line(own <= 0.15, `${key}: module's own CPU <= 0.15x bare, ${own.toFixed(2)}x`);
    }
    const handoff = r.agent && r.agent.handoffMs;
    if (handoff && handoff.length) {
      line(p99(handoff) <= 1, `${key}: batch hand-off p99 <= 1 ms, ${p99(handoff).toFixed(2)} ms`);
    }
  }
  if (by.plain && by.vantarel) {
    line(by.vantarel.peak < by.plain.peak, `string form below the plain-Node agent's peak, ` +
      `${signed(above(by.vantarel))} against ${signed(above(by.plain))} MB`);
  }
}
const signed = (x) => `${x >= 0 ? '+' : ''}${x.toFixed(0)}`;

async function main() {
  checkSameEvents();
  const only = process.argv.indexOf('--sustained');
  if (only >= 0) {
    const list = process.argv[only + 1] && !process.argv[only + 1].startsWith('--')
      ? process.argv[only + 1].split(',') : SUSTAINED;
    const loadBefore = os.loadavg()[0];
    const results = await sustainedRun(list);
    console.log(`service, sustained: Node ${process.version}, commit ${commit()}, load average ` +
      `${loadBefore.toFixed(2)} before and ${os.loadavg()[0].toFixed(2)} after`);
    printSustained(results, TITLES, { seconds: SUSTAINED_S, rate: SUSTAINED_RATE });
    printSustainedTargets(results);
    if (SPLIT) results.forEach(printSplit);
    return;
  }
  const loadBefore = os.loadavg()[0];
  const started = Date.now();
  const load = await startLoad();
  const services = {};
  const runs = Object.fromEntries(SETUPS.map(({ key }) => [key, []]));
  try {
    // Every service runs from the start to the end; only one is loaded at a
    // time, and an idle one costs next to nothing.
    for (const { key } of SETUPS) {
      services[key] = await startService(key);
      await load.run(services[key].port, WARMUP_S, CONNECTIONS);
    }
    for (let round = 0; round < ROUNDS; round++) {
      const order = SETUPS.map((_, i) => SETUPS[(i + round) % SETUPS.length].key);
      for (const key of order) runs[key][round] = await measure(services[key], load);
    }
  } finally {
    load.stop();
    await Promise.all(Object.values(services).map((service) => service.stop()));
  }
  console.log(`service: each set-up warmed up for ${WARMUP_S} s, then ${ROUNDS} rounds of ` +
    `${LEAD_IN_S} s lead-in and ${WINDOW_S} s measured, ` +
    `${CONNECTIONS} connections, closed loop; ${pinning.ok ? 'service on core 0, autocannon on core 1'
      : `NOT pinned (${pinning.why})`}; Node ${process.version}, commit ${commit()}, ` +
    `load average ${loadBefore.toFixed(2)} before and ${os.loadavg()[0].toFixed(2)} after, ` +
    `${((Date.now() - started) / 1000).toFixed(0)} s; medians [min to max over rounds]`);
  const rows = printTable(runs);
  printTargets(rows, runs);
  const loadBusy = stats(Object.values(runs).flat().map((r) => r.loadBusy * 100));
  const held = loadBusy.median < 90 && rows.none.busy.median < 90;
  console.log(`service: autocannon's core busy ${fixed(0)(loadBusy)}%` +
    (held ? '; neither side used its whole core: other processes on the host held them back' : ''));
  if (SUSTAINED_S > 0) {
    const results = await sustainedRun(SUSTAINED);
    printSustained(results, TITLES, { seconds: SUSTAINED_S, rate: SUSTAINED_RATE });
    printSustainedTargets(results);
  }
}

function perfArgs() {
  const args = process.argv.slice(2);
  const at = args.indexOf('--perf');
  if (at >= 0) {
    const seconds = args.includes('--seconds') ? Number(args[args.indexOf('--seconds') + 1]) : 10;
    const setup = args[at + 1] && !args[at + 1].startsWith('--') ? args[at + 1] : 'vantarel';
    return { setup, seconds };
  }
  if (process.env.SERVICE_BENCH_PERF) {
    const [setup, seconds] = process.env.SERVICE_BENCH_PERF.split(':');
    return { setup: setup || 'vantarel', seconds: Number(seconds) || 10 };
  }
  return null;
}

const perf = perfArgs();
(perf ? profile(perf.setup, perf.seconds, { warmup: WARMUP_S, connections: CONNECTIONS }) : main())
  .catch((err) => {
    console.error(`service bench: ${err.stack || err}`);
    process.exit(1);
  });
