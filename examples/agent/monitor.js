'use strict';
// Runtime metrics: event-loop counters sampled and reset once a second,
// every GC notification, and CPU use from the two clocks.

const GC_KINDS = {
  kGCTypeScavenge: 'Scavenge',
  kGCTypeMarkSweepCompact: 'Mark-sweep-compact',
  kGCTypeAll: 'All',
};

function createMonitor(vantarel) {
  let startWall = vantarel.time();
  let startCpu = vantarel.cpuTime();
  const samples = [];
  const gcs = [];
  let lastWall = startWall;
  let lastCpu = startCpu;

  vantarel.afterGC((type, flags, usedHeapSize) => {
    gcs.push({
      at: (vantarel.time() - startWall) / 1e6,
      kind: GC_KINDS[type] || 'Other',
      flags,
      // The size arrives as a signed 32-bit value.
      used: usedHeapSize >= 0 ? usedHeapSize : usedHeapSize + 2 ** 32,
    });
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
    const info = vantarel.getEventLoopInfo();
    vantarel.resetEventLoopInfo();
    const wall = vantarel.time();
    const cpu = vantarel.cpuTime();
    const [num, min, max, sum, iosum] = [0, 1, 2, 3, 4].map((k) => info[k]);
    const s = {
      at: (wall - startWall) / 1e6,
      iterations: num,
      min,
      max,
      mean: num ? sum / num : 0,
      ioMean: num ? iosum / num : 0,
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

module.exports = { createMonitor, GC_KINDS };
