'use strict';
// One fresh process of the continuous-profiling bench, run by
// continuous-profiling.bench.js. It loads TypeScript's compiler, type-checks a
// program with it and keeps busy transpiling and running fresh code, as an
// application with a large code base does. Prints one JSON line.
//
//   node profiled-process.js starts <every s> <count> <profile s>
//     takes <count> profiles at 10 ms, one every <every s> seconds, each
//     <profile s> long, and times each start (the loop is blocked for it).
//   node profiled-process.js tax never|profiled
//     after one short profile (or none), times compile-heavy work: loading
//     fresh modules, transpiling, and compiling fresh vm code; and calls
//     into native code.
//   node --expose-gc profiled-process.js memory <profiles>
//     takes profiles back to back, each over a little work, and reads RSS
//     after a full collection every 50 profiles.
//   node profiled-process.js pprof native|script|stop <profile s> <count>
//     takes <count> profiles at 1 ms of the application kept busy, and times
//     each stop with its encoding as pprof: natively (stopV8ProfilerPprof),
//     or walked into script objects and encoded by pprof-format, the way an
//     agent without the native encoder does (or the stop alone). The first
//     is the one an agent
//     meets once a minute: the application warm, the encoder not.
//   node --expose-gc profiled-process.js soak never|profiled <cycles>
//     a compressed run of hours with a profile every minute: each cycle
//     compiles and drops fresh code, as a minute of an application may, then
//     takes a short profile (or none); RSS after a full collection every
//     25 cycles.
const fs = require('fs');
const os = require('os');
const path = require('path');
const vm = require('vm');
const ts = require('typescript');
// VANTAREL_BENCH_ADDON names another build of the module's binary, to
// compare with it.
const vantarel = process.env.VANTAREL_BENCH_ADDON ?
  require(path.resolve(process.env.VANTAREL_BENCH_ADDON)) : require('..');

const SAMPLING_US = 10000;

// A module of classes and functions, distinct per seed so that every
// compilation is new to the engine.
function source(seed, classes) {
  const lines = [`export interface Row${seed} { id: number; name: string; tags: string[] }`];
  for (let i = 0; i < classes; i++) {
    lines.push(`export class Item${seed}_${i} implements Row${seed} {
  constructor(public id: number, public name: string, public tags: string[] = []) {}
  label(prefix: string): string { return \`\${prefix}-\${this.name}-${seed}-${i}\`; }
  score(): number { let s = ${i}; for (const t of this.tags) s += t.length * ${seed % 7 + 1}; return s; }
}
export function make${seed}_${i}(n: number): Item${seed}_${i}[] {
  const out: Item${seed}_${i}[] = [];
  for (let k = 0; k < n; k++) out.push(new Item${seed}_${i}(k, 'n' + k, ['a', 'b' + k]));
  return out.filter((x) => x.score() % ${i + 2} !== 1);
}`);
  }
  return lines.join('\n');
}

const transpile = (seed, classes) => ts.transpileModule(source(seed, classes), {
  compilerOptions: { module: ts.ModuleKind.CommonJS, target: ts.ScriptTarget.ES2020 },
}).outputText;

// Calls every factory that a module exported.
function use(exports) {
  let total = 0;
  for (const name of Object.keys(exports)) {
    if (name.startsWith('make')) total += exports[name](3).length;
  }
  return total;
}

// Transpiles each module, then compiles and runs what it emits.
function compileWork(first, count, classes) {
  let total = 0;
  for (let seed = first; seed < first + count; seed++) {
    const exports = {};
    // eslint-disable-next-line no-new-func
    new Function('exports', transpile(seed, classes))(exports);
    total += use(exports);
  }
  return total;
}

// The application: the compiler loaded and used, a program type-checked
// against the standard library (ES2020, without the DOM's, which would take
// seconds more to check).
function loadApplication() {
  compileWork(0, 40, 10);
  const options = { noEmit: true, lib: ['lib.es2020.d.ts'], types: [] };
  const host = ts.createCompilerHost(options);
  const program = ts.createProgram(['main.ts'], options, {
    ...host,
    getSourceFile: (name, target) => (name === 'main.ts' ?
      ts.createSourceFile(name, source(999, 30), target) : host.getSourceFile(name, target)),
  });
  ts.getPreEmitDiagnostics(program);
}

// The main thread's time on a CPU, in ms: unlike wall time it leaves out
// the time that other processes hold the machine's cores.
const schedstat = `/proc/self/task/${process.pid}/schedstat`;
const cpuMs = () => Number(fs.readFileSync(schedstat, 'utf8').split(' ')[0]) / 1e6;
const wallMs = () => Number(process.hrtime.bigint()) / 1e6;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function profileStart() {
  const wall = wallMs();
  const cpu = cpuMs();
  vantarel.startV8Profiler({ samplingInterval: SAMPLING_US });
  return { wall: wallMs() - wall, cpu: cpuMs() - cpu };
}

function profileStop() {
  const wall = wallMs();
  let nodes = 0;
  vantarel.stopV8Profiler(() => false, () => { nodes++; });
  return { wall: wallMs() - wall, nodes };
}

// Keeps the application about a third busy (or as many ms of every 100 as
// given): transpiling and running fresh code.
function keepBusy(busyMs = 30) {
  let seed = 100000;
  const timer = setInterval(() => {
    const end = wallMs() + busyMs;
    while (wallMs() < end) compileWork(seed++, 1, 3);
  }, 100);
  return () => clearInterval(timer);
}

async function starts(everyS, count, profileS) {
  loadApplication();
  const stopBusy = keepBusy();
  const result = { everyS, profileS, startsMs: [], startsCpuMs: [], stopsMs: [], nodes: [] };
  let next = wallMs();
  for (let i = 0; i < count; i++) {
    await sleep(Math.max(0, next - wallMs()));
    next += everyS * 1000;
    const start = profileStart();
    result.startsMs.push(start.wall);
    result.startsCpuMs.push(start.cpu);
    await sleep(profileS * 1000);
    const stop = profileStop();
    result.stopsMs.push(stop.wall);
    result.nodes.push(stop.nodes);
  }
  stopBusy();
  result.rssMb = process.memoryUsage().rss / (1 << 20);
  return result;
}

// Compile-heavy work in three kinds, each timed in main-thread CPU ms.
function timedKinds(dir) {
  const times = {};
  const time = (kind, fn) => {
    const start = cpuMs();
    fn();
    times[kind] = cpuMs() - start;
  };
  // Fresh modules from disk, each required and used.
  const files = [];
  for (let i = 0; i < 100; i++) {
    const file = path.join(dir, `module-${i}.js`);
    fs.writeFileSync(file, transpile(20000 + i, 6));
    files.push(file);
  }
  time('load', () => { for (const file of files) use(require(file)); });
  time('transpile', () => { for (let i = 0; i < 30; i++) transpile(30000 + i, 10); });
  const sources = Array.from({ length: 100 },
    (_, i) => `(function (exports) {${transpile(40000 + i, 6)}\n})`);
  time('vm', () => {
    for (const text of sources) {
      const exports = {};
      new vm.Script(text).runInThisContext()(exports);
      use(exports);
    }
  });
  // Not compiling: calls into native code, which the engine routes through
  // a slower path while its profiler logs code.
  const { isExternal } = require('util').types;
  const probe = {};
  time('native', () => {
    for (let i = 0; i < 5e6; i++) isExternal(probe);
  });
  return times;
}

function tax(mode) {
  loadApplication();
  if (mode === 'profiled') {
    profileStart();
    compileWork(1000, 5, 5);
    profileStop();
  }
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vantarel-bench-'));
  try {
    const times = timedKinds(dir);
    return { mode, ...times, rssMb: process.memoryUsage().rss / (1 << 20) };
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

// The walk rebuilt as a tree of script objects, then encoded by
// pprof-format: the path of an agent that encodes in script.
function scriptPprof() {
  const { Profile, StringTable, ValueType, Function: Fn, Location, Line, Sample } =
    require('pprof-format');
  const root = { children: [] };
  // Breadth first: each node's children follow in the order their parents
  // came.
  const parents = [];
  let nodes = 0;
  vantarel.stopV8Profiler(() => false, (children, hits, name, url, line) => {
    const node = { name, url, line, hits, children: [] };
    nodes++;
    while (parents.length && parents[0].left === 0) parents.shift();
    if (parents.length) {
      parents[0].node.children.push(node);
      parents[0].left--;
    } else {
      root.children.push(node);
    }
    if (children) parents.push({ node, left: children });
  });
  const strings = new StringTable();
  const functions = new Map();
  const locations = new Map();
  const profile = new Profile({
    sampleType: [new ValueType({ type: strings.dedup('samples'), unit: strings.dedup('count') }),
      new ValueType({ type: strings.dedup('wall'), unit: strings.dedup('nanoseconds') })],
    periodType: new ValueType({ type: strings.dedup('wall'), unit: strings.dedup('nanoseconds') }),
    period: SAMPLING_US_PPROF * 1000, stringTable: strings,
  });
  const locationOf = (node) => {
    const key = `${node.name}:${node.url}:${node.line}`;
    let location = locations.get(key);
    if (location) return location.id;
    let fn = functions.get(key);
    if (!fn) {
      fn = new Fn({ id: functions.size + 1, name: strings.dedup(node.name),
        systemName: strings.dedup(node.name), filename: strings.dedup(node.url),
        startLine: node.line });
      functions.set(key, fn);
      profile.function.push(fn);
    }
    location = new Location({ id: locations.size + 1, line: [new Line({ functionId: fn.id, line: node.line })] });
    locations.set(key, location);
    profile.location.push(location);
    return location.id;
  };
  const visit = (node, stack) => {
    const here = [locationOf(node), ...stack];
    if (node.hits) {
      profile.sample.push(new Sample({ locationId: here,
        value: [node.hits, node.hits * SAMPLING_US_PPROF * 1000] }));
    }
    for (const child of node.children) visit(child, here);
  };
  for (const child of root.children[0] ? root.children[0].children : []) visit(child, []);
  return { bytes: profile.encode().length, nodes };
}

function nativePprof() {
  const buffer = vantarel.stopV8ProfilerPprof();
  return { bytes: buffer.length, nodes: null };
}

const SAMPLING_US_PPROF = 1000;

async function pprof(path, profileS, count) {
  loadApplication();
  const stopBusy = keepBusy(90);
  const result = { path, stopsMs: [], bytes: [], nodes: [] };
  for (let i = 0; i < count; i++) {
    vantarel.startV8Profiler({ samplingInterval: SAMPLING_US_PPROF });
    await sleep(profileS * 1000);
    const wall = wallMs();
    const stopped = path === 'native' ? nativePprof() :
      path === 'script' ? scriptPprof() : (vantarel.stopV8Profiler(), { bytes: 0, nodes: null });
    result.stopsMs.push(wallMs() - wall);
    result.bytes.push(stopped.bytes);
    result.nodes.push(stopped.nodes);
  }
  stopBusy();
  return result;
}

function rssMb() {
  global.gc();
  return process.memoryUsage().rss / (1 << 20);
}

function memory(profiles) {
  loadApplication();
  const rss = [];
  for (let i = 1; i <= profiles; i++) {
    profileStart();
    compileWork(50000 + (i % 20), 1, 2);
    profileStop();
    if (i % 50 === 0) rss.push({ profiles: i, mb: rssMb() });
  }
  return { rss };
}

function soak(mode, cycles) {
  loadApplication();
  if (mode === 'kept') {
    profileStart();
    profileStop();
  }
  const rss = [];
  for (let i = 1; i <= cycles; i++) {
    compileWork(60000 + i * 3, 2, 3);
    if (mode === 'profiled') profileStart();
    compileWork(60001 + i * 3, 1, 3);
    if (mode === 'profiled') profileStop();
    if (i % 25 === 0) {
      rss.push({ cycles: i, mb: rssMb(), heapMb: process.memoryUsage().heapUsed / (1 << 20) });
    }
  }
  return { mode, rss };
}

async function main() {
  const [what, ...args] = process.argv.slice(2);
  let result;
  if (what === 'starts') result = await starts(...args.map(Number));
  else if (what === 'tax') result = tax(args[0]);
  else if (what === 'memory') result = memory(Number(args[0]));
  else if (what === 'soak') result = soak(args[0], Number(args[1]));
  else if (what === 'pprof') result = await pprof(args[0], Number(args[1]), Number(args[2]));
  else throw new Error(`unknown measure "${what}"`);
  console.log(JSON.stringify(result));
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
