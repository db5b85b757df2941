// The ES module face of the package: the CommonJS exports object as the
// default export, and each of its functions as a named export.
import { createRequire } from 'node:module';

const vantarel = createRequire(import.meta.url)('./index.js');

export default vantarel;
export const {
  time,
  cpuTime,
  afterGC,
  startV8Profiler,
  stopV8Profiler,
  getEventLoopInfo,
  resetEventLoopInfo,
  getV8HeapSnapshot,
  isObjectTrackingSupported,
  initAnalytics,
  enableAnalytics,
  recordTransaction,
  reportTransactions,
  startTrackingHeapObjects,
  stopTrackingHeapObjects,
  takeHeapSnapshot,
  startHeapSampling,
  getHeapSamples,
  getHeapSamplesPprof,
  stopHeapSampling,
  stopV8ProfilerPprof,
  startLoopWatchdog,
  stopLoopWatchdog,
} = vantarel;
