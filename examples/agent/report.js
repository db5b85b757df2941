'use strict';
// The report page: one self-contained HTML file with inline CSS, SVG and a
// few lines of script; it loads nothing.
const { esc, int, bytes, ms, pct } = require('./format');
const { flameGraph, loopChart, gcTimeline, threadChart, censusChart } = require('./charts');
const { threadFigures } = require('./threads');

const CSS = `
:root { --ink: #1d1f24; --muted: #5b616b; --line: #e3e5e9; --bg: #f6f7f9; --accent: #4f7cff; }
* { box-sizing: border-box; }
body { margin: 0; background: var(--bg); color: var(--ink);
  font: 14px/1.5 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; }
header { background: #15171c; color: #f2f3f5; padding: 26px 0 22px; }
.wrap { max-width: 1220px; margin: 0 auto; padding: 0 24px; }
h1 { margin: 0; font-size: 24px; font-weight: 650; letter-spacing: -0.01em; }
h1 span { color: #9aa3b2; font-weight: 400; }
header p { margin: 6px 0 0; color: #b7bdc8; }
.tiles { display: grid; grid-template-columns: repeat(auto-fit, minmax(150px, 1fr)); gap: 12px;
  margin-top: 20px; }
.tile { background: #20232a; border-radius: 10px; padding: 12px 14px; }
.tile b { display: block; font-size: 20px; font-weight: 650; color: #fff; }
.tile small { color: #9aa3b2; }
main { padding: 22px 0 40px; }
.grid { display: grid; grid-template-columns: repeat(auto-fit, minmax(520px, 1fr)); gap: 18px; }
section { background: #fff; border: 1px solid var(--line); border-radius: 12px;
  padding: 18px 20px; margin-bottom: 18px; min-width: 0; }
.grid section { margin-bottom: 0; }
.grid { margin-bottom: 18px; }
h2 { margin: 0 0 4px; font-size: 16px; font-weight: 650; }
.note { margin: 0 0 12px; color: var(--muted); font-size: 13px; }
svg { display: block; }
.scroll { overflow-x: auto; }
/* Keeps frame labels readable on narrow screens, scrolling sideways. */
.scroll svg { min-width: 900px; }
.grid svg { max-width: 680px; margin: 0 auto; }
.frame { cursor: default; }
.frame:hover rect { stroke: #1d1f24; stroke-width: 1; }
#flame-detail { min-height: 21px; margin-top: 8px; color: var(--muted); font-size: 13px;
  font-family: ui-monospace, SFMono-Regular, Menlo, monospace; white-space: nowrap;
  overflow: hidden; text-overflow: ellipsis; }
.keys { display: flex; flex-wrap: wrap; gap: 14px; margin: 0 0 10px; font-size: 12px;
  color: var(--muted); }
.keys i { display: inline-block; width: 10px; height: 10px; border-radius: 2px;
  margin-right: 5px; vertical-align: -1px; }
table { width: 100%; border-collapse: collapse; font-size: 13px; }
th, td { text-align: right; padding: 6px 8px; border-bottom: 1px solid var(--line); }
th:first-child, td:first-child { text-align: left; }
th { color: var(--muted); font-weight: 600; font-size: 12px; }
td code { font-size: 12.5px; }
.files a { color: var(--accent); text-decoration: none; }
.files a:hover { text-decoration: underline; }
footer { color: var(--muted); font-size: 12px; padding-bottom: 30px; }
`;

// Shows the hovered frame's details below the flame graph.
const SCRIPT = `
(function () {
  var detail = document.getElementById('flame-detail');
  var idle = detail.textContent;
  document.querySelectorAll('svg[data-chart="flame"] .frame').forEach(function (g) {
    g.addEventListener('mouseenter', function () {
      detail.textContent = g.getAttribute('data-name') + ' \\u2014 ' +
        g.getAttribute('data-share') + '% of samples';
    });
    g.addEventListener('mouseleave', function () { detail.textContent = idle; });
  });
})();
`;

const tile = (value, caption) => `<div class="tile"><b>${esc(value)}</b>` +
  `<small>${esc(caption)}</small></div>`;

function section(title, note, body) {
  return `<section><h2>${esc(title)}</h2><p class="note">${note}</p>${body}</section>`;
}

function transactionTable(routes) {
  if (routes.length === 0) return '<p class="note">No transactions were recorded.</p>';
  const rows = routes.map((r) => `<tr><td><code>${esc(r.name)}</code></td>` +
    `<td>${int(r.count)}</td><td>${ms(r.totalMs / r.count)}</td><td>${ms(r.maxMs)}</td>` +
    `<td>${int(r.slow)}</td><td>${int(r.errors)}</td></tr>`).join('');
  return '<table><thead><tr><th>Transaction</th><th>Count</th><th>Mean</th><th>Max</th>' +
    `<th>Slow</th><th>Errors</th></tr></thead><tbody>${rows}</tbody></table>`;
}

function batchTable(batches) {
  if (batches.length === 0) return '';
  const rows = batches.map((b, i) => `<tr><td>batch ${i + 1}${b.flushed ? ', flushed at the end' : ''}` +
    `</td><td>${b.at.toFixed(1)} s</td>` +
    `<td>${int(b.events)}</td><td>${esc(bytes(b.bytes))}</td></tr>`).join('');
  return '<table style="margin-top:16px"><thead><tr><th>Analytics batch</th><th>Delivered at</th>' +
    `<th>Events</th><th>Text</th></tr></thead><tbody>${rows}</tbody></table>`;
}

function fileList(files) {
  const rows = files.map((f) => `<tr><td><a href="${esc(encodeURIComponent(f.name))}">` +
    `${esc(f.name)}</a></td><td>${esc(bytes(f.bytes))}</td>` +
    `<td style="text-align:left">${esc(f.note)}</td></tr>`).join('');
  return `<table class="files"><tbody>${rows}</tbody></table>`;
}

const msOrDash = (v) => (v === null ? '–' : ms(v));

function hottestText(thread) {
  if (!thread.hottest) return 'the flame graph above';
  return thread.hottest.map((h) => `<code>${esc(h.name)}</code> ${pct(100 * h.share)}`).join(', ') || '–';
}

function threadTable(threads) {
  const rows = threads.map((t) => [t, threadFigures(t)]).map(([t, f]) => (f.loaded
    ? `<tr><td>${esc(f.name)}</td><td>${int(f.iterations)}</td><td>${ms(f.meanTick)}</td>` +
      `<td>${f.maxTick} ms</td><td>${int(f.gcs)}</td><td>${msOrDash(f.pauseTotal)}</td>` +
      `<td>${msOrDash(f.pauseMax)}</td><td style="text-align:left">${hottestText(t)}</td></tr>`
    : `<tr><td>${esc(f.name)}</td><td colspan="7" style="text-align:left">not watched: ` +
      `${esc(f.message)}</td></tr>`)).join('');
  return '<table style="margin-bottom:14px"><thead><tr><th>Thread</th><th>Loop iterations</th>' +
    '<th>Mean tick</th><th>Longest tick</th><th>GCs</th><th>GC pause, total</th>' +
    '<th>Longest pause</th><th style="text-align:left">Most own CPU samples</th></tr></thead>' +
    `<tbody>${rows}</tbody></table>`;
}

function stackText(stack) {
  return stack.map((f) => `<code>${esc(f.functionName)}</code> ` +
    `<span class="note">${esc(shortUrl(f.scriptName))}:${f.line}</span>`).join(' ← ');
}

const shortUrl = (url) => (url.startsWith('/') ? url.split('/').slice(-2).join('/') : url);

function blockTable(blocks) {
  if (blocks.length === 0) return '<p class="note">No iteration of any loop was that long.</p>';
  const rows = blocks.map((b) => `<tr><td>${esc(b.thread)}</td><td>${b.at.toFixed(1)} s</td>` +
    `<td>${ms(b.ms)}</td><td style="text-align:left">${b.stack.length ? stackText(b.stack)
      : 'no sample named code'}</td></tr>`).join('');
  return '<table><thead><tr><th>Thread</th><th>Reported at</th><th>Blocked</th>' +
    `<th style="text-align:left">Stack, innermost first</th></tr></thead><tbody>${rows}</tbody></table>`;
}

function siteTable(sites) {
  if (sites.length === 0) return '<p class="note">No allocation was sampled.</p>';
  const rows = sites.map((s) => `<tr><td style="text-align:left"><code>${esc(s.functionName)}</code> ` +
    `<span class="note">${esc(shortUrl(s.url))}:${s.line}</span></td><td>${esc(bytes(s.bytes))}</td>` +
    `<td>${int(s.objects)}</td></tr>`).join('');
  return '<table><thead><tr><th style="text-align:left">Allocation site</th><th>Live bytes</th>' +
    `<th>Objects</th></tr></thead><tbody>${rows}</tbody></table>`;
}

function trackingNote(t) {
  if (!t.supported) return 'Heap-object tracking is not supported here.';
  if (!t.on) return 'The load ended before heap-object tracking was due, so it stayed off.';
  return `Heap-object tracking was on from ${t.from.toFixed(1)} s to the snapshot.`;
}

function renderReport(d) {
  const seconds = d.load.elapsedMs / 1000;
  const loop = d.samples.filter((s) => s.iterations > 0);
  const worst = loop.reduce((m, s) => Math.max(m, s.max), 0);
  const meanTick = loop.length ? loop.reduce((m, s) => m + s.mean, 0) / loop.length : 0;
  const a = d.analytics;
  const p = d.profile;
  const requested = d.census.requested.map((n) => `<code>${esc(n)}</code>`).join(', ');

  const flame = section('CPU profile',
    `The busy phase as a flame graph: ${int(p.stats.hits)} samples over ` +
    `${(p.durationUs / 1e6).toFixed(1)} s in ${int(p.stats.nodes)} frames, built from the ` +
    `<code>stopV8ProfilerPprof</code> profile of the main thread${p.keepInternals ? '' :
      '; frames of Node itself are folded into their callers'}. Width is time on the CPU, ` +
    'callees hang below their callers.',
    '<div class="keys"><span><i style="background:hsl(25,80%,63%)"></i>application</span>' +
    '<span><i style="background:hsl(210,40%,72%)"></i>Node internals</span>' +
    '<span><i style="background:hsl(110,45%,62%)"></i>dependencies</span>' +
    '<span><i style="background:hsl(220,8%,78%)"></i>engine</span>' +
    '<span><i style="background:hsl(280,30%,72%)"></i>garbage collector</span></div>' +
    `<div class="scroll">${flameGraph(p.tree)}</div><div id="flame-detail">Point at a frame for its details; ` +
    'open profile.cpuprofile in Chrome DevTools for the full tree.</div>');

  const loopSection = section('Event loop',
    `Tick times per second from <code>getEventLoopInfo</code>, reset after each reading: ` +
    `mean ${ms(meanTick)}, longest ${worst} ms. Ticks are whole milliseconds from the ` +
    'loop\'s cached time, which Node also refreshes when a timer is armed.',
    loopChart(d.samples));

  const mainPauses = threadFigures({ name: 'main', loaded: true, samples: [], gcs: d.gcs });
  const gcSection = section('Garbage collection',
    `${int(d.gcs.length)} collections reported through <code>afterGC</code>, with the heap ` +
    'in use after each' + (mainPauses.pauseTotal === null ? '.' : `; they paused the main ` +
      `thread for ${ms(mainPauses.pauseTotal)} in all, ${ms(mainPauses.pauseMax)} at most.`),
    gcTimeline(d.gcs, d.totals.wallMs / 1000));

  const workers = d.threads.length - 1;
  const threadsSection = section('Threads',
    `The main thread and the service's ${workers} pool worker${workers === 1 ? '' : 's'}, ` +
    'each watched by its own vantarel state on its own thread: the loop counters of ' +
    '<code>getEventLoopInfo</code>, read and reset each second, every collection of its ' +
    'own heap from <code>afterGC</code> with the pause it caused, and, for the workers, the ' +
    'functions with the most samples of their own in a CPU profile walked with ' +
    '<code>stopV8Profiler</code>.',
    threadTable(d.threads) +
    `<div class="scroll">${threadChart(d.threads, d.totals.wallMs / 1000)}</div>`);

  const blocksSection = section('Loop blocks',
    `Every iteration of a thread's loop that took ${d.blocks.threshold} ms or more, from ` +
    '<code>startLoopWatchdog</code> on each thread: the stack its samples showed for the most ' +
    'of the block, taken while the loop was blocked, frames of Node itself left out. The ' +
    'service re-signs its price list and rebuilds its tax table now and then, on the loop.',
    blockTable(d.blocks.list));

  const sitesSection = section('Live allocation sites',
    `What the heap holds at the end, by the function that allocated it, from ` +
    `<code>getHeapSamples</code> (one sample per ${bytes(d.sites.interval)} allocated, ` +
    'scaled by the engine to the whole heap); heap.pb.gz has it as pprof.',
    siteTable(d.sites.list));

  const censusSection = section('Heap census',
    `<code>getV8HeapSnapshot</code> after the load: the requested names ${requested} ` +
    '(orange) first, then the most numerous others, by node count.',
    censusChart(d.census.entries));

  const analyticsSection = section('Transactions',
    `${int(a.recorded)} recorded with <code>recordTransaction</code>; ` +
    `${int(a.delivered)} delivered in ${a.batches.length} ` +
    `batch${a.batches.length === 1 ? '' : 'es'}` +
    `${a.recorded > a.delivered ? `, ${int(a.recorded - a.delivered)} still waiting for the ` +
      'next batch (due after 30 s or above 10,000 events)' : ''}. Errors are answers of 500 ` +
    'and above; those of the quote route pass on the price service\'s simulated failures.',
    transactionTable(a.routes) + batchTable(a.batches));

  const filesSection = section('Files', 'Written next to this page.', fileList(d.files));

  return `<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<link rel="icon" href="data:,">
<title>vantarel agent report</title>
<style>${CSS}</style>
</head>
<body>
<header><div class="wrap">
<h1>vantarel agent report <span>· ${esc(d.app)}</span></h1>
<p>${esc(d.generatedAt)} · Node ${esc(d.node)} on ${esc(d.host)} · ${int(d.options.rate)}
 requests/s offered over ${int(d.options.concurrency)} connections for ${seconds.toFixed(1)} s</p>
<div class="tiles">
${tile(int(d.load.sent), `requests, ${int(d.load.sent / Math.max(seconds, 0.001))}/s`)}
${tile(int(d.load.simulated), 'answered 502: simulated price-service failures')}
${d.load.failed ? tile(int(d.load.failed), 'other failed requests') : ''}
${tile(pct(d.totals.cpu), `CPU, ${(d.totals.cpuMs / 1000).toFixed(1)} s in ${(d.totals.wallMs / 1000).toFixed(1)} s`)}
${tile(ms(meanTick), `mean tick, longest ${worst} ms`)}
${tile(int(d.gcs.length), 'garbage collections')}
${tile(int(a.delivered), `events in ${a.batches.length} analytics batch${a.batches.length === 1 ? '' : 'es'}`)}
${tile(bytes(d.snapshot.bytes), `heap snapshot, ${int(d.snapshot.pieces)} pieces`)}
</div></div></header>
<main><div class="wrap">
${flame}
<div class="grid">${loopSection}${gcSection}</div>
${threadsSection}
${blocksSection}
<div class="grid">${censusSection}${sitesSection}</div>
${analyticsSection}
${filesSection}
<footer>${trackingNote(d.tracking)}</footer>
</div></main>
<script>${SCRIPT}</script>
</body>
</html>
`;
}

module.exports = { renderReport };
