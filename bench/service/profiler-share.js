'use strict';
// The share of a service's CPU that a profiling feature's own code takes,
// from `perf record` attached to the service under load. For the CPU
// profiler: the sampling signal and its stack walk, the sampling thread's
// work, code map lookups and profile trees; for heap sampling, the
// engine's allocation observer and sample bookkeeping; for the loop
// watchdog, the CPU profiler's and the module's hook. Direct cost only
// (what that code runs), but steady where comparing two services' CPU per
// request is not: on a shared 2-core host, rounds of the same set-up
// differ by tens of percent.
const { spawn, spawnSync } = require('child_process');

const CPU_PROFILER = [
  'SignalHandler', 'SamplingEventsProcessor', 'ProfilerEventsProcessor', 'CpuSampler',
  'TickSample', 'ProfileTree', 'ProfileNode', 'CpuProfile', 'CodeMap', 'InstructionStreamMap',
  'ProfilerCodeObserver', 'ProfilerListener', 'sampler::', 'StackFrameIteratorForProfiler',
  'CodeEntry', 'StringsStorage', 'WeakCodeRegistry', 'Symbolizer', 'ProfilesCollection',
  '__pthread_kill', 'pthread_cond_signal', '__restore_rt', 'signal_setup_done', 'handle_signal',
  'get_signal', 'send_signal', 'do_send_sig', 'sigreturn',
];
const MACHINERY = {
  profile: new RegExp(CPU_PROFILER.join('|')),
  // The stack walks of a sample, beside the sampler's own bookkeeping.
  heap: /SamplingHeapProfiler|AllocationObserver|SampleObject|AllocationProfile|ScaleSample|StackFrameIterator|AllocationNode/,
  watch: new RegExp([...CPU_PROFILER, 'LoopWatchdog', 'uv_metrics_idle_time'].join('|')),
};

function perfMissing() {
  const r = spawnSync('perf', ['--version'], { encoding: 'utf8' });
  return Boolean(r.error) || r.status !== 0;
}

// Records pid for seconds while load runs; answers each feature's machinery
// share of the samples in percent.
async function machineryShare(pid, seconds, runLoad, file) {
  const perf = spawn('perf', ['record', '-q', '-o', file, '-p', String(pid), '--', 'sleep', String(seconds)],
    { stdio: ['ignore', 'ignore', 'inherit'] });
  const done = new Promise((resolve) => perf.once('exit', resolve));
  await runLoad(seconds);
  await done;
  const r = spawnSync('perf', ['report', '-i', file, '--no-children', '--sort', 'symbol', '--stdio',
    '--percent-limit', '0.001'], { encoding: 'utf8', maxBuffer: 1 << 28 });
  if (r.status !== 0) throw new Error(`perf report failed: ${r.stderr}`);
  const shares = Object.fromEntries(Object.keys(MACHINERY).map((key) => [key, 0]));
  for (const line of r.stdout.split('\n')) {
    const m = /^\s+([\d.]+)%\s+\[.\]\s+(.*?)\s*$/.exec(line);
    if (!m) continue;
    for (const [key, pattern] of Object.entries(MACHINERY)) {
      if (pattern.test(m[2])) shares[key] += Number(m[1]);
    }
  }
  return shares;
}

module.exports = { machineryShare, perfMissing };
