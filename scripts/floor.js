'use strict';
// The newest symbol version a binary needs from each runtime library
// (GLIBC_2.28, GLIBCXX_3.4.21, ...), read from its dynamic symbol table with
// objdump -T, which reads arm64 ELF files too. A binary loads wherever the
// official Node binary of its line does when it needs no newer version of any
// library than that node needs.
const { spawnSync } = require('child_process');

function compareVersions(a, b) {
  const x = a.split('.').map(Number);
  const y = b.split('.').map(Number);
  for (let i = 0; i < Math.max(x.length, y.length); i++) {
    const d = (x[i] || 0) - (y[i] || 0);
    if (d) return d;
  }
  return 0;
}

// { GLIBC: '2.28', GLIBCXX: '3.4.21', ... } from objdump -T's text, where
// each symbol a binary takes from elsewhere carries the version it needs
// (in parentheses since binutils 2.35).
function floorOfSymbolTable(text) {
  const floor = {};
  const needed = /\*UND\*\s+\S+\s+\(?([A-Z][A-Z_]*?)_(\d[\d.]*)\)?\s/g;
  for (const [, family, version] of text.matchAll(needed)) {
    if (!floor[family] || compareVersions(version, floor[family]) > 0) floor[family] = version;
  }
  return floor;
}

function symbolFloor(file) {
  const r = spawnSync('objdump', ['-T', file], { encoding: 'utf8', maxBuffer: 64 << 20 });
  if (r.error || r.status !== 0) {
    throw new Error(`objdump -T ${file} failed: ${r.error ? r.error.message : r.stderr.trim()}`);
  }
  return floorOfSymbolTable(r.stdout);
}

// What the binary needs beyond the node's floor, one text per library; a
// library the node needs nothing of is beyond it at any version.
function aboveFloor(binary, node) {
  return Object.entries(binary)
    .filter(([family, version]) => !node[family] || compareVersions(version, node[family]) > 0)
    .map(([family, version]) => `${family}_${version} (node: ${node[family] ? `${family}_${node[family]}` : 'none'})`);
}

// The names a binary defines in its dynamic symbol table, sorted, from
// nm -D --defined-only (binutils reads arm64 ELF files too).
function exportedSymbols(file) {
  const r = spawnSync('nm', ['-D', '--defined-only', file], { encoding: 'utf8', maxBuffer: 64 << 20 });
  if (r.error || r.status !== 0) {
    throw new Error(`nm -D ${file} failed: ${r.error ? r.error.message : r.stderr.trim()}`);
  }
  return r.stdout.split('\n').map((line) => line.trim().split(/\s+/)[2]).filter(Boolean).sort();
}

// All that vantarel.node of a module version may export: the initializer
// the host looks up, and the five counter pointers.
function expectedExports(modules) {
  return [`node_register_module_v${modules}`, 'iosum', 'max', 'min', 'num', 'sum'].sort();
}

function formatFloor(floor) {
  return Object.keys(floor).sort().map((family) => `${family}_${floor[family]}`).join(' ');
}

module.exports = {
  compareVersions, floorOfSymbolTable, symbolFloor, aboveFloor, formatFloor, exportedSymbols,
  expectedExports,
};
