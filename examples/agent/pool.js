'use strict';
// The service's worker pool, main-thread side: a few worker threads that
// price invoices, each posting its own loop and GC readings here. A task
// goes to the live worker with the fewest tasks in flight.
const path = require('path');
const { Worker } = require('worker_threads');

const WORKER_FILE = path.join(__dirname, 'worker.js');

// How long a worker asked to close may take before it is terminated.
const CLOSE_GRACE_MS = 3000;

function startWorker(name) {
  const t = {
    name,
    worker: new Worker(WORKER_FILE),
    loaded: false,
    message: null,
    samples: [],
    gcs: [],
    blocks: [],
    hottest: [],
    pending: new Map(),
    closing: false,
    ended: null,
  };
  const failAll = (why) => {
    for (const { reject } of t.pending.values()) reject(new Error(`${name} ${why}`));
    t.pending.clear();
  };
  t.ready = new Promise((resolve) => {
    t.worker.on('message', (msg) => {
      if (msg.type === 'ready') {
        t.loaded = msg.loaded;
        t.message = msg.message;
        resolve();
      } else if (msg.type === 'reading') {
        t.samples.push({ atUs: msg.at, ...msg.loop });
        t.gcs.push(...msg.gcs);
      } else if (msg.type === 'block') {
        t.blocks.push(msg.block);
      } else if (msg.type === 'profile') {
        t.hottest = msg.hottest;
      } else if (msg.type === 'result' || msg.type === 'failed') {
        const task = t.pending.get(msg.id);
        t.pending.delete(msg.id);
        if (msg.type === 'result') task.resolve(msg.result);
        else task.reject(new Error(msg.message));
      }
    });
    t.worker.on('error', (err) => {
      t.ended = `failed: ${err.message}`;
      failAll('failed');
      resolve();
    });
    t.worker.on('exit', (code) => {
      t.ended = t.ended || (t.closing ? 'closed' : `exited with code ${code}`);
      failAll('ended');
      resolve();
    });
  });
  t.exited = new Promise((resolve) => t.worker.once('exit', resolve));
  return t;
}

function createPool({ size = 2 } = {}) {
  const threads = Array.from({ length: size }, (_, i) => startWorker(`worker ${i + 1}`));
  let nextId = 0;

  function run(task) {
    const live = threads.filter((t) => !t.ended);
    if (live.length === 0) return Promise.reject(new Error('no worker is running'));
    const t = live.reduce((a, b) => (b.pending.size < a.pending.size ? b : a));
    const id = ++nextId;
    return new Promise((resolve, reject) => {
      t.pending.set(id, { resolve, reject });
      t.worker.postMessage({ type: 'task', id, task });
    });
  }

  // Each worker ends its readings and its thread; one that does not end in
  // time is terminated.
  async function close() {
    await Promise.all(threads.map(async (t) => {
      if (t.ended) return;
      t.closing = true;
      t.worker.postMessage({ type: 'close' });
      let timer;
      const late = new Promise((resolve) => {
        timer = setTimeout(resolve, CLOSE_GRACE_MS, true);
      });
      if (await Promise.race([t.exited.then(() => false), late])) {
        t.ended = 'terminated';
        await t.worker.terminate();
      }
      clearTimeout(timer);
    }));
  }

  // The readings with their times as seconds on the agent's clock.
  const report = (since) => threads.map((t) => ({
    name: t.name,
    loaded: t.loaded,
    message: t.message,
    ended: t.ended,
    samples: t.samples.map(({ atUs, ...s }) => ({ at: since(atUs), ...s })),
    gcs: t.gcs.map((g) => ({ ...g, at: since(g.at) })),
    blocks: t.blocks.map((b) => ({ ...b, at: since(b.at) })),
    hottest: t.hottest,
  }));

  return {
    ready: Promise.all(threads.map((t) => t.ready)),
    threads,
    run,
    begin: () => threads.forEach((t) => t.ended || t.worker.postMessage({ type: 'begin' })),
    close,
    report,
  };
}

module.exports = { createPool };
