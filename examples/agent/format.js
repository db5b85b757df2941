'use strict';
// Number and text formatting shared by the terminal lines and the page.

const ESCAPES = { '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' };

// Safe in element content and in quoted attributes.
const esc = (value) => String(value).replace(/[&<>"']/g, (c) => ESCAPES[c]);

const int = (n) => Math.round(n).toLocaleString('en-US');

function bytes(n) {
  if (n < 1024) return `${n} B`;
  const units = ['KB', 'MB', 'GB'];
  let v = n / 1024;
  let u = 0;
  while (v >= 1024 && u < units.length - 1) {
    v /= 1024;
    u++;
  }
  return `${v >= 100 ? v.toFixed(0) : v.toFixed(1)} ${units[u]}`;
}

const ms = (n) => (n >= 100 ? `${n.toFixed(0)} ms` : `${n.toFixed(1)} ms`);

const pct = (n) => `${n.toFixed(n >= 10 ? 0 : 1)}%`;

// Cuts to at most `max` characters, marking the cut.
const clip = (text, max) => (text.length <= max ? text : `${text.slice(0, Math.max(0, max - 1))}…`);

// A round upper bound for an axis: 1, 2 or 5 times a power of ten.
function niceMax(value) {
  if (!(value > 0)) return 1;
  const p = 10 ** Math.floor(Math.log10(value));
  for (const m of [1, 2, 5, 10]) if (m * p >= value) return m * p;
  return 10 * p;
}

module.exports = { esc, int, bytes, ms, pct, clip, niceMax };
