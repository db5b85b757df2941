'use strict';
// The service benchmark's sustained run: one fresh service per set-up,
// warmed up, then loaded without a break for a long stretch while its
// resident memory is sampled several times a second and its minor page
// faults are counted. A short run hides what memory traffic costs: batches
// a second of some 30 MB each, and what the engine and the allocator keep of
// them, show only over tens of seconds.
const fs = require('fs');
const { startService } = require('./processes');
const { median } = require('../harness');

const SAMPLE_EVERY_MS = 100;
const PAGE_BYTES = 4096;

// Resident bytes of a process, from /proc (VmRSS counts what is mapped in
// now, the figure a container's memory limit holds it to).
function residentBytes(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(/^VmRSS:\s+(\d+) kB$/m.exec(status)[1]) * 1024;
}

// Minor page faults of the process so far, all threads (field 10 of stat,
// counted after the name, which may hold spaces).
function minorFaults(pid) {
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  return Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[7]);
}

// Loads one fresh service for `seconds` after its warm-up and answers its
// memory, faults and CPU over that stretch.
async function sustain(setup, load, { seconds, warmup, connections, rate, split = false }) {
  const service = await startService(setup);
  try {
    await load.run(service.port, warmup, connections, rate);
    const rss = [];
    const sample = () => { try { rss.push(residentBytes(service.pid)); } catch { /* gone */ } };
    const faultsBefore = minorFaults(service.pid);
    const before = await service.mark();
    sample();
    const timer = setInterval(sample, SAMPLE_EVERY_MS);
    // Where the memory is, once a second: the engine's and the module's own
    // figures from the service, the kernel's from smaps_rollup.
    const splits = [];
    const splitTimer = split && setInterval(async () => {
      try {
        const rollup = fs.readFileSync(`/proc/${service.pid}/smaps_rollup`, 'utf8');
        const field = (name) => Number(new RegExp(`^${name}:\\s+(\\d+) kB$`, 'm').exec(rollup)[1]) * 1024;
        const mark = await service.mark();
        splits.push({ rss: field('Rss'), anon: field('Anonymous'), huge: field('AnonHugePages'),
          memory: mark.memory, module: mark.agent && mark.agent.memory });
      } catch { /* ended */ }
    }, 1000);
    let run;
    try {
      run = await load.run(service.port, seconds, connections, rate);
    } finally {
      clearInterval(timer);
      if (splitTimer) clearInterval(splitTimer);
    }
    const after = await service.mark();
    const faults = minorFaults(service.pid) - faultsBefore;
    if (run.failed) throw new Error(`${run.failed} requests failed under ${setup}`);
    const served = after.served - before.served;
    return {
      setup,
      cpu: (after.cpuUs - before.cpuUs) / served,
      rps: run.requests / run.seconds,
      p99: run.p99,
      peak: Math.max(...rss),
      median: median(rss),
      samples: rss.length,
      faults: faults / served,
      faultBytes: faults * PAGE_BYTES,
      agent: after.agent,
      inModule: after.agent && after.agent.inModuleMs !== undefined
        ? ((after.agent.inModuleMs - before.agent.inModuleMs) * 1000) / served : null,
      // The longest collection pause of each second of the run, and the
      // full collections per second.
      pauses: after.pauses.slice(before.pauses.length),
      majorsPerSecond: (after.majors - before.majors) / run.seconds,
      splits,
    };
  } finally {
    await service.stop();
  }
}

// The 99th percentile of a list (its largest value below 100 entries).
function p99(list) {
  const sorted = [...list].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.ceil(0.99 * sorted.length) - 1)];
}

const MB = 1 << 20;
const mb = (bytes) => (bytes / MB).toFixed(0);
const signedMb = (bytes) => `${bytes >= 0 ? '+' : ''}${mb(bytes)}`;

function printSustained(results, titles, { seconds, rate }) {
  const bare = results.find((r) => r.setup === 'none');
  console.log(`service, sustained: one fresh service per set-up, ${seconds} s of load after its warm-up, ` +
    `${rate ? `at most ${rate} requests a second` : 'closed loop'}; RSS sampled every ${SAMPLE_EVERY_MS} ms, ` +
    'minor faults from /proc/PID/stat, GC pauses from the engine\'s gc performance entries');
  console.log('| agent watching the service | CPU µs/request | CPU ratio to bare | req/s | p99 ms | peak RSS MB | ' +
    'peak above bare MB | median RSS MB | minor faults/request | full GCs/s | longest GC pause ms, p99 of seconds | ' +
    'batch hand-off p99 / max ms | longest recordTransaction ms, p99 of seconds | inside the module µs/request |');
  console.log('|---|---|---|---|---|---|---|---|---|---|---|---|---|---|');
  for (const r of results) {
    const isBare = r === bare;
    const handoff = r.agent && r.agent.handoffMs && r.agent.handoffMs.length
      ? `${p99(r.agent.handoffMs).toFixed(2)} / ${Math.max(...r.agent.handoffMs).toFixed(2)} ` +
        `(${r.agent.handoffMs.length} batches)`
      : '—';
    const record = r.agent && r.agent.longestRecordMs && r.agent.longestRecordMs.length
      ? p99(r.agent.longestRecordMs).toFixed(2) : '—';
    const pause = r.pauses.length ? p99(r.pauses).toFixed(1) : '—';
    const ratio = isBare ? '1' : bare ? (r.cpu / bare.cpu).toFixed(2) : '—';
    const above = isBare || !bare ? '—' : signedMb(r.peak - bare.peak);
    console.log(`| ${titles[r.setup]} | ${r.cpu.toFixed(1)} | ${ratio} | ` +
      `${(r.rps / 1000).toFixed(1)}k | ${r.p99} | ${mb(r.peak)} | ${above} | ` +
      `${mb(r.median)} | ${r.faults.toFixed(3)} | ${r.majorsPerSecond.toFixed(2)} | ${pause} | ` +
      `${handoff} | ${record} | ${r.inModule === null ? '—' : r.inModule.toFixed(2)} |`);
  }
  // An agent that reads a heap profile every few seconds: RSS at each read,
  // from the second on (the first follows the warm-up).
  for (const r of results) {
    const reads = r.agent && r.agent.heapReads;
    if (!reads || reads.length < 3) continue;
    const during = reads.slice(1);
    console.log(`service, sustained: "${titles[r.setup]}": RSS at its ${during.length} heap profile ` +
      `reads from the second on ${during.map(mb).join(', ')} MB, from the second to the last ` +
      `${signedMb(during[during.length - 1] - during[0])} MB`);
  }
  return bare;
}

// The memory split of one set-up: at the sample of highest RSS, and the
// median of each figure over the samples.
function printSplit(r) {
  if (!r.splits.length) return;
  const rows = r.splits.map((s) => ({
    rss: s.rss,
    'anonymous (smaps)': s.anon,
    'of it in huge pages': s.huge,
    'engine heap (committed)': s.memory.heapTotal,
    'engine external (strings, buffers)': s.memory.external,
    'of it array buffers': s.memory.arrayBuffers,
    ...Object.fromEntries(Object.entries(s.module || {}).map(([k, v]) => [`module: ${k}`, v])),
  }));
  const top = rows.reduce((a, b) => (b.rss > a.rss ? b : a));
  console.log(`  memory split of "${r.setup}" over ${rows.length} samples, MB: at the highest RSS | median`);
  for (const key of Object.keys(top)) {
    const values = rows.map((x) => x[key]).filter((x) => typeof x === 'number');
    const isBytes = !/count|copies|batches/i.test(key);
    const fmt = (x) => (isBytes ? (x / MB).toFixed(1) : String(x));
    console.log(`    ${key}: ${fmt(top[key])} | ${fmt(median(values))}`);
  }
}

module.exports = { sustain, printSustained, printSplit, residentBytes, minorFaults, p99 };
