'use strict';
// Events per second: recordTransaction against a plain-JS builder of the
// same text, both batching and flushing past 10000 pending events.
const assert = require('assert');
const addon = require('..');
const { compare } = require('./harness');

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

// The plain-JS builder: same layout, byte-wise escaping and map nesting.
const SPECIAL = /[\u0080-\uffff]+|["\\/\x00-\x1f]/g;
const SHORT = { '"': '\\"', '\\': '\\\\', '/': '\\/', '\b': '\\b', '\f': '\\f', '\n': '\\n', '\r': '\\r' };
const hex = (b) => '\\u00' + (b < 16 ? '0' : '') + b.toString(16).toUpperCase();
const PLAIN = /^[^"\\/\x00-\x1f\u0080-\uffff]*$/;
function escape(text) {
  if (PLAIN.test(text)) return text;
  return text.replace(SPECIAL, (m) => SHORT[m] ?? (m.charCodeAt(0) < 0x80
    ? hex(m.charCodeAt(0)) : Array.from(Buffer.from(m), hex).join('')));
}
const str = (value) => '"' + escape(String(value)) + '"';
// Nodes are arrays of [key, value] pairs, as keys may repeat (arrays).
function mapTree(map) {
  const root = new Map();
  // Code-unit order equals byte order for these keys.
  const keys = Object.keys(map).sort();
  for (const key of keys) {
    const pieces = key.split('.');
    let node = root;
    for (let i = 0; i < pieces.length - 1; i++) {
      if (!node.has(pieces[i])) node.set(pieces[i], new Map());
      node = node.get(pieces[i]);
    }
    node.set(pieces[pieces.length - 1], String(map[key]));
  }
  const pairs = (node) => [...node].map(([k, v]) => [k, typeof v === 'string' ? v : pairs(v)]);
  return pairs(root);
}
function print(value, indent) {
  if (typeof value === 'string') return str(value);
  const pad = ' '.repeat(indent + 4);
  const array = indent > 0 && value.every(([k]) => k === '');
  const lines = value.map(([k, v]) => pad + (array ? '' : str(k) + ': ') + print(v, indent + 4));
  return (array ? '[' : '{') + '\n' + lines.join(',\n') + '\n' + ' '.repeat(indent) + (array ? ']' : '}');
}
function buildEvent(id, tx) {
  const http = tx.httpData;
  const segment = [
    ['segmentTimestamp', String(tx.eventTimestamp)], ['tierId', String(id.tierId)],
    ['tier', String(id.tierName)], ['nodeId', String(id.nodeId)], ['node', String(id.nodeName)],
    ['requestExperience', String(tx.requestExperience)], ['transactionTime', String(tx.transactionTime | 0)],
    ['entryPoint', String(!!tx.entryPoint)], ['clientRequestGUID', String(tx.clientRequestGUID)],
  ];
  if (tx.exitCalls.length) {
    segment.push(['exitCalls', tx.exitCalls.map((c) => ['', [
      ['exitCallType', String(c.exitCallType)], ['avgResponseTimeMillis', String(c.avgResponseTimeMillis >>> 0)],
      ['numberOfCalls', String(c.numberOfCalls >>> 0)], ['numberOfErrors', String(c.numberOfErrors >>> 0)],
    ]])]);
  }
  const httpData = [['url', String(http.url)], ['principal', String(http.principal)], ['sessionId', String(http.sessionId)]];
  for (const name of ['sessionObjects', 'uriPathSegments', 'parameters', 'headers', 'cookies']) {
    if (Object.keys(http[name]).length) httpData.push([name, mapTree(http[name])]);
  }
  segment.push(['httpData', httpData]);
  if (Object.keys(tx.userData).length) segment.push(['userData', mapTree(tx.userData)]);
  return print([
    ['eventTimestamp', String(tx.eventTimestamp)], ['applicationId', String(id.applicationId)],
    ['application', String(id.applicationName)], ['requestGUID', String(tx.requestGUID)],
    ['transactionName', String(tx.transactionName)], ['transactionId', String(tx.transactionId | 0)],
    ['segments', [['', segment]]],
  ], 0) + '\n';
}

// Both sides flush like the collector: one array once more than 10000 wait.
const noop = () => {};
const pending = [];
function baselineRecord(tx) {
  pending.push(buildEvent(IDENTITY, tx));
  if (pending.length > 10000) noop('[' + pending.splice(0).join(', ') + ']');
}

// The two builders must agree byte for byte before they are timed.
let batch;
addon.initAnalytics(IDENTITY, (b) => { batch = b; });
const sample = transaction();
addon.recordTransaction(sample);
for (let i = 0; i < 10000; i++) addon.recordTransaction({});
addon.reportTransactions();
assert.strictEqual(batch.slice(1, batch.indexOf('\n}\n') + 3), buildEvent(IDENTITY, sample));

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
}, { unit: 'events', seconds: 4 });
