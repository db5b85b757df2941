// Type definitions for vantarel. One file serves require() and import: the
// ES module's named exports are these functions and its default export is
// the whole exports object, as TypeScript reads a CommonJS declaration file.

/** Kind of collection as reported to an {@link afterGC} listener. */
export type GCType = 'kGCTypeScavenge' | 'kGCTypeMarkSweepCompact' | 'kGCTypeAll' | 'Other';

/** Callback flags of a collection as reported to an {@link afterGC} listener. */
export type GCFlags = 'kNoGCCallbackFlags' | 'kGCCallbackFlagCompacted' | 'Other';

/**
 * Event-loop counters since the module loaded or since the last reset:
 * 0 iterations, 1 smallest tick (ms, 0 = none yet), 2 largest tick (ms),
 * 3 summed ticks (ms), 4 summed I/O share of the ticks (ms).
 * A plain object, not an array.
 */
export interface EventLoopInfo {
  0: number;
  1: number;
  2: number;
  3: number;
  4: number;
}

/**
 * Called after every garbage collection of the calling thread's heap, in a
 * later turn of that thread's event loop.
 * @param type kind of collection
 * @param flags callback flags of the collection
 * @param usedHeapSize bytes of the engine heap in use after the collection
 * @param pause whole microseconds the collection paused the thread, from
 *   the engine's GC prologue to its epilogue on that thread
 */
export type GCListener = (type: GCType, flags: GCFlags, usedHeapSize: number,
  pause: number) => void;

/**
 * Decides for one node of the profile tree whether it is dissolved (truthy:
 * not visited, its children are screened in its place) or retained (falsy).
 * @param childCount the node's number of children in the profile tree
 */
export type ProfileFilter = (
  childCount: number,
  hitCount: number,
  functionName: string,
  scriptResourceName: string,
  lineNumber: number,
) => unknown;

/**
 * Receives the retained nodes in breadth-first order, the root first.
 * @param retainedChildCount how many of the following visits are this node's
 *   retained children
 */
export type ProfileVisitor = (
  retainedChildCount: number,
  hitCount: number,
  functionName: string,
  scriptResourceName: string,
  lineNumber: number,
) => void;

/** One entry of the heap census text (`JSON.parse` of it gives an array). */
export interface HeapCensusEntry {
  /** "\"text\"" for strings, "/source/" for regular expressions, else the constructor name. */
  name: string;
  /** Summed shallow size in bytes. */
  size: number;
  /** Number of heap nodes. */
  count: number;
  /** "CUSTOM" for a requested name, "SYSTEM" for the most numerous others. */
  type: 'CUSTOM' | 'SYSTEM';
}

/**
 * Receives the census as compact JSON text: requested names first, then the
 * twenty most numerous other names.
 */
export type HeapCensusCallback = (error: null, census: string) => void;

/**
 * Receives one piece (at most 16384 bytes) of the heap snapshot's JSON text.
 * Return a truthy value to get the next piece; anything else stops the stream.
 */
export type SnapshotPieceCallback = (piece: string) => unknown;

/** Identity stamped on every analytics event. Each value is read as text. */
export interface AnalyticsConfig {
  applicationId?: unknown;
  applicationName?: unknown;
  tierId?: unknown;
  tierName?: unknown;
  nodeId?: unknown;
  nodeName?: unknown;
}

/** Receives a due batch: one JSON array text of event documents. */
export type AnalyticsReport = (batch: string) => void;

/** Receives a due batch as the bytes of that text (ASCII). */
export type AnalyticsBufferReport = (batch: Buffer) => void;

/** Options of {@link initAnalytics}. */
export interface AnalyticsOptions {
  /**
   * Hand each batch to the report function as a `Buffer` holding exactly the
   * bytes of the string form. Its memory goes back to the module when the
   * engine frees the Buffer, which a scavenge can do soon after script
   * drops it; a string waits for a full collection.
   */
  asBuffer?: boolean;
}

/** A string map; each key and value is read as text. Keys with dots nest. */
export type TextMap = Record<string, unknown> | unknown[];

/** Downstream calls of one type. Counts are read as unsigned 32-bit numbers. */
export interface ExitCall {
  exitCallType?: unknown;
  avgResponseTimeMillis?: number | string;
  numberOfCalls?: number | string;
  numberOfErrors?: number | string;
}

/** The HTTP request the transaction served. */
export interface HttpData {
  url?: unknown;
  principal?: unknown;
  sessionId?: unknown;
  sessionObjects?: TextMap;
  uriPathSegments?: TextMap;
  parameters?: TextMap;
  headers?: TextMap;
  cookies?: TextMap;
}

/**
 * One finished business transaction. Every property is optional: an absent
 * text becomes "undefined", an absent count 0, an absent flag false.
 */
export interface Transaction {
  entryPoint?: unknown;
  /** Read as a signed 32-bit number. */
  transactionTime?: number | string;
  requestExperience?: unknown;
  clientRequestGUID?: unknown;
  transactionName?: unknown;
  /** Read as a signed 32-bit number. */
  transactionId?: number | string;
  requestGUID?: unknown;
  eventTimestamp?: unknown;
  exitCalls?: ExitCall[];
  httpData?: HttpData;
  userData?: TextMap;
}

/** Wall-clock time in microseconds since the Unix epoch. */
export function time(): number;

/** User plus system CPU time of the whole process (every thread), in microseconds. */
export function cpuTime(): number;

/** Registers the calling thread's one listener, notified after each of its collections. */
export function afterGC(listener: GCListener): void;

/** Options of {@link startV8Profiler}. */
export interface ProfilerOptions {
  /**
   * Microseconds between samples, a positive integer; the engine rounds it
   * up to a multiple of its own interval (1000 unless Node was started with
   * `--cpu-profiler-sampling-interval`), which applies without it. 10000
   * takes about 100 samples a second.
   */
  samplingInterval?: number;
}

/**
 * Starts a CPU profile. Once one has run, the profiler is kept for profiles
 * that follow, so that they start at once.
 * @throws TypeError when options is not an object, or samplingInterval is
 *   not a positive integer; no profile is started then
 */
export function startV8Profiler(options?: ProfilerOptions): void;

/** Stops the CPU profile and walks its call tree; without two functions it only discards it. */
export function stopV8Profiler(filter: ProfileFilter, visitor: ProfileVisitor): void;

/** Returns the event-loop counters. */
export function getEventLoopInfo(): EventLoopInfo;

/** Sets the event-loop counters to zero. */
export function resetEventLoopInfo(): void;

/**
 * Takes a heap snapshot and calls `callback` once, before returning, with its
 * census. `names` (key form) are listed first as "CUSTOM" entries.
 */
export function getV8HeapSnapshot(names: readonly string[] | null | undefined,
  callback: HeapCensusCallback): void;

/** Always true: heap-object tracking is available. */
export function isObjectTrackingSupported(): true;

/**
 * Sets up analytics: the identity of every event and the function that
 * receives due batches. Replaces any earlier set-up and its pending events.
 * @throws TypeError when `config` is undefined or null, when `options` is
 *   neither undefined nor an object, or when its `asBuffer` is neither
 *   undefined nor a boolean (nothing is set up then)
 */
export function initAnalytics(config: AnalyticsConfig, report: AnalyticsReport,
  options?: AnalyticsOptions & { asBuffer?: false }): void;
export function initAnalytics(config: AnalyticsConfig, report: AnalyticsBufferReport,
  options: AnalyticsOptions & { asBuffer: true }): void;

/** Collection on (only for the boolean true) or off. */
export function enableAnalytics(enabled: boolean): void;

/** Turns one finished transaction into an event document and keeps it. */
export function recordTransaction(transaction: Transaction): void;

/** Options of {@link reportTransactions}. */
export interface ReportOptions {
  /**
   * Deliver every pending event now, whether or not a report is due (while
   * collection is on and something is pending); it counts as a report for
   * the 30-second rule. For a flush before the process or worker ends.
   */
  force?: boolean;
}

/**
 * Delivers the pending events when more than 30 seconds passed since the last
 * report or more than 10000 wait, or at once with `{ force: true }`.
 * @throws TypeError when `options` is neither undefined nor an object, when
 *   its `force` is neither undefined nor a boolean, or when a batch is due and
 *   the report function is not a function
 */
export function reportTransactions(options?: ReportOptions): void;

/**
 * Switches heap-object tracking on. No allocation stack traces are recorded:
 * recording them lets the engine crash the process during deoptimizations.
 */
export function startTrackingHeapObjects(): void;

/** Switches heap-object tracking off. */
export function stopTrackingHeapObjects(): void;

/** Takes a heap snapshot and streams its JSON text to `piece` until it answers falsy. */
export function takeHeapSnapshot(piece?: SnapshotPieceCallback): void;

/** Options of {@link startHeapSampling}. */
export interface HeapSamplingOptions {
  /**
   * Mean bytes allocated between samples, a positive integer; 524288 (the
   * rate of continuous profilers) when absent.
   */
  samplingInterval?: number;
  /** Frames kept of each sample's stack, a positive integer; 64 when absent. */
  stackDepth?: number;
}

/**
 * Starts the engine's sampling heap profiler on the calling thread, or
 * starts it again with new options.
 * @throws TypeError when options is not an object or an option is not a
 *   positive integer (nothing starts then); Error when another client of the
 *   engine (such as the inspector) already samples the heap
 */
export function startHeapSampling(options?: HeapSamplingOptions): void;

/**
 * As {@link ProfileFilter}, for a node of the live sampled allocations.
 * @param selfBytes the engine's estimate, for the whole heap, of the bytes
 *   that the node's own allocations hold
 */
export type HeapSampleFilter = (
  childCount: number,
  selfBytes: number,
  functionName: string,
  scriptResourceName: string,
  lineNumber: number,
) => unknown;

/**
 * As {@link ProfileVisitor}, for a node of the live sampled allocations.
 * @param selfCount the engine's estimate of the number of objects behind
 *   `selfBytes`
 */
export type HeapSampleVisitor = (
  retainedChildCount: number,
  selfBytes: number,
  functionName: string,
  scriptResourceName: string,
  lineNumber: number,
  selfCount: number,
) => void;

/**
 * Walks the live sampled allocations as a call tree, as
 * {@link stopV8Profiler} walks a CPU profile; sampling goes on. Does
 * nothing while the heap is not sampled or without two functions.
 */
export function getHeapSamples(filter: HeapSampleFilter, visitor: HeapSampleVisitor): void;

/**
 * The live sampled allocations as an uncompressed pprof message
 * (profile.proto): sample types objects/count and space/bytes, one sample
 * per allocation site. Undefined while the heap is not sampled.
 */
export function getHeapSamplesPprof(): Buffer | undefined;

/** Stops the sampling heap profiler of the calling thread. */
export function stopHeapSampling(): void;

/**
 * Stops the CPU profile and returns it as an uncompressed pprof message
 * (profile.proto): sample types samples/count and wall/nanoseconds.
 * Undefined when no profile runs. The profiler is kept as after
 * {@link stopV8Profiler}.
 */
export function stopV8ProfilerPprof(): Buffer | undefined;

/** One frame of the stack that blocked the loop. */
export interface BlockFrame {
  /** "" for an anonymous function. */
  functionName: string;
  /** The script's name or URL; "" for the engine's and Node's native code. */
  scriptName: string;
  /** Where the function starts, 1-based; 0 when unknown. */
  lineNumber: number;
  columnNumber: number;
}

/**
 * Called on the blocked thread's loop once per block, after it ended.
 * @param blockedMs how long the loop could not come around, in milliseconds
 * @param frames the stack that stood for most of the block, innermost
 *   first; empty when no sample of it named code (a block not much longer
 *   than the sampling interval, or the engine's own work only)
 */
export type BlockListener = (blockedMs: number, frames: BlockFrame[]) => void;

/** Options of {@link startLoopWatchdog}. */
export interface LoopWatchdogOptions {
  /** Milliseconds a loop iteration must take to count as a block, a positive integer. */
  threshold: number;
}

/**
 * Watches the calling thread's event loop: when an iteration keeps it from
 * coming around for `threshold` ms or longer, the stack of what blocked it,
 * taken while it blocked, goes to `listener` after the block. Replaces an
 * earlier watch of the thread.
 * @throws TypeError when options is not an object, threshold is not a
 *   positive integer or listener is not a function (nothing changes then)
 */
export function startLoopWatchdog(options: LoopWatchdogOptions, listener: BlockListener): void;

/** Stops watching the calling thread's loop: no call comes after it. */
export function stopLoopWatchdog(): void;
