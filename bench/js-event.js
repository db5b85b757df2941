'use strict';
// The plain-JS builder of a transaction event: the module's text byte for
// byte (layout, byte-wise escaping, map nesting), the baseline the analytics
// and service benchmarks measure the module against.
const SPECIAL = /[\u0080-\uffff]+|["\\/\x00-\x1f]/g;
const SHORT = { '"': '\\"', '\\': '\\\\', '/': '\\/', '\b': '\\b', '\f': '\\f', '\n': '\\n', '\r': '\\r' };
const hex = (b) => '\\u00' + (b < 16 ? '0' : '') + b.toString(16).toUpperCase();
const PLAIN = /^[^"\\/\x00-\x1f\u0080-\uffff]*$/;
function escape(text) {
  if (PLAIN.test(text)) return text;
  return text.replace(SPECIAL, (m) => SHORT[m] ?? (m.charCodeAt(0) < 0x80
    ? hex(m.charCodeAt(0)) : Array.from(Buffer.from(m), hex).join('')));
}
const str = (value) => '"' + escape(String(value)) + '"';
// Nodes are arrays of [key, value] pairs, as keys may repeat (arrays).
function mapTree(map) {
  const root = new Map();
  // Code-unit order equals byte order for these keys.
  const keys = Object.keys(map).sort();
  for (const key of keys) {
    const pieces = key.split('.');
    let node = root;
    for (let i = 0; i < pieces.length - 1; i++) {
      if (!node.has(pieces[i])) node.set(pieces[i], new Map());
      node = node.get(pieces[i]);
    }
    node.set(pieces[pieces.length - 1], String(map[key]));
  }
  const pairs = (node) => [...node].map(([k, v]) => [k, typeof v === 'string' ? v : pairs(v)]);
  return pairs(root);
}
function print(value, indent) {
  if (typeof value === 'string') return str(value);
  const pad = ' '.repeat(indent + 4);
  const array = indent > 0 && value.every(([k]) => k === '');
  const lines = value.map(([k, v]) => pad + (array ? '' : str(k) + ': ') + print(v, indent + 4));
  return (array ? '[' : '{') + '\n' + lines.join(',\n') + '\n' + ' '.repeat(indent) + (array ? ']' : '}');
}
function buildEvent(id, tx) {
  const http = tx.httpData;
  const segment = [
    ['segmentTimestamp', String(tx.eventTimestamp)], ['tierId', String(id.tierId)],
    ['tier', String(id.tierName)], ['nodeId', String(id.nodeId)], ['node', String(id.nodeName)],
    ['requestExperience', String(tx.requestExperience)], ['transactionTime', String(tx.transactionTime | 0)],
    ['entryPoint', String(!!tx.entryPoint)], ['clientRequestGUID', String(tx.clientRequestGUID)],
  ];
  if (tx.exitCalls.length) {
    segment.push(['exitCalls', tx.exitCalls.map((c) => ['', [
      ['exitCallType', String(c.exitCallType)], ['avgResponseTimeMillis', String(c.avgResponseTimeMillis >>> 0)],
      ['numberOfCalls', String(c.numberOfCalls >>> 0)], ['numberOfErrors', String(c.numberOfErrors >>> 0)],
    ]])]);
  }
  const httpData = [['url', String(http.url)], ['principal', String(http.principal)], ['sessionId', String(http.sessionId)]];
  for (const name of ['sessionObjects', 'uriPathSegments', 'parameters', 'headers', 'cookies']) {
    if (Object.keys(http[name]).length) httpData.push([name, mapTree(http[name])]);
  }
  segment.push(['httpData', httpData]);
  if (Object.keys(tx.userData).length) segment.push(['userData', mapTree(tx.userData)]);
  return print([
    ['eventTimestamp', String(tx.eventTimestamp)], ['applicationId', String(id.applicationId)],
    ['application', String(id.applicationName)], ['requestGUID', String(tx.requestGUID)],
    ['transactionName', String(tx.transactionName)], ['transactionId', String(tx.transactionId | 0)],
    ['segments', [['', segment]]],
  ], 0) + '\n';
}

module.exports = { buildEvent };
