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

// fn returns nothing (one operation) or the number of operations it did.
// The ratio is ours/theirs in operations per second: above 1, ours is faster.
function compare(title, ours, theirs, { seconds = 2, rounds = 4, unit = 'ops' } = {}) {
  ours();
  theirs();
  const total = { ours: { ops: 0, ns: 0 }, theirs: { ops: 0, ns: 0 } };
  const slice = (seconds * 1000) / (2 * rounds);
  for (let r = 0; r < rounds; r++) {
    for (const [key, fn] of [['ours', ours], ['theirs', theirs]]) {
      const m = measure(fn, slice);
      total[key].ops += m.ops;
      total[key].ns += m.ns;
    }
  }
  const rate = (m) => (m.ops * 1e9) / m.ns;
  const a = rate(total.ours);
  const b = rate(total.theirs);
  const fmt = (x) => (x >= 100 ? Math.round(x).toLocaleString('en-US') : x.toFixed(2));
  const line = `${title}: vantarel ${fmt(a)} ${unit}/s, baseline ${fmt(b)} ${unit}/s, ratio ${(a / b).toFixed(2)}x`;
  console.log(line);
  return { ours: a, theirs: b, ratio: a / b };
}

module.exports = { compare };
