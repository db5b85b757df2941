'use strict';
// The service under load: a small node:http JSON API on 127.0.0.1 whose
// routes parse the URL and query, ask the downstream store three times and
// send a small JSON body. Run by service.bench.js through an IPC channel:
//   node server.js [--agent none|plain|objects|vantarel|vantarel-off]
// It sends { port } once listening; to "mark" it answers with its CPU time
// and the requests it has served so far; "exit" ends it.
const http = require('http');

const agent = process.argv[process.argv.indexOf('--agent') + 1] || 'none';
// Loaded before the service's own modules, as an agent's preload would be.
if (agent !== 'none') require('./agents').start(agent);

const store = require('./store');

async function cart(req, res, [id], query) {
  const row = await store.query(req, 'carts', id);
  if (!row) return send(res, 404, { error: 'no such cart', id });
  const first = await store.cached(req, row.items[0].sku);
  const rate = await store.rate(req, query.get('currency') || 'EUR');
  const total = row.items.reduce((sum, item) => sum + item.quantity * first.price, 0) * rate;
  send(res, 200, { id: row.id, owner: row.owner, items: row.items.length,
    total: total.toFixed(2), currency: query.get('currency') || 'EUR', step: Number(query.get('step')) || 1 });
}

async function product(req, res, [sku], query) {
  const row = await store.cached(req, sku);
  if (!row) return send(res, 404, { error: 'no such product', sku });
  const stock = await store.query(req, 'products', sku);
  const rate = await store.rate(req, query.get('currency') || 'EUR');
  send(res, 200, { sku: row.sku, name: row.name, price: (row.price * rate).toFixed(2), inStock: stock.stock > 0 });
}

async function orders(req, res, [id], query) {
  const user = await store.query(req, 'users', id);
  if (!user) return send(res, 404, { error: 'no such user', id });
  const row = await store.query(req, 'carts', id);
  const rate = await store.rate(req, query.get('currency') || 'EUR');
  const page = Number(query.get('page')) || 1;
  send(res, 200, { user: user.name, tier: user.tier, page, orders: [{ cart: row.id, items: row.items.length, rate }] });
}

const ROUTES = [
  { id: 1, name: '/api/cart/:id', pattern: /^\/api\/cart\/(\d+)$/, handler: cart },
  { id: 2, name: '/api/product/:sku', pattern: /^\/api\/product\/([\w-]+)$/, handler: product },
  { id: 3, name: '/api/user/:id/orders', pattern: /^\/api\/user\/(\d+)\/orders$/, handler: orders },
];

function send(res, status, body) {
  const text = JSON.stringify(body);
  res.statusCode = status;
  res.setHeader('content-type', 'application/json; charset=utf-8');
  res.setHeader('cache-control', 'no-store');
  res.setHeader('content-length', Buffer.byteLength(text));
  res.end(text);
}

// The longest collection pause of each second, whatever the agent: the
// engine's own figure, the same for every set-up.
const { PerformanceObserver } = require('perf_hooks');
const pauses = [];
let longestPause = 0;
let majors = 0;
new PerformanceObserver((list) => {
  for (const entry of list.getEntries()) {
    longestPause = Math.max(longestPause, entry.duration);
    if (entry.detail && entry.detail.kind === require('perf_hooks').constants.NODE_PERFORMANCE_GC_MAJOR) majors++;
  }
}).observe({ entryTypes: ['gc'] });
setInterval(() => {
  pauses.push(longestPause);
  longestPause = 0;
}, 1000).unref();

let served = 0;
function handle(req, res) {
  served++;
  const url = new URL(req.url, 'http://127.0.0.1');
  for (const route of ROUTES) {
    const match = route.pattern.exec(url.pathname);
    if (match) {
      // Where agents and middleware find the route, as in most frameworks.
      req.route = route;
      route.handler(req, res, match.slice(1), url.searchParams).catch((err) => send(res, 500, { error: String(err) }));
      return;
    }
  }
  send(res, 404, { error: 'no such route' });
}

const server = http.createServer({ keepAliveTimeout: 30000 }, handle);
server.listen(0, '127.0.0.1', () => process.send({ port: server.address().port }));

process.on('message', (msg) => {
  if (msg === 'mark') {
    const { user, system } = process.cpuUsage();
    process.send({ cpuUs: user + system, served, ns: Number(process.hrtime.bigint()),
      agent: agent === 'none' ? null : require('./agents').stats(),
      memory: process.memoryUsage(), pauses, majors });
  } else if (msg === 'exit') {
    process.exit(0);
  }
});
