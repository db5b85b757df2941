'use strict';
// The loop watchdog at a 100 ms threshold:
//   npm run bench -- watchdog
// - blocks of some 400 ms in script and in native calls (crypto, zlib, fs,
//   a regular expression, JSON.parse), each in a named function: one call
//   each, its blockedMs, and whether its frames name the function;
// - ten 40 ms blocks, and a block after stopLoopWatchdog: no call;
// - how often an idle process wakes, watched and not: its threads' context
//   switches over 10 s, from 20 s after its start.
// What it costs a busy service is in the profiling service bench (watch).
// WATCHDOG_BENCH_RUNS (3 processes) changes the runs.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawn, spawnSync } = require('child_process');
const { median } = require('./harness');

const RUNS = Number(process.env.WATCHDOG_BENCH_RUNS) || 3;
const IDLE_S = 10;
const SETTLE_S = 20;
const child = path.join(__dirname, 'watchdog-process.js');

function blocks() {
  const runs = [];
  for (let i = 0; i < RUNS; i++) {
    const r = spawnSync(process.execPath, [child, 'blocks'], { encoding: 'utf8', timeout: 120000 });
    if (r.status !== 0) throw new Error(`watchdog blocks failed: ${r.stderr}`);
    runs.push(JSON.parse(r.stdout.trim().split('\n').pop()));
  }
  console.log(`watchdog: blocks of some 400 ms at a 100 ms threshold, ${RUNS} processes`);
  for (const [i, { name }] of runs[0].results.entries()) {
    const each = runs.map((run) => run.results[i]);
    const ms = each.flatMap((e) => e.ms);
    console.log(`  ${name.padEnd(16)} calls ${each.map((e) => e.calls).join('/')}, blockedMs ` +
      `${ms.map((m) => m.toFixed(0)).join('/')} (block took ${each.map((e) => e.took).join('/')}), ` +
      `named ${each.filter((e) => e.named).length}/${RUNS}: ${each[0].stack.join(' < ')}`);
  }
  const script = runs.map((run) => run.results[0]);
  const native = runs.map((run) => run.results[1]);
  const verdict = (ok) => (ok ? 'met' : 'not met');
  console.log(`watchdog: target a 400 ms script block gives one call, blockedMs in 300-800, ` +
    `named: ${verdict(script.every((e) => e.calls === 1 && e.named && e.ms[0] >= 300 && e.ms[0] <= 800))}`);
  console.log(`watchdog: target a 400 ms block in crypto.pbkdf2Sync names its caller: ` +
    `${verdict(native.every((e) => e.calls === 1 && e.named))}`);
  console.log(`watchdog: target ten 40 ms blocks give no call (${runs.map((r) => r.short).join('/')}) and ` +
    `none comes after stop (${runs.map((r) => r.afterStop).join('/')}): ` +
    `${verdict(runs.every((r) => r.short === 0 && r.afterStop === 0))}`);
}

// Context switches of each thread of a process, by thread name.
function switches(pid) {
  const byThread = {};
  for (const tid of fs.readdirSync(`/proc/${pid}/task`)) {
    try {
      const name = fs.readFileSync(`/proc/${pid}/task/${tid}/comm`, 'utf8').trim();
      const status = fs.readFileSync(`/proc/${pid}/task/${tid}/status`, 'utf8');
      const count = [...status.matchAll(/_ctxt_switches:\s+(\d+)/g)].reduce((a, m) => a + Number(m[1]), 0);
      byThread[`${name} ${tid}`] = count;
    } catch {
      // The thread ended meanwhile.
    }
  }
  return byThread;
}

async function idleWakeups(mode) {
  const proc = spawn(process.execPath, [child, 'idle', mode], { stdio: ['ignore', 'ignore', 'inherit', 'ipc'] });
  await new Promise((resolve) => proc.once('message', resolve));
  // The engine's memory reducer collects in the first seconds of an idle
  // process that has allocated (as making the profiler does): past them.
  await new Promise((resolve) => setTimeout(resolve, SETTLE_S * 1000));
  const before = switches(proc.pid);
  await new Promise((resolve) => setTimeout(resolve, IDLE_S * 1000));
  const after = switches(proc.pid);
  proc.kill();
  const per = {};
  for (const [thread, count] of Object.entries(after)) {
    const woke = (count - (before[thread] || 0)) / IDLE_S;
    if (woke > 0.05) per[thread.split(' ')[0]] = (per[thread.split(' ')[0]] || 0) + woke;
  }
  const total = Object.values(per).reduce((a, b) => a + b, 0);
  return { total, per };
}

async function idle() {
  const rows = { none: [], watch: [] };
  for (let i = 0; i < RUNS; i++) {
    for (const mode of ['none', 'watch']) rows[mode].push(await idleWakeups(mode));
  }
  for (const mode of ['none', 'watch']) {
    const totals = rows[mode].map((r) => r.total);
    const threads = Object.entries(rows[mode][0].per).map(([t, n]) => `${t} ${n.toFixed(1)}`).join(', ');
    console.log(`watchdog: an idle process ${mode === 'watch' ? 'watched at 100 ms' : 'not watched'} wakes ` +
      `${median(totals).toFixed(1)} times a second [${Math.min(...totals).toFixed(1)}-` +
      `${Math.max(...totals).toFixed(1)}] (${threads || 'no thread'})`);
  }
}

console.log(`watchdog: Node ${process.version}, load average ${os.loadavg()[0].toFixed(2)}`);
blocks();
idle().then(() => console.log(`watchdog: load average ${os.loadavg()[0].toFixed(2)} at the end`));
