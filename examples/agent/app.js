'use strict';
// The monitored service: a few routes with different costs. It knows
// nothing of monitoring except two hooks: `onRequest(req, res)` when a
// request arrives and `onExitCall(req, type, ms, failed)` after each
// downstream call. `offload(task)` runs an invoice's pricing elsewhere (the
// worker pool) and answers a promise; without it the pricing runs here.
const crypto = require('crypto');
const http = require('http');
const { priceInvoice } = require('./invoice');

const ROUTES = [
  { id: 1, name: '/api/items/:id', pattern: /^\/api\/items\/(\d+)$/, handler: item },
  { id: 2, name: '/api/primes/:limit', pattern: /^\/api\/primes\/(\d+)$/, handler: primes },
  { id: 3, name: '/api/orders', pattern: /^\/api\/orders$/, handler: orders },
  { id: 4, name: '/api/quote/:sku', pattern: /^\/api\/quote\/([\w-]+)$/, handler: quote },
  { id: 5, name: '/api/invoice', pattern: /^\/api\/invoice$/, handler: invoice },
];

class OrderLine {
  constructor(sku, quantity, price) {
    this.sku = sku;
    this.quantity = quantity;
    this.price = price;
  }
}

class Order {
  constructor(id, customer, lines) {
    this.id = id;
    this.customer = customer;
    this.lines = lines;
    this.createdAt = new Date();
    this.total = lines.reduce((sum, l) => sum + l.quantity * l.price, 0);
  }
}

const SKUS = Array.from({ length: 1000 }, (_, i) => `sku-${i}`);

// Recent orders stay live, so the heap census finds them.
const RECENT_ORDERS = 1500;

function isPrime(n) {
  if (n < 2) return false;
  for (let d = 2; d * d <= n; d++) if (n % d === 0) return false;
  return true;
}

function countPrimes(limit) {
  let count = 0;
  for (let n = 2; n <= limit; n++) if (isPrime(n)) count++;
  return count;
}

function send(res, status, body) {
  const text = JSON.stringify(body);
  // Set one by one, so that the agent can read them back.
  res.statusCode = status;
  res.setHeader('content-type', 'application/json');
  res.setHeader('content-length', Buffer.byteLength(text));
  res.end(text);
}

function item(ctx, [id]) {
  send(ctx.res, 200, { id: Number(id), name: `item ${id}`, tags: ['demo', `t${id % 7}`] });
}

function primes(ctx, [limit]) {
  const n = Math.min(Number(limit), 200000);
  send(ctx.res, 200, { limit: n, primes: countPrimes(n) });
}

function orders(ctx) {
  const customer = ctx.query.get('customer') || 'anonymous';
  const count = Math.min(Number(ctx.query.get('lines')) || 10, 500);
  const lines = [];
  for (let i = 0; i < count; i++) {
    lines.push(new OrderLine(SKUS[(i * 7919) % SKUS.length], 1 + (i % 5), 1 + ((i * 37) % 100) / 4));
  }
  const order = new Order(++ctx.state.orderId, customer, lines);
  const recent = ctx.state.orders;
  recent.push(order);
  if (recent.length > RECENT_ORDERS) recent.splice(0, recent.length - RECENT_ORDERS);
  send(ctx.res, 201, { id: order.id, lines: lines.length, total: order.total.toFixed(2) });
}

function quote(ctx, [sku]) {
  const currency = ctx.query.get('currency') || 'EUR';
  let pending = 2;
  const answers = {};
  const done = (key, status, body) => {
    answers[key] = { status, body };
    if (--pending > 0) return;
    if (answers.price.status !== 200) {
      send(ctx.res, 502, { error: 'price service unavailable' });
    } else {
      ctx.state.priceList[sku] = answers.price.body.price;
      if (Date.now() - ctx.state.signedAt > RESIGN_EVERY_MS) signPriceList(ctx.state);
      send(ctx.res, 200, { sku, currency, ...answers.price.body, ...answers.stock.body });
    }
  };
  ctx.downstream(`/price/${sku}?currency=${currency}`, (s, b) => done('price', s, b));
  ctx.downstream(`/stock/${sku}`, (s, b) => done('stock', s, b));
}

// Now and then the quote route re-signs the price list it serves, on the
// event loop: the service's occasional slow path, a block of some 200 ms in
// a native call that the agent's loop watchdog finds.
const RESIGN_EVERY_MS = 6000;

function signPriceList(state) {
  state.signature = crypto.pbkdf2Sync(JSON.stringify(state.priceList), 'price-list', 600000,
    32, 'sha256').toString('hex');
  state.signedAt = Date.now();
}

function invoice(ctx) {
  const task = {
    invoice: ++ctx.state.invoiceId,
    customer: ctx.query.get('customer') || 'anonymous',
    lines: Math.min(Number(ctx.query.get('lines')) || 50, 2000),
  };
  ctx.offload(task).then((result) => send(ctx.res, 200, result),
    (err) => send(ctx.res, 503, { error: err.message }));
}

function createApp({ downstreamPort, onRequest = () => {}, onExitCall = () => {},
  offload = async (task) => priceInvoice(task) }) {
  const agent = new http.Agent({ keepAlive: true, maxSockets: 64 });
  const state = { orderId: 0, orders: [], invoiceId: 0, priceList: {}, signedAt: Date.now(),
    signature: '' };

  const server = http.createServer((req, res) => {
    onRequest(req, res);
    const url = new URL(req.url, 'http://127.0.0.1');
    const route = ROUTES.find((r) => r.pattern.test(url.pathname));
    req.route = route;
    const downstream = (path, cb) => {
      const start = process.hrtime.bigint();
      const finish = (status, body) => {
        onExitCall(req, 'HTTP', Number(process.hrtime.bigint() - start) / 1e6, status !== 200);
        cb(status, body);
      };
      const call = http.get({ host: '127.0.0.1', port: downstreamPort, path, agent }, (r) => {
        let text = '';
        r.setEncoding('utf8');
        r.on('data', (chunk) => (text += chunk));
        r.on('end', () => {
          let body = {};
          try {
            body = JSON.parse(text);
          } catch {
            // An unreadable answer counts as a failed call.
          }
          finish(r.statusCode, body);
        });
      });
      call.setTimeout(5000, () => call.destroy(new Error('downstream timed out')));
      call.on('error', () => finish(0, {}));
    };
    if (!route || req.method !== 'GET') {
      send(res, 404, { error: 'no such route' });
      return;
    }
    const ctx = { req, res, query: url.searchParams, state, downstream, offload };
    route.handler(ctx, url.pathname.match(route.pattern).slice(1));
  });
  server.keepAliveTimeout = 10000;

  return {
    server,
    state,
    listen: () => new Promise((resolve, reject) => {
      server.once('error', reject);
      server.listen(0, '127.0.0.1', () => resolve(server.address().port));
    }),
    close: () => new Promise((resolve) => {
      agent.destroy();
      server.close(() => resolve());
      server.closeAllConnections();
    }),
  };
}

module.exports = { createApp, ROUTES, Order, OrderLine };
