'use strict';
// Runs the fuzzer in a child process and reports what it found. An abort or
// a hang of the child is reported with the seed and the call it was making.
//   npm run fuzz -- [--seed S] [--calls N] [--from K] [--timeout SECONDS]
const fs = require('fs');
const os = require('os');
const path = require('path');
const crypto = require('crypto');
const { spawn, spawnSync } = require('child_process');
const { RESULT } = require('./child');

const CHILD = path.join(__dirname, 'child.js');
const NODE_ARGS = ['--expose-gc', '--max-old-space-size=4096'];

function childArgs({ seed, calls, from, script = CHILD }) {
  return [...NODE_ARGS, script, '--seed', String(seed), '--calls', String(calls),
    '--from', String(from)];
}

function describeCall(seed, index) {
  const r = spawnSync(process.execPath,
    [...childArgs({ seed, calls: 1, from: index }), '--describe'], { encoding: 'utf8' });
  return (r.stdout || r.stderr || '').trim();
}

// Resolves to { ok, seed, summary, status, signal, lastCall, report }.
// `script` stands in for child.js in the runner's own tests.
function fuzz({ seed = crypto.randomInt(2 ** 32), calls = 3000, from = 0, stallSeconds = 120,
  quiet = false, script = CHILD } = {}) {
  const progressFile = path.join(os.tmpdir(), `vantarel-fuzz-${process.pid}-${seed}-${from}`);
  const log = quiet ? () => {} : (line) => console.log(line);
  log(`fuzz: seed ${seed}, calls ${from}..${from + calls - 1}`);
  return new Promise((resolve) => {
    const child = spawn(process.execPath,
      [...childArgs({ seed, calls, from, script }), '--progress', progressFile],
      { stdio: ['ignore', 'pipe', 'pipe'] });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (d) => { stdout += d; });
    child.stderr.on('data', (d) => { stderr = (stderr + d).slice(-20000); });
    const readProgress = () => {
      try {
        return Number(fs.readFileSync(progressFile, 'utf8').trim());
      } catch {
        return NaN;
      }
    };
    let last = NaN;
    let stalled = 0;
    let hung = false;
    const watch = setInterval(() => {
      const now = readProgress();
      stalled = now === last ? stalled + 1 : 0;
      last = now;
      if (stalled >= stallSeconds) {
        hung = true;
        child.kill('SIGKILL');
      }
    }, 1000);
    child.on('close', (status, signal) => {
      clearInterval(watch);
      const lastCall = readProgress();
      fs.rmSync(progressFile, { force: true });
      const line = stdout.split('\n').find((l) => l.startsWith(RESULT));
      const summary = line ? JSON.parse(line.slice(RESULT.length)) : null;
      const lines = [];
      if (!summary || status !== 0) {
        lines.push(hung
          ? `fuzz: HANG at call ${lastCall} (no progress for ${stallSeconds} s)`
          : `fuzz: the child died (status ${status}, signal ${signal}) at call ${lastCall}`);
        if (Number.isInteger(lastCall)) lines.push(describeCall(seed, lastCall));
        if (stderr) lines.push('--- child stderr (tail) ---', stderr.slice(-6000));
      } else {
        const per = Object.entries(summary.perFunction)
          .map(([k, v]) => `${k} ${v} (${summary.msPerFunction[k]} ms)`).join(', ');
        lines.push(`fuzz: ${summary.calls} calls in ${(summary.ms / 1000).toFixed(1)} s, ` +
          `${summary.threw} threw, ${summary.uncaught} uncaught in callbacks, ` +
          `${summary.failureCount} failures`);
        lines.push(`fuzz: ${per}`);
        if (summary.slowest.length) {
          lines.push(`fuzz: slowest ${summary.slowest.map((s) => `#${s.index} ${s.fn} ${s.ms} ms`).join(', ')}`);
        }
        if (summary.memory.length) {
          lines.push(`fuzz: memory (calls: rss/heap MB) ${summary.memory
            .map((m) => `${m.calls}: ${m.rssMB}/${m.heapMB}`).join(', ')}`);
        }
        for (const f of summary.failures) {
          lines.push(`fuzz: FAILURE at call ${f.index} (${f.fn}): ${f.message}`);
          if (f.index >= 0) lines.push(`  ${describeCall(seed, f.index)}`);
        }
      }
      const ok = !!summary && status === 0 && summary.failureCount === 0;
      if (!ok) {
        lines.push(`fuzz: replay with: npm run fuzz -- --seed ${seed} --calls ${calls}` +
          (from ? ` --from ${from}` : ''));
      }
      const report = lines.join('\n');
      log(report);
      resolve({ ok, seed, summary, status, signal, lastCall, report });
    });
  });
}

if (require.main === module) {
  const option = (name, fallback) => {
    const i = process.argv.indexOf(`--${name}`);
    return i < 0 ? fallback : Number(process.argv[i + 1]);
  };
  fuzz({
    seed: option('seed', crypto.randomInt(2 ** 32)),
    calls: option('calls', 100000),
    from: option('from', 0),
    stallSeconds: option('timeout', 120),
  }).then((r) => process.exit(r.ok ? 0 : 1));
}

module.exports = { fuzz };
