'use strict';
// Checks of the texts the module hands to script: analytics batches, heap
// censuses and streamed heap snapshots. Each throws on the first fault.

function must(ok, message) {
  if (!ok) throw new Error(message);
}

function parse(text, what) {
  must(typeof text === 'string', `${what} is a ${typeof text}`);
  try {
    return JSON.parse(text);
  } catch (e) {
    throw new Error(`${what} is not JSON: ${e.message}`);
  }
}

const TOP = ['eventTimestamp', 'applicationId', 'application', 'requestGUID', 'transactionName',
  'transactionId', 'segments'];
const SEGMENT = ['segmentTimestamp', 'tierId', 'tier', 'nodeId', 'node', 'requestExperience',
  'transactionTime', 'entryPoint', 'clientRequestGUID'];
const EXIT_CALL = ['exitCallType', 'avgResponseTimeMillis', 'numberOfCalls', 'numberOfErrors'];
const HTTP = ['url', 'principal', 'sessionId'];
const MAPS = ['sessionObjects', 'uriPathSegments', 'parameters', 'headers', 'cookies'];
const INT32 = /^(0|-?[1-9]\d*)$/;
const UINT32 = /^(0|[1-9]\d*)$/;

// Every leaf a string, no empty object or array anywhere.
function leaves(value, where) {
  if (typeof value === 'string') return;
  // No conversion of value: parsed objects may have keys such as toString.
  must(value !== null && typeof value === 'object', `${where} is a ${value === null ? 'null' : typeof value}`);
  const keys = Object.keys(value);
  must(keys.length > 0, `${where} is empty`);
  for (const key of keys) leaves(value[key], `${where}.${key}`);
}

function prefix(obj, keys, where) {
  const actual = Object.keys(obj);
  must(keys.every((k, i) => actual[i] === k), `${where} keys ${actual.join(',')}`);
  return actual.slice(keys.length);
}

function checkEvent(event) {
  must(event && typeof event === 'object' && !Array.isArray(event), 'event is not an object');
  leaves(event, 'event');
  must(Object.keys(event).join() === TOP.join(), `event keys ${Object.keys(event)}`);
  const id = Number(event.transactionId);
  must(INT32.test(event.transactionId) && id >= -(2 ** 31) && id < 2 ** 31, 'transactionId');
  must(Array.isArray(event.segments) && event.segments.length === 1, 'segments');
  const segment = event.segments[0];
  must(segment.segmentTimestamp === event.eventTimestamp, 'segmentTimestamp');
  let rest = prefix(segment, SEGMENT, 'segment');
  must(['true', 'false'].includes(segment.entryPoint), 'entryPoint');
  must(INT32.test(segment.transactionTime), 'transactionTime');
  if (rest[0] === 'exitCalls') {
    must(Array.isArray(segment.exitCalls), 'exitCalls is not an array');
    for (const call of segment.exitCalls) {
      must(Object.keys(call).join() === EXIT_CALL.join(), `exit call keys ${Object.keys(call)}`);
      for (const key of EXIT_CALL.slice(1)) {
        must(UINT32.test(call[key]) && Number(call[key]) < 2 ** 32, key);
      }
    }
    rest = rest.slice(1);
  }
  must(rest[0] === 'httpData', `segment keys ${Object.keys(segment)}`);
  const maps = prefix(segment.httpData, HTTP, 'httpData');
  must(maps.every((k, i) => MAPS.includes(k) && (i === 0 || MAPS.indexOf(maps[i - 1]) < MAPS.indexOf(k))),
    `httpData keys ${Object.keys(segment.httpData)}`);
  rest = rest.slice(1);
  must(rest.length === 0 || (rest.length === 1 && rest[0] === 'userData'),
    `segment keys ${Object.keys(segment)}`);
}

// One analytics batch as the report function receives it.
function checkBatch(text) {
  const batch = parse(text, 'batch');
  must(Array.isArray(batch) && batch.length > 0, 'batch is not a non-empty array');
  must(text.startsWith('[{\n') && text.endsWith('\n}\n]'), 'batch framing');
  const joins = text.split('\n}\n, {\n').length - 1;
  must(joins === batch.length - 1, `${batch.length} events but ${joins} separators`);
  for (const event of batch) checkEvent(event);
  return batch;
}

// The census text: requested entries first, then at most 20 ranked ones.
function checkCensus(text) {
  const census = parse(text, 'census');
  must(Array.isArray(census), 'census is not an array');
  let ranked = 0;
  for (const entry of census) {
    must(Object.keys(entry).join() === 'name,size,count,type', `entry keys ${Object.keys(entry)}`);
    must(typeof entry.name === 'string', 'name');
    must(Number.isSafeInteger(entry.size) && entry.size >= 0, `size ${entry.size}`);
    must(Number.isSafeInteger(entry.count) && entry.count > 0, `count ${entry.count}`);
    must(entry.type === 'CUSTOM' || entry.type === 'SYSTEM', `type ${entry.type}`);
    if (entry.type === 'SYSTEM') ranked++;
    else must(ranked === 0, 'a requested entry after a ranked one');
  }
  must(ranked <= 20, `${ranked} ranked entries`);
  return census;
}

function checkSnapshotText(text) {
  const snapshot = parse(text, 'heap snapshot');
  must(snapshot && snapshot.snapshot && Array.isArray(snapshot.nodes) &&
    Array.isArray(snapshot.strings), 'heap snapshot sections');
  return snapshot;
}

module.exports = { checkBatch, checkEvent, checkCensus, checkSnapshotText };
