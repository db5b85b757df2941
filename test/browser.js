'use strict';
// Headless Chromium for the page tests: Debian's chromium package, driven by
// playwright-core, which downloads no browser of its own.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { chromium } = require('playwright-core');

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

// A browser in a fresh profile folder, removed again by close(); `options`
// are playwright's context options. The background-networking flags keep
// Chromium from dialling out, which this machine refuses.
async function launchBrowser(options = {}) {
  // The sanitizer run preloads its runtime into node; Chromium is not ours
  // to check and does not start with it.
  const env = { ...process.env };
  delete env.LD_PRELOAD;
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'vantarel-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    ...options,
    executablePath: CHROMIUM,
    headless: true,
    env,
    chromiumSandbox: false,
    args: ['--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-dev-shm-usage'],
  });
  return {
    context,
    async close() {
      await context.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

module.exports = { ensureChromium, launchBrowser, CHROMIUM };
