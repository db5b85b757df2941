'use strict';
// The demo agent: its pure parts on made-up data, then one run end to end.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const zlib = require('zlib');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { root } = require('./common');

const agentDir = path.join(root, 'examples', 'agent');
const { recordWalk, treeFromVisits, toCpuProfile } = require(path.join(agentDir, 'profile'));
const { toTransaction, experienceOf } = require(path.join(agentDir, 'transactions'));
const { parseOptions, UsageError } = require(path.join(agentDir, 'options'));
const charts = require(path.join(agentDir, 'charts'));
const { renderReport } = require(path.join(agentDir, 'report'));
const { missingFunctions } = require(path.join(agentDir, 'addon'));
const { createPool } = require(path.join(agentDir, 'pool'));
const { priceInvoice } = require(path.join(agentDir, 'invoice'));

// Skipped, with the reason, while the build lacks functions the agent needs;
// the module test already fails on a missing export.
const lacking = missingFunctions(require('..'));
const needsAddon = lacking.length ? `this build lacks ${lacking.join(', ')}` : false;

const node = (name, url, hits, children = [], line = 1) => ({ name, url, hits, line, children });

// Walks a plain tree the way stopV8Profiler walks a profile: children
// screened in index order, retained nodes visited breadth first.
function walker(tree) {
  return (filter, visitor) => {
    const queue = [tree];
    const screen = (n) => {
      if (filter(n.children.length, n.hits, n.name, n.url, n.line)) {
        return n.children.reduce((sum, c) => sum + screen(c), 0);
      }
      queue.push(n);
      return 1;
    };
    while (queue.length) {
      const n = queue.shift();
      const count = n.children.reduce((sum, c) => sum + screen(c), 0);
      visitor(count, n.hits, n.name, n.url, n.line);
    }
  };
}

const PROFILE = node('(root)', '', 0, [
  node('processTicks', 'node:internal/process', 1, [
    node('emit', 'node:events', 4, [
      node('handler', '/app/app.js', 3, [node('work', '/app/app.js', 10)]),
      node('writev', 'node:net', 2),
    ]),
    node('handler', '/app/app.js', 5, [node('other', '/app/app.js', 7)]),
  ]),
  node('(idle)', '', 20, [], 0),
], 0);

const shape = (n) => [n.functionName, n.self, n.children.map(shape)];

test('the walk becomes a tree; folded frames give their time to the caller', () => {
  const tree = treeFromVisits(recordWalk(walker(PROFILE)));
  // Both handler frames meet under the root once Node's frames are folded.
  assert.deepStrictEqual(shape(tree), ['(root)', 5, [
    ['handler', 8, [['work', 10, []], ['other', 7, []]]],
    ['(idle)', 20, []],
    ['writev', 2, []],
  ]]);
  assert.strictEqual(tree.total, 52, 'no sample is lost');

  const full = treeFromVisits(recordWalk(walker(PROFILE), { keepInternals: true }));
  assert.strictEqual(full.total, 52);
  assert.strictEqual(full.children[0].functionName, 'processTicks');
  assert.deepStrictEqual(full.children[0].children.map((c) => c.functionName), ['emit', 'handler']);
});

test('a visit sequence that does not add up is refused', () => {
  const v = (childCount) => ({ childCount, hitCount: 1, functionName: 'f', url: '', line: 0 });
  assert.strictEqual(treeFromVisits([]), null);
  assert.throws(() => treeFromVisits([v(2), v(0)]), /inconsistent/);
  assert.throws(() => treeFromVisits([v(1), v(0), v(0)]), /inconsistent at visit 2/);
  assert.throws(() => treeFromVisits([v(0), v(0)]), /inconsistent at visit 1/);
});

test('the DevTools profile is consistent with its tree', () => {
  const tree = treeFromVisits(recordWalk(walker(PROFILE), { keepInternals: true }));
  const p = toCpuProfile(tree, 1000000, 1052000);
  const ids = new Set(p.nodes.map((n) => n.id));
  assert.strictEqual(ids.size, p.nodes.length);
  assert.strictEqual(p.nodes[0].callFrame.functionName, '(root)');
  assert.strictEqual(p.nodes[0].callFrame.lineNumber, -1);
  assert.strictEqual(p.nodes.find((n) => n.callFrame.functionName === 'work').callFrame.lineNumber, 0);
  for (const n of p.nodes) {
    for (const c of n.children) assert.ok(ids.has(c), `child ${c} of ${n.id} exists`);
    assert.strictEqual(p.samples.filter((s) => s === n.id).length, n.hitCount);
  }
  assert.strictEqual(p.samples.length, 52);
  assert.strictEqual(p.timeDeltas.length, 52);
  assert.strictEqual(p.timeDeltas.reduce((a, b) => a + b, 0), 52000);
  const urls = new Map(p.nodes.map((n) => [n.callFrame.url, n.callFrame.scriptId]));
  assert.strictEqual(urls.get(''), '0');
  assert.ok(urls.has('file:///app/app.js') && urls.has('node:events'));
  assert.strictEqual(new Set(urls.values()).size, urls.size, 'one script id per script');
  assert.deepStrictEqual(toCpuProfile(null, 5, 9), { nodes: [], startTime: 5, endTime: 9,
    samples: [], timeDeltas: [] });
});

test('a finished request becomes a transaction object', () => {
  const t = toTransaction({
    startUs: Date.UTC(2024, 4, 1, 12) * 1000,
    ms: 61.6,
    status: 200,
    bytes: 88,
    method: 'GET',
    url: '/api/quote/sku-7?currency=EUR&x=1',
    headers: {
      authorization: `Basic ${Buffer.from('ann:pw').toString('base64')}`,
      cookie: 'sid=s7; theme=dark',
      'x-request-id': 'req-9',
    },
    exits: new Map([['HTTP', { calls: 2, errors: 1, totalMs: 41 }]]),
    session: { 'visits.count': '3' },
    routeName: '/api/quote/:sku',
    routeId: 4,
    guid: 'g-1',
  });
  assert.strictEqual(t.eventTimestamp, '2024-05-01T12:00:00.000Z');
  assert.strictEqual(t.transactionTime, 62);
  assert.strictEqual(t.requestExperience, 'SLOW');
  assert.strictEqual(t.clientRequestGUID, 'req-9');
  assert.deepStrictEqual(t.exitCalls, [{ exitCallType: 'HTTP', numberOfCalls: 2,
    numberOfErrors: 1, avgResponseTimeMillis: 21 }]);
  assert.strictEqual(t.httpData.principal, 'ann');
  assert.strictEqual(t.httpData.sessionId, 's7');
  assert.deepStrictEqual(t.httpData.uriPathSegments, ['api', 'quote', 'sku-7']);
  assert.deepStrictEqual(t.httpData.parameters, { currency: 'EUR', x: '1' });
  assert.deepStrictEqual(t.httpData.cookies, { sid: 's7', theme: 'dark' });
  assert.strictEqual(t.httpData.headers.authorization, '[hidden]', 'credentials stay out');
  assert.strictEqual(t.httpData.headers.cookie, '[hidden]');
  assert.deepStrictEqual([experienceOf(503, 1), experienceOf(200, 101), experienceOf(200, 40)],
    ['ERROR', 'VERY_SLOW', 'NORMAL']);
});

test('options: defaults, both spellings, and refusals', () => {
  const d = parseOptions([]);
  assert.deepStrictEqual([d.out, d.duration, d.quiet], ['vantarel-report', 20, false]);
  const o = parseOptions(['--out=/tmp/x', '--duration', '2.5', '--quiet', '--requests', '9.7']);
  assert.deepStrictEqual([o.out, o.duration, o.quiet, o.requests], ['/tmp/x', 2.5, true, 9]);
  for (const bad of [['--duration', '0'], ['--duration', 'soon'], ['--duration', ''],
    ['--concurrency', '1000'], ['--out'], ['--verbose']]) {
    assert.throws(() => parseOptions(bad), UsageError, bad.join(' '));
  }
});

test('the page escapes what the profile and heap hand it, and loads nothing', () => {
  const evil = '<img src=x onerror=alert(1)>';
  const tree = { functionName: '(root)', url: '', line: 0, self: 1, total: 3, children: [
    { functionName: evil, url: '/a&b.js', line: 3, self: 2, total: 2, children: [] }] };
  const samples = [{ at: 1, iterations: 5, min: 0, max: 4, mean: 1, ioMean: 0.5, cpu: 50, gcs: 0 }];
  const gcs = [{ at: 0.5, kind: 'Scavenge', flags: 'kNoGCCallbackFlags', used: 4e6, pause: 1250 }];
  const html = renderReport({
    app: 'test', generatedAt: 'now', node: 'v20', host: 'here',
    options: { concurrency: 1, rate: 10 }, load: { sent: 10, simulated: 1,
      failed: 0, elapsedMs: 1000 },
    totals: { wallMs: 1000, cpuMs: 500, cpu: 50 },
    samples,
    gcs,
    threads: [{ name: 'main', loaded: true, samples, gcs },
      { name: 'worker 1', loaded: false, message: evil, samples: [], gcs: [] }],
    profile: { tree, stats: { hits: 3, nodes: 2 }, durationUs: 1e6, keepInternals: false },
    blocks: { threshold: 100, list: [{ thread: evil, at: 1, ms: 250,
      stack: [{ functionName: evil, scriptName: `/${evil}.js`, line: 2 }] }] },
    sites: { interval: 65536, list: [{ functionName: evil, url: evil, line: 1, bytes: 5, objects: 1 }] },
    census: { entries: [{ name: `"${evil}"`, size: 10, count: 1, type: 'CUSTOM' }],
      requested: [evil] },
    snapshot: { bytes: 100, pieces: 1 },
    tracking: { supported: true, on: true, from: 0.5 },
    analytics: { recorded: 10, delivered: 0, batches: [], routes: [] },
    files: [],
  });
  assert.ok(!html.includes('<img'), 'no markup from data');
  assert.ok(html.includes('&lt;img src=x onerror=alert(1)&gt;'));
  assert.doesNotMatch(html, /(src|href)\s*=\s*["']?(https?:)?\/\//i);
  for (const kind of ['flame', 'loop', 'gc', 'threads', 'census']) {
    assert.match(html, new RegExp(`data-chart="${kind}"[^>]*>.*?class="mark"`, 's'), kind);
  }
  assert.match(html, /<td>main<\/td><td>5<\/td><td>1\.0 ms<\/td><td>4 ms<\/td><td>1<\/td>/);
  assert.match(html, /paused 1\.3 ms/, 'a GC pause in µs is shown in ms');
  assert.match(html, /<b>1<\/b><small>answered 502: simulated price-service failures/,
    'the demo\'s downstream errors are named for what they are');
  assert.doesNotMatch(html, /other failed requests/, 'no tile for failures that did not happen');
});

test('pictures without data say so and draw no marks', () => {
  for (const picture of [charts.flameGraph(null), charts.loopChart([]),
    charts.gcTimeline([], 3), charts.censusChart([]),
    charts.threadChart([{ name: 'main', loaded: true, samples: [], gcs: [] }], 3)]) {
    assert.match(picture, /<text[^>]*>(no|empty) /);
    assert.doesNotMatch(picture, /class="mark"/);
  }
});

test('the worker pool prices invoices as the service would and its workers end on close',
  async () => {
    const pool = createPool({ size: 2 });
    await pool.ready;
    pool.begin();
    const tasks = Array.from({ length: 40 }, (_, i) => ({ invoice: i + 1, customer: 'c', lines: 300 }));
    const results = await Promise.all(tasks.map(pool.run));
    assert.deepStrictEqual(results, tasks.map(priceInvoice));
    await pool.close();
    const threads = pool.report((us) => us / 1e6);
    assert.deepStrictEqual(threads.map((t) => [t.name, t.ended]),
      [['worker 1', 'closed'], ['worker 2', 'closed']]);
    for (const t of threads) {
      // The reading posted on close covers the tasks: each worker ran some.
      if (!t.loaded) continue;
      assert.ok(t.samples.reduce((n, r) => n + r.iterations, 0) > 0, t.name);
    }
    await assert.rejects(pool.run(tasks[0]), /no worker is running/);
  });

test('--help and a bad option', () => {
  const agent = path.join(root, 'examples', 'agent.js');
  const help = spawnSync(process.execPath, [agent, '--help'], { encoding: 'utf8' });
  assert.strictEqual(help.status, 0);
  assert.match(help.stdout, /^Usage: node examples\/agent\.js/);
  for (const flag of ['--out', '--duration', '--quiet']) assert.ok(help.stdout.includes(flag));
  const bad = spawnSync(process.execPath, [agent, '--nope'], { encoding: 'utf8' });
  assert.strictEqual(bad.status, 2);
  assert.match(bad.stderr, /unknown option "--nope"/);
});

test('a short run writes its files', { timeout: 180000, skip: needsAddon }, () => {
  const out = fs.mkdtempSync(path.join(os.tmpdir(), 'vantarel-agent-'));
  try {
    // The request cap, not the time, ends this run: just past the 10000
    // events that make a batch due.
    const run = spawnSync(process.execPath, [path.join(root, 'examples', 'agent.js'),
      '--duration', '60', '--requests', '10300', '--rate', '20000', '--out', out],
    { cwd: root, encoding: 'utf8', timeout: 150000 });
    assert.strictEqual(run.status, 0, run.stderr);
    assert.match(run.stdout, /^ end \[#{12}\] 100% /m, 'progress lines end at 100%');
    assert.match(run.stdout, new RegExp('^load done: 10,300 requests in [\\d.]+ s; [\\d,]+ ' +
      'answered 502 for the price service\'s simulated failures \\(3% of its calls, on purpose\\); ' +
      '[\\d,]+ other failures$', 'm'));
    assert.match(run.stdout, /report: .*index\.html/);
    assert.strictEqual(run.stderr, '');
    // Each pool worker watched itself: loop iterations, GCs and their pauses.
    for (const name of ['main', 'worker 1', 'worker 2']) {
      assert.match(run.stdout, new RegExp(`^  ${name} +[1-9][\\d,]* loop iterations, longest tick +` +
        '\\d+ ms, +[1-9][\\d,]* GCs paused \\d+(\\.\\d)? ms \\(longest ', 'm'), name);
    }

    const html = fs.readFileSync(path.join(out, 'index.html'), 'utf8');
    for (const kind of ['flame', 'loop', 'gc', 'threads', 'census']) {
      assert.ok(html.includes(`data-chart="${kind}"`));
    }
    assert.match(html, /<td>worker 2<\/td><td>[1-9][\d,]*<\/td>/, 'the page has the workers\' figures');

    const profile = JSON.parse(fs.readFileSync(path.join(out, 'profile.cpuprofile'), 'utf8'));
    assert.ok(profile.nodes.length > 3);
    assert.strictEqual(profile.nodes[0].callFrame.functionName, '(root)');
    assert.ok(profile.endTime > profile.startTime);
    assert.strictEqual(profile.samples.length, profile.nodes.reduce((n, x) => n + x.hitCount, 0));
    assert.ok(profile.samples.length > 0);
    assert.ok(profile.nodes.some((n) => n.callFrame.url.endsWith('app.js')), 'service code is seen');

    // The same profile as pprof, and the live allocation sites.
    const { readPprof } = require('./pprof');
    const cpu = readPprof(zlib.gunzipSync(fs.readFileSync(path.join(out, 'profile.pb.gz'))));
    assert.ok(cpu.samples.some((s) => s.stack.some((f) => f.file.endsWith('app.js'))));
    const heap = readPprof(zlib.gunzipSync(fs.readFileSync(path.join(out, 'heap.pb.gz'))));
    assert.deepStrictEqual(heap.sampleTypes, ['objects/count', 'space/bytes']);
    assert.ok(heap.samples.length > 0);
    assert.match(run.stdout, /^live allocation sites: \S+ [\d.]+ [KM]?B/m);
    // The pool's tax table is rebuilt at the first invoice, on the loop.
    assert.match(run.stdout, /^loop blocks of 100 ms or more: [1-9]/m);
    assert.match(html, /<code>rebuildTaxTable<\/code>/, 'the page lists the blocks with their stacks');

    const snapshot = JSON.parse(fs.readFileSync(path.join(out, 'heap.heapsnapshot'), 'utf8'));
    const fields = snapshot.snapshot.meta.node_fields.length;
    assert.strictEqual(snapshot.nodes.length, snapshot.snapshot.node_count * fields);
    assert.ok(snapshot.strings.includes('Order'));

    const batches = JSON.parse(fs.readFileSync(path.join(out, 'transactions.json'), 'utf8'));
    assert.ok(Array.isArray(batches) && batches.length >= 1);
    const events = batches.flat();
    assert.ok(batches.every((b) => Array.isArray(b) && b.length > 0));
    // A machine too busy to serve the load well within 30 s of the agent's
    // start gets the batch that the 30-second rule makes due first, with
    // fewer events.
    const loadSeconds = Number(/^load done: [\d,]+ requests in ([\d.]+) s/m.exec(run.stdout)[1]);
    if (loadSeconds < 25) assert.ok(events.length > 10000, `${events.length} events`);
    assert.ok(events.every((e) => typeof e.transactionName === 'string' &&
      Array.isArray(e.segments)));
    const quote = events.find((e) => e.transactionName === '/api/quote/:sku');
    assert.strictEqual(quote.segments[0].exitCalls[0].exitCallType, 'HTTP');
    assert.strictEqual(quote.segments[0].httpData.headers.authorization, '[hidden]');
    assert.strictEqual(quote.application, 'vantarel-demo');
  } finally {
    fs.rmSync(out, { recursive: true, force: true });
  }
});
