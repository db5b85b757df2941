'use strict';
// The service benchmark's --perf mode: one set-up and the bare service, each
// loaded for a while with `perf record -g` attached to the service after its
// warm-up. Prints the set-up's top symbols and where its CPU per request goes,
// against the bare service's, by groups of symbols.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawn, spawnSync } = require('child_process');
const { startService, startLoad, pinning } = require('./processes');

// By symbol name; the first group that matches takes the sample.
const GROUPS = [
  ['reading the object (engine API, the flat record)', new RegExp([
    'v8::Object::Get', 'LookupIterator', 'GetOwnPropertyNames', 'KeyAccumulator', 'HandleScope',
    'Utf8Length', 'WriteUtf8', 'WriteOneByte', 'v8::String::', 'v8::Value::', 'vantarel::Reader',
    'read_transaction', 'TransactionRecord', 'RecordTransaction', 'Nan::', 'Object::GetProperty',
    'Runtime_', 'FastKeyAccumulator', 'JSReceiver::', 'String::Flatten',
  ].join('|'))],
  ['building the text', /write_string|write_node|(^|::)place\b|property_tree|AnalyticsCollector/],
  ['keeping and delivering (memory, copies)', new RegExp([
    'page_fault', 'clear_page', 'do_anonymous_page', 'handle_mm_fault', 'munmap', 'mmap', 'memcpy',
    'memmove', 'malloc', '_int_free', 'cfree', '^free$', 'realloc', 'zap_pte', 'release_pages',
    'unmap_page', 'ExternalString', 'NewExternal', 'free_pages', 'tlb', 'lru', 'folio',
  ].join('|'))],
  ['the agents\' script (hooks, objects, JS text)', /agents\.js|js-event\.js/],
  ['garbage collection', /Scavenge|MarkCompact|Heap::|Sweeper|GCTracer|Evacuat|MarkingVisitor|ConcurrentMarking/],
];
const OTHER = 'the rest (service, HTTP, engine, kernel)';

// Frames whose time with their callees' says what a step costs whole
// (call chains from -g); names of every tier of a script function add up.
const INCLUSIVE = [
  ['recordTransaction, the whole call', /^RecordTransaction$/],
  ['  reading the object', /^vantarel::read_transaction$/],
  ['  building and keeping the event', /AnalyticsCollector::recordTransaction$/],
  ['reportTransactions', /^ReportTransactions$/],
  ['the transaction object in script', /^JS:.toTransaction .*agents\.js/],
  ['the event text in script', /^JS:.buildEvent .*js-event\.js/],
  ['Array join (the plain agent\'s batch)', /^Builtins_ArrayPrototypeJoin$/],
  ['page faults', /^asm_exc_page_fault$/],
  ['munmap', /^__munmap$/],
  ['garbage collection on the main thread', /^v8::internal::Heap::CollectGarbage$/],
];

function perfMissing() {
  const r = spawnSync('perf', ['--version'], { encoding: 'utf8' });
  return r.error || r.status !== 0;
}

// Per symbol, its share of the samples in percent: of its own time, and
// (with children) of its time with its callees'.
function symbols(data, { children = false } = {}) {
  const r = spawnSync('perf', ['report', '-i', data, children ? '--children' : '--no-children',
    '--sort', 'symbol', '--stdio', '-g', 'none', '--percent-limit', '0.01'],
  { encoding: 'utf8', maxBuffer: 256 << 20 });
  if (r.status !== 0) throw new Error(`perf report failed: ${r.stderr}`);
  const out = [];
  const row = children ? /^\s+([\d.]+)%\s+[\d.]+%\s+\[(.)\]\s+(.*?)\s*$/ : /^\s+([\d.]+)%\s+\[(.)\]\s+(.*?)\s*$/;
  for (const line of r.stdout.split('\n')) {
    const m = row.exec(line);
    // perf pads with columns of '-' that --sort symbol leaves empty.
    if (m) out.push({ share: Number(m[1]), space: m[2], name: m[3].replace(/(\s+-)+$/, '') });
  }
  return out;
}

function split(list) {
  const totals = new Map([...GROUPS.map(([name]) => [name, 0]), [OTHER, 0]]);
  for (const s of list) {
    const group = GROUPS.find(([, pattern]) => pattern.test(s.name));
    const name = group ? group[0] : OTHER;
    totals.set(name, totals.get(name) + s.share);
  }
  return totals;
}

async function record(setup, seconds, { warmup, connections, load, dir }) {
  const service = await startService(setup, { nodeFlags: ['--perf-basic-prof'] });
  try {
    await load.run(service.port, warmup, connections);
    const data = path.join(dir, `${setup}.perf.data`);
    const perf = spawn('perf', ['record', '-g', '-q', '-o', data, '-p', String(service.pid),
      '--', 'sleep', String(seconds)], { stdio: ['ignore', 'ignore', 'inherit'] });
    const perfDone = new Promise((resolve) => perf.once('exit', resolve));
    const before = await service.mark();
    const run = await load.run(service.port, seconds, connections);
    const after = await service.mark();
    await perfDone;
    if (run.failed) throw new Error(`${run.failed} requests failed under ${setup}`);
    return { data, cpu: (after.cpuUs - before.cpuUs) / (after.served - before.served), rps: run.requests / run.seconds };
  } finally {
    await service.stop();
  }
}

async function profile(setup, seconds, { warmup, connections }) {
  if (perfMissing()) {
    throw new Error('perf is missing: on Debian, "apt-get install -y linux-perf" brings it');
  }
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vantarel-service-perf-'));
  const load = await startLoad();
  let bare;
  let own;
  try {
    bare = await record('none', seconds, { warmup, connections, load, dir });
    own = setup === 'none' ? bare : await record(setup, seconds, { warmup, connections, load, dir });
  } finally {
    load.stop();
  }
  console.log(`service --perf: ${seconds} s of load per set-up under perf record -g` +
    `${pinning.ok ? '' : ` (NOT pinned: ${pinning.why})`}; load average ${os.loadavg()[0].toFixed(2)}`);
  console.log(`  bare: ${bare.cpu.toFixed(1)} µs/request at ${Math.round(bare.rps)} req/s; ` +
    `${setup}: ${own.cpu.toFixed(1)} µs/request at ${Math.round(own.rps)} req/s`);
  const ownSymbols = symbols(own.data);
  console.log(`  top symbols of "${setup}" (self time, % of the service's samples):`);
  for (const s of ownSymbols.slice(0, 40)) {
    console.log(`  ${s.share.toFixed(2).padStart(6)}%  [${s.space}] ${s.name.slice(0, 140)}`);
  }
  const ownSplit = split(ownSymbols);
  const bareSplit = split(symbols(bare.data));
  console.log(`  where the CPU per request goes, µs (share of samples): ${setup} | bare | difference`);
  for (const [name, share] of ownSplit) {
    const us = (share / 100) * own.cpu;
    const bareUs = (bareSplit.get(name) / 100) * bare.cpu;
    console.log(`    ${name}: ${us.toFixed(1)} (${share.toFixed(1)}%) | ${bareUs.toFixed(1)} ` +
      `(${bareSplit.get(name).toFixed(1)}%) | ${(us - bareUs).toFixed(1)}`);
  }
  const ownWhole = symbols(own.data, { children: true });
  const bareWhole = symbols(bare.data, { children: true });
  const whole = (list, pattern) => list.filter((x) => pattern.test(x.name)).reduce((n, x) => n + x.share, 0);
  console.log(`  with callees, µs per request (share of samples): ${setup} | bare`);
  for (const [name, pattern] of INCLUSIVE) {
    const share = whole(ownWhole, pattern);
    const bareShare = whole(bareWhole, pattern);
    if (!share && !bareShare) continue;
    console.log(`    ${name}: ${((share / 100) * own.cpu).toFixed(1)} (${share.toFixed(1)}%) | ` +
      `${((bareShare / 100) * bare.cpu).toFixed(1)} (${bareShare.toFixed(1)}%)`);
  }
  console.log(`  perf data: ${own.data}${own === bare ? '' : ` and ${bare.data}`} ` +
    '(perf report -i FILE --no-children --sort symbol; script frames are named by /tmp/perf-PID.map)');
}

module.exports = { profile };
