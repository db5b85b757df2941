'use strict';
// The monitoring agents the service benchmark compares, loaded into the
// service's own process so that its CPU time counts theirs. All of them see
// requests the same way: a hook on the HTTP server's 'request' event, timers
// around the downstream store's calls, and one transaction object per request
// built at 'finish'. They differ in what they do with it and each second.
const http = require('http');
const querystring = require('querystring');
const { randomUUID } = require('crypto');
const { performance, monitorEventLoopDelay, PerformanceObserver } = require('perf_hooks');
const { buildEvent } = require('../js-event');

const IDENTITY = {
  applicationId: '1042', applicationName: 'storefront', tierId: '318',
  tierName: 'checkout-web', nodeId: '9921', nodeName: 'checkout-web-7f9c',
};
const EXIT_TYPES = { query: 'DB', cached: 'CACHE', rate: 'HTTP' };
const STATE = Symbol('transaction');
const REPORT_EVERY_MS = 1000;

function parseCookies(header) {
  const cookies = {};
  if (!header) return cookies;
  for (const part of header.split(';')) {
    const eq = part.indexOf('=');
    if (eq > 0) cookies[part.slice(0, eq).trim()] = part.slice(eq + 1).trim();
  }
  return cookies;
}

function experienceOf(status, ms) {
  if (status >= 500) return 'ERROR';
  if (ms > 100) return 'VERY_SLOW';
  if (ms > 40) return 'SLOW';
  return 'NORMAL';
}

// The transaction of one finished request: about 40 values.
function toTransaction(req, res, state) {
  const ms = performance.now() - state.start;
  const url = req.url;
  const q = url.indexOf('?');
  const path = q < 0 ? url : url.slice(0, q);
  const headers = req.headers;
  const cookies = parseCookies(headers.cookie);
  const route = req.route;
  const exitCalls = [];
  for (const e of state.exits) {
    exitCalls.push({
      exitCallType: e.type,
      avgResponseTimeMillis: Math.round(e.ms / e.calls),
      numberOfCalls: e.calls,
      numberOfErrors: e.errors,
    });
  }
  return {
    eventTimestamp: String(Math.round(performance.timeOrigin + state.start)),
    requestGUID: randomUUID(),
    transactionId: route ? route.id : 0,
    transactionName: route ? route.name : path,
    clientRequestGUID: headers['x-request-id'] || '',
    requestExperience: experienceOf(res.statusCode, ms),
    transactionTime: Math.round(ms),
    entryPoint: true,
    exitCalls,
    httpData: {
      url,
      principal: '',
      sessionId: cookies.sid || '',
      sessionObjects: {},
      uriPathSegments: path.split('/').slice(1),
      parameters: q < 0 ? {} : querystring.parse(url.slice(q + 1)),
      headers,
      cookies,
    },
    userData: {
      'response.status': res.statusCode,
      'response.bytes': res.getHeader('content-length'),
      method: req.method,
      'route.id': route ? route.id : 0,
    },
  };
}

function exitCall(req, type, ms, failed) {
  const state = req && req[STATE];
  if (!state) return;
  let e = state.exits.find((x) => x.type === type);
  if (!e) state.exits.push(e = { type, calls: 0, errors: 0, ms: 0 });
  e.calls++;
  e.ms += ms;
  if (failed) e.errors++;
}

// Hooks the server and the store as an agent's preload would, and hands
// every finished request's transaction to onTransaction.
function instrument(onTransaction) {
  const emit = http.Server.prototype.emit;
  http.Server.prototype.emit = function (event, req, res) {
    if (event === 'request') {
      const state = { start: performance.now(), exits: [] };
      req[STATE] = state;
      res.once('finish', () => onTransaction(toTransaction(req, res, state)));
    }
    return emit.apply(this, arguments);
  };
  const store = require('./store');
  for (const [name, type] of Object.entries(EXIT_TYPES)) {
    const call = store[name];
    store[name] = async function (req, a, b) {
      const start = performance.now();
      let failed = true;
      try {
        const value = await call.call(this, req, a, b);
        failed = false;
        return value;
      } finally {
        exitCall(req, type, performance.now() - start, failed);
      }
    };
  }
}

// What the agents do with a batch, short of sending it: its length is kept
// (a sender would need it for its framing) and the text is dropped.
const delivered = { batches: 0, chars: 0 };
function report(batch) {
  delivered.batches++;
  delivered.chars += batch.length;
}

// The latest per-second sample, kept as an agent keeps it until it sends.
let sample = null;

// Plain Node: the runtime's own loop and GC instruments, and the event text
// built in script and handed over as one array each second. (The module
// hands over once more than 10000 wait, so at a few thousand requests a
// second its batches are larger and rarer; the per-event work is the same.)
function plain() {
  const delay = monitorEventLoopDelay({ resolution: 10 });
  delay.enable();
  let elu = performance.eventLoopUtilization();
  let gcs = 0;
  new PerformanceObserver((list) => { gcs += list.getEntries().length; }).observe({ entryTypes: ['gc'] });
  const pending = [];
  instrument((tx) => { pending.push(buildEvent(IDENTITY, tx)); });
  setInterval(() => {
    const now = performance.eventLoopUtilization();
    sample = {
      delay: { min: delay.min, max: delay.max, mean: delay.mean, p99: delay.percentile(99) },
      utilization: performance.eventLoopUtilization(now, elu).utilization,
      gcs,
    };
    delay.reset();
    elu = now;
    if (pending.length) report('[' + pending.splice(0).join(', ') + ']');
  }, REPORT_EVERY_MS).unref();
}

// How long each delivered batch held the loop in reportTransactions beyond
// the report function's own time: framing, the string or Buffer made over
// the batch, and any collection the engine ran meanwhile. Beside it, the
// longest recordTransaction call of each second, where the engine's work
// that a batch schedules may show.
const handoffMs = [];
const longestRecordMs = [];
// Time spent inside the module's analytics calls, in ms: its own cost
// measured directly, without the noise of comparing two services.
const inModule = { ms: 0, calls: 0 };

function vantarel(analytics, options) {
  const addon = require('../..');
  let gcs = 0;
  let inReport = 0;
  let longestRecord = 0;
  const timedReport = (batch) => {
    const start = performance.now();
    report(batch);
    inReport += performance.now() - start;
  };
  addon.afterGC(() => { gcs++; });
  if (options) addon.initAnalytics(IDENTITY, timedReport, options);
  else addon.initAnalytics(IDENTITY, timedReport);
  addon.enableAnalytics(analytics);
  instrument((tx) => {
    const start = performance.now();
    addon.recordTransaction(tx);
    const took = performance.now() - start;
    longestRecord = Math.max(longestRecord, took);
    inModule.ms += took;
    inModule.calls++;
  });
  setInterval(() => {
    const loop = addon.getEventLoopInfo();
    addon.resetEventLoopInfo();
    sample = { loop, gcs };
    longestRecordMs.push(longestRecord);
    longestRecord = 0;
    const batches = delivered.batches;
    inReport = 0;
    const start = performance.now();
    addon.reportTransactions();
    const took = performance.now() - start;
    inModule.ms += took - inReport;
    if (delivered.batches !== batches) handoffMs.push(took - inReport);
  }, REPORT_EVERY_MS).unref();
}

// The floor under any agent that sends one event per request: the hooks and
// the transaction object, then nothing.
function objects() {
  instrument((tx) => { sample = tx; });
}

// The profiler kept as between the profiles of an agent that profiles every
// minute, with no profile running: a start and a stop at once, every 10 s.
function keptProfiler() {
  const addon = require('../..');
  const touch = () => {
    addon.startV8Profiler({ samplingInterval: 10000 });
    addon.stopV8Profiler(() => false, () => {});
  };
  // The first start logs all code; it comes before any measure.
  touch();
  setInterval(touch, 10000).unref();
}

// Switches a feature on or off at each SIGUSR2, so that one service
// measures itself with and without it.
function toggled(on, off) {
  let running = false;
  process.on('SIGUSR2', () => {
    if (running) off();
    else on();
    running = !running;
  });
}

// Profiles at 10 ms while told to: each SIGUSR2 starts a profile or stops
// and walks it, the profiler kept throughout.
function toggledProfiling() {
  const addon = require('../..');
  addon.startV8Profiler();
  addon.stopV8Profiler();
  // A start at least every 90 s keeps the profiler.
  toggled(() => addon.startV8Profiler({ samplingInterval: 10000 }),
    () => addon.stopV8Profiler(() => false, () => {}));
}

// Samples the heap at the continuous profilers' 512 KiB while told to.
function toggledHeapSampling() {
  const addon = require('../..');
  toggled(() => addon.startHeapSampling(), () => addon.stopHeapSampling());
}

// Watches the loop for blocks of 100 ms while told to.
function toggledWatchdog() {
  const addon = require('../..');
  toggled(() => addon.startLoopWatchdog({ threshold: 100 }, () => {}),
    () => addon.stopLoopWatchdog());
}

// Samples the heap and reads its pprof profile every 5 s, gzipped off the
// loop as an agent sends it; RSS at each read, for the benchmark.
const heapReads = [];
function heapProfiles() {
  const addon = require('../..');
  const zlib = require('zlib');
  addon.startHeapSampling();
  setInterval(() => {
    zlib.gzip(addon.getHeapSamplesPprof(), () => {});
    heapReads.push(process.memoryUsage.rss());
  }, 5000).unref();
}

const AGENTS = {
  plain,
  objects,
  vantarel: () => vantarel(true),
  'vantarel-off': () => vantarel(false),
  'vantarel-buffer': () => vantarel(true, { asBuffer: true }),
  'vantarel-off-kept': () => { vantarel(false); keptProfiler(); },
  'vantarel-off-toggled': () => { vantarel(false); toggledProfiling(); },
  'vantarel-off-heap-toggled': () => { vantarel(false); toggledHeapSampling(); },
  'vantarel-off-watch-toggled': () => { vantarel(false); toggledWatchdog(); },
  'vantarel-off-heap-profiles': () => { vantarel(false); heapProfiles(); },
};

// What the agent measured of itself, for the benchmark.
function stats() {
  const binding = addonBinding();
  return { handoffMs, longestRecordMs, heapReads, inModuleMs: inModule.ms, records: inModule.calls,
    batches: delivered.batches, chars: delivered.chars,
    memory: binding && binding.analyticsMemory ? binding.analyticsMemory() : null };
}

// The addon itself, when an agent loaded it, for its memory figures.
function addonBinding() {
  const resolved = require.resolve('node-gyp-build', { paths: [require.resolve('../..')] });
  if (!require.cache[require.resolve('../..')]) return null;
  return require(require(resolved).resolve(require('path').join(__dirname, '../..')));
}

function start(name) {
  if (!AGENTS[name]) throw new Error(`unknown agent "${name}"; one of ${Object.keys(AGENTS).join(', ')}`);
  AGENTS[name]();
}

module.exports = { start, stats, toTransaction, IDENTITY, AGENTS };
