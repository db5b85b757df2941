'use strict';
// Installs a missing Debian package when run as root on a machine with
// apt-get; otherwise stops with the package to install.
const { has, run, fail } = require('./env');

const isRoot = process.getuid && process.getuid() === 0;
let aptUpdated = false;

// recommends: false leaves out what the package only recommends (qemu's
// would bring a desktop's worth of libraries).
function ensurePackage(pkg, present, why, { optional = false, recommends = true } = {}) {
  if (present()) return;
  if (isRoot && has('apt-get')) {
    console.log(`vantarel set-up: installing ${pkg} (${why})`);
    if (!aptUpdated) {
      run('apt-get', ['update', '-qq']);
      aptUpdated = true;
    }
    const extra = recommends ? [] : ['--no-install-recommends'];
    if (run('apt-get', ['install', '-y', '-qq', ...extra, pkg],
      { env: { ...process.env, DEBIAN_FRONTEND: 'noninteractive' } }) && present()) {
      return;
    }
  }
  if (optional) return;
  fail(`${why} is missing: install the Debian package ${pkg}` +
    ` (sudo apt-get install ${pkg}).`);
}

module.exports = { ensurePackage };
