'use strict';
// The outside world of the monitored service, run as a child process so
// that its CPU is not the service's: a slow downstream service and a
// bounded set of clients, all on 127.0.0.1.
//
// Messages: the child sends {type: 'ready', downstreamPort}; the parent
// answers {type: 'start', port, durationMs, requests, rate, concurrency}; the
// child sends {type: 'progress', sent, failed} a few times a second and
// {type: 'done', sent, failed, elapsedMs}, then exits.
const http = require('http');

// A fixed seed keeps runs comparable.
function random(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

function startDownstream(rand) {
  const server = http.createServer((req, res) => {
    const url = new URL(req.url, 'http://127.0.0.1');
    const [, kind, sku] = url.pathname.split('/');
    const answer = (status, body) => {
      res.writeHead(status, { 'content-type': 'application/json' });
      res.end(JSON.stringify(body));
    };
    if (kind === 'price') {
      setTimeout(() => {
        if (rand() < 0.03) answer(503, { error: 'busy' });
        else answer(200, { price: (sku.length * 3.7).toFixed(2) });
      }, 10 + rand() * 25);
    } else if (kind === 'stock') {
      setTimeout(() => answer(200, { stock: Math.floor(rand() * 100) }), 5 + rand() * 15);
    } else {
      answer(404, {});
    }
  });
  return new Promise((resolve) => {
    server.listen(0, '127.0.0.1', () => resolve(server));
  });
}

// Weighted request mix; the paths match the service's routes.
function pickRequest(rand, n) {
  const r = rand();
  const user = `user${Math.floor(rand() * 40)}`;
  let path;
  if (r < 0.3) path = `/api/items/${Math.floor(rand() * 500)}`;
  else if (r < 0.4) path = `/api/invoice?customer=${user}&lines=${20 + Math.floor(rand() * 380)}`;
  else if (r < 0.55) path = `/api/primes/${30000 + Math.floor(rand() * 60000)}`;
  else if (r < 0.8) path = `/api/orders?customer=${user}&lines=${5 + Math.floor(rand() * 60)}`;
  else path = `/api/quote/sku-${Math.floor(rand() * 90)}?currency=${rand() < 0.7 ? 'EUR' : 'USD'}`;
  return {
    path,
    headers: {
      'user-agent': 'vantarel-demo-load/1.0',
      accept: 'application/json',
      authorization: `Basic ${Buffer.from(`${user}:secret`).toString('base64')}`,
      cookie: `sid=s${user.slice(4)}-${user.length}; theme=${rand() < 0.5 ? 'dark' : 'light'}`,
      'x-request-id': `req-${n}`,
    },
  };
}

async function runLoad({ port, durationMs, requests, rate, concurrency }, report) {
  const rand = random(20240501);
  const agent = new http.Agent({ keepAlive: true, maxSockets: concurrency });
  const started = Date.now();
  const deadline = started + durationMs;
  let sent = 0;
  let failed = 0;
  const once = (n) => new Promise((resolve) => {
    const { path, headers } = pickRequest(rand, n);
    const req = http.get({ host: '127.0.0.1', port, path, headers, agent }, (res) => {
      if (res.statusCode >= 500) failed++;
      res.resume();
      res.on('end', resolve);
      res.on('error', resolve);
    });
    req.setTimeout(5000, () => req.destroy(new Error('timed out')));
    req.on('error', () => {
      failed++;
      resolve();
    });
  });
  // Request n is not sent before started + n / rate: a steady offered load
  // rather than as fast as the service answers.
  const client = async () => {
    while (sent < requests) {
      const due = started + (1000 * sent) / rate;
      if (due >= deadline) break;
      if (due > Date.now()) await new Promise((resolve) => setTimeout(resolve, due - Date.now()));
      if (Date.now() >= deadline || sent >= requests) break;
      await once(++sent);
    }
  };
  const progress = setInterval(() => report({ type: 'progress', sent, failed }), 250);
  await Promise.all(Array.from({ length: concurrency }, client));
  clearInterval(progress);
  agent.destroy();
  return { sent, failed, elapsedMs: Date.now() - started };
}

async function main() {
  const downstream = await startDownstream(random(7));
  process.once('message', async (msg) => {
    if (msg.type !== 'start') return;
    const result = await runLoad(msg, (m) => process.send(m));
    process.send({ type: 'done', ...result }, () => {
      downstream.closeAllConnections();
      downstream.close(() => process.disconnect());
    });
  });
  // Without the parent there is nobody to serve.
  process.once('disconnect', () => process.exit(0));
  process.send({ type: 'ready', downstreamPort: downstream.address().port });
}

if (require.main === module) main();

module.exports = { runLoad, pickRequest, random };
