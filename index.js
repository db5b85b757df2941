'use strict';
// Loads the binary made for this platform, arch, libc and Node module
// version: a build from source in build/Release first, else the matching
// one of prebuilds/ (node-gyp-build's rules and file names).
const fs = require('fs');
const nodeGypBuild = require('node-gyp-build');

function resolveBinary() {
  try {
    return nodeGypBuild.resolve(__dirname);
  } catch (cause) {
    // node-gyp-build's rule: musl is told apart by Alpine's marker file.
    const libc = process.env.LIBC ||
      (fs.existsSync('/etc/alpine-release') ? 'musl' : 'glibc');
    throw new Error(
      `vantarel has no binary for ${process.platform}-${process.arch}, ${libc}, Node module ` +
      `version ${process.versions.modules} (Node ${process.version}): no prebuilt one ` +
      'matches and none was built from source.\n' +
      'To build it from source, install a C++ compiler, make, Python 3 and the Boost ' +
      'headers (Debian and Ubuntu: sudo apt-get install g++ make python3 libboost-dev), ' +
      `then run "npm rebuild vantarel --ignore-scripts=false" in your project.`,
      { cause });
  }
}

const binding = require(resolveBinary());
const { markAsUntransferable } = require('worker_threads');
const { createRecordTransaction } = require('./lib/record-transaction');

// The reader's control word belongs to this thread's analytics: sent to
// another thread, it would leave the reader reading nothing here.
markAsUntransferable(binding.analyticsControl.buffer);

// The functions, in the addon's table order; recordTransaction reads its
// object in script and hands it to the addon flat.
module.exports = {
  time: binding.time,
  cpuTime: binding.cpuTime,
  afterGC: binding.afterGC,
  startV8Profiler: binding.startV8Profiler,
  stopV8Profiler: binding.stopV8Profiler,
  getEventLoopInfo: binding.getEventLoopInfo,
  resetEventLoopInfo: binding.resetEventLoopInfo,
  getV8HeapSnapshot: binding.getV8HeapSnapshot,
  isObjectTrackingSupported: binding.isObjectTrackingSupported,
  initAnalytics: binding.initAnalytics,
  enableAnalytics: binding.enableAnalytics,
  recordTransaction: createRecordTransaction(binding.recordFlatTransaction,
    binding.analyticsControl),
  reportTransactions: binding.reportTransactions,
  startTrackingHeapObjects: binding.startTrackingHeapObjects,
  stopTrackingHeapObjects: binding.stopTrackingHeapObjects,
  takeHeapSnapshot: binding.takeHeapSnapshot,
  startHeapSampling: binding.startHeapSampling,
  getHeapSamples: binding.getHeapSamples,
  getHeapSamplesPprof: binding.getHeapSamplesPprof,
  stopHeapSampling: binding.stopHeapSampling,
  stopV8ProfilerPprof: binding.stopV8ProfilerPprof,
  startLoopWatchdog: binding.startLoopWatchdog,
  stopLoopWatchdog: binding.stopLoopWatchdog,
};
