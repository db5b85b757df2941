'use strict';
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const { root } = require('./common');
const { headerModuleVersion } = require('../scripts/env');
const { cacheDirOf } = require('../scripts/nodes');
const {
  compareVersions, floorOfSymbolTable, symbolFloor, aboveFloor, exportedSymbols, expectedExports,
} = require('../scripts/floor');

test('floors are read per library and compared number by number', () => {
  const table = [
    '0000000000000000      DF *UND*\t0000000000000000 (GLIBC_2.2.5) gettimeofday',
    '0000000000000000      DF *UND*\t0000000000000000 (GLIBC_2.14) memcpy',
    '0000000000000000      DF *UND*\t0000000000000000 (GLIBCXX_3.4.9) _ZNSo9_M_insertIdEERSoT_',
    '0000000000000000      DF *UND*\t0000000000000000 (GLIBCXX_3.4.21) _ZNSt7__cxx1112basic_string',
    // The form of binutils before 2.35, without parentheses.
    '0000000000000000      DF *UND*\t0000000000000000  CXXABI_1.3.9 _ZdlPvm',
    '0000000000000000  w   D  *UND*\t0000000000000000  Base        __gmon_start__',
    '000000000000b91e g    DF .text\t0000000000000020  Base        _Z4Initv',
  ].join('\n');
  assert.deepStrictEqual(floorOfSymbolTable(`${table}\n`),
    { GLIBC: '2.14', GLIBCXX: '3.4.21', CXXABI: '1.3.9' });

  assert.ok(compareVersions('3.4.9', '3.4.21') < 0);
  assert.ok(compareVersions('2.4', '2.28') < 0);
  assert.ok(compareVersions('1.3', '1.3.0') === 0);
  const node = { GLIBC: '2.28', GLIBCXX: '3.4.21', CXXABI: '1.3.9' };
  assert.deepStrictEqual(aboveFloor({ GLIBC: '2.17', GLIBCXX: '3.4.21' }, node), []);
  assert.deepStrictEqual(
    aboveFloor({ GLIBC: '2.32', GLIBCXX: '3.4.29', CXXABI: '1.3.11', LIBATOMIC: '1.0' }, node),
    ['GLIBC_2.32 (node: GLIBC_2.28)', 'GLIBCXX_3.4.29 (node: GLIBCXX_3.4.21)',
      'CXXABI_1.3.11 (node: CXXABI_1.3.9)', 'LIBATOMIC_1.0 (node: none)']);
});

// A node linked against a shared libnode keeps its runtime needs there.
const ownNodeSkip = process.config.variables.node_shared &&
  'this node takes its runtime from a shared libnode';

test('the addon needs no newer glibc or libstdc++ than the running node', { skip: ownNodeSkip },
  () => {
    const addon = path.join(root, 'build', 'Release', 'vantarel.node');
    assert.deepStrictEqual(aboveFloor(symbolFloor(addon), symbolFloor(process.execPath)), []);
  });

test('the addon exports its initializer and the five counter pointers, nothing else', () => {
  const addon = path.join(root, 'build', 'Release', 'vantarel.node');
  assert.deepStrictEqual(exportedSymbols(addon), expectedExports(process.versions.modules));
});

// The newest official node of the module version cached under build-matrix/.
function cachedNode(arch, modules) {
  const dir = cacheDirOf(arch);
  const versions = fs.existsSync(dir) ? fs.readdirSync(dir).filter((v) =>
    fs.existsSync(path.join(dir, v, 'bin', 'node')) &&
    headerModuleVersion(path.join(dir, v)) === modules) : [];
  const newest = versions.sort(compareVersions).pop();
  return newest && path.join(dir, newest, 'bin', 'node');
}

test('each prebuild needs no newer glibc or libstdc++ than the official node of its line' +
  ' and exports the six symbols alone',
  async (t) => {
    const dir = path.join(root, 'prebuilds');
    const binaries = fs.existsSync(dir) ? fs.readdirSync(dir).flatMap((platform) =>
      fs.readdirSync(path.join(dir, platform)).filter((f) => f.endsWith('.node'))
        .map((file) => ({ platform, file }))) : [];
    if (!binaries.length) {
      t.skip('no prebuilds in this checkout (npm run prebuilds makes them)');
      return;
    }
    for (const { platform, file } of binaries) {
      const arch = platform.replace(/^linux-/, '');
      const modules = (/\.abi(\d+)\./.exec(file) || [])[1];
      const node = cachedNode(arch, modules);
      const name = `${platform}/${file}`;
      await t.test(name, { skip: !node && `no official ${arch} node of module version` +
        ` ${modules} is cached in build-matrix/` }, () => {
        const binary = path.join(dir, platform, file);
        assert.deepStrictEqual(aboveFloor(symbolFloor(binary), symbolFloor(node)), [], name);
        assert.deepStrictEqual(exportedSymbols(binary), expectedExports(modules), name);
      });
    }
  });
