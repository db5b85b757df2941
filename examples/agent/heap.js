'use strict';
// The looks at the heap: the census by name, the full snapshot, and the
// live allocation sites that sampling found.
const fs = require('fs');

// The census answers synchronously; a call that never answers means the
// arguments were refused.
function takeCensus(vantarel, names) {
  let result = null;
  vantarel.getV8HeapSnapshot(names, (err, text) => {
    if (err) throw err;
    result = JSON.parse(text);
  });
  if (!result) throw new Error('the heap census did not answer');
  return result;
}

// Streams the snapshot straight to disk: the text is about as large as the
// heap, so it is never held whole.
function writeHeapSnapshot(vantarel, file) {
  const fd = fs.openSync(file, 'w');
  let bytes = 0;
  let pieces = 0;
  let failure = null;
  try {
    vantarel.takeHeapSnapshot((piece) => {
      try {
        bytes += fs.writeSync(fd, piece);
        pieces++;
        return true;
      } catch (err) {
        failure = err;
        return false;
      }
    });
  } finally {
    fs.closeSync(fd);
  }
  if (failure) throw failure;
  return { bytes, pieces };
}

// The functions whose own allocations hold the most of the live heap, as
// the sampling heap profiler estimates it.
function liveSites(vantarel, count = 10) {
  const sites = new Map();
  vantarel.getHeapSamples(() => false, (children, bytes, name, url, line, objects) => {
    if (bytes === 0) return;
    const key = `${name}\u0000${url}\u0000${line}`;
    const site = sites.get(key) || { functionName: name || '(anonymous)', url, line, bytes: 0, objects: 0 };
    site.bytes += bytes;
    site.objects += objects;
    sites.set(key, site);
  });
  return [...sites.values()].sort((a, b) => b.bytes - a.bytes).slice(0, count);
}

module.exports = { takeCensus, writeHeapSnapshot, liveSites };
