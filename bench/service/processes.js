'use strict';
// The service and load processes of the service benchmark, each pinned to a
// core of its own with taskset when the host has it and two cores.
const os = require('os');
const path = require('path');
const { spawn, spawnSync } = require('child_process');

const SERVICE_CORE = 0;
const LOAD_CORE = 1;

const pinning = (() => {
  if (os.availableParallelism() < 2) return { ok: false, why: 'fewer than two cores' };
  const probe = spawnSync('taskset', ['-c', String(LOAD_CORE), 'true']);
  if (probe.error || probe.status !== 0) return { ok: false, why: 'taskset is missing or refused' };
  return { ok: true };
})();

function pinned(core, argv) {
  return pinning.ok ? ['taskset', '-c', String(core), ...argv] : argv;
}

// The next IPC message of a child, or a rejection when it ends first.
function nextMessage(child, what) {
  return new Promise((resolve, reject) => {
    const onExit = (code, signal) => {
      child.off('message', onMessage);
      reject(new Error(`the ${what} process ended (${signal || code})`));
    };
    const onMessage = (msg) => {
      child.off('exit', onExit);
      if (msg && msg.error) reject(new Error(`${what}: ${msg.error}`));
      else resolve(msg);
    };
    child.once('message', onMessage);
    child.once('exit', onExit);
  });
}

function launch(argv, what) {
  const child = spawn(argv[0], argv.slice(1), { stdio: ['ignore', 'inherit', 'inherit', 'ipc'] });
  const first = nextMessage(child, what);
  child.on('error', () => {});
  return { child, first };
}

// A service with one agent (or none); nodeFlags go to its node.
async function startService(agent, { nodeFlags = [] } = {}) {
  const server = path.join(__dirname, 'server.js');
  const { child, first } = launch(pinned(SERVICE_CORE,
    [process.execPath, ...nodeFlags, server, '--agent', agent]), `service (${agent})`);
  const { port } = await first;
  return {
    agent,
    port,
    pid: child.pid,
    // The service's CPU time in microseconds and the requests it has served.
    mark() {
      const answer = nextMessage(child, `service (${agent})`);
      child.send('mark');
      return answer;
    },
    stop() {
      return new Promise((resolve) => {
        if (child.exitCode !== null || child.signalCode !== null) return resolve();
        child.once('exit', () => resolve());
        child.send('exit');
      });
    },
  };
}

async function startLoad() {
  const { child, first } = launch(pinned(LOAD_CORE,
    [process.execPath, path.join(__dirname, 'load.js')]), 'load');
  await first;
  return {
    run(port, seconds, connections, rate) {
      const answer = nextMessage(child, 'load');
      child.send({ port, seconds, connections, rate });
      return answer;
    },
    stop() {
      child.disconnect();
    },
  };
}

// One measured window of a warm service: an unmeasured lead-in, then the
// window, with the service's marks before and after it.
async function measureWindow(service, load, { leadIn, seconds, connections }) {
  await load.run(service.port, leadIn, connections);
  const before = await service.mark();
  const run = await load.run(service.port, seconds, connections);
  const after = await service.mark();
  if (run.failed) throw new Error(`${run.failed} requests failed under ${service.agent}`);
  return { before, after, run };
}

module.exports = { startService, startLoad, measureWindow, pinning, SERVICE_CORE, LOAD_CORE };
