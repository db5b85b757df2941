'use strict';
// The heap census, the snapshot stream and the CPU profile walk against the
// ways script gets the same from the host's built-in modules.
const fs = require('fs');
const v8 = require('v8');
const inspector = require('inspector');
const { compare } = require('./harness');
const vantarel = require('..');

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const mid = sorted.length >> 1;
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
};
const range = (values, digits = 2) =>
  `${Math.min(...values).toFixed(digits)}-${Math.max(...values).toFixed(digits)}`;

// The main thread's time on a CPU, in ms: on a shared machine, far steadier
// than wall time.
const schedstat = `/proc/self/task/${process.pid}/schedstat`;
const cpuMs = () => Number(fs.readFileSync(schedstat, 'utf8').split(' ')[0]) / 1e6;

// A heap of some size and variety for the snapshots.
class Order { constructor(i) { this.id = i; this.lines = [i, i + 1]; } }
class Customer { constructor(i) { this.name = `customer ${i}`; this.orders = [new Order(i)]; } }
const heap = [];
for (let i = 0; i < 30000; i++) heap.push(new Customer(i));
for (let i = 0; i < 2000; i++) heap.push(new RegExp(`^item-${i % 50}$`));

const REQUESTED = ['Customer', 'Order', '"customer 1"'];

// Reads the whole text of v8.getHeapSnapshot(); the stream is filled
// synchronously when first read.
function builtinSnapshotText() {
  const stream = v8.getHeapSnapshot();
  const parts = [];
  let chunk;
  while ((chunk = stream.read()) !== null) parts.push(chunk);
  stream.destroy();
  return Buffer.concat(parts).toString();
}

function jsCensus(requested) {
  const snapshot = JSON.parse(builtinSnapshotText());
  const meta = snapshot.snapshot.meta;
  const fields = meta.node_fields.length;
  const typeAt = meta.node_fields.indexOf('type');
  const nameAt = meta.node_fields.indexOf('name');
  const sizeAt = meta.node_fields.indexOf('self_size');
  const types = meta.node_types[0];
  const marks = { [types.indexOf('string')]: '"', [types.indexOf('regexp')]: '/' };
  const objectType = types.indexOf('object');
  const table = new Map();
  const { nodes, strings } = snapshot;
  for (let i = 0; i < nodes.length; i += fields) {
    const type = nodes[i + typeAt];
    const mark = marks[type];
    if (mark === undefined && type !== objectType) continue;
    const name = strings[nodes[i + nameAt]];
    const key = mark === undefined ? name : mark + name + mark;
    let info = table.get(key);
    if (info === undefined) table.set(key, (info = { name: key, size: 0, count: 0 }));
    info.size += nodes[i + sizeAt];
    info.count++;
  }
  const result = [];
  for (const key of requested) {
    const info = table.get(key);
    if (info === undefined) continue;
    result.push({ ...info, type: 'CUSTOM' });
    table.delete(key);
  }
  const ranked = [...table.values()]
    .sort((a, b) => b.count - a.count || (a.name < b.name ? -1 : 1))
    .slice(0, 20);
  for (const info of ranked) result.push({ ...info, type: 'SYSTEM' });
  return JSON.stringify(result.map((e) => ({
    ...e, name: [...e.name].length >= 64 ? `${[...e.name].slice(0, 64).join('')}...` : e.name,
  })));
}

function ourCensus() {
  let text;
  vantarel.getV8HeapSnapshot(REQUESTED, (error, result) => { text = result; });
  return text === undefined ? 0 : 1;
}

const snapshotOptions = { seconds: 6, rounds: 2 };
compare('heap census', ourCensus, () => { jsCensus(REQUESTED); }, snapshotOptions);

compare('heap snapshot stream', () => {
  let bytes = 0;
  vantarel.takeHeapSnapshot((piece) => { bytes += piece.length; return true; });
}, () => { builtinSnapshotText(); }, snapshotOptions);

// What counting adds to the engine's own snapshot (taken and deleted, as
// takeHeapSnapshot does without a function), on a heap of about 500k
// snapshot nodes. Alternating rounds; the ratio of each round's pair.
function censusAgainstSnapshot(rounds) {
  for (let i = heap.length; i < 58000; i++) heap.push(new Customer(i));
  let head = '';
  vantarel.takeHeapSnapshot((piece) => { head = piece; return false; });
  const nodes = Number(/"node_count":(\d+)/.exec(head)[1]);
  // The first snapshot of a process costs more than later ones.
  ourCensus();
  vantarel.takeHeapSnapshot();
  const cpu = { census: [], snapshot: [] };
  const ratios = [];
  for (let r = 0; r < rounds; r++) {
    const sides = r % 2 ? ['census', 'snapshot'] : ['snapshot', 'census'];
    for (const side of sides) {
      const start = cpuMs();
      if (side === 'census') ourCensus(); else vantarel.takeHeapSnapshot();
      cpu[side].push(cpuMs() - start);
    }
    ratios.push(cpu.census[r] / cpu.snapshot[r]);
  }
  console.log(`heap census against the engine's own snapshot (${nodes} nodes): census ` +
    `${median(cpu.census).toFixed(0)} ms, snapshot ${median(cpu.snapshot).toFixed(0)} ms ` +
    `(main-thread CPU, median of ${rounds} rounds), ratio ${median(ratios).toFixed(3)}x ` +
    `(rounds ${range(ratios, 3)})`);
}
censusAgainstSnapshot(10);
// The profile measures below should not meet the collection of this heap.
heap.length = 0;
global.gc();

// Profile starts, their costs and memory: continuous-profiling.bench.js.

// Distinct named functions calling each other deeply, so that a few samples
// give a bushy call tree.
const callees = [];
for (let i = 0; i < 40; i++) {
  // eslint-disable-next-line no-new-func
  callees.push(new Function('callees', 'depth', 'seed', `
    return (function step${i}(depth, seed) {
      let x = 0;
      for (let k = 0; k < 200; k++) x += Math.sqrt(k + seed);
      if (depth === 0) return x;
      const a = callees[(seed * 7 + ${i}) % callees.length];
      const b = callees[(seed * 13 + ${i * 3}) % callees.length];
      return x + a(callees, depth - 1, seed + 1) + (seed % 3 === 0 ? b(callees, depth - 1, seed + 2) : 0);
    })(depth, seed);`));
}
let round = 0;
function workload() {
  const end = process.hrtime.bigint() + 20_000_000n;
  while (process.hrtime.bigint() < end) callees[round % 40](callees, 12, round++);
}

// Both walks retain every node and count the visits.
const visits = { ours: 0, theirs: 0, side: 'ours' };
const filter = () => false;
const visitor = () => { visits[visits.side]++; };

const session = new inspector.Session();
session.connect();
session.post('Profiler.enable');

function inspectorStopAndWalk() {
  session.post('Profiler.stop', (error, { profile }) => {
    const byId = new Map(profile.nodes.map((node) => [node.id, node]));
    const queue = [profile.nodes[0]];
    while (queue.length > 0) {
      const node = queue.shift();
      const children = node.children || [];
      for (const id of children) {
        const child = byId.get(id);
        const frame = child.callFrame;
        filter((child.children || []).length, child.hitCount, frame.functionName,
          frame.url, frame.lineNumber);
        queue.push(child);
      }
      visitor(children.length, node.hitCount, node.callFrame.functionName,
        node.callFrame.url, node.callFrame.lineNumber);
    }
  });
}

// Each operation includes the start and the workload, the same on both
// sides; the time of the stop and walk alone is kept apart as well, per
// operation, so that a core taken away now and then shows in the spread
// rather than in the figure.
const stopMs = { ours: [], theirs: [] };
function timed(side, stopAndWalk) {
  const start = process.hrtime.bigint();
  stopAndWalk();
  stopMs[side].push(Number(process.hrtime.bigint() - start) / 1e6);
}
compare('CPU profile stop and walk', () => {
  visits.side = 'ours';
  vantarel.startV8Profiler();
  workload();
  timed('ours', () => vantarel.stopV8Profiler(filter, visitor));
}, () => {
  visits.side = 'theirs';
  session.post('Profiler.start');
  workload();
  timed('theirs', inspectorStopAndWalk);
}, { seconds: 4, rounds: 4 });
session.disconnect();
const per = (side) => Math.round(visits[side] / stopMs[side].length);
const quartiles = (side) => {
  const sorted = [...stopMs[side]].sort((a, b) => a - b);
  const at = (q) => sorted[Math.floor(q * (sorted.length - 1))].toFixed(2);
  return `${at(0.25)}-${at(0.75)}`;
};
const ms = (side) => `${median(stopMs[side]).toFixed(2)} ms (middle half ${quartiles(side)})`;
console.log(`  (stop and walk alone, medians: vantarel ${ms('ours')} for ${per('ours')} nodes,` +
  ` inspector ${ms('theirs')} for ${per('theirs')} nodes, ratio ` +
  `${(median(stopMs.theirs) / median(stopMs.ours)).toFixed(2)}x)`);
