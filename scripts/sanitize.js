'use strict';
// Builds the addon with AddressSanitizer and UndefinedBehaviorSanitizer in a
// staged copy under build-sanitize/, so the normal build/Release stays as it
// is, and runs the whole test suite there with the sanitizer runtime preloaded
// into node. Any sanitizer report from any process of the run fails it.
// Usage: node scripts/sanitize.js [test files...]
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { root, run, fail } = require('./env');
const { stageTree } = require('./stage');

const stage = path.join(root, 'build-sanitize');
const reports = path.join(stage, 'reports');
const started = Date.now();

function runtime(name) {
  const r = spawnSync('gcc', [`-print-file-name=${name}`], { encoding: 'utf8' });
  const file = r.status === 0 ? r.stdout.trim() : '';
  if (!path.isAbsolute(file) || !fs.existsSync(file)) {
    fail(`the sanitizer runtime ${name} was not found (gcc -print-file-name).`);
  }
  return fs.realpathSync(file);
}

function prepareStage() {
  stageTree(stage);
  fs.rmSync(reports, { recursive: true, force: true });
  fs.mkdirSync(reports);
}

function sanitizerEnv() {
  const common = `log_path=${path.join(reports, 'report')}:print_stacktrace=1`;
  return {
    ...process.env,
    LD_PRELOAD: [runtime('libasan.so'), runtime('libubsan.so')].join(' '),
    // No leak check in node: the engine keeps the metadata of its heap pages
    // inside memory it maps itself, which the leak checker cannot see, so
    // every process that grew its heap "leaks" at exit; and the host has no
    // frame pointers, so such reports carry no stack to suppress them by.
    // Leaks of the engine-free code are checked in the C++ unit tests and
    // the collector fuzz target; the soak test watches the addon's memory.
    // The host also frees some of its own allocations with the non-matching
    // form of delete, which is not ours to judge.
    ASAN_OPTIONS: `${common}:detect_leaks=0:alloc_dealloc_mismatch=0:abort_on_error=1:` +
      'detect_odr_violation=0',
    UBSAN_OPTIONS: `${common}:halt_on_error=1:suppressions=` +
      path.join(root, 'test', 'sanitize', 'ubsan.supp'),
  };
}

function reportFiles() {
  return fs.readdirSync(reports).map((f) => path.join(reports, f));
}

const files = process.argv.slice(2);
prepareStage();
const asanLib = runtime('libasan.so');
console.log(`sanitize: building in ${path.relative(root, stage)} (runtime ${asanLib})`);
if (!run(process.execPath, [path.join(stage, 'scripts', 'build.js'), '--sanitize'],
  { cwd: stage, stdio: ['ignore', 'ignore', 'inherit'] })) {
  fail('the sanitizer build failed.');
}

const tests = files.length ? files : fs.readdirSync(path.join(stage, 'test'))
  .filter((f) => f.endsWith('.test.js')).map((f) => path.join('test', f));
console.log(`sanitize: running ${tests.length} test files under ASan and UBSan`);
let ok = run(process.execPath, ['--test', '--expose-gc', ...tests],
  { cwd: stage, env: sanitizerEnv() });
if (!files.length) {
  ok = run(process.execPath, [path.join(stage, 'scripts', 'cpp-test.js'), '--sanitize'],
    { cwd: stage }) && ok;
}

const found = reportFiles();
for (const file of found) {
  console.error(`\n==== ${path.relative(root, file)}`);
  console.error(fs.readFileSync(file, 'utf8'));
}
const seconds = ((Date.now() - started) / 1000).toFixed(0);
if (found.length) {
  console.error(`sanitize: ${found.length} sanitizer report(s) in ${seconds} s`);
  process.exit(1);
}
console.log(`sanitize: ${ok ? 'clean' : 'tests failed'}, no sanitizer report, ${seconds} s`);
process.exit(ok ? 0 : 1);
