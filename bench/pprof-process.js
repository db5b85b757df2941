'use strict';
// One fresh process of the pprof bench (pprof.bench.js); prints one JSON
// line. Run with --expose-gc.
//   accuracy   what sampling at 32 KiB attributes to a function that keeps
//              64 MB and to one whose 64 MB of garbage was collected
//   block      the loop block of the two pprof encodings on a 200 MB heap
//   files <dir> writes cpu.pb.gz and heap.pb.gz of a known hot function and
//              a known retaining one, for a reference reader
const fs = require('fs');
const path = require('path');
const zlib = require('zlib');
const vantarel = require('..');

const MB = 2 ** 20;
const kept = [];

function retainSixtyFour() {
  for (let i = 0; i < 460000; i++) kept.push({ id: i, name: `row ${i}`, tags: [i] });
}
function churnSixtyFour() {
  let garbage = [];
  for (let i = 0; i < 460000; i++) garbage.push({ id: i, name: `row ${i}`, tags: [i] });
  garbage = null;
  return garbage;
}

// Bytes per leaf function, from the walk.
function heldBy() {
  const held = new Map();
  vantarel.getHeapSamples(() => false, (children, bytes, name) => {
    held.set(name, (held.get(name) || 0) + bytes);
  });
  return held;
}

function accuracy() {
  vantarel.startHeapSampling({ samplingInterval: 32 * 1024 });
  gc();
  const before = process.memoryUsage().heapUsed;
  retainSixtyFour();
  churnSixtyFour();
  gc();
  const grown = process.memoryUsage().heapUsed - before;
  const held = heldBy();
  return { grownMb: grown / MB, attributedMb: (held.get('retainSixtyFour') || 0) / MB,
    garbageMb: (held.get('churnSixtyFour') || 0) / MB };
}

// Some 200 MB from several sites: objects, strings and arrays.
function orders(n) { for (let i = 0; i < n; i++) kept.push({ order: i, lines: [i, i + 1, i + 2] }); }
function names(n) { for (let i = 0; i < n; i++) kept.push(`customer name number ${i} `.repeat(4)); }
function tables(n) { for (let i = 0; i < n; i++) kept.push(new Array(64).fill(i)); }

function busy(ms) {
  const end = Date.now() + ms;
  let x = 0;
  while (Date.now() < end) x += Math.sqrt(x + 1);
  return x;
}

function block() {
  vantarel.startHeapSampling();
  while (process.memoryUsage().heapUsed < 200 * MB) {
    orders(100000);
    names(100000);
    tables(20000);
  }
  gc();
  const heapMs = [];
  let heapBytes = 0;
  for (let i = 0; i < 9; i++) {
    const start = process.hrtime.bigint();
    heapBytes = vantarel.getHeapSamplesPprof().length;
    heapMs.push(Number(process.hrtime.bigint() - start) / 1e6);
  }
  const heapSamples = heldBy().size;
  const cpuMs = [];
  let cpuBytes = 0;
  for (let i = 0; i < 5; i++) {
    vantarel.startV8Profiler({ samplingInterval: 1000 });
    busy(1000);
    const start = process.hrtime.bigint();
    cpuBytes = vantarel.stopV8ProfilerPprof().length;
    cpuMs.push(Number(process.hrtime.bigint() - start) / 1e6);
  }
  return { heapMb: process.memoryUsage().heapUsed / MB, heapMs, heapBytes, heapSamples, cpuMs, cpuBytes };
}

// Its own loop, so that its samples are its own.
function hotFunction() {
  const end = Date.now() + 800;
  let x = 0;
  while (Date.now() < end) x += Math.sqrt(x + 1);
  return x;
}
function files(dir) {
  vantarel.startHeapSampling({ samplingInterval: 32 * 1024 });
  retainSixtyFour();
  vantarel.startV8Profiler({ samplingInterval: 10000 });
  hotFunction();
  busy(100);
  fs.writeFileSync(path.join(dir, 'cpu.pb.gz'), zlib.gzipSync(vantarel.stopV8ProfilerPprof()));
  fs.writeFileSync(path.join(dir, 'heap.pb.gz'), zlib.gzipSync(vantarel.getHeapSamplesPprof()));
  return {};
}

const [what, ...args] = process.argv.slice(2);
const result = what === 'accuracy' ? accuracy() : what === 'block' ? block() : files(...args);
console.log(JSON.stringify(result));
