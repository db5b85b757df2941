'use strict';
// Production profiling: the CPU and heap profiles as pprof.
//   npm run bench -- pprof
// - Fast: stopping a CPU profile of 5,000 nodes or more with its native
//   encoding (stopV8ProfilerPprof), against the stop, the walk into script
//   objects and pprof-format's encoder (the path of an agent that encodes
//   in script), and against the stop alone. Each measure is the first stop
//   in a fresh process with the application warm (what an agent meets once
//   a minute), then the later ones of that process; processes of the three
//   kinds alternate.
// - Exact: with sampling at 32 KiB, what the heap profile attributes to a
//   function that retains 64 MB, against the heap growth it causes, and
//   what it leaves to one whose 64 MB of garbage was collected.
// - The loop block of getHeapSamplesPprof and stopV8ProfilerPprof on a
//   200 MB heap.
// - Read by the reference: where Go's pprof tool is at hand (Debian's
//   golang-go), its -top of both profiles.
// PPROF_BENCH_RUNS (4 processes of each kind) and PPROF_BENCH_PROFILE_S
// (15 s per profile) change the runs.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { median } = require('./harness');
const { has } = require('../scripts/env');

const RUNS = Number(process.env.PPROF_BENCH_RUNS) || 4;
const PROFILE_S = Number(process.env.PPROF_BENCH_PROFILE_S) || 15;
const PER_PROCESS = 3;

const span = (values, digits = 1) => `${median(values).toFixed(digits)} ms ` +
  `[${Math.min(...values).toFixed(digits)}-${Math.max(...values).toFixed(digits)}]`;

function child(args, { expose = false } = {}) {
  const r = spawnSync(process.execPath, [...(expose ? ['--expose-gc'] : []), ...args],
    { cwd: __dirname, encoding: 'utf8', timeout: 10 * 60 * 1000, maxBuffer: 1 << 26 });
  if (r.status !== 0) throw new Error(`${args.join(' ')} failed: ${r.stderr}`);
  return JSON.parse(r.stdout.trim().split('\n').pop());
}

function cpuEncoding() {
  const kinds = ['native', 'script', 'stop'];
  const runs = Object.fromEntries(kinds.map((k) => [k, []]));
  for (let i = 0; i < RUNS; i++) {
    for (const kind of i % 2 ? [...kinds].reverse() : kinds) {
      runs[kind].push(child(['profiled-process.js', 'pprof', kind, String(PROFILE_S), String(PER_PROCESS)]));
    }
  }
  const first = (kind) => runs[kind].map((r) => r.stopsMs[0]);
  const later = (kind) => runs[kind].flatMap((r) => r.stopsMs.slice(1));
  const nodes = runs.script.flatMap((r) => r.nodes);
  console.log(`pprof: CPU profiles at 1 ms of ${PROFILE_S} s of TypeScript kept 90% busy, ` +
    `${Math.min(...nodes)}-${Math.max(...nodes)} nodes, ${RUNS} processes of each kind, ` +
    `${PER_PROCESS} profiles each; medians [range]`);
  for (const kind of kinds) {
    console.log(`  ${kind.padEnd(6)} first stop ${span(first(kind))}, later stops ${span(later(kind))}`);
  }
  const ratios = (which) => which('native').map((n, i) => n / which('script')[i % which('script').length]);
  for (const [label, which] of [['first', first], ['later', later]]) {
    const r = ratios(which);
    console.log(`pprof: ${label} stop with native pprof against stop, walk and script encoding: ` +
      `${(median(which('native')) / median(which('script'))).toFixed(2)}x ` +
      `(pairs ${Math.min(...r).toFixed(2)}x to ${Math.max(...r).toFixed(2)}x)` +
      (label === 'first' ? `; target <= 0.3x: ${median(which('native')) / median(which('script')) <= 0.3 ? 'met' : 'not met'}` : ''));
  }
}

function heapAccuracy() {
  const r = child(['pprof-process.js', 'accuracy'], { expose: true });
  const ratio = r.attributedMb / r.grownMb;
  console.log(`pprof: sampling at 32 KiB, a function retaining 64 MB: heap grew ${r.grownMb.toFixed(1)} MB, ` +
    `attributed ${r.attributedMb.toFixed(1)} MB (${(ratio * 100).toFixed(0)}%; target within ±25%: ` +
    `${Math.abs(ratio - 1) <= 0.25 ? 'met' : 'not met'}); 64 MB of collected garbage: ` +
    `${r.garbageMb.toFixed(2)} MB live`);
}

function bigHeapBlocks() {
  const r = child(['pprof-process.js', 'block'], { expose: true });
  console.log(`pprof: on a ${r.heapMb.toFixed(0)} MB heap, getHeapSamplesPprof blocks the loop ` +
    `${span(r.heapMs, 2)} (${r.heapSamples} sites, ${(r.heapBytes / 1024).toFixed(0)} KB), ` +
    `stopV8ProfilerPprof ${span(r.cpuMs, 2)} (${(r.cpuBytes / 1024).toFixed(0)} KB)`);
}

function goTop() {
  if (!has('go')) {
    console.log('pprof: go tool pprof not found (Debian package golang-go): the reference read skipped');
    return;
  }
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vantarel-pprof-'));
  try {
    child(['pprof-process.js', 'files', dir], { expose: true });
    const env = { ...process.env, HOME: dir, GOCACHE: path.join(dir, 'cache'), GOFLAGS: '' };
    for (const [file, args] of [['cpu.pb.gz', []], ['heap.pb.gz', ['-sample_index=space']]]) {
      const r = spawnSync('go', ['tool', 'pprof', '-top', ...args, path.join(dir, file)],
        { encoding: 'utf8', env });
      const lines = `${r.stdout}${r.stderr}`.trim().split('\n');
      console.log(`pprof: go tool pprof -top ${args.join(' ')} ${file}:`);
      for (const line of lines.slice(0, 12)) console.log(`  ${line}`);
    }
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

console.log(`pprof: Node ${process.version}, load average ${os.loadavg()[0].toFixed(2)}`);
heapAccuracy();
bigHeapBlocks();
goTop();
cpuEncoding();
console.log(`pprof: load average ${os.loadavg()[0].toFixed(2)} at the end`);
