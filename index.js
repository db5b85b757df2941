'use strict';
// Loads the binary made for this platform, arch, libc and Node module
// version: a build from source in build/Release first, else the matching
// one of prebuilds/ (node-gyp-build's rules and file names).
const fs = require('fs');
const nodeGypBuild = require('node-gyp-build');

function resolveBinary() {
  try {
    return nodeGypBuild.resolve(__dirname);
  } catch (cause) {
    // node-gyp-build's rule: musl is told apart by Alpine's marker file.
    const libc = process.env.LIBC ||
      (fs.existsSync('/etc/alpine-release') ? 'musl' : 'glibc');
    throw new Error(
      `vantarel has no binary for ${process.platform}-${process.arch}, ${libc}, Node module ` +
      `version ${process.versions.modules} (Node ${process.version}): no prebuilt one ` +
      'matches and none was built from source.\n' +
      'To build it from source, install a C++ compiler, make, Python 3 and the Boost ' +
      'headers (Debian and Ubuntu: sudo apt-get install g++ make python3 libboost-dev), ' +
      `then run "npm rebuild vantarel --ignore-scripts=false" in your project.`,
      { cause });
  }
}

module.exports = require(resolveBinary());
