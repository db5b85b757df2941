'use strict';
// Prints the runtime metrics of a short sample workload.
const fs = require('fs');
const vantarel = require('..');

const gcs = [];
vantarel.afterGC((type, flags, usedHeapSize) => gcs.push({ type, flags, usedHeapSize }));

const startWall = vantarel.time();
const startCpu = vantarel.cpuTime();
let garbage = [];
let rounds = 0;

function round() {
  for (let i = 0; i < 20000; i++) garbage.push({ i, s: 'x'.repeat(i % 64) });
  if (garbage.length > 200000) garbage = [];
  fs.readFile(__filename, () => {
    const [num, min, max, sum, iosum] = Object.values(vantarel.getEventLoopInfo());
    vantarel.resetEventLoopInfo();
    console.log(`round ${++rounds}: loop iterations ${num}, tick min ${min} ms, ` +
      `max ${max} ms, sum ${sum} ms, io ${iosum} ms; GCs so far ${gcs.length}`);
    if (rounds < 5) setTimeout(round, 100);
    else finish();
  });
}

function finish() {
  const wall = (vantarel.time() - startWall) / 1000;
  const cpu = (vantarel.cpuTime() - startCpu) / 1000;
  console.log(`wall ${wall.toFixed(1)} ms, CPU ${cpu.toFixed(1)} ms`);
  for (const g of gcs.slice(0, 5)) {
    console.log(`gc ${g.type} ${g.flags} heap ${(g.usedHeapSize / 1048576).toFixed(1)} MiB`);
  }
}

round();
