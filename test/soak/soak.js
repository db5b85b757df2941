'use strict';
// Soak test: drives every part of the module for rounds of the same work and
// checks that the process's resident memory and the engine's external memory
// stay flat once warmed up.
//   npm run soak [-- --rounds N]
// It re-runs itself with --expose-gc when started without it.
const { spawnSync } = require('child_process');

if (typeof global.gc !== 'function') {
  const r = spawnSync(process.execPath, ['--expose-gc', __filename, ...process.argv.slice(2)],
    { stdio: 'inherit' });
  process.exit(r.status === null ? 1 : r.status);
}

const addon = require('../..');

const option = (name, fallback) => {
  const i = process.argv.indexOf(`--${name}`);
  return i < 0 ? fallback : Number(process.argv[i + 1]);
};
const ROUNDS = option('rounds', 10);
const WARM_UP = 2;
const TARGET = 0.05;
// Work per round; ten rounds make the totals of the soak.
const PER_ROUND = { transactions: 20002, censuses: 100, streams: 20, profiles: 100, collections: 3000 };

const has = (name) => typeof addon[name] === 'function';
const turn = () => new Promise((resolve) => setImmediate(resolve));
const totals = { transactions: 0, events: 0, batches: 0, censuses: 0, streams: 0, streamBytes: 0,
  profiles: 0, visited: 0, collections: 0, notifications: 0 };

function transaction(i) {
  return {
    entryPoint: i % 2 === 0, transactionTime: i % 977, requestExperience: 'NORMAL',
    clientRequestGUID: `c-${i}`, transactionName: `/soak/${i % 50}`, transactionId: i % 1000,
    requestGUID: `r-${i}`, eventTimestamp: String(1449532800000 + i),
    exitCalls: [{ exitCallType: 'HTTP', avgResponseTimeMillis: i % 30, numberOfCalls: 2,
      numberOfErrors: 0 }],
    httpData: { url: `/soak?i=${i}`, principal: '', sessionId: `s-${i % 100}`,
      headers: { accept: '*/*', 'content-type': 'text/html' }, parameters: { i: String(i) } },
    userData: { 'cart.items': String(i % 7), customerTier: 'gold' },
  };
}

function analytics(n) {
  // Past 10000 waiting events a report is due at once.
  for (let i = 0; i < n; i++) {
    addon.recordTransaction(transaction(totals.transactions++));
    if ((i + 1) % 10001 === 0) addon.reportTransactions();
  }
  addon.reportTransactions();
}

function censuses(n) {
  for (let i = 0; i < n; i++) {
    addon.getV8HeapSnapshot(['Object', 'SoakRecord', '"soak"'], (err, text) => {
      if (err !== null || !Array.isArray(JSON.parse(text))) throw new Error('bad census');
      totals.censuses++;
    });
  }
}

function streams(n) {
  for (let i = 0; i < n; i++) {
    addon.takeHeapSnapshot((piece) => {
      totals.streamBytes += piece.length;
      return true;
    });
    totals.streams++;
  }
}

function busy() {
  let x = 0;
  for (let i = 0; i < 20000; i++) x += Math.sqrt(i) * Math.sin(i);
  return x;
}

function profiles(n) {
  for (let i = 0; i < n; i++) {
    addon.startV8Profiler();
    busy();
    addon.stopV8Profiler((count, hits, name) => name === '(program)' || (i + count) % 3 === 0,
      () => { totals.visited++; });
    totals.profiles++;
  }
}

async function collections(n) {
  for (let i = 0; i < n; i++) {
    global.gc({ type: 'minor' });
    totals.collections++;
    if (i % 100 === 99) await turn();
  }
  await turn();
}

async function settle() {
  for (let i = 0; i < 3; i++) {
    global.gc();
    await turn();
  }
  return process.memoryUsage();
}

const MB = (bytes) => (bytes / 1048576).toFixed(1);
const pct = (from, to) => (from > 0 ? (to - from) / from : 0);

async function main() {
  const phases = [];
  if (has('initAnalytics')) {
    addon.initAnalytics({ applicationId: '7', applicationName: 'soak', tierId: '1', tierName: 'web',
      nodeId: '2', nodeName: 'web-1' }, (batch) => {
      totals.batches++;
      totals.events += JSON.parse(batch).length;
    });
    phases.push(['transactions', analytics]);
  }
  if (has('getV8HeapSnapshot')) phases.push(['censuses', censuses]);
  if (has('takeHeapSnapshot')) phases.push(['streams', streams]);
  if (has('startV8Profiler')) phases.push(['profiles', profiles]);
  if (has('afterGC')) {
    addon.afterGC(() => { totals.notifications++; });
    phases.push(['collections', collections]);
  }
  const missing = ['initAnalytics', 'getV8HeapSnapshot', 'takeHeapSnapshot', 'startV8Profiler',
    'afterGC'].filter((name) => !has(name));
  if (missing.length) console.log(`soak: not in this build, skipped: ${missing.join(', ')}`);

  const started = Date.now();
  const samples = [];
  console.log('round      rss MB   external MB   heapUsed MB   seconds');
  for (let round = 0; round < ROUNDS; round++) {
    for (const [name, run] of phases) await run(PER_ROUND[name]);
    const m = await settle();
    samples.push(m);
    console.log(`${String(round + 1).padStart(5)} ${MB(m.rss).padStart(11)} ${MB(m.external).padStart(13)}` +
      ` ${MB(m.heapUsed).padStart(13)} ${((Date.now() - started) / 1000).toFixed(1).padStart(9)}`);
  }

  console.log(`soak: ${totals.transactions} transactions, ${totals.events} events in ` +
    `${totals.batches} batches; ${totals.censuses} censuses; ${totals.streams} snapshot streams ` +
    `(${MB(totals.streamBytes)} MB); ${totals.profiles} profiles (${totals.visited} nodes visited); ` +
    `${totals.collections} forced collections, ${totals.notifications} notifications`);
  let ok = true;
  if (has('initAnalytics') && totals.events !== totals.transactions) {
    console.log(`soak: FAILED: ${totals.transactions - totals.events} transactions never reported`);
    ok = false;
  }
  if (has('afterGC') && totals.notifications < totals.collections) {
    console.log(`soak: FAILED: ${totals.collections} collections but ${totals.notifications} notifications`);
    ok = false;
  }
  if (samples.length > WARM_UP) {
    const base = samples[WARM_UP - 1];
    const last = samples[samples.length - 1];
    for (const key of ['rss', 'external']) {
      const growth = pct(base[key], last[key]);
      const peak = Math.max(...samples.slice(WARM_UP).map((s) => pct(base[key], s[key])));
      const verdict = growth < TARGET ? 'ok' : 'ABOVE TARGET';
      console.log(`soak: ${key} growth after warm-up ${(growth * 100).toFixed(2)}% ` +
        `(${MB(base[key])} -> ${MB(last[key])} MB, peak ${(peak * 100).toFixed(2)}%), ` +
        `target < ${TARGET * 100}%: ${verdict}`);
      ok = ok && growth < TARGET;
    }
  }
  console.log(`soak: ${ok ? 'passed' : 'FAILED'} in ${((Date.now() - started) / 1000).toFixed(0)} s`);
  process.exit(ok ? 0 : 1);
}

main();
