'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { newestOfLine, summarise } = require('../scripts/matrix');

test('the newest release of a line is chosen by number, never a pre-release', () => {
  const versions = ['22.9.0', '22.10.0', '22.23.5', '22.3.0', '23.0.0', '220.1.0',
    '24.0.0-rc.1', '24.0.0-nightly20250101', '2.24.0'];
  assert.strictEqual(newestOfLine(versions, '22'), '22.23.5');
  assert.strictEqual(newestOfLine(versions, '24'), undefined);
  assert.strictEqual(newestOfLine(versions, '2'), '2.24.0');
});

test('the summary reads both test reporters and GoogleTest', () => {
  const gtest = '[==========] 36 tests from 7 test suites ran.\n[  PASSED  ] 36 tests.\n';
  // The TAP reporter of older lines, with a subtest's own counts before the
  // run's.
  const tap = '# tests 2\n# pass 2\n1..65\n# tests 65\n# pass 63\n# fail 1\n# skipped 1\n';
  assert.strictEqual(summarise(tap + gtest),
    '63/65 script tests passed, 1 failed, 1 skipped, 36 C++ tests passed');
  const specReporter = 'ℹ tests 65\nℹ pass 65\nℹ fail 0\nℹ skipped 0\n';
  assert.strictEqual(summarise(specReporter + gtest), '65/65 script tests passed, 36 C++ tests passed');
  assert.strictEqual(summarise(`${specReporter}C++ unit tests skipped: install libgtest-dev.\n`),
    '65/65 script tests passed, C++ tests skipped');
  assert.strictEqual(summarise('[  PASSED  ] 34 tests.\n[  FAILED  ] 2 tests, listed below:\n'),
    'no test summary, 34 C++ tests passed, 2 failed');
});
