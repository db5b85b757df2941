'use strict';
// The engine's profiling machinery's share of a service's CPU, from `perf
// record` attached to the service under load: the sampling signal and its
// stack walk, the sampling thread's work, code map lookups and profile
// trees. Direct cost only (what the profiler's own code runs), but steady
// where comparing two services' CPU per request is not: on a shared 2-core
// host, rounds of the same set-up differ by tens of percent.
const { spawn, spawnSync } = require('child_process');

const MACHINERY = new RegExp([
  'SignalHandler', 'SamplingEventsProcessor', 'ProfilerEventsProcessor', 'CpuSampler',
  'TickSample', 'ProfileTree', 'ProfileNode', 'CpuProfile', 'CodeMap', 'InstructionStreamMap',
  'ProfilerCodeObserver', 'ProfilerListener', 'sampler::', 'StackFrameIteratorForProfiler',
  'CodeEntry', 'StringsStorage', 'WeakCodeRegistry', 'Symbolizer', 'ProfilesCollection',
  '__pthread_kill', 'pthread_cond_signal', '__restore_rt', 'signal_setup_done', 'handle_signal',
  'get_signal', 'send_signal', 'do_send_sig', 'sigreturn',
].join('|'));

function perfMissing() {
  const r = spawnSync('perf', ['--version'], { encoding: 'utf8' });
  return Boolean(r.error) || r.status !== 0;
}

// Records pid for seconds while load runs; answers the machinery's share of
// the samples in percent.
async function machineryShare(pid, seconds, runLoad, file) {
  const perf = spawn('perf', ['record', '-q', '-o', file, '-p', String(pid), '--', 'sleep', String(seconds)],
    { stdio: ['ignore', 'ignore', 'inherit'] });
  const done = new Promise((resolve) => perf.once('exit', resolve));
  await runLoad(seconds);
  await done;
  const r = spawnSync('perf', ['report', '-i', file, '--no-children', '--sort', 'symbol', '--stdio',
    '--percent-limit', '0.001'], { encoding: 'utf8', maxBuffer: 1 << 28 });
  if (r.status !== 0) throw new Error(`perf report failed: ${r.stderr}`);
  let share = 0;
  for (const line of r.stdout.split('\n')) {
    const m = /^\s+([\d.]+)%\s+\[.\]\s+(.*?)\s*$/.exec(line);
    if (m && MACHINERY.test(m[2])) share += Number(m[1]);
  }
  return share;
}

module.exports = { machineryShare, perfMissing };
