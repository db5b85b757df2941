'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { spawnSync } = require('node:child_process');
const addon = require('..');
const { IDENTITY, WORKED, WORKED_TEXT } = require('./worked-example.cjs');

// More than this many pending events make a report due at once.
const THRESHOLD = 10000;

// A fresh state whose report function checks and keeps every batch.
function collect(config = IDENTITY) {
  const batches = [];
  addon.initAnalytics(config, function (batch) {
    assert.strictEqual(arguments.length, 1);
    assert.strictEqual(this, globalThis);
    JSON.parse(batch);
    batches.push(batch);
  });
  return batches;
}

// Records the transactions then fillers until a report is due, reports, and
// returns the texts of the given transactions' events.
function eventTexts(txs, config) {
  const batches = collect(config);
  txs.forEach((tx) => addon.recordTransaction(tx));
  for (let i = 0; i <= THRESHOLD - txs.length; i++) addon.recordTransaction({});
  addon.reportTransactions();
  assert.strictEqual(batches.length, 1);
  const texts = batches[0].slice(1, -1).split('\n}\n, ').map((t, i, all) =>
    i === all.length - 1 ? t : t + '\n}\n');
  assert.strictEqual(texts.length, THRESHOLD + 1);
  return texts.slice(0, txs.length);
}
const events = (txs, config) => eventTexts(txs, config).map((t) => JSON.parse(t));
const segment = (tx) => events([tx])[0].segments[0];


test('the analytics functions do nothing before initAnalytics', () => {
  const names = Object.keys(addon);
  const ours = ['initAnalytics', 'enableAnalytics', 'recordTransaction', 'reportTransactions'];
  assert.deepStrictEqual(names.filter((n) => ours.includes(n)), ours);
  assert.ok(names.every((n) => typeof addon[n] === 'function'));
  const child = spawnSync(process.execPath, ['-e', `
    const a = require(${JSON.stringify(require.resolve('..'))});
    const r = [a.enableAnalytics(true), a.recordTransaction({}), a.reportTransactions()];
    process.stdout.write(JSON.stringify(r));`], { encoding: 'utf8' });
  assert.strictEqual(child.status, 0, child.stderr);
  assert.strictEqual(child.stdout, '[null,null,null]');
});

test('the worked example comes out byte for byte', () => {
  assert.strictEqual(eventTexts([WORKED])[0], WORKED_TEXT);
});

test('an empty object and an empty configuration decode to the defaults', () => {
  const [event] = events([{}], { applicationId: 17 });
  assert.deepStrictEqual(event, {
    eventTimestamp: 'undefined', applicationId: '17', application: 'undefined',
    requestGUID: 'undefined', transactionName: 'undefined', transactionId: '0',
    segments: [{
      segmentTimestamp: 'undefined', tierId: 'undefined', tier: 'undefined',
      nodeId: 'undefined', node: 'undefined', requestExperience: 'undefined',
      transactionTime: '0', entryPoint: 'false', clientRequestGUID: 'undefined',
      httpData: { url: 'undefined', principal: 'undefined', sessionId: 'undefined' },
    }],
  });
  // Other non-objects read as an object without the six properties.
  assert.strictEqual(events([{}], 5)[0].applicationId, 'undefined');
});

test('counts wrap to 32 bits and flags follow truthiness', () => {
  const times = [-1, 2 ** 31, 2 ** 32, 12.9, '250', '-1', new Number(-1), [-3], true, 'x'];
  const got = events(times.map((t) => ({ transactionTime: t, transactionId: t })));
  assert.deepStrictEqual(got.map((e) => e.segments[0].transactionTime),
    ['-1', '-2147483648', '0', '12', '250', '-1', '-1', '-3', '1', '0']);
  assert.deepStrictEqual(got.map((e) => e.transactionId), got.map((e) => e.segments[0].transactionTime));
  const call = segment({ exitCalls: [{ numberOfErrors: -1, numberOfCalls: [-3], avgResponseTimeMillis: 2 ** 32 + 5 }] }).exitCalls[0];
  assert.deepStrictEqual(call, { exitCallType: 'undefined', avgResponseTimeMillis: '5', numberOfCalls: '4294967293', numberOfErrors: '4294967295' });
  const flags = events(['false', 0, {}, 1, '', NaN].map((entryPoint) => ({ entryPoint })));
  assert.deepStrictEqual(flags.map((e) => e.segments[0].entryPoint), ['true', 'false', 'true', 'true', 'false', 'false']);
});

test('exit calls, maps and texts', () => {
  const seg = segment({
    exitCalls: [null, 5, { exitCallType: 'X' }],
    httpData: { headers: ['a', { toString: () => 'obj' }], parameters: { u: undefined, n: 'a\0b' }, userData: { x: 1 } },
  });
  assert.deepStrictEqual(seg.exitCalls, [{ exitCallType: 'X', avgResponseTimeMillis: '0', numberOfCalls: '0', numberOfErrors: '0' }]);
  assert.deepStrictEqual(seg.httpData.headers, { 0: 'a', 1: 'obj' });
  assert.deepStrictEqual(seg.httpData.parameters, { n: 'a', u: 'undefined' });
  assert.strictEqual(seg.userData, undefined);
  assert.strictEqual(segment({ exitCalls: { length: 1, 0: {} } }).exitCalls, undefined);
  assert.strictEqual(segment({ httpData: 'x' }).httpData.url, 'undefined');
  // Array indices are keys ordered as text.
  const [text] = eventTexts([{ httpData: { uriPathSegments: 'abcdefghijk'.split('') } }]);
  const keys = [...text.matchAll(/^ {20}"(\d+)"/gm)].map((m) => m[1]);
  assert.deepStrictEqual(keys, ['0', '1', '10', '2', '3', '4', '5', '6', '7', '8', '9']);
  // Escaping, and an entry that cannot be placed is left out, not the event.
  const [escaped] = eventTexts([{ requestGUID: 'é\t"/', userData: { sess: 'a', 'sess.sig': 'b', '': 'c' } }]);
  assert.match(escaped, /"requestGUID": "\\u00C3\\u00A9\\u0009\\"\\\/"/);
  assert.deepStrictEqual(JSON.parse(escaped).segments[0].userData, { sess: 'a' });
  // Texts are sound UTF-8: a lone surrogate of either half becomes U+FFFD,
  // a pair its four bytes; the text ends at its first NUL.
  const [utf8] = eventTexts([{ requestGUID: 'a\uD800b\uDC00c\u{1F600}\0d', transactionName: '\uDBFF' }]);
  const fffd = '\\u00EF\\u00BF\\u00BD';
  assert.ok(utf8.includes(`"requestGUID": "a${fffd}b${fffd}c\\u00F0\\u009F\\u0098\\u0080"`), utf8);
  assert.ok(utf8.includes(`"transactionName": "${fffd}"`));
  // Keys that convert to one text: the one read last stays.
  assert.deepStrictEqual(segment({ userData: { 'k\0a': 1, '\uD800': 2, 'k\0b': 3, '\uDC00': 4 } }).userData,
    { k: '3', '\u00EF\u00BF\u00BD': '4' });
  // Many exit calls and entries, beyond any buffer reserved for a usual one.
  const headers = Object.fromEntries(Array.from({ length: 3000 }, (_, i) => [`h${i}`, `v${i}`]));
  const calls = Array.from({ length: 600 }, (_, i) => ({ exitCallType: `T${i}` }));
  const big = segment({ exitCalls: calls, httpData: { headers, cookies: { c: 1 } } });
  assert.deepStrictEqual(big.httpData.headers, headers);
  assert.deepStrictEqual(big.httpData.cookies, { c: '1' });
  assert.deepStrictEqual(big.exitCalls.map((c) => c.exitCallType), calls.map((c) => c.exitCallType));
});

test('properties are read in order with getters, also while paused', () => {
  const log = [];
  const spy = (name, value) => ({ get() { log.push(name); return value; }, enumerable: true });
  const obj = (props) => Object.defineProperties({}, Object.fromEntries(
    Object.entries(props).map(([k, v]) => [k, spy(k, v)])));
  const make = () => obj({
    userData: obj({ u: 1 }), httpData: obj({
      cookies: {}, headers: obj({ h: 1 }), parameters: {}, uriPathSegments: {}, sessionObjects: {},
      url: '', principal: '', sessionId: '',
    }),
    exitCalls: [obj({ exitCallType: 'T', avgResponseTimeMillis: 1, numberOfCalls: 1, numberOfErrors: 1 })],
    eventTimestamp: '', requestGUID: '', transactionId: 1, transactionName: '',
    clientRequestGUID: '', requestExperience: '', transactionTime: 1, entryPoint: true,
  });
  const order = ['entryPoint', 'transactionTime', 'requestExperience', 'clientRequestGUID',
    'transactionName', 'transactionId', 'requestGUID', 'eventTimestamp', 'exitCalls',
    'numberOfErrors', 'numberOfCalls', 'avgResponseTimeMillis', 'exitCallType', 'httpData',
    'sessionId', 'principal', 'url', 'sessionObjects', 'uriPathSegments', 'parameters',
    'headers', 'h', 'cookies', 'userData', 'u'];
  const batches = collect();
  addon.recordTransaction(make());
  assert.deepStrictEqual(log, order);
  addon.enableAnalytics(false);
  log.length = 0;
  addon.recordTransaction(make());
  assert.deepStrictEqual(log, order);
  addon.enableAnalytics(true);
  for (let i = 0; i < THRESHOLD; i++) addon.recordTransaction({});
  addon.reportTransactions();
  assert.strictEqual(JSON.parse(batches[0]).length, THRESHOLD + 1);
});

test('collection off: conversions still run in order, and a getter may switch it on', () => {
  const log = [];
  const named = (name) => ({ toString: () => { log.push(name); return name; } });
  const make = (onRead) => ({
    transactionName: named('name'), transactionId: { valueOf: () => { log.push('id'); return 7; } },
    get requestGUID() { onRead(); return 'guid'; },
    httpData: { url: named('url'), headers: { a: named('a'), b: 2 }, uriPathSegments: ['x', null] },
    userData: { 'k.j': named('k'), n: 1.5, s: Symbol('s') },
  });
  const [expected] = eventTexts([make(() => {})]);
  const conversions = log.splice(0);
  const batches = collect();
  addon.enableAnalytics(false);
  addon.recordTransaction(make(() => {}));
  assert.deepStrictEqual(log.splice(0), conversions, 'off: the same conversions, in order');
  addon.recordTransaction(make(() => addon.enableAnalytics(true)));
  assert.deepStrictEqual(log.splice(0), conversions);
  addon.reportTransactions({ force: true });
  assert.deepStrictEqual(JSON.parse(batches[0]), [JSON.parse(expected)],
    'switched on while read: recorded as if on all along');
});

test('a getter may record meanwhile, and a read cut by a vm timeout records nothing', () => {
  const batches = collect();
  const { runInContext, createContext } = require('node:vm');
  assert.throws(() => runInContext('recordTransaction({ httpData: { get url() { for (;;); } } })',
    createContext({ recordTransaction: addon.recordTransaction }), { timeout: 20 }),
  { code: 'ERR_SCRIPT_EXECUTION_TIMEOUT' });
  const outer = { ...WORKED, httpData: { ...WORKED.httpData } };
  Object.defineProperty(outer.httpData, 'url', {
    get() { addon.recordTransaction({ requestGUID: 'inner' }); return WORKED.httpData.url; },
    enumerable: true,
  });
  addon.recordTransaction(outer);
  for (let i = 0; i < THRESHOLD - 1; i++) addon.recordTransaction({});
  addon.reportTransactions();
  const texts = batches[0].slice(1, -1).split('\n}\n, ');
  assert.strictEqual(texts.length, THRESHOLD + 1);
  assert.strictEqual(JSON.parse(texts[0] + '\n}\n').requestGUID, 'inner');
  assert.strictEqual(texts[1] + '\n}\n', WORKED_TEXT);
});

test('throwing reads and conversions give the defaults', () => {
  const boom = { get() { throw new Error('boom'); }, enumerable: true };
  const throwing = (...names) => Object.defineProperties({}, Object.fromEntries(names.map((n) => [n, boom])));
  const badString = { toString() { throw new Error('no'); } };
  const seg = segment(Object.assign(throwing('entryPoint', 'transactionTime', 'requestGUID'), {
    transactionName: Symbol('s'), transactionId: 5n, requestExperience: badString,
    exitCalls: Object.defineProperty([, { exitCallType: 'kept' }], 0, boom),
    httpData: {
      url: badString, headers: throwing('a'), parameters: new Proxy({}, { ownKeys() { throw new Error('keys'); } }),
      cookies: throwing('x', 'y'),
    },
    userData: { '': 'left out' },
  }));
  assert.deepStrictEqual(seg.exitCalls.map((c) => c.exitCallType), ['kept']);
  assert.strictEqual(seg.entryPoint, 'false');
  assert.strictEqual(seg.transactionTime, '0');
  assert.strictEqual(seg.requestExperience, 'undefined');
  assert.deepStrictEqual(seg.httpData, { url: 'undefined', principal: 'undefined', sessionId: 'undefined', headers: { a: 'undefined' }, cookies: { x: 'undefined', y: 'undefined' } });
  assert.strictEqual(seg.userData, undefined);
  const [top] = events([{ requestGUID: badString, transactionName: Symbol('s'), transactionId: 5n }]);
  assert.deepStrictEqual([top.requestGUID, top.transactionName, top.transactionId], ['undefined', 'undefined', '0']);
  assert.strictEqual(segment(throwing('exitCalls', 'httpData')).httpData.url, 'undefined');
  // No object: nothing recorded.
  const batches = collect();
  addon.recordTransaction();
  addon.recordTransaction(undefined);
  addon.recordTransaction(null);
  for (let i = 0; i <= THRESHOLD; i++) addon.recordTransaction(1);
  addon.reportTransactions();
  assert.strictEqual(JSON.parse(batches[0]).length, THRESHOLD + 1);
});

test('enableAnalytics, a new initAnalytics and a bad configuration', () => {
  let batches = collect();
  for (let i = 0; i <= THRESHOLD; i++) addon.recordTransaction({});
  for (const off of [1, 'true', undefined, {}]) {
    addon.enableAnalytics(off);
    addon.recordTransaction({});
    addon.reportTransactions();
  }
  assert.strictEqual(batches.length, 0);
  addon.enableAnalytics(true);
  addon.reportTransactions();
  assert.strictEqual(JSON.parse(batches[0]).length, THRESHOLD + 1);
  addon.reportTransactions();
  assert.strictEqual(batches.length, 1, 'nothing pending, nothing delivered');

  for (let i = 0; i <= THRESHOLD; i++) addon.recordTransaction({});
  addon.enableAnalytics(false);
  const first = batches;
  batches = collect();
  for (const bad of [undefined, null]) {
    assert.throws(() => addon.initAnalytics(bad, () => assert.fail()), TypeError);
  }
  addon.recordTransaction({ transactionName: 'second' });
  for (let i = 0; i < THRESHOLD; i++) addon.recordTransaction({});
  addon.reportTransactions();
  assert.strictEqual(first.length, 1);
  const events = JSON.parse(batches[0]);
  assert.strictEqual(events.length, THRESHOLD + 1, 'the first state\'s events are dropped');
  assert.strictEqual(events[0].transactionName, 'second');
});

test('a forced report delivers what is pending now, and checks its options', () => {
  const batches = collect();
  addon.reportTransactions({ force: true });
  assert.strictEqual(batches.length, 0, 'nothing pending, nothing delivered');
  addon.recordTransaction({ transactionName: 'one' });
  addon.recordTransaction({ transactionName: 'two' });
  for (const [bad, what] of [[null, /options/], [1, /options/], ['force', /options/],
    [{ force: 1 }, /force/], [{ force: 'true' }, /force/]]) {
    assert.throws(() => addon.reportTransactions(bad), { name: 'TypeError', message: what });
  }
  for (const asToday of [undefined, {}, { force: false }]) addon.reportTransactions(asToday);
  addon.enableAnalytics(false);
  addon.reportTransactions({ force: true });
  assert.strictEqual(batches.length, 0, 'not due, bad options, or collection off');
  addon.enableAnalytics(true);
  addon.reportTransactions({ force: true });
  assert.deepStrictEqual(batches.map((b) => JSON.parse(b).map((e) => e.transactionName)),
    [['one', 'two']]);
});

test('asBuffer hands each batch over as a Buffer of the string form\'s bytes', () => {
  const batches = { string: [], buffer: [] };
  const record = (i) => addon.recordTransaction({ transactionName: `t${i}`, httpData: { url: 'ä/\u2028' } });
  for (const form of ['string', 'buffer']) {
    addon.initAnalytics(IDENTITY, (batch) => batches[form].push(batch),
      form === 'buffer' ? { asBuffer: true } : { asBuffer: false });
    for (let round = 0; round < 3; round++) {
      for (let i = 0; i < 50; i++) record(round * 100 + i);
      addon.reportTransactions({ force: true });
      globalThis.gc();
    }
  }
  assert.ok(batches.buffer.every(Buffer.isBuffer));
  assert.ok(batches.string.every((b) => typeof b === 'string'));
  // Each kept batch is intact after later ones and collections: its memory
  // is reused only once the engine has freed it.
  assert.deepStrictEqual(batches.buffer.map((b) => b.toString('latin1')), batches.string);

  for (const [bad, what] of [[{ asBuffer: 1 }, /asBuffer/], ['yes', /options/]]) {
    assert.throws(() => addon.initAnalytics(IDENTITY, () => assert.fail(), bad),
      { name: 'TypeError', message: what });
  }
  record(1);
  addon.reportTransactions({ force: true });
  assert.strictEqual(batches.buffer.length, 4, 'the earlier set-up stays');
});

test('a report function that is not a function keeps the events', () => {
  addon.initAnalytics(IDENTITY, 'nope');
  for (let i = 0; i <= THRESHOLD; i++) addon.recordTransaction({});
  assert.throws(() => addon.reportTransactions(), TypeError);
  assert.throws(() => addon.reportTransactions(), TypeError, 'still due: nothing was taken');
});

test('a throwing report function loses its batch only', () => {
  const seen = [];
  addon.initAnalytics(IDENTITY, (batch) => {
    seen.push(JSON.parse(batch).length);
    if (seen.length === 1) throw new Error('report failed');
  });
  for (let i = 0; i <= THRESHOLD; i++) addon.recordTransaction({});
  assert.throws(() => addon.reportTransactions(), /report failed/);
  for (let i = 0; i <= THRESHOLD + 1; i++) addon.recordTransaction({});
  addon.reportTransactions();
  assert.deepStrictEqual(seen, [THRESHOLD + 1, THRESHOLD + 2]);
});

test('a report function may record, report and initialise again', () => {
  const outer = [];
  const inner = [];
  addon.initAnalytics(IDENTITY, (batch) => {
    outer.push(JSON.parse(batch).length);
    addon.recordTransaction({});
    addon.reportTransactions(); // one pending and the interval restarted
    if (outer.length === 2) {
      addon.initAnalytics(IDENTITY, (b) => inner.push(JSON.parse(b).length));
      for (let i = 0; i <= THRESHOLD; i++) addon.recordTransaction({});
      addon.reportTransactions();
    }
  });
  for (let i = 0; i <= THRESHOLD; i++) addon.recordTransaction({});
  addon.reportTransactions();
  assert.deepStrictEqual(outer, [THRESHOLD + 1]);
  for (let i = 0; i < THRESHOLD; i++) addon.recordTransaction({});
  addon.reportTransactions();
  assert.deepStrictEqual(outer, [THRESHOLD + 1, THRESHOLD + 1]);
  assert.deepStrictEqual(inner, [THRESHOLD + 1]);
  globalThis.gc?.();
  for (let i = 0; i <= THRESHOLD; i++) addon.recordTransaction({});
  addon.reportTransactions();
  assert.deepStrictEqual(inner, [THRESHOLD + 1, THRESHOLD + 1]);
});

test('a batch beyond the longest string is delivered as several arrays', () => {
  // Each event carries a 200 MB url: two fit under the host's limit, three do not.
  const url = 'u'.repeat(200e6);
  const lengths = [];
  addon.initAnalytics(IDENTITY, (batch) => {
    lengths.push(batch.length);
    const parsed = JSON.parse(batch);
    lengths.push(parsed.length);
  });
  for (let i = 0; i < 3; i++) addon.recordTransaction({ httpData: { url } });
  for (let i = 0; i < THRESHOLD - 2; i++) addon.recordTransaction({});
  addon.reportTransactions();
  assert.strictEqual(lengths.length, 4);
  assert.ok(lengths[0] > 400e6 && lengths[0] < 2 ** 29);
  assert.deepStrictEqual([lengths[1], lengths[3]], [2, THRESHOLD - 1]);
});
