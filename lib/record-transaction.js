'use strict';
// recordTransaction's reading half. Property reads are several times cheaper
// in script, where the engine's inline caches serve them, than through the
// engine's API, so the transaction object is read here and handed to the
// addon flat, in one call: every text in one string, and the numbers and
// text lengths in a reused Uint32Array (the layout is src/flat_transaction.h).
// The addon converts, escapes, places and writes the event.
//
// The reads follow the addon's former rules exactly, as getters and proxies
// can observe them: the fixed order of the properties; a read or conversion
// that throws gives what an absent property gives, and reading goes on; a
// termination ends the call with nothing recorded.
const { isProxy } = require('node:util').types;

const SET_UP = 1;
const COLLECTING = 2;
const FIRST_SLOTS = 1024;

// One transaction being read: its slots and its texts so far.
class Flat {
  constructor() {
    this.slots = new Uint32Array(FIRST_SLOTS);
    this.count = 0;
    this.texts = '';
  }

  // Room for n more slots.
  reserve(n) {
    if (this.count + n <= this.slots.length) return;
    const grown = new Uint32Array(Math.max(2 * this.slots.length, this.count + n));
    grown.set(this.slots.subarray(0, this.count));
    this.slots = grown;
  }

  number(value) {
    this.slots[this.count++] = value;
  }

  // The script's string conversion of value; a throwing one gives the text
  // of undefined.
  text(value) {
    let text;
    if (typeof value === 'string') {
      text = value;
    } else {
      try {
        text = `${value}`;
      } catch {
        text = 'undefined';
      }
    }
    this.slots[this.count++] = text.length;
    this.texts += text;
  }
}

// ToUint32 of ToNumber; 0 when the conversion throws.
function count(value) {
  try {
    return value >>> 0;
  } catch {
    return 0;
  }
}

function isObject(value) {
  return typeof value === 'object' ? value !== null : typeof value === 'function';
}

const NO_KEYS = [];

// One level of own enumerable string-keyed properties, as texts.
function map(flat, value) {
  const at = flat.count++;
  let entries = 0;
  if (isObject(value)) {
    let keys;
    try {
      keys = Object.keys(value);
    } catch {
      keys = NO_KEYS;
    }
    // Room for the next map's count too.
    flat.reserve(2 * keys.length + 1);
    for (let i = 0; i < keys.length; i++) {
      const key = keys[i];
      let entry;
      try {
        entry = value[key];
      } catch {
        entry = undefined;
      }
      flat.text(entry);
      flat.slots[flat.count++] = key.length;
      flat.texts += key;
      entries++;
    }
  }
  flat.slots[at] = entries;
}

function exitCalls(flat, calls) {
  const at = flat.count++;
  let entries = 0;
  // Proxies of arrays are not arrays here, as they were not to the addon.
  if (Array.isArray(calls) && !isProxy(calls)) {
    // Getters may change the length, so it is read for every element.
    for (let i = 0; i < calls.length; i++) {
      let call;
      try {
        call = calls[i];
      } catch {
        continue;
      }
      if (!isObject(call)) continue;
      let v;
      flat.reserve(5);
      try { v = call.numberOfErrors; } catch { v = undefined; }
      flat.number(count(v));
      try { v = call.numberOfCalls; } catch { v = undefined; }
      flat.number(count(v));
      try { v = call.avgResponseTimeMillis; } catch { v = undefined; }
      flat.number(count(v));
      try { v = call.exitCallType; } catch { v = undefined; }
      flat.text(v);
      entries++;
    }
  }
  flat.slots[at] = entries;
}

function read(flat, object) {
  let v;
  try { v = object.entryPoint; } catch { v = undefined; }
  flat.number(v ? 1 : 0);
  try { v = object.transactionTime; } catch { v = undefined; }
  flat.number(count(v));
  try { v = object.requestExperience; } catch { v = undefined; }
  flat.text(v);
  try { v = object.clientRequestGUID; } catch { v = undefined; }
  flat.text(v);
  try { v = object.transactionName; } catch { v = undefined; }
  flat.text(v);
  try { v = object.transactionId; } catch { v = undefined; }
  flat.number(count(v));
  try { v = object.requestGUID; } catch { v = undefined; }
  flat.text(v);
  try { v = object.eventTimestamp; } catch { v = undefined; }
  flat.text(v);
  try { v = object.exitCalls; } catch { v = undefined; }
  exitCalls(flat, v);

  let http;
  try { http = object.httpData; } catch { http = undefined; }
  if (!isObject(http)) http = {};
  flat.reserve(16);
  try { v = http.sessionId; } catch { v = undefined; }
  flat.text(v);
  try { v = http.principal; } catch { v = undefined; }
  flat.text(v);
  try { v = http.url; } catch { v = undefined; }
  flat.text(v);
  try { v = http.sessionObjects; } catch { v = undefined; }
  map(flat, v);
  try { v = http.uriPathSegments; } catch { v = undefined; }
  map(flat, v);
  try { v = http.parameters; } catch { v = undefined; }
  map(flat, v);
  try { v = http.headers; } catch { v = undefined; }
  map(flat, v);
  try { v = http.cookies; } catch { v = undefined; }
  map(flat, v);

  try { v = object.userData; } catch { v = undefined; }
  map(flat, v);
}

// Makes recordTransaction(transaction) of the addon's flat entry and its
// control word.
function createRecordTransaction(recordFlat, control) {
  // Readers not in use. A getter may record meanwhile, and takes another;
  // one lost to a termination is simply not given back.
  const idle = [new Flat()];

  return function recordTransaction(transaction) {
    if ((control[0] & SET_UP) === 0 || transaction === undefined || transaction === null) {
      return;
    }
    const flat = idle.pop() || new Flat();
    flat.count = 0;
    flat.texts = '';
    try {
      read(flat, Object(transaction));
      // A getter may have switched collecting off or on meanwhile.
      if ((control[0] & COLLECTING) !== 0) recordFlat(flat.texts, flat.slots, flat.count);
    } finally {
      flat.texts = '';
      // A rare large transaction should not keep its memory for good.
      if (flat.slots.length > FIRST_SLOTS) flat.slots = new Uint32Array(FIRST_SLOTS);
      idle.push(flat);
    }
  };
}

module.exports = { createRecordTransaction };
