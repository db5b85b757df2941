'use strict';
// The agent's line per second in the terminal.
const { int, pct } = require('./format');

function bar(fraction, width = 12) {
  const full = Math.round(Math.min(1, Math.max(0, fraction)) * width);
  return `[${'#'.repeat(full)}${'.'.repeat(width - full)}]`;
}

// One reading: where the load is, its rate, the loop, CPU, GCs and batches.
function liveLine({ sample: s, last, fraction, rate, batches }) {
  const when = last ? ' end' : `${String(Math.round(s.at)).padStart(3)}s`;
  return `${when} ${bar(fraction)} ${pct(100 * Math.min(1, fraction)).padStart(4)}  ` +
    `${int(rate).padStart(5)} req/s  tick ${s.mean.toFixed(1)} max ${String(s.max).padStart(2)} ms  ` +
    `CPU ${pct(s.cpu).padStart(4)}  GC ${String(s.gcs).padStart(3)}  ` +
    `${batches} batch${batches === 1 ? '' : 'es'}`;
}

module.exports = { liveLine, bar };
