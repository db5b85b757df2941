'use strict';
// The load on the service: autocannon in a process of its own, driven by
// service.bench.js over IPC. For each { port, seconds, connections, rate } it
// runs against 127.0.0.1, a closed loop or at most rate requests a second,
// and answers with the figures of that run.
const autocannon = require('autocannon');

// Browser-like requests over the service's three routes.
const HEADERS = {
  'user-agent': 'Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36',
  accept: 'application/json, text/plain, */*',
  'accept-language': 'de-DE,de;q=0.9,en;q=0.8',
  'accept-encoding': 'gzip, deflate, br',
  cookie: 'sid=sess-19a7c0; locale=de_DE',
  'x-request-id': 'c0ffee-1234',
};
const REQUESTS = [
  { path: '/api/cart/12?currency=EUR&step=2' },
  { path: '/api/product/sku-42?currency=USD' },
  { path: '/api/user/7/orders?page=2&currency=GBP' },
  { path: '/api/cart/815?currency=GBP&step=1' },
  { path: '/api/product/sku-977?currency=EUR' },
  { path: '/api/user/330/orders?page=1&currency=EUR' },
];

process.on('message', async ({ port, seconds, connections, rate }) => {
  try {
    const cpu = process.cpuUsage();
    const result = await autocannon({
      url: `http://127.0.0.1:${port}`,
      connections,
      duration: seconds,
      headers: HEADERS,
      requests: REQUESTS,
      ...(rate ? { overallRate: rate } : {}),
    });
    process.send({
      requests: result.requests.total,
      seconds: result.duration,
      p99: result.latency.p99,
      failed: result.errors + result.timeouts + result.non2xx,
      // Near 1, the load rather than the service sets the pace.
      busy: ((c) => (c.user + c.system) / 1e6 / result.duration)(process.cpuUsage(cpu)),
    });
  } catch (err) {
    process.send({ error: String(err && err.stack || err) });
  }
});
process.send({ ready: true });
