'use strict';
// The README's agent, flushing on SIGTERM: a process stopped that way hands
// over every event it recorded, and still ends by the signal.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { root } = require('./common');

const readme = fs.readFileSync(path.join(root, 'README.md'), 'utf8');
const agent = [...readme.matchAll(/```js\n([\s\S]*?)```/g)].map((m) => m[1])
  .find((source) => source.includes("'SIGTERM'"));

const REQUESTS = 5;

// A service watched by the agent answers a few requests, then waits to be
// stopped. "ready" follows the agent's own handler of the last response.
const service = `
const http = require('node:http');
let finished = 0;
dc.subscribe('http.server.response.finish', () => {
  if (++finished === ${REQUESTS}) console.log('ready');
});
const server = http.createServer((req, res) => {
  res.statusCode = req.url === '/fail' ? 500 : 200;
  res.end();
});
server.listen(0, '127.0.0.1', () => {
  for (let i = 0; i < ${REQUESTS}; i++) {
    const url = \`http://127.0.0.1:\${server.address().port}/\${i ? 'item?id=' + i : 'fail'}\`;
    http.get(url, { agent: false }, (res) => res.resume());
  }
});
`;

test('on SIGTERM the README agent hands over every event it recorded', { timeout: 20000 },
  async () => {
    assert.ok(agent, 'the README has an agent that flushes on SIGTERM');
    const child = spawn(process.execPath, ['-e', agent + service], { cwd: root });
    let stdout = '';
    let stderr = '';
    child.stderr.on('data', (d) => (stderr += d));
    const ended = new Promise((resolve) => {
      child.on('close', (code, signal) => resolve({ code, signal }));
    });
    let stopped = false;
    child.stdout.on('data', (d) => {
      stdout += d;
      if (!stopped && stdout.includes('ready\n')) stopped = child.kill('SIGTERM');
    });
    const { code, signal } = await ended;
    assert.deepStrictEqual({ code, signal }, { code: null, signal: 'SIGTERM' }, stderr);
    assert.deepStrictEqual(stdout.trim().split('\n'), ['ready', `${REQUESTS} events`]);
  });
