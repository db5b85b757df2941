'use strict';
// Builds and runs the GoogleTest unit tests of the sources that need no engine.
// Usage: node scripts/cpp-test.js [--sanitize] [--build-only]
// --build-only leaves build/cpp-tests for another runner (scripts/kernel-test.js).
const fs = require('fs');
const path = require('path');
const { root, run } = require('./env');

// Sources that include no V8, NAN or node header.
const ENGINE_FREE_SOURCES = ['src/analytics_collector.cc', 'src/text_block.cc', 'src/block_pool.cc', 'src/transaction_record.cc',
  'src/flat_transaction.cc', 'src/census.cc', 'src/pprof_profile.cc', 'src/libstdcxx_compat.cc'];

const gtest = '/usr/include/gtest/gtest.h';
if (!fs.existsSync(gtest)) {
  console.log('C++ unit tests skipped: install libgtest-dev to run them.');
  process.exit(0);
}

const dir = path.join(root, 'test', 'cpp');
const tests = fs.existsSync(dir)
  ? fs.readdirSync(dir).filter((f) => f.endsWith('_test.cc')).map((f) => path.join(dir, f))
  : [];
if (tests.length === 0) process.exit(0);

const out = path.join(root, 'build', 'cpp-tests');
fs.mkdirSync(path.dirname(out), { recursive: true });
const sources = ENGINE_FREE_SOURCES.map((f) => path.join(root, f));
const flags = ['-std=c++17', '-O1', '-g', '-Wall', '-Wextra', '-Werror', `-I${path.join(root, 'src')}`];
if (process.argv.includes('--sanitize')) {
  flags.push('-fsanitize=address,undefined', '-fno-sanitize-recover=undefined',
    '-fno-omit-frame-pointer');
}
if (!run('g++', [...flags, ...sources, ...tests, '-o', out, '-lgtest', '-lgtest_main', '-pthread'])) {
  process.exit(1);
}
if (process.argv.includes('--build-only')) process.exit(0);
process.exit(run(out, ['--gtest_brief=1']) ? 0 : 1);
