'use strict';
// Turns the CPU profile, as a walk or as pprof, into a call tree, and the
// tree into the DevTools .cpuprofile format.
const { pathToFileURL } = require('url');
const { Profile } = require('pprof-format');

const isInternal = (url) => url.startsWith('node:');

// Records the visits of one stopV8Profiler walk. Nodes that the filter
// dissolves are not visited, so their hit counts would vanish; but every
// filter call made between two visits screens the children of the node
// visited second, so those hits are that node's own time.
function recordWalk(stopV8Profiler, { keepInternals = false } = {}) {
  const visits = [];
  let dissolvedHits = 0;
  const filter = (childCount, hitCount, functionName, scriptName) => {
    const dissolve = !keepInternals && childCount > 0 && isInternal(String(scriptName));
    if (dissolve) dissolvedHits += hitCount;
    return dissolve;
  };
  const visitor = (childCount, hitCount, functionName, scriptName, line) => {
    visits.push({
      childCount,
      hitCount: hitCount + dissolvedHits,
      functionName: String(functionName),
      url: String(scriptName),
      line,
    });
    dissolvedHits = 0;
  };
  stopV8Profiler(filter, visitor);
  return visits;
}

// The walk is breadth first and each visit says how many of the following
// visits are its children, so the children of the i-th visit are the next
// unclaimed run of visits.
function treeFromVisits(visits) {
  if (visits.length === 0) return null;
  const nodes = visits.map((v) => ({
    functionName: v.functionName,
    url: v.url,
    line: v.line,
    self: v.hitCount,
    children: [],
  }));
  let next = 1;
  for (let i = 0; i < nodes.length; i++) {
    const count = visits[i].childCount;
    // Every visit after the root must have been claimed by an earlier one.
    if (count < 0 || next + count > nodes.length || (i > 0 && i >= next)) {
      throw new Error(`profile walk is inconsistent at visit ${i}`);
    }
    nodes[i].children = nodes.slice(next, next + count);
    next += count;
  }
  return mergeSiblings(nodes[0]);
}

const frameKey = (n) => `${n.functionName}\u0000${n.url}\u0000${n.line}`;

// The tree of a pprof CPU profile: each sample's stack (leaf first) is a
// path from the root, its first value the node's own samples. Frames of
// Node itself are folded into their callers as the walk's filter folds
// them, a leaf kept.
function treeFromPprof(buffer, { keepInternals = false } = {}) {
  const profile = Profile.decode(buffer);
  const text = (i) => profile.stringTable.strings[Number(i)];
  const functions = new Map(profile.function.map((f) => [Number(f.id), f]));
  const frames = new Map(profile.location.map((l) => {
    const fn = functions.get(Number(l.line[0].functionId));
    return [Number(l.id), { functionName: text(fn.name), url: text(fn.filename), line: Number(fn.startLine) }];
  }));
  const root = { functionName: '(root)', url: '', line: 0, self: 0, children: [] };
  for (const sample of profile.sample) {
    let node = root;
    const path = sample.locationId.map((id) => frames.get(Number(id))).reverse();
    path.forEach((frame, i) => {
      if (!keepInternals && i < path.length - 1 && isInternal(frame.url)) return;
      let child = node.children.find((c) => frameKey(c) === frameKey(frame));
      if (!child) node.children.push(child = { ...frame, self: 0, children: [] });
      node = child;
    });
    node.self += Number(sample.value[0]);
  }
  return profile.sample.length ? mergeSiblings(root) : null;
}

// Dissolving frames can give one node several children for the same
// function; a flame graph wants them as one.
function mergeSiblings(node) {
  const byKey = new Map();
  for (const child of node.children) {
    const key = frameKey(child);
    const seen = byKey.get(key);
    if (seen) {
      seen.self += child.self;
      seen.children.push(...child.children);
    } else {
      byKey.set(key, child);
    }
  }
  node.children = [...byKey.values()];
  node.total = node.self;
  for (const child of node.children) {
    mergeSiblings(child);
    node.total += child.total;
  }
  node.children.sort((a, b) => b.total - a.total);
  return node;
}

function treeStats(root) {
  let nodes = 0;
  let depth = 0;
  const stack = [[root, 1]];
  while (stack.length) {
    const [node, d] = stack.pop();
    nodes++;
    depth = Math.max(depth, d);
    for (const child of node.children) stack.push([child, d + 1]);
  }
  return { nodes, depth, hits: root.total };
}

// The walk gives hit counts but no samples; DevTools wants both, so the
// samples are made up from the hit counts, evenly spread over the profile's
// time, each node's samples in one run.
function toCpuProfile(root, startTime, endTime) {
  const nodes = [];
  const samples = [];
  const scriptIds = new Map();
  // DevTools names scripts on disk by file URL, as Node's own profiles do.
  const toUrl = (name) => (name.startsWith('/') ? pathToFileURL(name).href : name);
  const scriptId = (url) => {
    if (!url) return '0';
    if (!scriptIds.has(url)) scriptIds.set(url, String(scriptIds.size + 1));
    return scriptIds.get(url);
  };
  let nextId = 1;
  const add = (node) => {
    const entry = {
      id: nextId++,
      callFrame: {
        functionName: node.functionName,
        scriptId: scriptId(node.url),
        url: toUrl(node.url),
        // DevTools counts lines and columns from 0; the engine from 1, with
        // 0 for "no line".
        lineNumber: node.line > 0 ? node.line - 1 : -1,
        columnNumber: node.line > 0 ? 0 : -1,
      },
      hitCount: node.self,
      children: [],
    };
    nodes.push(entry);
    for (let i = 0; i < node.self; i++) samples.push(entry.id);
    for (const child of node.children) entry.children.push(add(child));
    return entry.id;
  };
  if (root) add(root);
  const span = Math.max(0, endTime - startTime);
  const timeDeltas = [];
  let last = 0;
  for (let i = 1; i <= samples.length; i++) {
    const at = Math.round((i * span) / samples.length);
    timeDeltas.push(at - last);
    last = at;
  }
  return { nodes, startTime, endTime, samples, timeDeltas };
}

// The functions a walk gave the most samples of their own, with their
// share.
function hottest(visits, count = 3) {
  const own = new Map();
  let total = 0;
  for (const v of visits) {
    total += v.hitCount;
    if (v.functionName.startsWith('(')) continue;
    const key = v.functionName || '(anonymous)';
    own.set(key, (own.get(key) || 0) + v.hitCount);
  }
  return [...own].sort((a, b) => b[1] - a[1]).slice(0, count)
    .map(([name, hits]) => ({ name, share: total ? hits / total : 0 }));
}

module.exports = {
  recordWalk, treeFromVisits, treeFromPprof, treeStats, toCpuProfile, hottest, isInternal,
};
