'use strict';
// Continuous profiling, as agents do it: a profile at 10 ms cut and started
// again every so often, in processes that have TypeScript's compiler loaded
// and keep busy with it (bench/profiled-process.js). Prints how long each
// start blocks the loop, what the kept profiler costs compile-heavy work, and
// whether memory settles. The service's cost is profiling-service.bench.js.
//   npm run bench -- profiling
// PROFILING_BENCH_LONG (60) sets the seconds between profiles of the long
// runs, which set the bench's time (three profiles each); PROFILING_BENCH_PAIRS
// (6) the process pairs of the compile-heavy measure; PROFILING_BENCH_SOAK
// (300) the cycles of the soak. VANTAREL_BENCH_ADDON=path/to/vantarel.node
// measures another build of the binary.
const os = require('os');
const path = require('path');
const { spawn, spawnSync } = require('child_process');
const { median } = require('./harness');

const LONG_S = Number(process.env.PROFILING_BENCH_LONG) || 60;
const PAIRS = Number(process.env.PROFILING_BENCH_PAIRS) || 6;
const SOAK = Number(process.env.PROFILING_BENCH_SOAK) || 300;
const START_TARGET_MS = 5;
const MEMORY_TARGET_MB = 10;
const CHILD = path.join(__dirname, 'profiled-process.js');

// Runs profiled-process.js with args; resolves with its JSON line.
function child(args) {
  return new Promise((resolve, reject) => {
    const p = spawn(process.execPath, ['--expose-gc', CHILD, ...args.map(String)],
      { stdio: ['ignore', 'pipe', 'inherit'] });
    let out = '';
    p.stdout.on('data', (d) => { out += d; });
    p.on('error', reject);
    p.on('exit', (code) => {
      if (code === 0) resolve(JSON.parse(out));
      else reject(new Error(`profiled-process.js ${args.join(' ')} ended with ${code}`));
    });
  });
}

const stats = (list) => ({ median: median(list), min: Math.min(...list), max: Math.max(...list) });
const fixed = (digits) => (s) =>
  `${s.median.toFixed(digits)} [${s.min.toFixed(digits)} to ${s.max.toFixed(digits)}]`;
// Lines are printed at the end, in order, as the measures overlap.
const lines = [];
const say = (line) => lines.push(line);
const target = (met, text) => say(`continuous profiling: target ${text}: ${met ? 'met' : 'not met'}`);

function commit() {
  const r = spawnSync('git', ['rev-parse', '--short', 'HEAD'], { cwd: __dirname, encoding: 'utf8' });
  return r.status === 0 ? r.stdout.trim() : 'unknown';
}

function printStarts(runs) {
  say('profile starts, TypeScript loaded and kept a third busy, 10 ms sampling; ' +
    'how long each start blocked the loop (wall ms, main-thread CPU ms in brackets):');
  const byInterval = new Map();
  for (const run of runs) {
    const later = run.startsMs.slice(1);
    say(`  every ${run.everyS} s, ${run.profileS} s profiles: first ` +
      `${run.startsMs[0].toFixed(0)} ms (${run.startsCpuMs[0].toFixed(0)}); ` +
      `the ${later.length} after it ${fixed(2)(stats(later))} ms ` +
      `(${fixed(2)(stats(run.startsCpuMs.slice(1)))}); stop and walk ` +
      `${fixed(1)(stats(run.stopsMs))} ms for ${fixed(0)(stats(run.nodes))} nodes`);
    byInterval.set(run.everyS, (byInterval.get(run.everyS) || []).concat(later));
  }
  for (const [everyS, later] of byInterval) {
    const worst = Math.max(...later);
    target(worst <= START_TARGET_MS, `every start after the first <= ${START_TARGET_MS} ms ` +
      `with ${everyS} s between profiles, at most ${worst.toFixed(2)} ms of ${later.length}`);
  }
}

// Fresh processes in pairs, alternating which goes first: the kept
// profiler's cost is each pair's ratio of main-thread CPU.
async function compileTax(pairs) {
  const runs = { never: [], profiled: [] };
  for (let r = 0; r < pairs; r++) {
    for (const mode of r % 2 ? ['profiled', 'never'] : ['never', 'profiled']) {
      runs[mode].push(await child(['tax', mode]));
    }
  }
  say(`work right after a profile, with the profiler kept, against ` +
    `processes that never profiled (main-thread CPU, ${pairs} process pairs; ratio of the ` +
    `medians [min to max of the pairs' ratios]):`);
  const kinds = [['load', 'loading 100 fresh modules'], ['transpile', 'transpiling 30 modules'],
    ['vm', 'compiling and running 100 fresh vm scripts'],
    ['native', 'not compiling: 5 million calls of a native function']];
  const parts = kinds.map(([kind, what]) => {
    const ratio = median(runs.profiled.map((r) => r[kind])) / median(runs.never.map((r) => r[kind]));
    const pairsRatio = stats(runs.profiled.map((r, i) => r[kind] / runs.never[i][kind]));
    return `${what} ${ratio.toFixed(3)}x [${pairsRatio.min.toFixed(2)} to ${pairsRatio.max.toFixed(2)}] ` +
      `(${median(runs.never.map((r) => r[kind])).toFixed(0)} ms unprofiled)`;
  });
  for (const part of parts) say(`  ${part}`);
  const rss = stats(runs.profiled.map((r, i) => r.rssMb - runs.never[i].rssMb));
  say(`  RSS at the end, profiled minus never profiled: ${fixed(1)(rss)} MB`);
}

function growth(rss, key, from) {
  const at = (n) => rss.find((r) => r[key] === n).mb;
  return at(rss.at(-1)[key]) - at(from);
}

async function memory() {
  const backToBack = await child(['memory', 500]);
  const at = (n) => backToBack.rss.find((r) => r.profiles === n).mb;
  const grown = at(500) - at(100);
  say(`memory, 500 profiles at 10 ms back to back: RSS ${at(100).toFixed(1)} MB at ` +
    `the 100th, ${at(500).toFixed(1)} MB at the 500th (${backToBack.rss.map((r) =>
      r.mb.toFixed(0)).join(', ')} MB every 50)`);
  target(grown < MEMORY_TARGET_MB, `RSS grows < ${MEMORY_TARGET_MB} MB from the 100th to the ` +
    `500th profile, ${grown >= 0 ? '+' : ''}${grown.toFixed(1)} MB`);

  // Both soaks at once: they compete for the cores, not for memory.
  const [profiled, never] = await Promise.all([child(['soak', 'profiled', SOAK]),
    child(['soak', 'never', SOAK])]);
  const from = 100;
  const own = growth(profiled.rss, 'cycles', from);
  const base = growth(never.rss, 'cycles', from);
  const series = (run) => run.rss.filter((r) => r.cycles % 50 === 0).map((r) => r.mb.toFixed(0)).join(', ');
  say(`memory, a soak of ${SOAK} cycles, each a minute of an application compressed ` +
    '(fresh code compiled and dropped, a profile): RSS every 50 cycles profiled ' +
    `${series(profiled)} MB; never profiled ${series(never)} MB`);
  target(own - base < MEMORY_TARGET_MB, `the soak settles: from cycle ${from} to ${SOAK}, RSS ` +
    `grows < ${MEMORY_TARGET_MB} MB more than never profiled, ${own.toFixed(1)} against ` +
    `${base.toFixed(1)} MB`);
}

async function main() {
  const loadBefore = os.loadavg()[0];
  const started = Date.now();
  process.stdout.write(`continuous profiling: about ${Math.ceil((2 * LONG_S + 150) / 60)} ` +
    'minutes...\n');
  // The two start runs go on together and alone, each keeping a third of a
  // core busy: a start's own work is a fraction of a millisecond, and what
  // else wants the cores decides how much longer it holds the loop.
  const starts = await Promise.all([
    child(['starts', 15, 5, 1]),
    child(['starts', LONG_S, 3, 10]),
  ]);
  await compileTax(PAIRS);
  await memory();
  const measured = lines.splice(0);
  say(`continuous profiling: Node ${process.version}, commit ${commit()}` +
    `${process.env.VANTAREL_BENCH_ADDON ? `, binary ${process.env.VANTAREL_BENCH_ADDON}` : ''}, ` +
    `load average ${loadBefore.toFixed(2)} before and ${os.loadavg()[0].toFixed(2)} after, ` +
    `${((Date.now() - started) / 1000).toFixed(0)} s; medians [min to max]`);
  printStarts(starts);
  lines.push(...measured);
  console.log(lines.join('\n'));
}

main().catch((error) => {
  console.error(`continuous profiling bench: ${error.stack || error}`);
  process.exit(1);
});
