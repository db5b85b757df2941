'use strict';
// The two looks at the heap: the census by name and the full snapshot.
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

module.exports = { takeCensus, writeHeapSnapshot };
