// The outside world of the monitored service, run as a child process so
// that its CPU is not the service's: a slow downstream service that fails
// some of its calls on purpose, and autocannon's clients at a fixed rate,
// all on 127.0.0.1.
//
// Messages: the child sends {type: 'ready', downstreamPort, priceFailureRate};
// the parent answers {type: 'start', port, durationMs, requests, rate,
// concurrency}; the child sends {type: 'progress', sent, simulated, failed} a few times a
// second and {type: 'done', sent, simulated, failed, elapsedMs}, then exits.
// `simulated` counts the answers that pass on a simulated failure of the
// price service; `failed` counts every other failure.
const http = require('http');
const autocannon = require('autocannon');

// Share of the price service's calls that fail on purpose.
const PRICE_FAILURE_RATE = 0.03;

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
        if (rand() < PRICE_FAILURE_RATE) answer(503, { error: 'busy' });
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

// autocannon at a fixed overall rate; it ends at the request cap or at the
// deadline, whichever comes first.
async function runLoad({ port, durationMs, requests, rate, concurrency }, report) {
  const rand = random(20240501);
  const counts = { sent: 0, simulated: 0, failed: 0 };
  let n = 0;
  const started = Date.now();
  const load = autocannon({
    url: `http://127.0.0.1:${port}`,
    amount: requests,
    connections: Math.min(concurrency, requests),
    overallRate: rate,
    timeout: 5,
    sampleInt: 250,
    requests: [{ setupRequest: (req) => ({ ...req, ...pickRequest(rand, ++n) }) }],
  });
  // The service answers 502 when its call to the price service failed,
  // which here happens only when that service simulates a failure.
  load.on('response', (client, statusCode) => {
    counts.sent++;
    if (statusCode === 502) counts.simulated++;
    else if (statusCode >= 500) counts.failed++;
  });
  // Timeouts and broken connections.
  load.on('reqError', () => {
    counts.sent++;
    counts.failed++;
  });
  const deadline = setTimeout(() => load.stop(), durationMs);
  const progress = setInterval(() => report({ type: 'progress', ...counts }), 250);
  try {
    await load;
  } finally {
    clearTimeout(deadline);
    clearInterval(progress);
  }
  return { ...counts, elapsedMs: Date.now() - started };
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
  process.send({ type: 'ready', downstreamPort: downstream.address().port,
    priceFailureRate: PRICE_FAILURE_RATE });
}

if (require.main === module) main();

module.exports = { runLoad, pickRequest, random };
