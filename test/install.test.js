'use strict';
// The package entry and the install step, run in a copy of the package
// that holds no build, so that each case decides what binary there is.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { root } = require('./common');

const addonFile = path.join(root, 'build', 'Release', 'vantarel.node');
const prebuildName = path.join(`${process.platform}-${process.arch}`,
  `node.abi${process.versions.modules}.glibc.node`);

function packageCopy(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vantarel-package-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  for (const entry of ['package.json', 'index.js', 'index.mjs', 'lib', 'scripts']) {
    fs.cpSync(path.join(root, entry), path.join(dir, entry), { recursive: true });
  }
  fs.symlinkSync(fs.realpathSync(path.join(root, 'node_modules')), path.join(dir, 'node_modules'));
  return dir;
}

function install(dir, env) {
  const clean = { ...process.env };
  for (const name of ['CXX', 'PYTHON', 'npm_config_python', 'npm_config_build_from_source']) {
    delete clean[name];
  }
  return spawnSync(process.execPath, [path.join(dir, 'scripts', 'install.js')],
    { cwd: dir, encoding: 'utf8', env: { ...clean, ...env } });
}

test('without a binary for this Node, loading says what is missing and how to build', (t) => {
  const dir = packageCopy(t);
  assert.throws(() => require(dir), (error) => {
    assert.doesNotMatch(error.message, /Cannot find module/);
    assert.ok(error.message.includes(`${process.platform}-${process.arch}, glibc, ` +
      `Node module version ${process.versions.modules}`), error.message);
    assert.match(error.message, /sudo apt-get install g\+\+ make python3 libboost-dev/);
    assert.match(error.message, /"npm rebuild vantarel --ignore-scripts=false"/);
    return true;
  });
});

test('a matching prebuild is what the package loads, and installing builds nothing', (t) => {
  const dir = packageCopy(t);
  const prebuild = path.join(dir, 'prebuilds', prebuildName);
  fs.mkdirSync(path.dirname(prebuild), { recursive: true });
  fs.copyFileSync(addonFile, prebuild);

  const r = install(dir);
  assert.strictEqual(r.status, 0, r.stderr);
  assert.strictEqual(r.stdout,
    `vantarel install: using ${path.join('prebuilds', prebuildName)}, nothing to build\n`);
  assert.strictEqual(fs.existsSync(path.join(dir, 'build')), false);

  const load = spawnSync(process.execPath, ['-p', `
    const addon = require(${JSON.stringify(dir)});
    const file = process.report.getReport().sharedObjects.find((f) => f.endsWith('.node'));
    Object.keys(addon).length + ' ' + file`], { encoding: 'utf8' });
  assert.strictEqual(load.stdout.trim(), `${Object.keys(require('..')).length} ${prebuild}`,
    load.stderr);
});

test('a source build without its tools names the Debian packages and compiles nothing', (t) => {
  const dir = packageCopy(t);
  const empty = fs.mkdtempSync(path.join(os.tmpdir(), 'vantarel-path-'));
  t.after(() => fs.rmSync(empty, { recursive: true, force: true }));
  const cases = [
    { env: { PATH: empty }, packages: 'g++ make python3' },
    // A compiler that sees no system headers stands for a machine without Boost.
    { env: { CXX: 'g++ -nostdinc -nostdinc++' }, packages: 'libboost-dev' },
  ];
  for (const { env, packages } of cases) {
    const r = install(dir, env);
    assert.strictEqual(r.status, 1, r.stdout + r.stderr);
    assert.ok(r.stderr.includes(`Install the Debian package${packages.includes(' ') ? 's' : ''} ` +
      `${packages} (sudo apt-get install ${packages})`), r.stderr);
    assert.doesNotMatch(r.stdout + r.stderr, /error:|^gyp /m);
    assert.strictEqual(fs.existsSync(path.join(dir, 'build')), false);
  }
});
