'use strict';
// Headless Chromium for the page tests, driven over the DevTools protocol on
// a pipe (--remote-debugging-pipe), so no browser download, no WebSocket
// client and no port are needed.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawn, spawnSync } = require('child_process');

const CHROMIUM = '/usr/bin/chromium';

// Installs Debian's chromium when it is missing and we may; answers the
// reason when it cannot be had, or null when it is there.
function ensureChromium() {
  if (fs.existsSync(CHROMIUM)) return null;
  const root = process.getuid && process.getuid() === 0;
  const hasApt = spawnSync('sh', ['-c', 'command -v apt-get'], { stdio: 'ignore' }).status === 0;
  if (!root || !hasApt) {
    return `${CHROMIUM} is missing; install it with "apt-get install chromium" (as root)`;
  }
  const env = { ...process.env, DEBIAN_FRONTEND: 'noninteractive' };
  const opts = { stdio: ['ignore', 'ignore', 'inherit'], env, timeout: 600000 };
  spawnSync('apt-get', ['update', '-qq'], opts);
  spawnSync('apt-get', ['install', '-y', '-qq', 'chromium'], opts);
  return fs.existsSync(CHROMIUM) ? null : 'apt-get could not install chromium';
}

// The sanitizer run preloads its runtime into node; Chromium is not ours to
// check and does not start with it.
function browserEnv() {
  const env = { ...process.env };
  delete env.LD_PRELOAD;
  return env;
}

class Browser {
  constructor() {
    this.profile = fs.mkdtempSync(path.join(os.tmpdir(), 'vantarel-chromium-'));
    this.proc = spawn(CHROMIUM, [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--disable-dev-shm-usage', '--hide-scrollbars', '--mute-audio',
      `--user-data-dir=${this.profile}`, '--remote-debugging-pipe', 'about:blank',
    ], { stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe'], env: browserEnv() });
    this.stderr = '';
    this.proc.stderr.on('data', (d) => (this.stderr = (this.stderr + d).slice(-4000)));
    this.nextId = 1;
    this.pending = new Map();
    this.listeners = [];
    let buffer = '';
    this.proc.stdio[4].on('data', (chunk) => {
      buffer += chunk.toString('utf8');
      let end;
      while ((end = buffer.indexOf('\0')) >= 0) {
        this.dispatch(JSON.parse(buffer.slice(0, end)));
        buffer = buffer.slice(end + 1);
      }
    });
    // A browser that dies makes its pipes fail; the exit below reports it.
    this.proc.stdio[3].on('error', () => {});
    this.proc.stdio[4].on('error', () => {});
    this.exited = new Promise((resolve) => {
      this.proc.once('exit', resolve);
      this.proc.once('error', (err) => {
        this.stderr += String(err);
        resolve();
      });
    });
    this.exited.then(() => {
      for (const { reject } of this.pending.values()) {
        reject(new Error(`chromium exited: ${this.stderr}`));
      }
      this.pending.clear();
    });
  }

  dispatch(msg) {
    if (msg.id !== undefined) {
      const call = this.pending.get(msg.id);
      this.pending.delete(msg.id);
      if (!call) return;
      if (msg.error) call.reject(new Error(`${call.method}: ${msg.error.message}`));
      else call.resolve(msg.result);
    } else {
      for (const fn of this.listeners) fn(msg);
    }
  }

  send(method, params = {}, sessionId) {
    if (this.proc.exitCode !== null || this.proc.signalCode !== null) {
      return Promise.reject(new Error(`chromium is gone: ${this.stderr}`));
    }
    const id = this.nextId++;
    const message = JSON.stringify({ id, method, params, ...(sessionId ? { sessionId } : {}) });
    return new Promise((resolve, reject) => {
      this.pending.set(id, { resolve, reject, method });
      this.proc.stdio[3].write(`${message}\0`);
    });
  }

  on(fn) {
    this.listeners.push(fn);
  }

  // A fresh page with a session attached; `call` sends on that session.
  async newPage() {
    const { targetId } = await this.send('Target.createTarget', { url: 'about:blank' });
    const { sessionId } = await this.send('Target.attachToTarget', { targetId, flatten: true });
    const page = {
      sessionId,
      call: (method, params) => this.send(method, params, sessionId),
      events: [],
      waiters: [],
    };
    this.on((msg) => {
      if (msg.sessionId !== sessionId) return;
      page.events.push(msg);
      const due = page.waiters.filter((w) => w.method === msg.method);
      page.waiters = page.waiters.filter((w) => w.method !== msg.method);
      for (const w of due) w.resolve(msg);
    });
    return page;
  }

  async close() {
    this.send('Browser.close').catch(() => {});
    const timer = setTimeout(() => this.proc.kill('SIGKILL'), 5000);
    await this.exited;
    clearTimeout(timer);
    fs.rmSync(this.profile, { recursive: true, force: true });
  }
}

// Resolves with the first event of that name on the page, or rejects.
function waitFor(page, method, ms = 15000) {
  const seen = page.events.find((e) => e.method === method);
  if (seen) return Promise.resolve(seen);
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no ${method} within ${ms} ms`)), ms);
    page.waiters.push({
      method,
      resolve: (e) => {
        clearTimeout(timer);
        resolve(e);
      },
    });
  });
}

module.exports = { ensureChromium, Browser, waitFor, CHROMIUM };
