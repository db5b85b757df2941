'use strict';
// One row per exported function: how often it is called, how its arguments
// are made, and what a call that returns (rather than throws) must give.
const {
  value, string, plainObject, array, callback, isCallback, label, MAP_KEYS,
} = require('./values');
const { checkBatch, checkCensus, checkSnapshotText } = require('./checks');

const GC_TYPES = ['kGCTypeScavenge', 'kGCTypeMarkSweepCompact', 'kGCTypeAll', 'Other'];
const GC_FLAGS = ['kNoGCCallbackFlags', 'kGCCallbackFlagCompacted', 'Other'];
const MAX_PIECE = 16384;

function must(ok, message) {
  if (!ok) throw new Error(message);
}

const isInt = (v) => Number.isInteger(v);
const isUint32 = (v) => isInt(v) && v >= 0 && v < 2 ** 32;

function checkGC([type, flags, size, pause, ...rest]) {
  must(GC_TYPES.includes(type), `type ${type}`);
  must(GC_FLAGS.includes(flags), `flags ${flags}`);
  must(isInt(size) && size >= -(2 ** 31) && size < 2 ** 31, `size ${size}`);
  must(isInt(pause) && pause >= 0, `pause ${pause}`);
  must(rest.length === 0, 'extra arguments');
}

function checkNode([count, hits, name, resource, line, ...rest]) {
  must(isInt(count) && count >= 0, `count ${count}`);
  must(isUint32(hits), `hit count ${hits}`);
  must(typeof name === 'string' && typeof resource === 'string', 'names');
  must(isInt(line), `line ${line}`);
  must(rest.length === 0, 'extra arguments');
}

// The heap profile's filter (five arguments) and visitor (six, with a count).
function checkHeapNode([count, bytes, name, resource, line, ...rest]) {
  must(isInt(count) && count >= 0, `count ${count}`);
  must(typeof bytes === 'number' && bytes >= 0, `bytes ${bytes}`);
  must(typeof name === 'string' && typeof resource === 'string', 'names');
  must(isInt(line), `line ${line}`);
  must(rest.length <= 1 && (rest.length === 0 || rest[0] >= 0), 'extra arguments');
}

function checkBlock([ms, frames, ...rest]) {
  must(typeof ms === 'number' && ms >= 0, `blocked ${ms}`);
  must(Array.isArray(frames), 'frames are not an array');
  for (const f of frames) {
    must(typeof f.functionName === 'string' && typeof f.scriptName === 'string' &&
      isInt(f.lineNumber) && isInt(f.columnNumber), `frame ${JSON.stringify(f)}`);
  }
  must(rest.length === 0, 'extra arguments');
}

const bufferOrUndefined = (r) => must(r === undefined || Buffer.isBuffer(r), `returned ${typeof r}`);

// Options that are mostly of the right kind, sometimes not.
function options(rng, ctx, shape) {
  if (rng.chance(0.3)) return value(rng, ctx);
  const o = {};
  for (const [key, good] of Object.entries(shape)) {
    if (rng.chance(0.8)) o[key] = rng.chance(0.8) ? rng.pick(good) : value(rng, ctx);
  }
  return label(o, `options{${Object.keys(o).join(',')}}`);
}

// Sometimes a value for a callback position is not a function at all.
function maybeCallback(rng, ctx, role, check, opts) {
  return rng.chance(0.85) ? callback(rng, ctx, role, check, opts) : value(rng, ctx);
}

function names(rng, ctx) {
  const r = rng.int(10);
  if (r < 3) return value(rng, ctx);
  if (r < 5) return array(rng, ctx, 0);
  const list = ['Object', 'Array', '"GET"', 'system / Context', 'Customer', '(system)'];
  const out = [];
  const n = rng.int(8);
  for (let i = 0; i < n; i++) {
    out.push(rng.chance(0.6) ? rng.pick(list) : value(rng, ctx, { big: true }));
  }
  return label(out, `names[${out.length}]`);
}

function config(rng, ctx) {
  if (rng.chance(0.15)) return value(rng, ctx);
  const o = {};
  for (const key of ['applicationId', 'applicationName', 'tierId', 'tierName', 'nodeId',
    'nodeName']) {
    if (rng.chance(0.9)) o[key] = rng.chance(0.7) ? string(rng) : value(rng, ctx);
  }
  return label(o, `config{${Object.keys(o).length}}`);
}

function textMap(rng, ctx) {
  const r = rng.int(10);
  if (r < 2) return value(rng, ctx);
  if (r < 3) return array(rng, ctx, 0, { huge: true });
  if (r < 5) {
    // Keys that make a node both a value and a parent, or end in a dot.
    const o = {};
    for (let i = 0, n = 1 + rng.int(4); i < n; i++) o[rng.pick(MAP_KEYS)] = rng.pick(['', 'v', '1']);
    return label(o, `map{${Object.keys(o).map((k) => JSON.stringify(k)).join(',')}}`);
  }
  return plainObject(rng, ctx, 1);
}

function exitCalls(rng, ctx) {
  if (rng.chance(0.2)) return rng.chance(0.5) ? value(rng, ctx) : array(rng, ctx, 0);
  const list = [];
  for (let i = 0, n = rng.int(5); i < n; i++) {
    if (rng.chance(0.2)) {
      list.push(value(rng, ctx));
      continue;
    }
    const call = {};
    for (const key of ['exitCallType', 'avgResponseTimeMillis', 'numberOfCalls', 'numberOfErrors']) {
      if (rng.chance(0.8)) call[key] = key === 'exitCallType' ? string(rng) : value(rng, ctx);
    }
    list.push(call);
  }
  return label(list, `exitCalls[${list.length}]`);
}

function transaction(rng, ctx) {
  if (rng.chance(0.1)) return value(rng, ctx);
  const tx = rng.chance(0.1) ? Object.create(null) : {};
  const scalar = {
    entryPoint: () => value(rng, ctx),
    transactionTime: () => (rng.chance(0.5) ? rng.int(10000) : value(rng, ctx)),
    transactionId: () => (rng.chance(0.5) ? rng.int(100) : value(rng, ctx)),
  };
  for (const key of ['entryPoint', 'transactionTime', 'requestExperience', 'clientRequestGUID',
    'transactionName', 'transactionId', 'requestGUID', 'eventTimestamp']) {
    if (!rng.chance(0.85)) continue;
    tx[key] = scalar[key] ? scalar[key]() : (rng.chance(0.7) ? string(rng) : value(rng, ctx));
  }
  if (rng.chance(0.7)) tx.exitCalls = exitCalls(rng, ctx);
  if (rng.chance(0.8)) {
    const http = {};
    for (const key of ['sessionId', 'principal', 'url']) if (rng.chance(0.8)) http[key] = string(rng);
    for (const key of ['sessionObjects', 'uriPathSegments', 'parameters', 'headers', 'cookies']) {
      if (rng.chance(0.5)) http[key] = textMap(rng, ctx);
    }
    if (rng.chance(0.05)) http.userData = { ignored: 'x' };
    tx.httpData = rng.chance(0.9) ? http : value(rng, ctx);
  }
  if (rng.chance(0.6)) tx.userData = textMap(rng, ctx);
  if (rng.chance(0.1)) Object.freeze(tx);
  return label(tx, `tx{${Object.keys(tx).join(',')}}`);
}

function reportCallback(rng, ctx) {
  return maybeCallback(rng, ctx, 'report', function (args) {
    must(this === globalThis, 'receiver is not the global object');
    must(args.length === 1, `${args.length} arguments`);
    checkBatch(args[0]);
  });
}

// Small, valid transactions to push the collector over its batch threshold.
function flood(ctx, rng) {
  const { addon } = ctx;
  let ours = null;
  if (rng.chance(0.6)) {
    ours = callback(rng, ctx, 'report', (args) => checkBatch(args[0]));
    addon.initAnalytics({ applicationId: '1', applicationName: 'a', tierId: '2', tierName: 't',
      nodeId: '3', nodeName: 'n' }, ours);
  }
  if (rng.chance(0.8)) addon.enableAnalytics(true);
  const tx = { transactionId: 1, transactionName: 't', eventTimestamp: '0',
    httpData: { url: '/', headers: { accept: '*/*' } } };
  for (let i = 0; i <= 10000; i++) addon.recordTransaction(tx);
  addon.reportTransactions();
  return ours;
}

const undef = (r) => must(r === undefined, `returned ${typeof r}`);

// weight: relative frequency; heavy: costs a heap snapshot.
const ROWS = [
  {
    name: 'time', weight: 4, args: (rng, ctx) => [value(rng, ctx)],
    check: (r) => must(r === undefined || (isInt(r) && r > 1e15), `time ${r}`),
  },
  {
    name: 'cpuTime', weight: 4, args: (rng, ctx) => [value(rng, ctx)],
    check: (r) => must(r === undefined || (isInt(r) && r >= 0), `cpuTime ${r}`),
  },
  {
    name: 'afterGC', weight: 3,
    args: (rng, ctx) => [maybeCallback(rng, ctx, 'gc', checkGC)],
    check: undef,
  },
  { name: 'startV8Profiler', weight: 2, args: (rng, ctx) => [value(rng, ctx)], check: undef },
  {
    name: 'stopV8Profiler', weight: 3,
    args: (rng, ctx) => [
      maybeCallback(rng, ctx, 'filter', checkNode, { answer: (n, r) => r.chance(0.3) }),
      maybeCallback(rng, ctx, 'visitor', checkNode),
    ],
    check: undef,
  },
  {
    name: 'getEventLoopInfo', weight: 3, args: (rng, ctx) => [value(rng, ctx)],
    check: (r) => {
      must(r && typeof r === 'object' && !Array.isArray(r), 'not a plain object');
      must(Object.keys(r).join() === '0,1,2,3,4', `keys ${Object.keys(r)}`);
      for (const v of Object.values(r)) must(isUint32(v), `counter ${v}`);
    },
  },
  { name: 'resetEventLoopInfo', weight: 2, args: (rng, ctx) => [value(rng, ctx)], check: undef },
  {
    name: 'getV8HeapSnapshot', weight: 0.3, heavy: true,
    args: (rng, ctx) => {
      const list = names(rng, ctx);
      return [list, maybeCallback(rng, ctx, 'census', ([err, text, ...rest]) => {
        must(err === null, 'first argument is not null');
        must(rest.length === 0, 'extra arguments');
        checkCensus(text);
      })];
    },
    check: (r, args) => {
      undef(r);
      const cb = args[1];
      const expected = args.length >= 2 && typeof cb === 'function' ? 1 : 0;
      if (isCallback(cb)) must(cb.calls() === expected, `census called ${cb.calls()} times`);
    },
  },
  {
    name: 'isObjectTrackingSupported', weight: 2, args: (rng, ctx) => [value(rng, ctx)],
    check: (r) => must(r === true, `returned ${r}`),
  },
  {
    name: 'initAnalytics', weight: 2,
    args: (rng, ctx) => [config(rng, ctx), reportCallback(rng, ctx)],
    check: undef,
  },
  { name: 'enableAnalytics', weight: 2, args: (rng, ctx) => [rng.chance(0.6) || value(rng, ctx)], check: undef },
  { name: 'recordTransaction', weight: 10, args: (rng, ctx) => [transaction(rng, ctx)], check: undef },
  { name: 'reportTransactions', weight: 3, args: (rng, ctx) => [value(rng, ctx)], check: undef },
  { name: 'startTrackingHeapObjects', weight: 0.15, args: (rng, ctx) => [value(rng, ctx)], check: undef },
  { name: 'stopTrackingHeapObjects', weight: 1.5, args: (rng, ctx) => [value(rng, ctx)], check: undef },
  {
    name: 'takeHeapSnapshot', weight: 0.2, heavy: true,
    args: (rng, ctx) => {
      const stopAt = rng.chance(0.5) ? Infinity : rng.int(6);
      const pieces = [];
      const fn = maybeCallback(rng, ctx, 'piece', ([piece, ...rest]) => {
        must(typeof piece === 'string', 'piece is not a string');
        must(Buffer.byteLength(piece) <= MAX_PIECE, `piece of ${Buffer.byteLength(piece)} bytes`);
        must(rest.length === 0, 'extra arguments');
        pieces.push(piece);
      }, { answer: (n) => n < stopAt });
      if (typeof fn === 'function') Object.assign(fn, { pieces, stopAt });
      return [fn];
    },
    check: (r, args) => {
      undef(r);
      const fn = args[0];
      if (!isCallback(fn)) return;
      if (fn.kind === 'plain' && fn.stopAt === Infinity) {
        checkSnapshotText(fn.pieces.join(''));
      } else if (fn.stopAt !== Infinity) {
        must(fn.calls() <= fn.stopAt + 1, `${fn.calls()} pieces after a stop at ${fn.stopAt}`);
      }
      must(fn.calls() >= 1, 'no piece');
    },
  },
  {
    name: 'startHeapSampling', weight: 1,
    args: (rng, ctx) => [options(rng, ctx, { samplingInterval: [1024, 32768, 524288],
      stackDepth: [1, 8, 64] })],
    check: undef,
  },
  {
    name: 'getHeapSamples', weight: 1.5,
    args: (rng, ctx) => [
      maybeCallback(rng, ctx, 'filter', checkHeapNode, { answer: (n, r) => r.chance(0.3) }),
      maybeCallback(rng, ctx, 'visitor', checkHeapNode),
    ],
    check: undef,
  },
  { name: 'getHeapSamplesPprof', weight: 1, args: (rng, ctx) => [value(rng, ctx)], check: bufferOrUndefined },
  { name: 'stopHeapSampling', weight: 1, args: (rng, ctx) => [value(rng, ctx)], check: undef },
  { name: 'stopV8ProfilerPprof', weight: 1.5, args: (rng, ctx) => [value(rng, ctx)], check: bufferOrUndefined },
  {
    name: 'startLoopWatchdog', weight: 0.5,
    args: (rng, ctx) => [options(rng, ctx, { threshold: [1, 5, 50] }),
      maybeCallback(rng, ctx, 'block', checkBlock)],
    check: undef,
  },
  { name: 'stopLoopWatchdog', weight: 0.5, args: (rng, ctx) => [value(rng, ctx)], check: undef },
];

module.exports = { ROWS, flood, transaction, checkGC, checkNode };
