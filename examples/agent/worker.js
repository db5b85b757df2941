'use strict';
// One thread of the service's worker pool. It prices invoices for the main
// thread and watches itself through its own vantarel state: its loop
// counters, read and reset each second, its collections with their pauses,
// the blocks of its loop with their stacks, and a CPU profile of its work,
// posted to the main thread. Where vantarel cannot be loaded in a worker it
// still does its work and says why it cannot watch.
const { parentPort } = require('worker_threads');
const { loadAddon } = require('./addon');
const { priceInvoice } = require('./invoice');
const { loopReading, gcEntry, BLOCK_THRESHOLD_MS, blockEntry } = require('./monitor');
const { recordWalk, hottest } = require('./profile');

let vantarel = null;
let failure = null;
try {
  vantarel = loadAddon();
} catch (err) {
  failure = err.message;
}

// Readings run from the main thread's "begin" to its "close".
let ticker = null;
let gcs = [];

function postReading(last) {
  parentPort.postMessage({ type: 'reading', at: vantarel.time(), loop: loopReading(vantarel),
    gcs, last });
  gcs = [];
}

if (vantarel) {
  vantarel.afterGC((type, flags, usedHeapSize, pause) => {
    if (ticker) gcs.push(gcEntry(vantarel.time(), type, flags, usedHeapSize, pause));
  });
}

parentPort.on('message', (msg) => {
  if (msg.type === 'task') {
    try {
      parentPort.postMessage({ type: 'result', id: msg.id, result: priceInvoice(msg.task) });
    } catch (err) {
      parentPort.postMessage({ type: 'failed', id: msg.id, message: err.message });
    }
  } else if (msg.type === 'begin' && vantarel) {
    vantarel.resetEventLoopInfo();
    gcs = [];
    clearInterval(ticker);
    ticker = setInterval(() => postReading(false), 1000);
    vantarel.startLoopWatchdog({ threshold: BLOCK_THRESHOLD_MS }, (ms, frames) => {
      parentPort.postMessage({ type: 'block', block: blockEntry(vantarel.time(), ms, frames) });
    });
    vantarel.startV8Profiler({ samplingInterval: 1000 });
  } else if (msg.type === 'close') {
    clearInterval(ticker);
    if (ticker) {
      postReading(true);
      vantarel.stopLoopWatchdog();
      parentPort.postMessage({ type: 'profile', hottest: hottest(recordWalk(vantarel.stopV8Profiler)) });
    }
    ticker = null;
    // With the port closed nothing holds the thread: it ends on its own.
    parentPort.close();
  }
});

parentPort.postMessage({ type: 'ready', loaded: vantarel !== null, message: failure });
