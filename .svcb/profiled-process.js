'use strict';
// One fresh process of the profile-start measure, run by profiling.bench.js:
// loads and uses TypeScript's compiler, runs three short stretches of work
// (profiled when the first argument is "profiled", not when "never"), then
// times compile-heavy work twice: right after the last profile, and once
// the module has had time to release the engine's code logging. Prints one
// JSON line.
//   node profiled-process.js never|profiled [modules]
const fs = require('fs');
const ts = require('typescript');
const vantarel = require('..');

const profiled = process.argv[2] === 'profiled';
const modules = Number(process.argv[3] || 40);
// Longer than the module keeps code logging after a profile.
const RELEASE_WAIT_MS = 6000;

// A module of classes and functions, distinct per seed so that every
// compilation is new to the engine.
function source(seed, classes) {
  const lines = [`export interface Row${seed} { id: number; name: string; tags: string[] }`];
  for (let i = 0; i < classes; i++) {
    lines.push(`export class Item${seed}_${i} implements Row${seed} {
  constructor(public id: number, public name: string, public tags: string[] = []) {}
  label(prefix: string): string { return \`\${prefix}-\${this.name}-${seed}-${i}\`; }
  score(): number { let s = ${i}; for (const t of this.tags) s += t.length * ${seed % 7 + 1}; return s; }
}
export function make${seed}_${i}(n: number): Item${seed}_${i}[] {
  const out: Item${seed}_${i}[] = [];
  for (let k = 0; k < n; k++) out.push(new Item${seed}_${i}(k, 'n' + k, ['a', 'b' + k]));
  return out.filter((x) => x.score() % ${i + 2} !== 1);
}`);
  }
  return lines.join('\n');
}

// Transpiles each module, then compiles and runs what it emits.
function compileWork(first, count, classes) {
  let total = 0;
  for (let seed = first; seed < first + count; seed++) {
    const js = ts.transpileModule(source(seed, classes), {
      compilerOptions: { module: ts.ModuleKind.CommonJS, target: ts.ScriptTarget.ES2020 },
    }).outputText;
    const exports = {};
    // eslint-disable-next-line no-new-func
    new Function('exports', js)(exports);
    for (const name of Object.keys(exports)) {
      if (name.startsWith('make')) total += exports[name](3).length;
    }
  }
  return total;
}

// The main thread's time on a CPU, in ms: unlike wall time it leaves out
// the time that other processes hold the machine's cores.
const schedstat = `/proc/self/task/${process.pid}/schedstat`;
const cpuMs = () => Number(fs.readFileSync(schedstat, 'utf8').split(' ')[0]) / 1e6;

function timedWork(first) {
  const start = cpuMs();
  compileWork(first, modules, 10);
  return cpuMs() - start;
}

async function main() {
  // Loaded and used: a program type-checked against the standard library.
  compileWork(0, 40, 10);
  const host = ts.createCompilerHost({});
  const program = ts.createProgram(['main.ts'], { noEmit: true }, {
    ...host,
    getSourceFile: (name, target) => (name === 'main.ts' ?
      ts.createSourceFile(name, source(999, 30), target) : host.getSourceFile(name, target)),
  });
  ts.getPreEmitDiagnostics(program);

  const result = { profiled, startsMs: [] };
  for (let i = 0; i < 3; i++) {
    if (profiled) {
      const start = process.hrtime.bigint();
      vantarel.startV8Profiler();
      result.startsMs.push(Number(process.hrtime.bigint() - start) / 1e6);
    }
    compileWork(1000 + i * 5, 5, 5);
    if (profiled) vantarel.stopV8Profiler(() => false, () => {});
  }
  result.soonCpuMs = timedWork(10000);
  await new Promise((resolve) => setTimeout(resolve, RELEASE_WAIT_MS));
  result.laterCpuMs = timedWork(20000);
  console.log(JSON.stringify(result));
}

main();
