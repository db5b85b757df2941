'use strict';
// Events per second: recordTransaction against a plain-JS builder of the
// same text, both batching and flushing past 10000 pending events. Then the
// cost of one event split into reading the object and building its text, the
// framing of a full batch, and the memory that pending events hold.
const assert = require('assert');
const { spawnSync } = require('child_process');
const addon = require('..');
const { compare, alternate } = require('./harness');
const { buildEvent } = require('./js-event');

const IDENTITY = {
  applicationId: '1042', applicationName: 'storefront', tierId: '318',
  tierName: 'checkout-web', nodeId: '9921', nodeName: 'checkout-web-7f9c',
};
let sequence = 0;
function transaction() {
  sequence++;
  return {
    eventTimestamp: String(1449532800123 + sequence),
    requestGUID: `8e0f3b1c-4a2d-4f5e-9b7a-${String(sequence).padStart(12, '0')}`,
    transactionId: 42, transactionName: '/api/cart/checkout',
    clientRequestGUID: '', requestExperience: 'NORMAL',
    transactionTime: 154 + (sequence % 50), entryPoint: true,
    exitCalls: [
      { exitCallType: 'HTTP', avgResponseTimeMillis: 35, numberOfCalls: 2, numberOfErrors: 0 },
      { exitCallType: 'DB', avgResponseTimeMillis: 4, numberOfCalls: 6, numberOfErrors: 1 },
      { exitCallType: 'CACHE', avgResponseTimeMillis: 1, numberOfCalls: 11, numberOfErrors: 0 },
    ],
    httpData: {
      url: 'https://shop.example.com/api/cart/checkout?step=2&currency=EUR',
      principal: 'customer-5521', sessionId: 'sess-19a7c0',
      sessionObjects: {},
      uriPathSegments: ['api', 'cart', 'checkout'],
      parameters: { step: '2', currency: 'EUR' },
      headers: {
        host: 'shop.example.com',
        'user-agent': 'Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36',
        accept: 'application/json, text/plain, */*',
        'accept-language': 'de-DE,de;q=0.9,en;q=0.8',
        'accept-encoding': 'gzip, deflate, br',
        'content-type': 'application/json',
        'content-length': '512',
        origin: 'https://shop.example.com',
        referer: 'https://shop.example.com/cart',
        'x-request-id': 'c0ffee-1234',
      },
      cookies: { sid: 'sess-19a7c0', locale: 'de_DE' },
    },
    userData: {
      customerTier: 'gold', 'cart.items': 3, 'cart.value': '129.90',
      campaign: 'winter-sale', city: 'München',
    },
  };
}

// Memory held by pending events, in a fresh process (run by the main one):
// the growth of the resident set while 10000 events wait, over their bytes.
if (process.argv[2] === '--memory') {
  const txs = Array.from({ length: 64 }, transaction);
  const PENDING = 10000;
  let bytes = 0;
  for (let i = 0; i < PENDING; i++) bytes += buildEvent(IDENTITY, txs[i & 63]).length;
  // Warms the code paths; the second initAnalytics drops these few events.
  addon.initAnalytics(IDENTITY, () => {});
  for (let i = 0; i < 16; i++) addon.recordTransaction(txs[i]);
  const grow = (enabled) => {
    addon.initAnalytics(IDENTITY, () => {});
    addon.enableAnalytics(enabled);
    globalThis.gc();
    const before = process.memoryUsage.rss();
    for (let i = 0; i < PENDING; i++) addon.recordTransaction(txs[i & 63]);
    globalThis.gc();
    return process.memoryUsage.rss() - before;
  };
  // Paused, the same reads keep nothing: the noise floor of the figure.
  const idle = grow(false);
  const held = grow(true);
  process.stdout.write(JSON.stringify({ bytes, held, idle }));
  process.exit(0);
}

// The two builders must agree byte for byte before they are timed.
let batch;
addon.initAnalytics(IDENTITY, (b) => { batch = b; });
const sample = transaction();
addon.recordTransaction(sample);
for (let i = 0; i < 10000; i++) addon.recordTransaction({});
addon.reportTransactions();
assert.strictEqual(batch.slice(1, batch.indexOf('\n}\n') + 3), buildEvent(IDENTITY, sample));

// Both sides flush like the collector: one array once more than 10000 wait.
const noop = () => {};
const pending = [];
function baselineRecord(tx) {
  pending.push(buildEvent(IDENTITY, tx));
  if (pending.length > 10000) noop('[' + pending.splice(0).join(', ') + ']');
}

addon.initAnalytics(IDENTITY, noop);
const txs = Array.from({ length: 64 }, transaction);
const CHUNK = 500;
compare('analytics: record a transaction event', () => {
  for (let i = 0; i < CHUNK; i++) {
    addon.recordTransaction(txs[i & 63]);
    addon.reportTransactions();
  }
  return CHUNK;
}, () => {
  for (let i = 0; i < CHUNK; i++) baselineRecord(txs[i & 63]);
  return CHUNK;
}, { unit: 'events', seconds: 8, rounds: 8, spread: true });

// Paused, recordTransaction still reads the whole object but builds nothing,
// so the paused cost is the reading and the rest is building the text and
// keeping it until its batch is reported.
const us = (ns) => (ns / CHUNK / 1000).toFixed(2);
const range = (t) => `${us(t.min)}-${us(t.max)}`;
const record = (enabled) => () => {
  addon.enableAnalytics(enabled);
  for (let i = 0; i < CHUNK; i++) {
    addon.recordTransaction(txs[i & 63]);
    addon.reportTransactions();
  }
};
const split = alternate({ whole: record(true), reading: record(false) }, 200);
addon.enableAnalytics(true);
console.log(`  (per event ${us(split.whole.median)} us [${range(split.whole)}]: reading the object ` +
  `${us(split.reading.median)} us [${range(split.reading)}], building, keeping and reporting the text ` +
  `${us(split.whole.median - split.reading.median)} us; medians of 200 alternating rounds of ${CHUNK})`);

// reportTransactions framing 10001 waiting events and handing the array to
// script, against script joining the same texts into the same array.
const EVENTS = 10001;
const texts = Array.from({ length: EVENTS }, (_, i) => buildEvent(IDENTITY, txs[i & 63]));
let delivered = 0;
const fill = () => {
  addon.initAnalytics(IDENTITY, (b) => { delivered += b.length; });
  for (let i = 0; i < EVENTS; i++) addon.recordTransaction(txs[i & 63]);
};
const batchMs = { ours: [], theirs: [] };
for (let r = 0; r < 15; r++) {
  fill();
  const t = alternate({ ours: () => addon.reportTransactions(), theirs: () => { delivered += ('[' + texts.join(', ') + ']').length; } }, 1);
  batchMs.ours.push(t.ours.median / 1e6);
  batchMs.theirs.push(t.theirs.median / 1e6);
}
const { median } = require('./harness');
const ms = (list) => `${median(list).toFixed(2)} ms [${Math.min(...list).toFixed(2)}-${Math.max(...list).toFixed(2)}]`;
const ratios = batchMs.ours.map((t, i) => batchMs.theirs[i] / t);
console.log(`analytics: report a batch of ${EVENTS} events: vantarel ${ms(batchMs.ours)}, ` +
  `script join of the same texts ${ms(batchMs.theirs)}, ratio ${median(ratios).toFixed(2)}x ` +
  `[${Math.min(...ratios).toFixed(2)}-${Math.max(...ratios).toFixed(2)}] (median of 15 rounds)`);
assert.strictEqual(delivered, 30 * ('[' + texts.join(', ') + ']').length);

// Five fresh processes; the median is printed.
const memory = [];
for (let r = 0; r < 5; r++) {
  const child = spawnSync(process.execPath, ['--expose-gc', __filename, '--memory'], { encoding: 'utf8' });
  assert.strictEqual(child.status, 0, child.stderr);
  memory.push(JSON.parse(child.stdout));
}
const perByte = memory.map((m) => m.held / m.bytes);
const idle = memory.map((m) => m.idle / m.bytes);
console.log(`analytics: memory held by 10000 pending events: ${median(perByte).toFixed(3)} bytes of RSS ` +
  `per byte of event text [${Math.min(...perByte).toFixed(3)}-${Math.max(...perByte).toFixed(3)}] ` +
  `(paused, same reads: ${median(idle).toFixed(3)}; ${(memory[0].bytes / 10000).toFixed(0)} bytes per event; 5 processes)`);
