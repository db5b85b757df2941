// Compiled with tsc --noEmit: every function used as an agent would use it.
import * as vantarel from '../..';
import type { EventLoopInfo, HeapCensusEntry, Transaction } from '../..';

const t: number = vantarel.time() - vantarel.cpuTime();
const info: EventLoopInfo = vantarel.getEventLoopInfo();
const ticks: number = info[0] + info[1] + info[2] + info[3] + info[4];
vantarel.resetEventLoopInfo();

vantarel.afterGC((type, flags, usedHeapSize, pause) => {
  const kind: 'kGCTypeScavenge' | 'kGCTypeMarkSweepCompact' | 'kGCTypeAll' | 'Other' = type;
  const f: string = flags;
  const bytes: number = usedHeapSize;
  const us: number = pause;
  void [kind, f, bytes, us];
});

vantarel.startV8Profiler();
vantarel.startV8Profiler({ samplingInterval: 10000 });
vantarel.stopV8Profiler(
  (childCount, hitCount, name, url, line) => name === '' && childCount + hitCount + line > 0 && url,
  (retained, hitCount, name, url, line) => { void [retained, hitCount, name, url, line]; },
);

vantarel.getV8HeapSnapshot(['Customer', '"GET"'], (error, census) => {
  const entries: HeapCensusEntry[] = JSON.parse(census);
  const e: null = error;
  void [entries, e];
});
vantarel.getV8HeapSnapshot(null, () => {});

const pieces: string[] = [];
vantarel.takeHeapSnapshot((piece) => pieces.push(piece) > 0);
const supported: true = vantarel.isObjectTrackingSupported();
vantarel.startTrackingHeapObjects();
vantarel.stopTrackingHeapObjects();

vantarel.initAnalytics({ applicationId: 7, applicationName: 'storefront', tierId: 12,
  tierName: 'web', nodeId: 31, nodeName: 'web-1' }, (batch: string) => JSON.parse(batch));
vantarel.initAnalytics({ applicationName: 'storefront' }, (batch: Buffer) => batch.length,
  { asBuffer: true });
// @ts-expect-error a Buffer batch needs a report function that takes one
vantarel.initAnalytics({}, (batch: string) => batch.trim(), { asBuffer: true });
vantarel.enableAnalytics(true);
const tx: Transaction = {
  entryPoint: true,
  transactionTime: 154,
  transactionName: '/checkout',
  transactionId: 42,
  exitCalls: [{ exitCallType: 'HTTP', avgResponseTimeMillis: 35, numberOfCalls: 2, numberOfErrors: 0 }],
  httpData: { url: '/checkout?step=2', headers: { accept: '*/*' }, uriPathSegments: ['checkout'] },
  userData: { 'cart.items': 3 },
};
vantarel.recordTransaction(tx);
vantarel.reportTransactions();
vantarel.reportTransactions({ force: true });
// @ts-expect-error force is a boolean
vantarel.reportTransactions({ force: 1 });

vantarel.startHeapSampling();
vantarel.startHeapSampling({ samplingInterval: 32768, stackDepth: 32 });
vantarel.getHeapSamples(
  (childCount, selfBytes, name, url, line) => childCount + selfBytes + line > 0 && name + url,
  (retained, selfBytes, name, url, line, selfCount) => {
    void [retained, selfBytes, name, url, line, selfCount];
  },
);
const heapProfile: Buffer | undefined = vantarel.getHeapSamplesPprof();
vantarel.stopHeapSampling();
const cpuProfile: Buffer | undefined = vantarel.stopV8ProfilerPprof();
// @ts-expect-error the interval is a number of bytes
vantarel.startHeapSampling({ samplingInterval: '512k' });

vantarel.startLoopWatchdog({ threshold: 100 }, (blockedMs, frames) => {
  const where: string[] = frames.map((f) => `${f.functionName} ${f.scriptName}:${f.lineNumber}:${f.columnNumber}`);
  void [blockedMs + 1, where];
});
vantarel.stopLoopWatchdog();
// @ts-expect-error the threshold is required
vantarel.startLoopWatchdog({}, () => {});

// @ts-expect-error the listener must be a function
vantarel.afterGC(42);
// @ts-expect-error names are texts
vantarel.getV8HeapSnapshot([1, 2], () => {});

void [t, ticks, supported, heapProfile, cpuProfile];
