'use strict';
// Reads a pprof Buffer with pprof-format's decoder, not the module's own
// code: the profile's types and, per sample, its stack of function names
// (leaf first) and values.
const { Profile } = require('pprof-format');

function readPprof(buffer) {
  const profile = Profile.decode(buffer);
  const text = (i) => profile.stringTable.strings[Number(i)];
  const functions = new Map(profile.function.map((f) => [Number(f.id),
    { name: text(f.name), file: text(f.filename), line: Number(f.startLine) }]));
  const locations = new Map(profile.location.map((l) => [Number(l.id),
    { ...functions.get(Number(l.line[0].functionId)), at: Number(l.line[0].line) }]));
  return {
    sampleTypes: profile.sampleType.map((t) => `${text(t.type)}/${text(t.unit)}`),
    periodType: `${text(profile.periodType.type)}/${text(profile.periodType.unit)}`,
    period: Number(profile.period),
    timeNanos: Number(profile.timeNanos),
    durationNanos: Number(profile.durationNanos),
    samples: profile.sample.map((s) => ({
      stack: s.locationId.map((id) => locations.get(Number(id))),
      values: s.value.map(Number),
    })),
  };
}

// The total of a value column per leaf function name, largest first.
function byLeaf(profile, column) {
  const totals = new Map();
  for (const { stack, values } of profile.samples) {
    const name = stack[0].name;
    totals.set(name, (totals.get(name) || 0) + values[column]);
  }
  return [...totals].sort((a, b) => b[1] - a[1]);
}

module.exports = { readPprof, byLeaf };
