'use strict';
// Runtime metrics: event-loop counters sampled and reset once a second,
// every GC notification with its pause, and CPU use from the two clocks.
// The worker threads use the same readings for their own loops and heaps.

const GC_KINDS = {
  kGCTypeScavenge: 'Scavenge',
  kGCTypeMarkSweepCompact: 'Mark-sweep-compact',
  kGCTypeAll: 'All',
};

// One GC notification as the agent keeps it; `at` is the wall clock in
// microseconds. A build without the pause argument gives a null pause.
function gcEntry(at, type, flags, usedHeapSize, pause) {
  return {
    at,
    kind: GC_KINDS[type] || 'Other',
    flags,
    // The size arrives as a signed 32-bit value.
    used: usedHeapSize >= 0 ? usedHeapSize : usedHeapSize + 2 ** 32,
    pause: typeof pause === 'number' ? pause : null,
  };
}

// An iteration this long or longer is a block, whose stack the loop
// watchdog hands over.
const BLOCK_THRESHOLD_MS = 100;

// One block as the agent keeps it: when it was reported (wall clock, µs),
// how long, and the frames that name code, innermost first; Node's own
// frames are left out unless nothing else is there.
function blockEntry(at, ms, frames) {
  const named = frames.filter((f) => f.scriptName && !f.scriptName.startsWith('node:'));
  const shown = (named.length ? named : frames).slice(0, 6);
  return {
    at,
    ms,
    where: frames[0] ? frames[0].functionName || '(anonymous)' : '(no stack)',
    stack: shown.map((f) => ({ functionName: f.functionName || '(anonymous)',
      scriptName: f.scriptName, line: f.lineNumber })),
  };
}

// The calling thread's loop counters since the last reading; starts the next
// interval.
function loopReading(vantarel) {
  const info = vantarel.getEventLoopInfo();
  vantarel.resetEventLoopInfo();
  const [num, min, max, sum, iosum] = [0, 1, 2, 3, 4].map((k) => info[k]);
  return { iterations: num, min, max, mean: num ? sum / num : 0, ioMean: num ? iosum / num : 0 };
}

function createMonitor(vantarel) {
  let startWall = vantarel.time();
  let startCpu = vantarel.cpuTime();
  const samples = [];
  const gcs = [];
  const blocks = [];
  let lastWall = startWall;
  let lastCpu = startCpu;

  vantarel.afterGC((type, flags, usedHeapSize, pause) => {
    const gc = gcEntry(vantarel.time(), type, flags, usedHeapSize, pause);
    gc.at = (gc.at - startWall) / 1e6;
    gcs.push(gc);
  });

  // Times count from here; what happened before is set-up.
  function begin() {
    startWall = lastWall = vantarel.time();
    startCpu = lastCpu = vantarel.cpuTime();
    gcs.length = 0;
    samples.length = 0;
    blocks.length = 0;
    vantarel.resetEventLoopInfo();
    vantarel.startLoopWatchdog({ threshold: BLOCK_THRESHOLD_MS }, (ms, frames) => {
      const block = blockEntry(vantarel.time(), ms, frames);
      block.at = (block.at - startWall) / 1e6;
      blocks.push(block);
    });
  }

  // One reading of the interval since the previous one.
  function sample() {
    const loop = loopReading(vantarel);
    const wall = vantarel.time();
    const cpu = vantarel.cpuTime();
    const s = {
      at: (wall - startWall) / 1e6,
      ...loop,
      cpu: wall > lastWall ? (100 * (cpu - lastCpu)) / (wall - lastWall) : 0,
      gcs: gcs.length,
    };
    lastWall = wall;
    lastCpu = cpu;
    samples.push(s);
    return s;
  }

  function totals() {
    const wall = vantarel.time() - startWall;
    const cpu = vantarel.cpuTime() - startCpu;
    return { wallMs: wall / 1000, cpuMs: cpu / 1000, cpu: wall > 0 ? (100 * cpu) / wall : 0 };
  }

  return { begin, sample, totals, samples, gcs, blocks, since: (us) => (us - startWall) / 1e6 };
}

module.exports = { createMonitor, loopReading, gcEntry, GC_KINDS, BLOCK_THRESHOLD_MS, blockEntry };
