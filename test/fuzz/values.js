'use strict';
// Hostile script values. Every generator takes the call's generator `rng`
// and the run's context `ctx` (see child.js), and labels each object it
// makes, so a failing call can be described without running its traps.

// Thrown by hostile code, so that the fuzzer can tell its own exceptions
// from those of the engine or the module.
class Hostile extends Error {}

const labels = new WeakMap();
function label(value, text) {
  labels.set(value, text);
  return value;
}

function describe(value, depth = 0) {
  switch (typeof value) {
    case 'string':
      return value.length > 40
        ? `string(${value.length}:${JSON.stringify(value.slice(0, 16))}...)`
        : JSON.stringify(value);
    case 'bigint':
      return `${value}n`;
    case 'symbol':
      return value.toString();
    case 'number':
      return Object.is(value, -0) ? '-0' : String(value);
    case 'undefined':
      return 'undefined';
    case 'boolean':
      return String(value);
    default:
      if (value === null) return 'null';
      if (labels.has(value)) return labels.get(value);
      if (depth > 1) return typeof value;
      return typeof value === 'function' ? 'function' : 'object';
  }
}

// Made once per process: long texts are costly to build on every call.
const LONG = {
  ascii: 'x'.repeat(1 << 20),
  latin: '\u00e9'.repeat(1 << 18),
  wide: '\u4e2d\u{1f600}'.repeat(1 << 16),
  quotes: '"\\/\b\f\n\r\t'.repeat(1 << 14),
};
const MEDIUM = {
  ascii: 'm'.repeat(4096),
  surrogates: '\ud800a\udc00'.repeat(512),
  nuls: 'a\0'.repeat(1024),
};

const SHORT_STRINGS = [
  '', 'a', 'abc', 'undefined', 'null', 'true', 'false', '-1', '0', '1',
  '4294967295', '4294967296', '-2147483649', '12.9', ' 12 ', '0x10', '1e3',
  'NaN', 'Infinity', '-Infinity', '__proto__', 'constructor', 'length',
  'toString', 'valueOf', 'a\0b', '\0', '\0abc', '\ud800', '\udfff',
  'a\udc00b', '\udbff\udfff', '\u00e9', '\u{1f600}', '"', '\\', '/', '\t',
  '\n', '\r\n', '\x01\x1f\x7f', '\u2028\u2029', '.', '..', 'a.b', 'a..b',
  '.a', 'a.', 'a.b.c', 'cart.items', 'Object', 'Array', 'Customer',
  '"GET"', '/^[0-9]+$/', 'system / Context', '(system)', '{}', '[]',
  '{"a":1}', ']', '}\n',
];

const NUMBERS = [
  0, -0, 1, -1, 0.5, -0.5, 12.9, -12.9, 255, 2147483647, 2147483648,
  -2147483648, -2147483649, 4294967295, 4294967296, 4294967297, 2 ** 53,
  -(2 ** 53), 2 ** 64, 1e300, -1e300, Number.MIN_VALUE, Number.EPSILON,
  NaN, Infinity, -Infinity,
];

const BIGINTS = [0n, 1n, -1n, 2n ** 64n, -(2n ** 100n)];
const SYMBOLS = [Symbol('fuzz'), Symbol(), Symbol.for('fuzz'), Symbol.iterator,
  Symbol.toPrimitive];

function string(rng, { big = false } = {}) {
  const r = rng.int(100);
  if (r < 60) return rng.pick(SHORT_STRINGS);
  if (r < 75) {
    let s = '';
    const n = rng.int(12);
    for (let i = 0; i < n; i++) s += rng.pick(SHORT_STRINGS);
    return s;
  }
  if (r < 85) {
    // Random code units, lone surrogates and NULs included.
    let s = '';
    const n = 1 + rng.int(40);
    for (let i = 0; i < n; i++) {
      s += String.fromCharCode(rng.chance(0.3) ? rng.int(0x80) : rng.int(0x10000));
    }
    return s;
  }
  if (r < 95 || !big) return MEDIUM[rng.pick(Object.keys(MEDIUM))];
  return LONG[rng.pick(Object.keys(LONG))];
}

function primitive(rng, opts) {
  switch (rng.int(9)) {
    case 0: return undefined;
    case 1: return null;
    case 2: return rng.chance(0.5);
    case 3: case 4: return rng.pick(NUMBERS);
    case 5: return rng.pick(BIGINTS);
    case 6: return rng.pick(SYMBOLS);
    default: return string(rng, opts);
  }
}

// Hostile code throws these or a Hostile; anything else that a call throws
// must be an Error.
const THROWN = [42, undefined, 'str', null];

function hostileThrow(ctx, rng) {
  throw rng.chance(0.8) ? new Hostile('hostile') : rng.pick(THROWN);
}

// An object whose conversions run script: they throw, lie, re-enter the
// module or force a collection.
function convertible(rng, ctx) {
  const r = rng.fork();
  const kind = rng.int(10);
  const act = () => {
    if (kind === 0) hostileThrow(ctx, r);
    if (kind === 1) ctx.gc(r);
    if (kind === 2) ctx.reenter(r);
  };
  switch (rng.int(6)) {
    case 0:
      return label({ toString() { act(); return 'str'; } }, `{toString:${kind}}`);
    case 1:
      return label({ valueOf() { act(); return -1; }, toString() { act(); return 'v'; } },
        `{valueOf:${kind}}`);
    case 2:
      return label({ toString: () => ({}), valueOf: () => ({}) }, '{toString:object}');
    case 3:
      return label({ [Symbol.toPrimitive]() { act(); return r.pick([Symbol('p'), 7n, 'p', -3]); } },
        `{toPrimitive:${kind}}`);
    case 4:
      return label({ toString: null, valueOf: null }, '{toString:null}');
    default:
      return label({ [Symbol.toPrimitive]() { act(); return string(r); } },
        `{toPrimitive:string:${kind}}`);
  }
}

// Keys that stress the dotted-path maps of the event document.
const MAP_KEYS = ['a', 'b', 'a.b', 'a.b.c', 'a.c', '', '.', '..', '.a', 'a.', 'a..b',
  'x.1', 'x.2', '10', '9', '2', 'Z', '__proto__', 'constructor', '\u00e9', 'a\0b',
  '\ud800', 'cart.items', 'customerTier', '"', '\\'];

function plainObject(rng, ctx, depth) {
  const o = rng.chance(0.2) ? Object.create(null) : {};
  const keys = [];
  const n = rng.int(6);
  for (let i = 0; i < n; i++) {
    const key = rng.chance(0.7) ? rng.pick(MAP_KEYS) : string(rng);
    if (keys.includes(key)) continue;
    keys.push(key);
    const how = rng.int(10);
    if (how === 0) {
      const r = rng.fork();
      Object.defineProperty(o, key, {
        enumerable: true, configurable: true,
        get: () => { if (r.chance(0.5)) hostileThrow(ctx, r); ctx.reenter(r); return value(r, ctx, { depth: depth + 1 }); },
      });
    } else if (how === 1) {
      Object.defineProperty(o, key, { enumerable: false, value: value(rng, ctx, { depth: depth + 1 }) });
    } else {
      Object.defineProperty(o, key, {
        enumerable: true, configurable: true, writable: true,
        value: value(rng, ctx, { depth: depth + 1 }),
      });
    }
  }
  if (rng.chance(0.1)) o[rng.pick(SYMBOLS)] = 'sym';
  if (rng.chance(0.2)) Object.freeze(o);
  return label(o, `{${keys.map((k) => JSON.stringify(k)).join(',')}}`);
}

// A length that a reader walking every index takes a fraction of a second over.
const LONG_WALK = 2 ** 20;

// `huge` allows the largest length, for readers that list own keys only.
function array(rng, ctx, depth, { huge = false } = {}) {
  switch (rng.int(8)) {
    case 0: {
      // A long length and a few elements: never allocates the length.
      const length = huge ? rng.pick([2 ** 32 - 1, LONG_WALK]) : rng.pick([LONG_WALK, 2 ** 16]);
      // The far element first, so the engine keeps the array sparse.
      const a = [];
      a[length - 1] = 'last';
      a[rng.int(8)] = value(rng, ctx, { depth: depth + 1 });
      // The engine's own join walks every index; that is no concern here.
      Object.defineProperty(a, 'join', { value: () => 'sparse', enumerable: false });
      return label(a, `sparse[${a.length}]`);
    }
    case 1: {
      const a = new Array(rng.int(20));
      return label(a, `holes[${a.length}]`);
    }
    case 2: {
      // Elements whose getters change the array while it is being read.
      const a = ['x', 'y', 'z'];
      const r = rng.fork();
      Object.defineProperty(a, 1, {
        get: () => {
          const what = r.int(4);
          if (what === 0) a.length = 0;
          else if (what === 1) a.push(value(r, ctx, { depth: depth + 1 }));
          else if (what === 2) hostileThrow(ctx, r);
          else ctx.gc(r);
          return 'y';
        },
        enumerable: true, configurable: true,
      });
      return label(a, 'mutating[3]');
    }
    case 3: {
      const a = Array.from({ length: 1000 + rng.int(5000) }, (_, i) => `k${i}`);
      return label(a, `strings[${a.length}]`);
    }
    case 4:
      return label(Object.freeze([string(rng), 'Object', '"GET"']), 'frozen[3]');
    default: {
      const a = [];
      const n = rng.int(6);
      for (let i = 0; i < n; i++) a.push(value(rng, ctx, { depth: depth + 1 }));
      return label(a, `[${a.map((v) => describe(v, 2)).join(',')}]`);
    }
  }
}

function proxy(rng, ctx, depth) {
  const r = rng.fork();
  const target = rng.chance(0.3) ? [] : {};
  const broken = rng.int(8);
  const keys = ['a', 'a.b', 'length', '0', ''];
  const handler = {
    get(t, key) {
      if (broken === 0) hostileThrow(ctx, r);
      if (key === 'length') return r.pick([2 ** 32 - 1, -1, 'x', 3]);
      if (broken === 1) ctx.reenter(r);
      return value(r, ctx, { depth: depth + 1 });
    },
    ownKeys() {
      if (broken === 2) hostileThrow(ctx, r);
      if (broken === 3) return ['a', 'a'];
      if (broken === 4) return Array.from({ length: 5000 }, (_, i) => `k${i}`);
      return Array.isArray(target) ? ['length', ...keys] : keys;
    },
    getOwnPropertyDescriptor(t, key) {
      if (broken === 5) hostileThrow(ctx, r);
      if (key === 'length' && Array.isArray(t)) return Reflect.getOwnPropertyDescriptor(t, key);
      // Lies: claims properties that the target does not have.
      return broken === 6 ? undefined : { value: 'lie', enumerable: true, configurable: true };
    },
    has() {
      if (broken === 7) hostileThrow(ctx, r);
      return true;
    },
    getPrototypeOf() {
      if (broken === 7) hostileThrow(ctx, r);
      return null;
    },
  };
  if (rng.chance(0.15)) {
    const { proxy: p, revoke } = Proxy.revocable(target, handler);
    revoke();
    return label(p, 'revokedProxy');
  }
  return label(new Proxy(target, handler), `proxy:${broken}`);
}

const SPECIAL = [
  () => new Number(-1), () => new String('-1'), () => [-3], () => new Boolean(false),
  () => Object(1n), () => Object(Symbol('boxed')), () => new Date(NaN), () => /re+gex/g,
  () => new Map([['a', 1]]), () => new Set([1]), () => new Uint8Array(16),
  () => new ArrayBuffer(8), () => new Error('err'), () => Promise.resolve(1),
  () => new WeakRef({}), () => class K {}, () => function named() {}, () => Math.max,
  () => globalThis, () => (function () { return arguments; })(1, 2),
];

function object(rng, ctx, depth) {
  const r = rng.int(12);
  if (depth > 2 || r < 3) {
    const i = rng.int(SPECIAL.length);
    return label(SPECIAL[i](), `special${i}`);
  }
  if (r < 6) return plainObject(rng, ctx, depth);
  if (r < 8) return convertible(rng, ctx);
  if (r < 10) return array(rng, ctx, depth);
  return proxy(rng, ctx, depth);
}

// Any value. Objects and long texts get rarer with depth.
function value(rng, ctx, { depth = 0, big = false } = {}) {
  if (depth > 3 || rng.chance(0.55)) return primitive(rng, { big });
  return object(rng, ctx, depth);
}

// A function for a callback position: it checks its arguments with `check`
// and then does one hostile thing, chosen now.
function callback(rng, ctx, role, check = () => {}, { answer } = {}) {
  const r = rng.fork();
  const kind = rng.weighted([[4, 'plain'], [1, 'throw'], [1, 'gc'], [2, 'reenter'], [1, 'allocate']]);
  const throwAt = r.int(4);
  let calls = 0;
  const fn = function fuzzCallback(...args) {
    const n = calls++;
    try {
      check.call(this, args, n);
    } catch (e) {
      ctx.fail(`${role} callback: ${e.message}`);
    }
    if (kind === 'throw' && n === throwAt) hostileThrow(ctx, r);
    if (kind === 'gc') ctx.gc(r);
    if (kind === 'reenter') ctx.reenter(r, role);
    if (kind === 'allocate') ctx.sink = Array.from({ length: 1000 }, () => ({}));
    return answer ? answer(n, r) : value(r, ctx, { depth: 2 });
  };
  fn.calls = () => calls;
  fn.kind = kind;
  ours.add(fn);
  return label(fn, `${role}:${kind}`);
}

const ours = new WeakSet();
const isCallback = (value) => ours.has(value);

module.exports = {
  Hostile, THROWN, label, describe, string, primitive, value, object, plainObject, array,
  proxy, convertible, callback, isCallback, MAP_KEYS,
};
