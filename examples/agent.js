'use strict';
// A small monitoring agent built on every function of vantarel. It runs a
// demo service under a bounded loopback load, watches it (the main thread
// and each thread of the service's worker pool), and writes a report
// folder. `node examples/agent.js --help` lists the options.
const { fork } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { promisify } = require('util');
const zlib = require('zlib');

const { parseOptions, UsageError, USAGE } = require('./agent/options');
const { createMonitor } = require('./agent/monitor');
const { createPool } = require('./agent/pool');
const { threadLines } = require('./agent/threads');
const { createTransactions } = require('./agent/transactions');
const { createApp } = require('./agent/app');
const { treeFromPprof, treeStats, toCpuProfile } = require('./agent/profile');
const { takeCensus, writeHeapSnapshot, liveSites } = require('./agent/heap');
const { renderReport } = require('./agent/report');
const { int, bytes, pct, ms } = require('./agent/format');
const { BLOCK_THRESHOLD_MS } = require('./agent/monitor');
const { liveLine } = require('./agent/terminal');
const { loadAddon } = require('./agent/addon');

// Constructor names the census is asked for by name; the service keeps its
// recent orders alive.
const CENSUS_NAMES = ['Order', 'OrderLine'];

const POOL_SIZE = 2;

// Finer than continuous profilers' 512 KiB, so that a run of seconds finds
// the allocation sites.
const HEAP_SAMPLING_BYTES = 64 * 1024;

const gzip = promisify(zlib.gzip);

function startLoadProcess() {
  const child = fork(path.join(__dirname, 'agent', 'load.js'), [], {
    stdio: ['ignore', 'inherit', 'inherit', 'ipc'],
  });
  const ready = new Promise((resolve, reject) => {
    child.once('message', resolve);
    child.once('exit', (code) => reject(new Error(`the load process ended early (${code})`)));
  });
  return { child, ready };
}

function fileSize(file) {
  return fs.statSync(file).size;
}

async function run(options) {
  const vantarel = loadAddon();
  const say = options.quiet ? () => {} : (line) => console.log(line);
  const out = path.resolve(options.out);
  fs.mkdirSync(out, { recursive: true });
  const file = (name) => path.join(out, name);

  const monitor = createMonitor(vantarel);
  const tx = createTransactions(vantarel, { file: file('transactions.json') });
  vantarel.enableAnalytics(true);

  const pool = createPool({ size: POOL_SIZE });
  await pool.ready;
  for (const t of pool.threads.filter((w) => !w.loaded)) {
    say(`${t.name}: vantarel not loaded there (${t.message || t.ended}); it works unwatched`);
  }
  const load = startLoadProcess();
  const { downstreamPort, priceFailureRate } = await load.ready;
  const app = createApp({ downstreamPort, onRequest: tx.begin, onExitCall: tx.exitCall,
    offload: pool.run });
  const port = await app.listen();
  say(`vantarel demo agent: service on 127.0.0.1:${port}, downstream on 127.0.0.1:` +
    `${downstreamPort}; ${options.duration} s of load at ${int(options.rate)} requests/s ` +
    `over ${options.concurrency} connections`);

  const durationMs = options.duration * 1000;
  const trackFrom = durationMs - Math.min(3000, durationMs / 4);
  const tracking = { supported: vantarel.isObjectTrackingSupported(), from: 0, on: false };

  monitor.begin();
  pool.begin();
  vantarel.startHeapSampling({ samplingInterval: HEAP_SAMPLING_BYTES });
  vantarel.startV8Profiler();
  const profileStart = vantarel.time();
  const loadStart = Date.now();
  let progress = { sent: 0, simulated: 0, failed: 0 };
  let lastSent = 0;

  const finished = new Promise((resolve) => {
    load.child.on('message', (msg) => {
      if (msg.type === 'progress') {
        progress = msg;
        maybeTrack();
      }
      if (msg.type === 'done') resolve(msg);
    });
    // A load process that never answers must not hold the agent.
    const guard = setTimeout(() => {
      load.child.kill();
      resolve({ ...progress, elapsedMs: Date.now() - loadStart, killed: true });
    }, durationMs + 15000);
    guard.unref();
    load.child.once('exit', () => resolve({ ...progress, elapsedMs: Date.now() - loadStart }));
  });

  // Allocation tracking is costly, so it covers only the end of the load:
  // its last seconds or its last requests, whichever comes first.
  const maybeTrack = () => {
    const due = Date.now() - loadStart >= trackFrom || progress.sent >= 0.8 * options.requests;
    if (!tracking.supported || tracking.on || !due) return;
    vantarel.startTrackingHeapObjects();
    tracking.on = true;
    tracking.from = monitor.since(vantarel.time());
    say('     heap-object tracking on until the snapshot');
  };

  const tick = (last = false) => {
    const elapsed = Date.now() - loadStart;
    if (!last) maybeTrack();
    const s = monitor.sample();
    tx.report();
    const rate = progress.sent - lastSent;
    lastSent = progress.sent;
    const fraction = last ? 1 : Math.max(elapsed / durationMs, progress.sent / options.requests);
    say(liveLine({ sample: s, last, fraction, rate, batches: tx.stats().batches.length }));
  };
  const ticker = setInterval(tick, 1000);

  load.child.send({ type: 'start', port, durationMs, requests: options.requests,
    rate: options.rate, concurrency: options.concurrency });
  const result = await finished;
  clearInterval(ticker);
  tick(true);
  const totals = monitor.totals();
  await pool.close();
  const threads = [{ name: 'main', loaded: true, samples: monitor.samples, gcs: monitor.gcs,
    blocks: monitor.blocks },
    ...pool.report(monitor.since)];
  say(`load done: ${int(result.sent)} requests in ${(result.elapsedMs / 1000).toFixed(1)} s` +
    `${result.killed ? ' (load process stopped)' : ''}; ${int(result.simulated)} answered 502 ` +
    'for the price service\'s simulated failures ' +
    `(${Math.round(100 * priceFailureRate)}% of its calls, on purpose); ` +
    `${int(result.failed)} other failures`);
  for (const line of threadLines(threads)) say(line);

  vantarel.stopLoopWatchdog();
  const blocks = threads.flatMap((t) => (t.blocks || []).map((b) => ({ thread: t.name, ...b })))
    .sort((a, b) => a.at - b.at);
  const longest = blocks.reduce((a, b) => (!a || b.ms > a.ms ? b : a), null);
  say(`loop blocks of ${BLOCK_THRESHOLD_MS} ms or more: ${blocks.length}` +
    (longest ? `, the longest ${ms(longest.ms)} in ${longest.thread}: ` +
      longest.stack.slice(0, 3).map((f) => f.functionName).join(' < ') : ''));

  const profileEnd = vantarel.time();
  const cpuPprof = vantarel.stopV8ProfilerPprof();
  const tree = treeFromPprof(cpuPprof, { keepInternals: options.keepInternals });
  const stats = tree ? treeStats(tree) : { nodes: 0, depth: 0, hits: 0 };
  fs.writeFileSync(file('profile.cpuprofile'),
    JSON.stringify(toCpuProfile(tree, profileStart, profileEnd)));
  fs.writeFileSync(file('profile.pb.gz'), await gzip(cpuPprof));
  say(`CPU profile: ${int(stats.hits)} samples in ${int(stats.nodes)} frames, ` +
    `${stats.depth} deep; pprof ${bytes(cpuPprof.length)}`);

  const sites = liveSites(vantarel);
  const heapPprof = vantarel.getHeapSamplesPprof();
  vantarel.stopHeapSampling();
  fs.writeFileSync(file('heap.pb.gz'), await gzip(heapPprof));
  say(`live allocation sites: ${sites.slice(0, 3).map((s) => `${s.functionName} ${bytes(s.bytes)}`)
    .join(', ') || 'none sampled'}; pprof ${bytes(heapPprof.length)}`);

  tx.report();
  const census = takeCensus(vantarel, CENSUS_NAMES);
  say(`heap census: ${census.filter((e) => e.type === 'CUSTOM')
    .map((e) => `${e.name} ${int(e.count)} (${bytes(e.size)})`).join(', ') || 'no requested names'}`);
  const snapshot = writeHeapSnapshot(vantarel, file('heap.heapsnapshot'));
  if (tracking.on) vantarel.stopTrackingHeapObjects();
  say(`heap snapshot: ${bytes(snapshot.bytes)} in ${int(snapshot.pieces)} pieces`);

  await app.close();
  tx.close();
  const analytics = tx.stats();
  analytics.batches = analytics.batches.map((b) => ({ ...b, at: monitor.since(b.at) }));
  const last = analytics.batches.length === 1 ? '' : ' the last';
  const flushed = analytics.batches.some((b) => b.flushed) ? `,${last} flushed at the end` : '';
  say(`analytics: ${int(analytics.recorded)} transactions recorded, ${int(analytics.delivered)} ` +
    `events delivered in ${analytics.batches.length} ` +
    `batch${analytics.batches.length === 1 ? '' : 'es'}${flushed}`);

  const html = renderReport({
    app: 'demo service on 127.0.0.1',
    generatedAt: new Date().toISOString().replace('T', ' ').replace(/\.\d+Z$/, ' UTC'),
    node: process.version,
    host: `${os.type()} ${os.arch()}`,
    options,
    load: result,
    totals,
    samples: monitor.samples,
    gcs: monitor.gcs,
    threads,
    profile: { tree, stats, durationUs: profileEnd - profileStart,
      keepInternals: options.keepInternals },
    blocks: { threshold: BLOCK_THRESHOLD_MS, list: blocks },
    sites: { interval: HEAP_SAMPLING_BYTES, list: sites },
    census: { entries: census, requested: CENSUS_NAMES },
    snapshot,
    tracking,
    analytics,
    files: [
      { name: 'profile.cpuprofile', bytes: fileSize(file('profile.cpuprofile')),
        note: 'CPU profile; open it in Chrome DevTools (Performance panel)' },
      { name: 'profile.pb.gz', bytes: fileSize(file('profile.pb.gz')),
        note: 'the same CPU profile as pprof, for a profiling backend or go tool pprof' },
      { name: 'heap.pb.gz', bytes: fileSize(file('heap.pb.gz')),
        note: 'the live allocation sites as pprof (go tool pprof -sample_index=space)' },
      { name: 'heap.heapsnapshot', bytes: snapshot.bytes,
        note: 'full heap snapshot; load it in the DevTools Memory panel' },
      { name: 'transactions.json', bytes: fileSize(file('transactions.json')),
        note: 'the analytics batches as delivered, one array of events each' },
    ],
  });
  fs.writeFileSync(file('index.html'), html);
  console.log(`report: ${file('index.html')} (CPU ${pct(totals.cpu)}, ` +
    `${int(monitor.gcs.length)} GCs, ${int(result.sent)} requests)`);
}

function main() {
  // A reader that went away (say, "| head") must not stop the agent.
  process.stdout.on('error', (err) => {
    if (err.code !== 'EPIPE') throw err;
  });
  let options;
  try {
    options = parseOptions(process.argv.slice(2));
  } catch (err) {
    if (!(err instanceof UsageError)) throw err;
    console.error(`${err.message}; --help lists the options`);
    process.exit(2);
  }
  if (options.help) {
    console.log(USAGE);
    return;
  }
  run(options).then(() => {
    // Everything is closed by now; this only guards against a straggler.
    setTimeout(() => process.exit(0), 2000).unref();
  }, (err) => {
    console.error(`vantarel demo agent: ${err.stack || err}`);
    process.exit(1);
  });
}

main();
