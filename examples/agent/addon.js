'use strict';
// The agent needs every one of the module's functions.

const FUNCTIONS = ['time', 'cpuTime', 'afterGC', 'startV8Profiler', 'stopV8Profiler',
  'getEventLoopInfo', 'resetEventLoopInfo', 'getV8HeapSnapshot', 'isObjectTrackingSupported',
  'initAnalytics', 'enableAnalytics', 'recordTransaction', 'reportTransactions',
  'startTrackingHeapObjects', 'stopTrackingHeapObjects', 'takeHeapSnapshot',
  'startHeapSampling', 'getHeapSamples', 'getHeapSamplesPprof', 'stopHeapSampling',
  'stopV8ProfilerPprof', 'startLoopWatchdog', 'stopLoopWatchdog'];

const missingFunctions = (vantarel) => FUNCTIONS.filter((name) => typeof vantarel[name] !== 'function');

function loadAddon() {
  const vantarel = require('../..');
  const missing = missingFunctions(vantarel);
  if (missing.length) {
    throw new Error(`this build of vantarel lacks ${missing.join(', ')}; rebuild it ` +
      'with "npm run build"');
  }
  return vantarel;
}

module.exports = { loadAddon, missingFunctions, FUNCTIONS };
