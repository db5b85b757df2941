'use strict';
// Per-thread figures of the loop ticks and the GC pauses, for the terminal
// and the page. A thread is { name, loaded, message, samples, gcs } with the
// sample and GC shapes of monitor.js; `loaded` false means vantarel could
// not watch it and `message` says why.
const { int, ms } = require('./format');

function threadFigures(thread) {
  const loop = thread.samples.filter((s) => s.iterations > 0);
  const pauses = thread.gcs.map((g) => g.pause).filter((p) => p !== null);
  return {
    name: thread.name,
    loaded: Boolean(thread.loaded),
    message: thread.message || '',
    iterations: loop.reduce((n, s) => n + s.iterations, 0),
    // The mean of the per-second means, as the page's loop figures.
    meanTick: loop.length ? loop.reduce((m, s) => m + s.mean, 0) / loop.length : 0,
    maxTick: loop.reduce((m, s) => Math.max(m, s.max), 0),
    gcs: thread.gcs.length,
    // Pauses in ms; null when the build does not report them.
    pauseTotal: pauses.length ? pauses.reduce((a, b) => a + b, 0) / 1000 : null,
    pauseMax: pauses.length ? Math.max(...pauses) / 1000 : null,
  };
}

// One line per thread under a heading, names in a column.
function threadLines(threads) {
  const figures = threads.map(threadFigures);
  const width = Math.max(...figures.map((f) => f.name.length));
  const lines = figures.map((f) => {
    const name = f.name.padEnd(width);
    if (!f.loaded) return `  ${name}  not watched: ${f.message}`;
    const paused = f.pauseTotal === null ? 'pauses not reported'
      : `paused ${ms(f.pauseTotal)} (longest ${ms(f.pauseMax)})`;
    return `  ${name}  ${int(f.iterations).padStart(9)} loop iterations, longest tick ` +
      `${String(f.maxTick).padStart(3)} ms, ${int(f.gcs).padStart(4)} GCs ${paused}`;
  });
  return ['per thread: loop ticks and GC pauses', ...lines];
}

module.exports = { threadFigures, threadLines };
