'use strict';
// Builds the collector's libFuzzer target with clang (ASan and UBSan) and
// runs it. New inputs go to build-fuzz/corpus/ (node-gyp's rebuild empties
// build/), seeded from the small committed corpus; crashes go to
// build-fuzz/artifacts/.
// Usage: node scripts/fuzz-collector.js [--seconds N] [--build-only]
//        [-- libFuzzer options...]
const fs = require('fs');
const path = require('path');
const { root, has, run, fail } = require('./env');

const argv = process.argv.slice(2);
const dash = argv.indexOf('--');
const extra = dash < 0 ? [] : argv.slice(dash + 1);
const own = dash < 0 ? argv : argv.slice(0, dash);
const seconds = own.includes('--seconds') ? Number(own[own.indexOf('--seconds') + 1]) : 600;

const clang = ['clang++', 'clang++-14'].find(has);
if (!clang) fail('clang++ is needed for the fuzz target: install the Debian package clang.');

const sources = ['test/fuzz/collector_fuzzer.cc', 'src/analytics_collector.cc',
  'src/text_block.cc', 'src/block_pool.cc', 'src/transaction_record.cc'];
const headers = ['test/fuzz/strict_json.h', 'src/analytics_collector.h',
  'src/text_block.h', 'src/transaction_record.h'];
const out = path.join(root, 'build-fuzz', 'collector-fuzzer');
const mtime = (f) => fs.statSync(path.join(root, f)).mtimeMs;
const stale = !fs.existsSync(out) ||
  Math.max(...[...sources, ...headers].map(mtime)) > fs.statSync(out).mtimeMs;
if (stale) {
  fs.mkdirSync(path.dirname(out), { recursive: true });
  console.log(`fuzz:collector: building ${path.relative(root, out)}`);
  const flags = ['-std=c++17', '-g', '-O1', '-fsanitize=fuzzer,address,undefined',
    '-fno-sanitize-recover=undefined', '-Isrc', '-Itest/fuzz'];
  if (!run(clang, [...flags, ...sources, '-o', out])) fail('the fuzz target did not build.');
}
if (own.includes('--build-only')) process.exit(0);

const corpus = path.join(root, 'build-fuzz', 'corpus');
const seeds = path.join(root, 'test', 'fuzz', 'corpus', 'collector');
const artifacts = path.join(root, 'build-fuzz', 'artifacts');
for (const dir of [corpus, artifacts]) fs.mkdirSync(dir, { recursive: true });
const args = [corpus, ...(fs.existsSync(seeds) ? [seeds] : []),
  `-dict=${path.join(root, 'test', 'fuzz', 'collector.dict')}`,
  `-max_total_time=${seconds}`, '-max_len=2048', '-timeout=30', '-rss_limit_mb=2048',
  '-print_final_stats=1', `-artifact_prefix=${artifacts}/`, ...extra];
console.log(`fuzz:collector: running for ${seconds} s`);
process.exit(run(out, args) ? 0 : 1);
