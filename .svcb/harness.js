'use strict';
// A tiny comparison harness: runs two functions for about the same time,
// alternating rounds so that machine noise hits both, and prints one line.

function measure(fn, budgetMs) {
  let ops = 0;
  const start = process.hrtime.bigint();
  const end = start + BigInt(Math.round(budgetMs * 1e6));
  let now = start;
  do {
    ops += fn() ?? 1;
    now = process.hrtime.bigint();
  } while (now < end);
  return { ops, ns: Number(now - start) };
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const mid = sorted.length >> 1;
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
}

const fmt = (x) => (x >= 100 ? Math.round(x).toLocaleString('en-US') : x.toFixed(2));

// fn returns nothing (one operation) or the number of operations it did.
// The ratio is ours/theirs in operations per second: above 1, ours is faster.
// With spread set, the line also gives the median and range of the ratios of
// single rounds, each round running both sides once.
function compare(title, ours, theirs, { seconds = 2, rounds = 4, unit = 'ops', spread = false } = {}) {
  ours();
  theirs();
  const total = { ours: { ops: 0, ns: 0 }, theirs: { ops: 0, ns: 0 } };
  const perRound = [];
  const slice = (seconds * 1000) / (2 * rounds);
  for (let r = 0; r < rounds; r++) {
    const rate = {};
    for (const [key, fn] of [['ours', ours], ['theirs', theirs]]) {
      const m = measure(fn, slice);
      total[key].ops += m.ops;
      total[key].ns += m.ns;
      rate[key] = m.ops / m.ns;
    }
    perRound.push(rate.ours / rate.theirs);
  }
  const rate = (m) => (m.ops * 1e9) / m.ns;
  const a = rate(total.ours);
  const b = rate(total.theirs);
  let line = `${title}: vantarel ${fmt(a)} ${unit}/s, baseline ${fmt(b)} ${unit}/s, ratio ${(a / b).toFixed(2)}x`;
  const mid = median(perRound);
  if (spread) {
    line += ` (median of ${rounds} rounds ${mid.toFixed(2)}x, spread ` +
      `${Math.min(...perRound).toFixed(2)}x to ${Math.max(...perRound).toFixed(2)}x)`;
  }
  console.log(line);
  return { ours: a, theirs: b, ratio: a / b, median: mid, rounds: perRound };
}

// Runs each named function once per round, in turn, and gives the median
// and range of the nanoseconds each took.
function alternate(fns, rounds) {
  const times = Object.fromEntries(Object.keys(fns).map((k) => [k, []]));
  for (let r = 0; r < rounds; r++) {
    for (const [key, fn] of Object.entries(fns)) {
      const start = process.hrtime.bigint();
      fn();
      times[key].push(Number(process.hrtime.bigint() - start));
    }
  }
  return Object.fromEntries(Object.entries(times).map(([k, t]) =>
    [k, { median: median(t), min: Math.min(...t), max: Math.max(...t) }]));
}

module.exports = { compare, alternate, median };
