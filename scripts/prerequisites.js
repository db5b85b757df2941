'use strict';
// What a build from source needs from the system, by Debian package. The
// checks follow what node-gyp will use: $CXX or g++, make, the Python that
// node-gyp looks for, and the Boost headers as that compiler finds them.
const fs = require('fs');
const { spawnSync } = require('child_process');
const { has } = require('./env');

const BOOST_HEADER = 'boost/property_tree/ptree.hpp';

// $CXX may carry flags or a wrapper ("ccache g++").
function compilerCommand() {
  const words = (process.env.CXX || 'g++').trim().split(/\s+/);
  return has(words[0]) ? words : null;
}

function hasBoost(compiler) {
  if (!compiler) {
    return ['/usr/include', '/usr/local/include']
      .some((dir) => fs.existsSync(`${dir}/${BOOST_HEADER}`));
  }
  // Asks whether the header is there without compiling all of Boost.
  const [command, ...flags] = compiler;
  const probe = spawnSync(command, [...flags, '-E', '-x', 'c++', '-', '-o', '/dev/null'], {
    input: `#if !__has_include(<${BOOST_HEADER}>)\n#error no Boost\n#endif\n`,
    stdio: ['pipe', 'ignore', 'ignore'],
  });
  return probe.status === 0;
}

function hasPython() {
  return Boolean(process.env.npm_config_python || process.env.PYTHON) ||
    has('python3') || has('python');
}

const SOURCE_BUILD = [
  { pkg: 'g++', what: 'a C++ compiler', present: () => compilerCommand() !== null },
  { pkg: 'make', what: 'make', present: () => has('make') },
  { pkg: 'python3', what: 'Python 3 (node-gyp runs on it)', present: hasPython },
  { pkg: 'libboost-dev', what: 'the Boost headers', present: () => hasBoost(compilerCommand()) },
];

function missingFor(list = SOURCE_BUILD) {
  return list.filter((need) => !need.present());
}

module.exports = { SOURCE_BUILD, missingFor, compilerCommand };
