'use strict';
// What continuous profiling costs a real service: the service benchmark's
// node:http service on core 0, loaded by autocannon from core 1, with the
// analytics-off agent (loop counters, afterGC). Set-ups, alternating round
// by round with the order rotating:
//   alone      the agent alone
//   again      the same in a second service: what set-ups that differ in
//              nothing differ by on this host
//   kept       the profiler kept, no profile running, as between the
//              profiles of an agent that profiles every minute
//   profile    one service measured with a profile at 10 ms running and
//              without (kept), in turn: SIGUSR2 starts or stops it
//   heap       the same for heap sampling at 512 KiB
//   watch      the same for the loop watchdog at a 100 ms threshold
// The kept profiler's cost is its service's CPU per request against the
// agent alone's in the same round; a toggled feature's is its service's
// windows with it against those without, in the same process.
//   npm run bench -- profiling
// PROFILING_SERVICE_ROUNDS (8), PROFILING_SERVICE_WINDOW (3 s),
// PROFILING_SERVICE_WARMUP (5 s) and PROFILING_SERVICE_TOGGLED (the toggled
// features, "profile,heap,watch") change the runs. With perf at hand, each
// service is then recorded for 10 s and the profiler machinery's share of
// its samples printed: the direct cost, steady where the rounds are not.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { median } = require('./harness');
const { machineryShare, perfMissing } = require('./service/profiler-share');
const { startService, startLoad, measureWindow, pinning } = require('./service/processes');

// Each toggled feature: its agent, what it is, and the most it may cost.
const FEATURES = {
  profile: { agent: 'vantarel-off-toggled', what: 'a profile at 10 ms running', limit: 2 },
  heap: { agent: 'vantarel-off-heap-toggled', what: 'heap sampling at 512 KiB', limit: 1 },
  watch: { agent: 'vantarel-off-watch-toggled', what: 'the loop watchdog at 100 ms', limit: 0.5 },
};
const TOGGLED = (process.env.PROFILING_SERVICE_TOGGLED || 'profile,heap,watch').split(',');
const SERVICES = { alone: 'vantarel-off', again: 'vantarel-off', kept: 'vantarel-off-kept',
  ...Object.fromEntries(TOGGLED.map((key) => [key, FEATURES[key].agent])) };
// Each round measures every service in turn; a toggled one twice, back to
// back, with ("<feature>-on") and without ("<feature>-off") its feature,
// in alternating order.
const ORDER = Object.keys(SERVICES);
const WINDOWS = ['alone', 'again', 'kept', ...TOGGLED.flatMap((key) => [`${key}-off`, `${key}-on`])];
const ROUNDS = Number(process.env.PROFILING_SERVICE_ROUNDS) || 8;
const WINDOW_S = Number(process.env.PROFILING_SERVICE_WINDOW) || 3;
const WARMUP_S = Number(process.env.PROFILING_SERVICE_WARMUP) || 5;
const LEAD_IN_S = 1;
const PERF_S = 10;
const CONNECTIONS = 16;

// One window: an unmeasured lead-in, then the window; CPU µs per request.
async function measure(service, load) {
  const { before, after } = await measureWindow(service, load,
    { leadIn: LEAD_IN_S, seconds: WINDOW_S, connections: CONNECTIONS });
  return { cpuUs: after.cpuUs - before.cpuUs, served: after.served - before.served };
}

const stats = (list) => ({ median: median(list), min: Math.min(...list), max: Math.max(...list) });
const fixed = (digits) => (s) => `${s.median.toFixed(digits)} [${s.min.toFixed(digits)} to ${s.max.toFixed(digits)}]`;
const perRequest = (r) => r.cpuUs / r.served;
// All windows' CPU over all their requests.
const pooled = (list) => list.reduce((a, r) => a + r.cpuUs, 0) / list.reduce((a, r) => a + r.served, 0);

// The cost of one set-up of windows over another, in % of the other's CPU
// per request: per round, and over all rounds.
function cost(runs, key, base) {
  const rounds = stats(runs[key].map((r, i) => (perRequest(r) / perRequest(runs[base][i]) - 1) * 100));
  const overall = (pooled(runs[key]) / pooled(runs[base]) - 1) * 100;
  return { rounds, overall, text: `${fixed(2)(rounds)}% (${overall.toFixed(2)}% over all rounds)` };
}

async function main() {
  const loadBefore = os.loadavg()[0];
  const started = Date.now();
  const load = await startLoad();
  const services = {};
  const runs = Object.fromEntries(WINDOWS.map((key) => [key, []]));
  const switchedOn = {};
  const shares = {};
  try {
    for (const [key, agent] of Object.entries(SERVICES)) {
      services[key] = await startService(agent);
      await load.run(services[key].port, WARMUP_S, CONNECTIONS);
    }
    for (let round = 0; round < ROUNDS; round++) {
      const order = ORDER.map((_, i) => ORDER[(i + round) % ORDER.length]);
      for (const key of order) {
        if (!FEATURES[key]) {
          runs[key][round] = await measure(services[key], load);
          continue;
        }
        for (const state of round % 2 ? ['on', 'off'] : ['off', 'on']) {
          // Handled by the service during the lead-in.
          if (Boolean(switchedOn[key]) !== (state === 'on')) process.kill(services[key].pid, 'SIGUSR2');
          switchedOn[key] = state === 'on';
          runs[`${key}-${state}`][round] = await measure(services[key], load);
        }
      }
    }
    // The same costs as each feature's machinery's share of its service's
    // samples, where perf is at hand: the agent alone and the kept profiler
    // against each toggled service with its feature on.
    if (!perfMissing()) {
      const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vantarel-profiling-perf-'));
      const loaded = (service) => (seconds) => load.run(service.port, seconds, CONNECTIONS);
      for (const key of TOGGLED) {
        if (!switchedOn[key]) process.kill(services[key].pid, 'SIGUSR2');
      }
      for (const key of ['alone', 'kept', ...TOGGLED]) {
        await load.run(services[key].port, LEAD_IN_S, CONNECTIONS);
        shares[key] = await machineryShare(services[key].pid, PERF_S, loaded(services[key]),
          path.join(dir, `${key}.data`));
      }
      fs.rmSync(dir, { recursive: true, force: true });
    }
  } finally {
    load.stop();
    await Promise.all(Object.values(services).map((service) => service.stop()));
  }
  console.log(`profiling, service: ${ROUNDS} rounds of ${LEAD_IN_S} s lead-in and ${WINDOW_S} s ` +
    `measured after ${WARMUP_S} s of warm-up, ${CONNECTIONS} connections; ` +
    `${pinning.ok ? 'service on core 0, autocannon on core 1' : `NOT pinned (${pinning.why})`}; ` +
    `Node ${process.version}, load average ${loadBefore.toFixed(2)} before and ` +
    `${os.loadavg()[0].toFixed(2)} after, ${((Date.now() - started) / 1000).toFixed(0)} s; ` +
    'medians [min to max over rounds]');
  const cpu = (key) => `${fixed(1)(stats(runs[key].map(perRequest)))} µs`;
  console.log(`  service CPU per request: the agent alone ${cpu('alone')}, again ${cpu('again')}, ` +
    `profiler kept ${cpu('kept')}` + TOGGLED.map((key) => `; ${FEATURES[key].what}: without ` +
      `${cpu(`${key}-off`)}, with ${cpu(`${key}-on`)}`).join(''));
  const noise = cost(runs, 'again', 'alone');
  console.log(`  a second service with the agent alone against the first (noise): ${noise.text}`);
  const kept = cost(runs, 'kept', 'alone');
  console.log(`  the profiler kept, against the agent alone: ${kept.text}`);
  const target = (what, limit, c) => console.log(`profiling, service: target ${what} costs <= ` +
    `${limit}% of the service's CPU per request, ${c.rounds.median.toFixed(2)}%: ` +
    `${c.rounds.median <= limit ? 'met' : 'not met'}`);
  const costs = TOGGLED.map((key) => {
    const c = cost(runs, `${key}-on`, `${key}-off`);
    console.log(`  ${FEATURES[key].what}, against the same service without: ${c.text}`);
    return [key, c];
  });
  target('the kept profiler', 1, kept);
  for (const [key, c] of costs) target(FEATURES[key].what, FEATURES[key].limit, c);
  if (shares.alone !== undefined) {
    const direct = (what, limit, share) => console.log(`profiling, service: target ${what} costs <= ` +
      `${limit}% of the service's CPU, directly (perf): ${share.toFixed(2)}%: ${share <= limit ? 'met' : 'not met'}`);
    console.log(`  each feature's machinery's share of its service's CPU (perf record, ${PERF_S} s each), ` +
      'against the same symbols in the agent alone: ' +
      ['kept', ...TOGGLED].map((key) => {
        const feature = key === 'kept' ? 'profile' : key;
        return `${key === 'kept' ? 'the profiler kept' : FEATURES[key].what} ${shares[key][feature].toFixed(2)}% ` +
          `(alone ${shares.alone[feature].toFixed(2)}%)`;
      }).join(', '));
    direct('the kept profiler', 1, shares.kept.profile - shares.alone.profile);
    for (const key of TOGGLED) {
      direct(FEATURES[key].what, FEATURES[key].limit, shares[key][key] - shares.alone[key]);
    }
  }
}

main().catch((err) => {
  console.error(`profiling service bench: ${err.stack || err}`);
  process.exit(1);
});
