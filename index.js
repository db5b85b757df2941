'use strict';
module.exports = require('./build/Release/vantarel.node');
