'use strict';
// Runs the engine-free C++ unit tests and the analytics stress (both batch
// forms) under Debian 12's kernel, 6.1, in an emulated machine. The text
// blocks remap their pages, and what mremap accepts differs between kernel
// versions: this shows the code on the oldest kernel a service runs it on.
// The kernel comes from Debian's package, downloaded and unpacked under
// build-kernel/ (which node-gyp's rebuild leaves alone), never installed;
// the guest is busybox, the test binary, this Node and the files that load
// the addon, in an initramfs.
// Usage: node scripts/kernel-test.js [--timeout SECONDS]   (default 300)
const fs = require('fs');
const path = require('path');
const { spawn, spawnSync } = require('child_process');
const { root, has, run, fail, newest } = require('./env');
const { ensurePackage } = require('./apt');

const KERNEL_PACKAGE = 'linux-image-cloud-amd64';
const KERNEL_VERSION = /^6\.1\./;
const kernelDir = path.join(root, 'build-kernel');
const guestRoot = path.join(kernelDir, 'root');
const initramfs = path.join(kernelDir, 'initramfs.cpio');
const serialLog = path.join(kernelDir, 'serial.log');
const addon = path.join(root, 'build', 'Release', 'vantarel.node');
const cppTests = path.join(root, 'build', 'cpp-tests');
const UTF8_LOCALE = '/usr/lib/locale/C.utf8';
// Where the package sits inside the guest.
const GUEST_PACKAGE = '/vantarel';
// Guest lines that carry the run's progress, as against test output.
const MARK = '@@kernel-test';
// What the guest kernel logs when a process crashes or the kernel itself
// fails; shown after a step that failed.
const KERNEL_COMPLAINTS = 'segfault|general protection|traps:|Killed process|BUG:|Oops';
const STEPS = {
  cpp: 'C++ unit tests',
  'stress-string': 'analytics stress (string)',
  'stress-buffer': 'analytics stress (buffer)',
};

function say(text) {
  console.log(`kernel-test: ${text}`);
}

function timeoutSeconds() {
  const at = process.argv.indexOf('--timeout');
  const seconds = at < 0 ? 300 : Number(process.argv[at + 1]);
  if (!(seconds > 0)) fail('--timeout takes a number of seconds.');
  return seconds;
}

function ensureTools() {
  ensurePackage('qemu-system-x86', () => has('qemu-system-x86_64'),
    'qemu-system-x86_64, the emulator the tests boot in', { recommends: false });
  ensurePackage('busybox-static', () => has('busybox'), 'busybox, the guest\'s shell and tools');
  ensurePackage('cpio', () => has('cpio'), 'cpio, which packs the guest\'s initramfs');
  ensurePackage('libgtest-dev', () => fs.existsSync('/usr/include/gtest/gtest.h'),
    'GoogleTest, for the C++ unit tests');
}

function onPath(command) {
  return (process.env.PATH || '').split(path.delimiter).map((dir) => path.join(dir, command))
    .find((file) => fs.existsSync(file));
}

const isOlderThan = (file, dirs) => !fs.existsSync(file) ||
  fs.statSync(file).mtimeMs < Math.max(...dirs.map((d) => newest(path.join(root, d))));

// The kernel image of the package the meta package names, cached: a second
// run finds it and asks apt nothing.
function kernelImage() {
  fs.mkdirSync(kernelDir, { recursive: true });
  const cached = fs.readdirSync(kernelDir).filter((f) => /^vmlinuz-6\.1\./.test(f))
    .sort((a, b) => a.localeCompare(b, 'en', { numeric: true }));
  if (cached.length) return path.join(kernelDir, cached.pop());
  if (!has('apt-get') || !has('apt-cache') || !has('dpkg-deb')) {
    fail('fetching the 6.1 kernel needs Debian\'s apt-get and dpkg-deb ' +
      `(package ${KERNEL_PACKAGE}).`);
  }
  let pkg = concreteKernelPackage();
  if (!pkg && process.getuid() === 0) {
    run('apt-get', ['update', '-qq']);
    pkg = concreteKernelPackage();
  }
  if (!pkg) {
    fail(`apt knows no ${KERNEL_PACKAGE}: run "sudo apt-get update" on Debian 12 (bookworm).`);
  }
  say(`downloading ${pkg} (unpacked under build-kernel/, not installed)`);
  const partial = path.join(kernelDir, 'download.partial');
  fs.rmSync(partial, { recursive: true, force: true });
  fs.mkdirSync(partial);
  // apt's download user must be able to write there, or apt warns.
  fs.chmodSync(partial, 0o777);
  if (!run('apt-get', ['download', '-qq', pkg], { cwd: partial })) {
    fail(`"apt-get download ${pkg}" failed; Debian's package archive must be reachable.`);
  }
  const deb = fs.readdirSync(partial).find((f) => f.endsWith('.deb'));
  const unpacked = path.join(partial, 'unpacked');
  if (!deb || !run('dpkg-deb', ['-x', path.join(partial, deb), unpacked])) {
    fail(`could not unpack ${pkg}.`);
  }
  const image = fs.readdirSync(path.join(unpacked, 'boot')).find((f) => f.startsWith('vmlinuz-'));
  if (!image || !KERNEL_VERSION.test(image.slice('vmlinuz-'.length))) {
    fail(`${pkg} holds no 6.1 kernel image.`);
  }
  fs.copyFileSync(path.join(unpacked, 'boot', image), path.join(kernelDir, image));
  fs.rmSync(partial, { recursive: true, force: true });
  return path.join(kernelDir, image);
}

function concreteKernelPackage() {
  const r = spawnSync('apt-cache', ['depends', KERNEL_PACKAGE], { encoding: 'utf8' });
  const match = /Depends: (linux-image-6\.1\.\S+)/.exec(r.stdout || '');
  return match ? match[1] : null;
}

function prepareBinaries() {
  if (isOlderThan(addon, ['src'])) {
    fail('build/Release/vantarel.node is missing or older than src/: run "npm run build" ' +
      '(or "node scripts/setup.js") first.');
  }
  if (isOlderThan(cppTests, ['src', 'test/cpp'])) {
    say('building the C++ unit tests');
    if (!run(process.execPath, [path.join(__dirname, 'cpp-test.js'), '--build-only']) ||
      isOlderThan(cppTests, ['src', 'test/cpp'])) {
      fail('the C++ unit tests did not build.');
    }
  }
}

// The shared libraries ldd lists for a binary, the dynamic loader included;
// none for a static one.
function librariesOf(file) {
  const r = spawnSync('ldd', [file], { encoding: 'utf8' });
  if (r.status !== 0) return [];
  return [...r.stdout.matchAll(/(?:=> )?(\/\S+) \(0x/g)].map((m) => m[1]);
}

// Copies a host file to the same path in the guest (or to guestPath),
// following symbolic links.
function place(file, guestPath = file) {
  const to = path.join(guestRoot, guestPath);
  fs.mkdirSync(path.dirname(to), { recursive: true });
  fs.copyFileSync(file, to);
  fs.chmodSync(to, fs.statSync(file).mode & 0o777);
}

function placeHostTree(dir) {
  for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
    const child = path.join(dir, entry.name);
    if (entry.isDirectory()) placeHostTree(child);
    else place(child);
  }
}

function placeTree(relative) {
  for (const entry of fs.readdirSync(path.join(root, relative), { withFileTypes: true })) {
    const child = path.join(relative, entry.name);
    if (entry.isDirectory()) placeTree(child);
    else place(path.join(root, child), path.join(GUEST_PACKAGE, child));
  }
}

// The guest's whole life: mount what node needs, run each step between
// markers, show the kernel's word on a crash, power off.
function initScript() {
  const step = (name, command) => [
    `echo "${MARK} begin ${name}"`,
    command,
    'rc=$?',
    `echo "${MARK} end ${name} $rc"`,
    `[ $rc -eq 0 ] || dmesg | grep -E "${KERNEL_COMPLAINTS}" | tail -n 5`,
  ].join('\n');
  return [
    '#!/bin/busybox sh',
    '/bin/busybox --install -s',
    'export PATH=/bin:/sbin:/usr/bin:/usr/sbin HOME=/tmp TMPDIR=/tmp',
    'mount -t proc proc /proc',
    'mount -t sysfs sysfs /sys',
    'mount -t devtmpfs devtmpfs /dev',
    'mount -t tmpfs tmpfs /tmp',
    'exec </dev/console >/dev/console 2>&1',
    `echo "${MARK} uname $(uname -r)"`,
    `cd ${GUEST_PACKAGE}`,
    step('cpp', './build/cpp-tests --gtest_brief=1 --gtest_color=no'),
    step('stress-string', 'node --expose-gc test/kernel/analytics-stress.js string'),
    step('stress-buffer', 'node --expose-gc test/kernel/analytics-stress.js buffer'),
    `echo "${MARK} done"`,
    'poweroff -f',
    '',
  ].join('\n');
}

function buildInitramfs() {
  fs.rmSync(guestRoot, { recursive: true, force: true });
  for (const dir of ['bin', 'sbin', 'usr/bin', 'usr/sbin', 'proc', 'sys', 'dev', 'tmp']) {
    fs.mkdirSync(path.join(guestRoot, dir), { recursive: true });
  }
  const busybox = fs.realpathSync(onPath('busybox'));
  place(busybox, '/bin/busybox');
  place(process.execPath, '/bin/node');
  for (const file of ['package.json', 'index.js']) {
    place(path.join(root, file), path.join(GUEST_PACKAGE, file));
  }
  placeTree('lib');
  placeTree(path.join('node_modules', 'node-gyp-build'));
  place(addon, path.join(GUEST_PACKAGE, 'build', 'Release', 'vantarel.node'));
  place(cppTests, path.join(GUEST_PACKAGE, 'build', 'cpp-tests'));
  // The C locale with UTF-8, which the census tests measure names in.
  if (fs.existsSync(UTF8_LOCALE)) placeHostTree(UTF8_LOCALE);
  place(path.join(root, 'test', 'kernel', 'analytics-stress.js'),
    path.join(GUEST_PACKAGE, 'test', 'kernel', 'analytics-stress.js'));
  const libraries = new Set([busybox, process.execPath, addon, cppTests].flatMap(librariesOf));
  for (const library of libraries) place(library);
  fs.writeFileSync(path.join(guestRoot, 'init'), initScript(), { mode: 0o755 });

  // Uncompressed: unpacking gzip in the emulated guest takes longer than
  // the copy it saves.
  const files = [];
  const walk = (relative) => {
    for (const entry of fs.readdirSync(path.join(guestRoot, relative), { withFileTypes: true })) {
      const child = relative ? `${relative}/${entry.name}` : entry.name;
      files.push(child);
      if (entry.isDirectory()) walk(child);
    }
  };
  walk('');
  const out = fs.openSync(initramfs, 'w');
  const r = spawnSync('cpio', ['-o', '-H', 'newc', '-R', '0:0', '--quiet'],
    { cwd: guestRoot, input: `${files.join('\n')}\n`, stdio: ['pipe', out, 'inherit'] });
  fs.closeSync(out);
  if (r.status !== 0) fail('cpio could not pack the initramfs.');
  // The archive holds it all; the tree would only take disk space.
  fs.rmSync(guestRoot, { recursive: true, force: true });
}

// Boots the guest and follows its serial console: the steps' results and
// the time each took, as the host saw their markers arrive.
function boot(kernel, limitSeconds) {
  return new Promise((resolve) => {
    const started = Date.now();
    const qemu = spawn('qemu-system-x86_64', ['-accel', 'tcg', '-cpu', 'max', '-m', '2048',
      '-smp', '2', '-nographic', '-no-reboot', '-nic', 'none', '-kernel', kernel,
      '-initrd', initramfs, '-append', 'console=ttyS0 quiet panic=-1'],
    { stdio: ['ignore', 'pipe', 'pipe'] });
    const log = fs.createWriteStream(serialLog);
    const guest = { uname: null, steps: [], current: null, done: false, timedOut: false,
      errors: '' };
    let pending = '';
    const timer = setTimeout(() => {
      guest.timedOut = true;
      qemu.kill('SIGKILL');
    }, limitSeconds * 1000);
    const onLine = (raw) => {
      // The firmware clears the screen and GoogleTest colours its lines.
      const line = raw.replace(/\x1b(\[[0-9;?]*[A-Za-z]|c)/g, '').replace(/\r/g, '');
      if (!line.trim()) return;
      const at = line.indexOf(MARK);
      if (at < 0) {
        console.log(`  | ${line}`);
        if (guest.current) guest.current.output.push(line);
        return;
      }
      const [what, name, rc] = line.slice(at + MARK.length + 1).split(' ');
      if (what === 'uname') guest.uname = name;
      if (what === 'done') guest.done = true;
      if (what === 'begin') {
        guest.current = { name, begun: Date.now(), output: [] };
        say(`${STEPS[name] || name}: running`);
      }
      if (what === 'end' && guest.current) {
        guest.current.rc = Number(rc);
        guest.current.seconds = (Date.now() - guest.current.begun) / 1000;
        guest.steps.push(guest.current);
        guest.current = null;
      }
    };
    qemu.stdout.on('data', (chunk) => {
      log.write(chunk);
      pending += chunk.toString('latin1');
      const lines = pending.split(/\r?\n/);
      pending = lines.pop();
      lines.forEach(onLine);
    });
    qemu.stderr.on('data', (chunk) => {
      guest.errors += chunk;
    });
    qemu.on('error', (error) => {
      guest.errors += String(error);
    });
    qemu.on('close', (code, signal) => {
      clearTimeout(timer);
      if (pending) onLine(pending);
      log.end();
      guest.exit = signal || code;
      guest.seconds = (Date.now() - started) / 1000;
      resolve(guest);
    });
  });
}

// The verdict of one step from its exit status and output.
function verdict(step) {
  if (step.rc === 0) return 'ok';
  if (step.rc > 128) return `FAIL, crashed (signal ${step.rc - 128})`;
  const failed = step.output.map((l) => /^\[ {2}FAILED {2}\] (\S+\.\S+)/.exec(l))
    .filter(Boolean).map((m) => m[1]);
  if (failed.length) return `FAIL, ${[...new Set(failed)].join(', ')}`;
  const line = step.output.find((l) => /^analytics stress \S+: FAIL/.test(l));
  return `FAIL, exit status ${step.rc}${line ? `: ${line.replace(/^[^,]*, /, '')}` : ''}`;
}

async function main() {
  const started = Date.now();
  const limit = timeoutSeconds();
  ensureTools();
  const kernel = kernelImage();
  prepareBinaries();
  buildInitramfs();
  const mb = (fs.statSync(initramfs).size / 1e6).toFixed(0);
  say(`booting ${path.basename(kernel)} with a ${mb} MB initramfs (limit ${limit} s)`);
  const guest = await boot(kernel, limit);

  let failures = 0;
  console.log('');
  if (guest.uname === null) {
    failures++;
    say(`FAIL, the guest printed no kernel version (qemu: ${guest.exit}) ${guest.errors.trim()}`);
  } else if (!KERNEL_VERSION.test(guest.uname)) {
    failures++;
    say(`FAIL, the guest runs kernel ${guest.uname}, not 6.1`);
  } else {
    say(`guest kernel ${guest.uname}`);
  }
  for (const [name, title] of Object.entries(STEPS)) {
    const step = guest.steps.find((p) => p.name === name);
    let text;
    if (step) {
      text = `${verdict(step)}, ${step.seconds.toFixed(0)} s`;
    } else if (guest.current && guest.current.name === name) {
      const seconds = ((Date.now() - guest.current.begun) / 1000).toFixed(0);
      text = guest.timedOut ? `FAIL, still running after ${seconds} s when the ${limit} s limit ` +
        'was reached' : `FAIL, the guest stopped ${seconds} s into it`;
    } else {
      text = 'FAIL, never ran';
    }
    if (!text.startsWith('ok')) failures++;
    say(`${title}: ${text}`);
  }
  if (!guest.done && !failures) {
    failures++;
    say('FAIL, the guest stopped before its last step ended');
  }
  const seconds = ((Date.now() - started) / 1000).toFixed(0);
  const where = `guest output in ${path.relative(root, serialLog)}`;
  if (guest.timedOut) say(`qemu was stopped at the ${limit} s limit`);
  say(failures ? `FAIL, ${seconds} s in all (the guest ran ${guest.seconds.toFixed(0)} s; ${where})`
    : `all passed, ${seconds} s in all (the guest ran ${guest.seconds.toFixed(0)} s)`);
  process.exit(failures ? 1 : 0);
}

main();
