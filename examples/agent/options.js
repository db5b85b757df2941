'use strict';
// Command-line options of the demo agent.

const USAGE = `Usage: node examples/agent.js [options]

Starts a small HTTP service on 127.0.0.1 with a pool of two worker threads,
drives a bounded load at it from a second process and watches it with
vantarel: event-loop ticks and GC pauses of every thread, CPU use,
transaction analytics, a CPU profile and the heap. Then writes a report
folder and exits.

Options:
  --out DIR          report folder (default ./vantarel-report)
  --duration SEC     how long the load runs, 1 to 120 seconds (default 20)
  --rate N           requests per second offered, 1 to 20000 (default 1200)
  --requests N       stop the load after N requests (default 100000)
  --concurrency N    parallel client connections, 1 to 256 (default 24)
  --keep-internals   keep Node's own frames in the CPU profile walk
  --quiet            print only the closing summary
  -h, --help         show this text

Writes DIR/index.html (the page), DIR/profile.cpuprofile (opens in Chrome
DevTools), DIR/heap.heapsnapshot (the full heap snapshot) and
DIR/transactions.json (the analytics batches, as delivered).`;

const DEFAULTS = {
  out: 'vantarel-report',
  duration: 20,
  rate: 1200,
  requests: 100000,
  concurrency: 24,
  keepInternals: false,
  quiet: false,
  help: false,
};

const NUMERIC = {
  '--duration': ['duration', 1, 120],
  '--rate': ['rate', 1, 20000],
  '--requests': ['requests', 1, 1e7],
  '--concurrency': ['concurrency', 1, 256],
};

class UsageError extends Error {}

// Accepts "--name value" and "--name=value".
function parseOptions(argv) {
  const options = { ...DEFAULTS };
  for (let i = 0; i < argv.length; i++) {
    let arg = argv[i];
    let inline;
    const eq = arg.indexOf('=');
    if (arg.startsWith('--') && eq > 0) {
      inline = arg.slice(eq + 1);
      arg = arg.slice(0, eq);
    }
    const value = () => {
      if (inline !== undefined) return inline;
      if (i + 1 >= argv.length) throw new UsageError(`${arg} needs a value`);
      return argv[++i];
    };
    if (arg === '-h' || arg === '--help') options.help = true;
    else if (arg === '--quiet') options.quiet = true;
    else if (arg === '--keep-internals') options.keepInternals = true;
    else if (arg === '--out') {
      options.out = value();
      if (options.out === '') throw new UsageError('--out needs a folder name');
    } else if (NUMERIC[arg]) {
      const [key, min, max] = NUMERIC[arg];
      const text = value();
      const n = Number(text);
      if (text.trim() === '' || !Number.isFinite(n) || n < min || n > max) {
        throw new UsageError(`${arg} takes a number from ${min} to ${max}, not "${text}"`);
      }
      options[key] = key === 'duration' ? n : Math.floor(n);
    } else {
      throw new UsageError(`unknown option "${argv[i]}"`);
    }
  }
  return options;
}

module.exports = { parseOptions, UsageError, USAGE };
