'use strict';
// Drives the analytics text blocks the way a service does, and checks every
// delivered byte. A seeded generator picks, round after round, how many
// transactions to record and how large (from a handful of small events to
// batches of several MB, the large ones in huge-page units), forces a report,
// keeps some batches for a few rounds and drops others, and collects garbage
// between records: delivered blocks then come back while events are pending,
// and the pending texts are copied into them and grow there, or they wait
// for the next batch.
// Checks: each batch is one JSON array; every event arrives exactly once and
// in recording order, with its padding intact; a kept batch stays byte for
// byte what it was at delivery until it is dropped.
// Usage: node --expose-gc test/kernel/analytics-stress.js string|buffer [seed]
const crypto = require('crypto');
const path = require('path');
const root = path.resolve(__dirname, '..', '..');
const vantarel = require(root);

const ROUNDS = 90;
// The largest batch aimed at; far below the engine's largest string.
const MAX_BATCH_BYTES = 8 << 20;
// An event without padding is about 1 KB of text.
const EVENT_BYTES = 1000;

const form = process.argv[2];
const seed = Number(process.argv[3] || 1);
const started = Date.now();

function finish(ok, text) {
  console.log(`analytics stress ${form}: ${ok ? 'ok' : 'FAIL'}, ${text}`);
  process.exit(ok ? 0 : 1);
}

if (form !== 'string' && form !== 'buffer') {
  console.error('usage: node --expose-gc test/kernel/analytics-stress.js string|buffer [seed]');
  process.exit(2);
}
if (typeof globalThis.gc !== 'function') finish(false, 'run node with --expose-gc');
process.on('uncaughtException', (error) => finish(false, error.stack || String(error)));

// mulberry32: small, seedable, the same sequence on every machine.
let state = seed >>> 0;
function random() {
  state = (state + 0x6d2b79f5) >>> 0;
  let t = state;
  t = Math.imul(t ^ (t >>> 15), t | 1);
  t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
  return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
}
const between = (low, high) => low + Math.floor(random() * (high - low + 1));

// Padding is a slice of this, so making it costs nothing and any byte of it
// that changes on the way shows.
const FILLER = 'abcdefghijklmnopqrstuvwxyz0123456789'.repeat(Math.ceil(MAX_BATCH_BYTES / 36));

function hashOf(batch) {
  return crypto.createHash('sha1').update(batch, typeof batch === 'string' ? 'latin1' : undefined)
    .digest('hex');
}

let recorded = 0;  // ids handed out, in recording order
let delivered = 0; // ids seen in batches so far
let batches = 0;
let round = 0;
const padOf = new Map(); // id -> padding length, until its event is checked
// Batches held on to: { batch, hash, number, and when to drop it: in round
// `until`, once that round's records are past the share `at` }.
let kept = [];

function record(padding) {
  const id = recorded++;
  if (padding) padOf.set(id, padding);
  vantarel.recordTransaction({
    requestGUID: `ev-${id}`,
    transactionName: `/stress/${id % 37}`,
    transactionId: id,
    transactionTime: id % 977,
    entryPoint: id % 3 === 0,
    eventTimestamp: String(1700000000000 + id),
    exitCalls: [{ exitCallType: 'HTTP', avgResponseTimeMillis: 3, numberOfCalls: 1,
      numberOfErrors: 0 }],
    httpData: {
      url: `/stress?id=${id}`,
      headers: padding ? { accept: '*/*', 'x-pad': FILLER.slice(0, padding) } : { accept: '*/*' },
    },
    userData: { round: String(round) },
  });
}

function check(condition, reason) {
  if (!condition) finish(false, `batch ${batches} (round ${round}): ${reason}`);
}

function report(batch) {
  batches++;
  check(form === 'buffer' ? Buffer.isBuffer(batch) : typeof batch === 'string',
    `a ${typeof batch} where a ${form} was due`);
  const hash = hashOf(batch);
  const text = form === 'buffer' ? batch.toString('latin1') : batch;
  let events;
  try {
    events = JSON.parse(text);
  } catch (error) {
    check(false, `not JSON (${error.message}), ${text.length} bytes`);
  }
  check(Array.isArray(events) && events.length > 0, 'not a non-empty array');
  for (const event of events) {
    const id = delivered++;
    check(event.requestGUID === `ev-${id}`,
      `event ${JSON.stringify(event.requestGUID)} where ev-${id} was due`);
    const padding = padOf.get(id) || 0;
    const headers = event.segments[0].httpData.headers;
    check(padding ? headers['x-pad'] === FILLER.slice(0, padding) : !('x-pad' in headers),
      `the padding of ev-${id} changed`);
    padOf.delete(id);
  }
  // A quarter are garbage once this returns, and come back at the next
  // round's first collection; the rest at points spread over the next round
  // whose number divides by three, so that several come back there while
  // the same texts wait.
  if (random() < 0.75) {
    kept.push({ batch, hash, until: round - (round % 3) + 3, at: random(), number: batches });
  }
}

// Drops the kept batches that are due when the share done of this round's
// records is done (all of them at the end), each checked against its
// delivery hash first. Due batches go at different points of a round, so
// that several blocks come back while the same texts wait.
function dropKept(done, all) {
  const staying = [];
  for (const entry of kept) {
    if (!all && (entry.until > round || (entry.until === round && entry.at > done))) {
      staying.push(entry);
      continue;
    }
    if (hashOf(entry.batch) !== entry.hash) {
      finish(false, `batch ${entry.number} changed while kept (round ${round})`);
    }
  }
  kept = staying;
}

// Drops what is due, collects, and records one small event, which takes up
// a block that came back.
function collect(done) {
  dropKept(done, false);
  globalThis.gc();
  record(0);
}

vantarel.initAnalytics({ applicationId: 7, applicationName: 'stress', tierId: 1, tierName: 'web',
  nodeId: 2, nodeName: 'web-2' }, report, { asBuffer: form === 'buffer' });

// The batch size drifts up and down in log steps, with an occasional jump.
let logBytes = Math.log(64 << 10);
const lowest = Math.log(4 << 10);
const highest = Math.log(MAX_BATCH_BYTES);
for (round = 0; round < ROUNDS; round++) {
  logBytes = random() < 0.1 ? lowest + random() * (highest - lowest)
    : Math.min(highest, Math.max(lowest, logBytes + (random() - 0.5) * 1.6));
  const bytes = Math.exp(logBytes);
  // Many small events, or fewer carrying large headers.
  const count = Math.max(3, Math.min(between(3, 800), Math.floor(bytes / EVENT_BYTES)));
  const padded = count * EVENT_BYTES < bytes ? between(1, Math.min(count, 40)) : 0;
  const padding = padded ? Math.floor((bytes - count * EVENT_BYTES) / padded) : 0;
  // Points between records where due batches are dropped and garbage is
  // collected, so their blocks come back while this round's events wait:
  // one early, and a few more later. Half the rounds collect before their
  // first record too, so that the block of the batch just delivered, when
  // dropped at once, takes the next events.
  const collectAt = new Set([between(1, Math.max(1, Math.floor(count / 5)))]);
  if (random() < 0.5) collectAt.add(0);
  for (let i = between(4, 8); i > 0; i--) collectAt.add(between(1, count - 1));
  for (let i = 0; i < count; i++) {
    if (collectAt.has(i)) collect(i / count);
    record(i < padded ? padding : 0);
  }
  vantarel.reportTransactions({ force: true });
  if (delivered !== recorded) {
    finish(false, `round ${round}: ${recorded - delivered} events not delivered by a forced ` +
      'report');
  }
}
dropKept(1, true);
globalThis.gc();
record(0);
vantarel.reportTransactions({ force: true });
if (delivered !== recorded) finish(false, `${recorded} events recorded, ${delivered} delivered`);
finish(true, `${delivered} events in ${batches} batches, ` +
  `${((Date.now() - started) / 1000).toFixed(1)} s`);
