'use strict';
// The report's pictures as SVG text: flame graph, event-loop ticks, GC
// timeline, loop ticks and GC pauses per thread, and heap census. Each drawing marks its data shapes with the
// class "mark", so an empty picture can be told from a full one.
const { esc, int, bytes, ms, clip, niceMax } = require('./format');
const { isInternal } = require('./profile');

const FONT = 'font-family="system-ui, -apple-system, Segoe UI, Roboto, sans-serif"';

function svg(kind, width, height, body, label) {
  return `<svg data-chart="${kind}" viewBox="0 0 ${width} ${height}" width="100%" ` +
    `role="img" aria-label="${esc(label)}" xmlns="http://www.w3.org/2000/svg" ${FONT}>` +
    `${body}</svg>`;
}

const empty = (kind, width, height, label, text) => svg(kind, width, height,
  `<text x="${width / 2}" y="${height / 2}" text-anchor="middle" fill="#8a8f98" ` +
  `font-size="14">${esc(text)}</text>`, label);

function hash(text) {
  let h = 2166136261;
  for (let i = 0; i < text.length; i++) h = Math.imul(h ^ text.charCodeAt(i), 16777619);
  return h >>> 0;
}

function frameKind(node) {
  if (node.functionName === '(garbage collector)') return 'gc';
  if (!node.url) return 'vm';
  if (isInternal(node.url)) return 'node';
  if (node.url.includes('/node_modules/')) return 'deps';
  return 'app';
}

// Warm colours for the application's own code, cool ones for the rest.
function frameColor(node) {
  const h = hash(node.functionName);
  switch (frameKind(node)) {
    case 'app': return `hsl(${8 + (h % 38)},${72 + (h % 14)}%,${60 + (h % 9)}%)`;
    case 'deps': return `hsl(${90 + (h % 40)},45%,${58 + (h % 10)}%)`;
    case 'node': return `hsl(${200 + (h % 25)},40%,${68 + (h % 10)}%)`;
    case 'gc': return 'hsl(280,30%,72%)';
    default: return 'hsl(220,8%,78%)';
  }
}

const shortUrl = (url) => url.replace(/^file:\/\//, '').replace(/^.*\/(examples\/)/, '$1');

// A name for the frame itself, with its place when it has no name.
function frameName(node) {
  if (node.functionName) return node.functionName;
  return node.url && node.line > 0
    ? `(anonymous) ${node.url.split('/').pop()}:${node.line}` : '(anonymous)';
}

function frameLabel(node) {
  return node.line > 0 && node.url ? `${node.functionName || '(anonymous)'} ` +
    `${shortUrl(node.url)}:${node.line}` : node.functionName || '(anonymous)';
}

// An icicle: the root on top, callees below, widths by total samples.
function flameGraph(root, { width = 1130, row = 18, maxDepth = 48 } = {}) {
  const label = 'CPU flame graph';
  if (!root || root.total === 0) return empty('flame', width, 120, label, 'no CPU samples');
  const scale = width / root.total;
  const rects = [];
  let depth = 0;
  const place = (node, x, d, name) => {
    const w = node.total * scale;
    if (w < 0.5 || d >= maxDepth) return;
    depth = Math.max(depth, d + 1);
    const y = d * row;
    const share = ((100 * node.total) / root.total).toFixed(1);
    const tip = `${frameLabel(node)}\n${int(node.total)} samples (${share}%), ` +
      `self ${int(node.self)}`;
    const chars = Math.floor((w - 6) / 6.4);
    const text = chars >= 3
      ? `<text x="${(x + 3).toFixed(1)}" y="${y + 12.5}">${esc(clip(name, chars))}</text>` : '';
    rects.push(`<g class="frame" data-name="${esc(frameLabel(node))}" ` +
      `data-share="${share}"><title>${esc(tip)}</title>` +
      `<rect class="mark" x="${x.toFixed(1)}" y="${y}" width="${Math.max(0.5, w - 0.5).toFixed(1)}" ` +
      `height="${row - 1}" rx="2" fill="${frameColor(node)}"/>${text}</g>`);
    let cx = x;
    for (const child of node.children) {
      place(child, cx, d + 1, frameName(child));
      cx += child.total * scale;
    }
  };
  place(root, 0, 0, `all samples (${int(root.total)})`);
  return svg('flame', width, depth * row + 2,
    `<g font-size="11" fill="#1d1f24">${rects.join('')}</g>`, label);
}

// Gridlines and labels at round steps from 0 to max.
function axisY(x0, x1, y, top, max, unit) {
  const step = niceMax(max / 5);
  const digits = step < 1 ? Math.ceil(-Math.log10(step)) : 0;
  let out = '';
  for (let i = 0; i * step <= max + 1e-9; i++) {
    const v = i * step;
    const yy = (y - ((y - top) * v) / max).toFixed(1);
    out += `<line x1="${x0}" x2="${x1}" y1="${yy}" y2="${yy}" stroke="#e6e8ec"/>` +
      `<text x="${x0 - 6}" y="${Number(yy) + 4}" text-anchor="end">${v.toFixed(digits)}</text>`;
  }
  return out + `<text x="${x0 - 6}" y="${top - 10}" text-anchor="end">${esc(unit)}</text>`;
}

// A time label: whole seconds, or tenths for a short last interval.
const secondLabel = (t) => `${Math.abs(t - Math.round(t)) < 0.2 ? Math.round(t) : t.toFixed(1)}s`;

// Per second: the range of tick times as a bar, the mean as a line.
function loopChart(samples, { width = 535, height = 290 } = {}) {
  const label = 'Event-loop tick times per second';
  const data = samples.filter((s) => s.iterations > 0);
  if (data.length === 0) return empty('loop', width, height, label, 'no loop samples');
  const m = { l: 46, r: 12, t: 34, b: 38 };
  const x0 = m.l;
  const x1 = width - m.r;
  const y0 = height - m.b;
  const max = niceMax(Math.max(...data.map((s) => s.max), 1));
  const band = (x1 - x0) / data.length;
  const y = (v) => y0 - ((y0 - m.t) * v) / max;
  let body = `<g font-size="11" fill="#5b616b">${axisY(x0, x1, y0, m.t, max, 'ms')}`;
  const step = Math.ceil(data.length / 10);
  data.forEach((s, i) => {
    if (i % step === 0 || i === data.length - 1) {
      body += `<text x="${(x0 + band * (i + 0.5)).toFixed(1)}" y="${y0 + 16}" ` +
        `text-anchor="middle">${i === data.length - 1 ? 'end' : secondLabel(s.at)}</text>`;
    }
  });
  body += `<text x="${(x0 + x1) / 2}" y="${height - 4}" text-anchor="middle">` +
    'end of each one-second reading</text></g>';
  const bw = Math.min(26, Math.max(3, band * 0.55));
  const at = (i) => x0 + band * (i + 0.5);
  data.forEach((s, i) => {
    const cx = at(i);
    const tip = `${secondLabel(s.at)}: ${int(s.iterations)} iterations, tick mean ` +
      `${ms(s.mean)}, min ${s.min} ms, max ${s.max} ms, I/O share ${ms(s.ioMean)}, ` +
      `CPU ${Math.round(s.cpu)}%`;
    const top = y(s.max);
    body += `<g><title>${esc(tip)}</title><rect x="${(cx - band / 2).toFixed(1)}" y="${m.t}" ` +
      `width="${band.toFixed(1)}" height="${y0 - m.t}" fill="transparent"/>` +
      `<rect class="mark" x="${(cx - bw / 2).toFixed(1)}" y="${top.toFixed(1)}" ` +
      `width="${bw.toFixed(1)}" height="${Math.max(1.5, y(s.min) - top).toFixed(1)}" ` +
      'rx="2" fill="#c9d6ff"/></g>';
  });
  const points = data.map((s, i) => `${at(i).toFixed(1)},${y(s.mean).toFixed(1)}`);
  body += `<polyline class="mark" points="${points.join(' ')}" fill="none" ` +
    'stroke="#3358d4" stroke-width="2" stroke-linejoin="round" pointer-events="none"/>';
  body += points.map((p) => {
    const [cx, cy] = p.split(',');
    return `<circle cx="${cx}" cy="${cy}" r="2.8" fill="#3358d4" pointer-events="none"/>`;
  }).join('');
  body += legend(x1, 14, [['#c9d6ff', 'shortest to longest tick'], ['#3358d4', 'mean tick']]);
  return svg('loop', width, height, body, label);
}

function legend(right, y, items) {
  let x = right;
  let out = '';
  for (const [color, text] of [...items].reverse()) {
    x -= text.length * 6.2 + 4;
    out += `<text x="${x}" y="${y}" font-size="11" fill="#5b616b">${esc(text)}</text>`;
    x -= 14;
    out += `<rect x="${x}" y="${y - 9}" width="10" height="10" rx="2" fill="${color}"/>`;
    x -= 12;
  }
  return out;
}

// A GC pause in microseconds, as text.
const pauseText = (us) => (us < 1000 ? `${Math.round(us)} µs` : ms(us / 1000));

const GC_SHORT = { 'Mark-sweep-compact': 'Mark-sweep' };

const GC_COLORS = {
  Scavenge: '#30a46c',
  'Mark-sweep-compact': '#f76b15',
  All: '#8e4ec6',
  Other: '#8a8f98',
};

// The heap in use after each collection on top, one lane per kind below.
function gcTimeline(gcs, durationS, { width = 535, height = 290 } = {}) {
  const label = 'Garbage collections over time, by type';
  if (gcs.length === 0) return empty('gc', width, height, label, 'no garbage collections');
  const kinds = Object.keys(GC_COLORS).filter((k) => gcs.some((g) => g.kind === k));
  const lane = 22;
  const m = { l: 74, r: 12, t: 34, b: 38 };
  const x0 = m.l;
  const x1 = width - m.r;
  const lanesTop = height - m.b - lane * kinds.length;
  const y0 = lanesTop - 14;
  const span = Math.max(durationS, ...gcs.map((g) => g.at), 1);
  const x = (t) => x0 + ((x1 - x0) * t) / span;
  const maxMB = niceMax(Math.max(...gcs.map((g) => g.used)) / 1048576);
  const y = (b) => y0 - ((y0 - m.t) * (b / 1048576)) / maxMB;
  let body = `<g font-size="11" fill="#5b616b">` +
    `${axisY(x0, x1, y0, m.t, maxMB, 'MB')}`;
  const tickStep = niceMax(span / 8);
  for (let i = 0; i * tickStep <= span + 1e-9; i++) {
    const t = i * tickStep;
    body += `<text x="${x(t)}" y="${height - m.b + 16}" text-anchor="middle">` +
      `${tickStep < 1 ? t.toFixed(1) : Math.round(t)}s</text>`;
  }
  body += `<text x="${(x0 + x1) / 2}" y="${height - 4}" text-anchor="middle">` +
    'seconds since start</text>';
  kinds.forEach((k, i) => {
    const ly = lanesTop + i * lane;
    body += `<rect x="${x0}" y="${ly + 2}" width="${x1 - x0}" height="${lane - 4}" ` +
      `fill="#f3f4f6" rx="3"/><text x="${x0 - 6}" y="${ly + lane / 2 + 4}" ` +
      `text-anchor="end">${esc(GC_SHORT[k] || k)}</text>`;
  });
  body += '</g>';
  const sorted = [...gcs].sort((a, b) => a.at - b.at);
  body += `<polyline points="${sorted.map((g) => `${x(g.at).toFixed(1)},${y(g.used).toFixed(1)}`)
    .join(' ')}" fill="none" stroke="#c1c6cf" stroke-width="1.2"/>`;
  for (const g of sorted) {
    const color = GC_COLORS[g.kind] || GC_COLORS.Other;
    const ly = lanesTop + kinds.indexOf(g.kind) * lane;
    const tip = `${g.kind} at ${g.at.toFixed(2)} s, heap in use after it ${bytes(g.used)}` +
      `${g.pause === null ? '' : `, paused ${pauseText(g.pause)}`}` +
      `${g.flags === 'kNoGCCallbackFlags' ? '' : ` (${g.flags})`}`;
    body += `<g><title>${esc(tip)}</title>` +
      `<circle class="mark" cx="${x(g.at).toFixed(1)}" cy="${y(g.used).toFixed(1)}" r="3" ` +
      `fill="${color}"/><rect x="${(x(g.at) - 1).toFixed(1)}" y="${ly + 4}" width="2" ` +
      `height="${lane - 8}" fill="${color}"/></g>`;
  }
  body += legend(x1, 14, kinds.map((k) => [GC_COLORS[k],
    `${k} ×${gcs.filter((g) => g.kind === k).length}`]));
  return svg('gc', width, height, body, label);
}

// Heights on a log scale: one slow outlier (heap tracking starting, say)
// must not flatten every other thread's figures.
const logShare = (v, max) => Math.log1p(Math.max(0, v)) / Math.log1p(max);

// One lane per thread on a shared time axis: each second's longest tick as
// a bar, and below it each collection as a stroke as tall as its pause.
function threadChart(threads, durationS, { width = 1130 } = {}) {
  const label = 'Loop ticks and GC pauses per thread';
  const watched = threads.filter((t) => t.loaded);
  const ticks = watched.flatMap((t) => t.samples.filter((s) => s.iterations > 0));
  const gcs = watched.flatMap((t) => t.gcs);
  if (ticks.length === 0 && gcs.length === 0) {
    return empty('threads', width, 120, label, 'no readings from any thread');
  }
  const lane = 74;
  const m = { l: 96, r: 12, t: 30, b: 38 };
  const height = m.t + lane * threads.length + m.b;
  const x0 = m.l;
  const x1 = width - m.r;
  const span = Math.max(durationS, ...ticks.map((s) => s.at), ...gcs.map((g) => g.at), 1);
  const x = (t) => x0 + ((x1 - x0) * Math.min(t, span)) / span;
  const maxTick = niceMax(Math.max(1, ...ticks.map((s) => s.max)));
  const pauses = gcs.map((g) => g.pause).filter((p) => p !== null);
  const maxPause = niceMax(Math.max(1, ...pauses));
  const band = (x1 - x0) / span;
  const bw = Math.min(18, Math.max(2, band * 0.6));
  let body = '<g font-size="11" fill="#5b616b">';
  const tickStep = niceMax(span / 10);
  for (let i = 0; i * tickStep <= span + 1e-9; i++) {
    const t = i * tickStep;
    body += `<line x1="${x(t).toFixed(1)}" x2="${x(t).toFixed(1)}" y1="${m.t}" ` +
      `y2="${height - m.b}" stroke="#eef0f3"/><text x="${x(t).toFixed(1)}" ` +
      `y="${height - m.b + 16}" text-anchor="middle">${tickStep < 1 ? t.toFixed(1) : Math.round(t)}s</text>`;
  }
  body += `<text x="${(x0 + x1) / 2}" y="${height - 4}" text-anchor="middle">` +
    'seconds since start</text></g>';
  threads.forEach((t, i) => {
    const top = m.t + i * lane;
    const barTop = top + 6;
    const barBottom = top + 42;
    const strip = top + 48;
    const stripHeight = lane - 54;
    body += `<rect x="${x0}" y="${top + 2}" width="${x1 - x0}" height="${lane - 4}" rx="4" ` +
      `fill="#f7f8fa"/><text x="${x0 - 10}" y="${top + 27}" text-anchor="end" font-size="12" ` +
      `font-weight="600" fill="#1d1f24">${esc(t.name)}</text>`;
    if (!t.loaded) {
      body += `<text x="${x0 + 12}" y="${top + lane / 2 + 4}" font-size="12" fill="#8a8f98">` +
        `${esc(clip(`not watched: ${t.message}`, 150))}</text>`;
      return;
    }
    body += `<text x="${x0 - 10}" y="${top + 56}" text-anchor="end" font-size="10.5" ` +
      'fill="#8a8f98">GC pauses</text>';
    for (const s of t.samples.filter((r) => r.iterations > 0)) {
      const h = Math.max(1.5, (barBottom - barTop) * logShare(s.max, maxTick));
      const cx = x(Math.max(0, s.at - 0.5));
      const tip = `${t.name}, second ending ${s.at.toFixed(1)} s: ${int(s.iterations)} ` +
        `iterations, tick mean ${ms(s.mean)}, longest ${s.max} ms`;
      body += `<g><title>${esc(tip)}</title><rect class="mark" x="${(cx - bw / 2).toFixed(1)}" ` +
        `y="${(barBottom - h).toFixed(1)}" width="${bw.toFixed(1)}" height="${h.toFixed(1)}" ` +
        'rx="1.5" fill="#8fa8f0"/></g>';
    }
    for (const g of t.gcs) {
      const h = g.pause === null ? stripHeight
        : Math.max(2, stripHeight * logShare(g.pause, maxPause));
      const tip = `${t.name}: ${g.kind} at ${g.at.toFixed(2)} s` +
        `${g.pause === null ? '' : `, paused ${pauseText(g.pause)}`}, heap in use ${bytes(g.used)}`;
      body += `<g><title>${esc(tip)}</title><rect class="mark" x="${(x(g.at) - 0.75).toFixed(1)}" ` +
        `y="${(strip + stripHeight - h).toFixed(1)}" width="1.5" height="${h.toFixed(1)}" ` +
        `fill="${GC_COLORS[g.kind] || GC_COLORS.Other}"/></g>`;
    }
  });
  body += legend(x1, 16, [['#8fa8f0', `longest tick per second (log scale to ${maxTick} ms)`],
    [GC_COLORS.Scavenge, pauses.length ? `GC pause (log scale to ${pauseText(maxPause)})`
      : 'GC (pause not reported)']]);
  return svg('threads', width, height, body, label);
}

// One bar per census entry, by node count; requested names first.
function censusChart(entries, { width = 535 } = {}) {
  const label = 'Heap census by name';
  if (entries.length === 0) return empty('census', width, 160, label, 'empty census');
  const row = 21;
  const m = { l: 170, r: 130, t: 6 };
  const height = m.t * 2 + row * entries.length;
  const max = Math.max(...entries.map((e) => e.count), 1);
  const barMax = width - m.l - m.r;
  let body = '<g font-size="11.5">';
  entries.forEach((e, i) => {
    const y = m.t + i * row;
    const requested = e.type === 'CUSTOM';
    const w = Math.max(1.5, (barMax * e.count) / max);
    const tip = `${e.name}: ${int(e.count)} nodes, ${bytes(e.size)}` +
      `${requested ? ' (requested by name)' : ''}`;
    body += `<g><title>${esc(tip)}</title>` +
      `<text x="${m.l - 8}" y="${y + 14}" text-anchor="end" fill="#1d1f24"` +
      `${requested ? ' font-weight="600"' : ''}>${esc(clip(e.name, 27))}</text>` +
      `<rect class="mark" x="${m.l}" y="${y + 3}" width="${w.toFixed(1)}" height="${row - 6}" ` +
      `rx="3" fill="${requested ? '#f76b15' : '#7c93c8'}"/>` +
      `<text x="${(m.l + w + 6).toFixed(1)}" y="${y + 14}" fill="#5b616b">` +
      `${int(e.count)} · ${bytes(e.size)}</text></g>`;
  });
  return svg('census', width, height, `${body}</g>`, label);
}

module.exports = { flameGraph, loopChart, gcTimeline, threadChart, censusChart, frameKind,
  GC_COLORS };
