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
    vantarel.resetEventLoopInfo();
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

  return { begin, sample, totals, samples, gcs, since: (us) => (us - startWall) / 1e6 };
}

module.exports = { createMonitor, loopReading, gcEntry, GC_KINDS };
