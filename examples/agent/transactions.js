'use strict';
// Business transactions: one per finished request, recorded with the
// analytics functions; the batches they come back in are appended to a
// file as they arrive, the last one flushed when the agent closes.
const crypto = require('crypto');
const fs = require('fs');
const os = require('os');

const HIDDEN_HEADERS = new Set(['authorization', 'cookie', 'proxy-authorization']);

function parseCookies(header) {
  const cookies = {};
  for (const part of String(header || '').split(';')) {
    const eq = part.indexOf('=');
    if (eq > 0) cookies[part.slice(0, eq).trim()] = part.slice(eq + 1).trim();
  }
  return cookies;
}

function principalOf(header) {
  const m = /^Basic\s+(\S+)$/i.exec(String(header || ''));
  if (!m) return '';
  const text = Buffer.from(m[1], 'base64').toString('utf8');
  return text.slice(0, Math.max(0, text.indexOf(':')));
}

function experienceOf(status, ms) {
  if (status >= 500) return 'ERROR';
  if (ms > 100) return 'VERY_SLOW';
  if (ms > 40) return 'SLOW';
  return 'NORMAL';
}

// Builds the transaction object that recordTransaction reads from what the
// agent saw of one request.
function toTransaction(seen) {
  const url = new URL(seen.url, 'http://127.0.0.1');
  const headers = {};
  for (const [name, value] of Object.entries(seen.headers)) {
    headers[name] = HIDDEN_HEADERS.has(name) ? '[hidden]' : String(value);
  }
  const cookies = parseCookies(seen.headers.cookie);
  const exitCalls = [];
  for (const [type, e] of seen.exits) {
    exitCalls.push({
      exitCallType: type,
      numberOfCalls: e.calls,
      numberOfErrors: e.errors,
      avgResponseTimeMillis: Math.round(e.totalMs / e.calls),
    });
  }
  return {
    entryPoint: true,
    transactionTime: Math.round(seen.ms),
    requestExperience: experienceOf(seen.status, seen.ms),
    clientRequestGUID: seen.headers['x-request-id'] || '',
    transactionName: seen.routeName,
    transactionId: seen.routeId,
    requestGUID: seen.guid,
    eventTimestamp: new Date(Math.floor(seen.startUs / 1000)).toISOString(),
    exitCalls,
    httpData: {
      sessionId: cookies.sid || '',
      principal: principalOf(seen.headers.authorization),
      url: seen.url,
      sessionObjects: seen.session,
      uriPathSegments: url.pathname.split('/').filter(Boolean),
      parameters: Object.fromEntries(url.searchParams),
      headers,
      cookies,
    },
    // Dotted keys become nested objects in the event.
    userData: {
      'response.status': String(seen.status),
      'response.bytes': String(seen.bytes),
      method: seen.method,
    },
  };
}

function createTransactions(vantarel, { file, identity = {} }) {
  const fd = fs.openSync(file, 'w');
  fs.writeSync(fd, '[\n');
  const batches = [];
  const routes = new Map();
  const sessions = new Map();
  let recorded = 0;

  vantarel.initAnalytics({
    applicationId: '1001',
    applicationName: 'vantarel-demo',
    tierId: '2001',
    tierName: 'web',
    nodeId: '3001',
    nodeName: os.hostname(),
    ...identity,
  }, (batch) => {
    // The batch text is written as delivered; parsing it only counts it.
    fs.writeSync(fd, (batches.length ? ',\n' : '') + batch);
    let events = 0;
    try {
      events = JSON.parse(batch).length;
    } catch {
      // Written all the same: the file then shows what arrived.
    }
    batches.push({ at: vantarel.time(), events, bytes: Buffer.byteLength(batch) });
  });

  function begin(req, res) {
    const seen = {
      startUs: vantarel.time(),
      method: req.method,
      url: req.url,
      headers: req.headers,
      exits: new Map(),
      guid: crypto.randomUUID(),
    };
    req.transaction = seen;
    res.on('finish', () => finish(req, res, seen));
  }

  function exitCall(req, type, ms, failed) {
    const seen = req.transaction;
    if (!seen) return;
    const e = seen.exits.get(type) || { calls: 0, errors: 0, totalMs: 0 };
    e.calls++;
    e.totalMs += ms;
    if (failed) e.errors++;
    seen.exits.set(type, e);
  }

  function finish(req, res, seen) {
    seen.ms = (vantarel.time() - seen.startUs) / 1000;
    seen.status = res.statusCode;
    seen.bytes = Number(res.getHeader('content-length')) || 0;
    seen.routeName = req.route ? req.route.name : '(unmatched)';
    seen.routeId = req.route ? req.route.id : 0;
    const sid = parseCookies(seen.headers.cookie).sid || '';
    const visits = (sessions.get(sid) || 0) + 1;
    sessions.set(sid, visits);
    seen.session = { 'visits.count': String(visits) };
    vantarel.recordTransaction(toTransaction(seen));
    recorded++;
    const r = routes.get(seen.routeName) ||
      { name: seen.routeName, count: 0, totalMs: 0, maxMs: 0, errors: 0, slow: 0 };
    r.count++;
    r.totalMs += seen.ms;
    r.maxMs = Math.max(r.maxMs, seen.ms);
    if (seen.status >= 500) r.errors++;
    else if (seen.ms > 40) r.slow++;
    routes.set(seen.routeName, r);
  }

  return {
    begin,
    exitCall,
    report: () => vantarel.reportTransactions(),
    // What is still pending goes out now, as the last batch, before the
    // file is closed.
    close() {
      const before = batches.length;
      vantarel.reportTransactions({ force: true });
      if (batches.length > before) batches[batches.length - 1].flushed = true;
      fs.writeSync(fd, '\n]\n');
      fs.closeSync(fd);
    },
    stats: () => ({
      recorded,
      delivered: batches.reduce((n, b) => n + b.events, 0),
      batches,
      routes: [...routes.values()].sort((a, b) => b.count - a.count),
    }),
  };
}

module.exports = { createTransactions, toTransaction, parseCookies, principalOf, experienceOf };
