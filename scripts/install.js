'use strict';
// The package's install step. A binary that loads on this Node (the
// matching one of prebuilds/, or an earlier build in build/Release) leaves
// nothing to do; otherwise the addon is built from source once the system
// has what that takes. --build-from-source (npm's flag) skips the binaries.
const path = require('path');
const { root, nodeDir, nodeGyp, run } = require('./env');
const { missingFor } = require('./prerequisites');

function say(message) {
  console.log(`vantarel install: ${message}`);
}

function stop(message) {
  console.error(`\nvantarel install: ${message}\n`);
  process.exit(1);
}

function fromSourceRequested() {
  return process.env.npm_config_build_from_source === 'true' ||
    process.argv.includes('--build-from-source');
}

// The binary the package entry would load, if there is one and it loads.
function loadableBinary() {
  let file;
  try {
    file = require('node-gyp-build').resolve(root);
  } catch {
    return null;
  }
  try {
    require(file);
    return file;
  } catch (error) {
    say(`${path.relative(root, file)} does not load here: ${error.message.split('\n')[0]}`);
    return null;
  }
}

function buildFromSource() {
  const missing = missingFor();
  if (missing.length) {
    const packages = missing.map((need) => need.pkg).join(' ');
    const what = new Intl.ListFormat('en').format(missing.map((need) => need.what));
    stop(`building from source needs ${what}, not found on this machine.\n` +
      `Install the Debian package${missing.length > 1 ? 's' : ''} ${packages} ` +
      `(sudo apt-get install ${packages}) and install vantarel again.`);
  }
  say(`building from source for Node ${process.version}`);
  // Headers that ship with this Node spare a download; without them
  // node-gyp finds or fetches the headers itself, as npm configures it.
  let built;
  if (nodeDir()) {
    built = run(process.execPath, [path.join(__dirname, 'build.js')]);
  } else {
    const gyp = nodeGyp();
    if (!gyp) stop('node-gyp was not found (npm ships it; "npm install -g node-gyp" adds it).');
    built = run(process.execPath, [gyp, 'rebuild', '--jobs=max']);
  }
  if (!built) stop('the build from source failed; its output is above.');
}

if (fromSourceRequested()) {
  buildFromSource();
} else {
  const binary = loadableBinary();
  if (binary) say(`using ${path.relative(root, binary)}, nothing to build`);
  else buildFromSource();
}
