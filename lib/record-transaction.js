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

// The slots of the transactions being read. A getter may record meanwhile:
// that call writes after the slots of the one it interrupts and gives them
// back when it ends. Texts are kept in locals and returned, never stored in
// an object, which spares the engine a write barrier per text.
let slots = new Uint32Array(FIRST_SLOTS);
let end = 0;

// While collection is off, a transaction is still read in full, as getters
// and conversions can observe, but its texts are not made: the values are
// kept here as read (objects already converted, as that runs script) with
// the slot of each one's length, and made texts only if collection is on
// once the reading is done. Converting the rest runs no script, so the
// texts are the same as if made at once.
let deferring = false;
let values = new Array(FIRST_SLOTS);
let valueSlots = new Uint32Array(FIRST_SLOTS);
let valuesEnd = 0;

// Room for n more slots.
function reserve(n) {
  if (end + n <= slots.length) return;
  const grown = new Uint32Array(Math.max(2 * slots.length, end + n));
  grown.set(slots.subarray(0, end));
  slots = grown;
}

// The script's string conversion; a throwing one gives the text of
// undefined.
function convert(value) {
  try {
    return `${value}`;
  } catch {
    return 'undefined';
  }
}

// The text of value, its length noted in the slots. Deferring, the value is
// kept instead and its slot left for later.
function text(value) {
  if (deferring) {
    keep(isObject(value) ? convert(value) : value);
    return '';
  }
  const t = typeof value === 'string' ? value : convert(value);
  slots[end++] = t.length;
  return t;
}

function keep(value) {
  if (valuesEnd === values.length) {
    values.length = 2 * valuesEnd;
    const grown = new Uint32Array(2 * valuesEnd);
    grown.set(valueSlots);
    valueSlots = grown;
  }
  values[valuesEnd] = value;
  valueSlots[valuesEnd++] = end++;
}

// The texts of the values kept from first on, their lengths in their slots.
function keptTexts(first) {
  let texts = '';
  for (let i = first; i < valuesEnd; i++) {
    const value = values[i];
    const t = typeof value === 'string' ? value : convert(value);
    slots[valueSlots[i]] = t.length;
    texts += t;
  }
  return texts;
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

// One level of own enumerable string-keyed properties: the texts of each
// value and key.
function map(value) {
  const at = end++;
  let entries = 0;
  let texts = '';
  if (isObject(value)) {
    let keys;
    try {
      keys = Object.keys(value);
    } catch {
      keys = NO_KEYS;
    }
    // Room for the next map's count too.
    reserve(2 * keys.length + 1);
    for (let i = 0; i < keys.length; i++) {
      const key = keys[i];
      let entry;
      try {
        entry = value[key];
      } catch {
        entry = undefined;
      }
      texts += text(entry);
      texts += text(key);
      entries++;
    }
  }
  slots[at] = entries;
  return texts;
}

function exitCalls(calls) {
  const at = end++;
  let entries = 0;
  let texts = '';
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
      reserve(5);
      try { v = call.numberOfErrors; } catch { v = undefined; }
      slots[end++] = count(v);
      try { v = call.numberOfCalls; } catch { v = undefined; }
      slots[end++] = count(v);
      try { v = call.avgResponseTimeMillis; } catch { v = undefined; }
      slots[end++] = count(v);
      try { v = call.exitCallType; } catch { v = undefined; }
      texts += text(v);
      entries++;
    }
  }
  slots[at] = entries;
  return texts;
}

// Reads the transaction into the slots from `end` on; returns its texts.
function read(object) {
  let v;
  let texts;
  try { v = object.entryPoint; } catch { v = undefined; }
  slots[end++] = v ? 1 : 0;
  try { v = object.transactionTime; } catch { v = undefined; }
  slots[end++] = count(v);
  try { v = object.requestExperience; } catch { v = undefined; }
  texts = text(v);
  try { v = object.clientRequestGUID; } catch { v = undefined; }
  texts += text(v);
  try { v = object.transactionName; } catch { v = undefined; }
  texts += text(v);
  try { v = object.transactionId; } catch { v = undefined; }
  slots[end++] = count(v);
  try { v = object.requestGUID; } catch { v = undefined; }
  texts += text(v);
  try { v = object.eventTimestamp; } catch { v = undefined; }
  texts += text(v);
  try { v = object.exitCalls; } catch { v = undefined; }
  texts += exitCalls(v);

  let http;
  try { http = object.httpData; } catch { http = undefined; }
  if (!isObject(http)) http = {};
  reserve(16);
  try { v = http.sessionId; } catch { v = undefined; }
  texts += text(v);
  try { v = http.principal; } catch { v = undefined; }
  texts += text(v);
  try { v = http.url; } catch { v = undefined; }
  texts += text(v);
  try { v = http.sessionObjects; } catch { v = undefined; }
  texts += map(v);
  try { v = http.uriPathSegments; } catch { v = undefined; }
  texts += map(v);
  try { v = http.parameters; } catch { v = undefined; }
  texts += map(v);
  try { v = http.headers; } catch { v = undefined; }
  texts += map(v);
  try { v = http.cookies; } catch { v = undefined; }
  texts += map(v);

  try { v = object.userData; } catch { v = undefined; }
  return texts + map(v);
}

// Makes recordTransaction(transaction) of the addon's flat entry and its
// control word.
function createRecordTransaction(recordFlat, control) {
  return function recordTransaction(transaction) {
    if ((control[0] & SET_UP) === 0 || transaction === undefined || transaction === null) {
      return;
    }
    // Nonzero when this call interrupts another, or after a termination cut
    // one short; either way the slots and values before it are left alone.
    const begin = end;
    const valuesBegin = valuesEnd;
    const outer = deferring;
    deferring = (control[0] & COLLECTING) === 0;
    try {
      reserve(16);
      let texts = read(Object(transaction));
      // A getter may have switched collecting off or on meanwhile.
      if ((control[0] & COLLECTING) !== 0) {
        if (deferring) texts = keptTexts(valuesBegin);
        recordFlat(texts, slots, begin, end);
      }
    } finally {
      end = begin;
      // Nothing read stays reachable from here.
      values.fill(undefined, valuesBegin, valuesEnd);
      valuesEnd = valuesBegin;
      deferring = outer;
      // A rare large transaction should not keep its memory for good.
      if (begin === 0 && slots.length > FIRST_SLOTS) slots = new Uint32Array(FIRST_SLOTS);
      if (valuesBegin === 0 && values.length > FIRST_SLOTS) {
        values = new Array(FIRST_SLOTS);
        valueSlots = new Uint32Array(FIRST_SLOTS);
      }
    }
  };
}

module.exports = { createRecordTransaction };
