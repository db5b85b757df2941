'use strict';
// The report page of a short agent run, opened in headless Chromium.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { root } = require('./common');
const { ensureChromium, launchBrowser } = require('./browser');
const { missingFunctions } = require('../examples/agent/addon');

const ARTIFACTS = path.join(root, 'test', 'artifacts');
const CHARTS = ['flame', 'loop', 'gc', 'threads', 'census'];

test('the report page renders its five pictures without errors', { timeout: 300000 }, async (t) => {
  const lacking = missingFunctions(require('..'));
  if (lacking.length) {
    t.skip(`the agent cannot run: this build lacks ${lacking.join(', ')}`);
    return;
  }
  const missing = ensureChromium();
  if (missing) {
    t.skip(`no headless Chromium: ${missing}`);
    return;
  }
  const out = fs.mkdtempSync(path.join(os.tmpdir(), 'vantarel-report-'));
  t.after(() => fs.rmSync(out, { recursive: true, force: true }));
  const run = spawnSync(process.execPath,
    [path.join(root, 'examples', 'agent.js'), '--duration', '3', '--quiet', '--out', out],
    { cwd: root, encoding: 'utf8', timeout: 120000 });
  assert.strictEqual(run.status, 0, run.stderr);

  const browser = await launchBrowser({ viewport: { width: 1280, height: 900 } });
  t.after(() => browser.close());
  const page = browser.context.pages()[0] || await browser.context.newPage();
  const errors = [];
  const remote = [];
  page.on('pageerror', (err) => errors.push(`exception: ${err.message}`));
  // Playwright passes the browser's own errors (a failed load) as console errors too.
  page.on('console', (msg) => {
    if (['error', 'assert'].includes(msg.type())) errors.push(`console: ${msg.text()}`);
  });
  page.on('request', (req) => {
    if (!/^(file|data|about):/.test(req.url())) remote.push(req.url());
  });
  await page.goto(`file://${path.join(out, 'index.html')}`);

  const facts = await page.evaluate((kinds) => {
    const charts = {};
    for (const kind of kinds) {
      const svg = document.querySelector(`svg[data-chart="${kind}"]`);
      const box = svg && svg.getBoundingClientRect();
      charts[kind] = svg && { marks: svg.querySelectorAll('.mark').length,
        width: box.width, height: box.height };
    }
    const frame = document.querySelector('svg[data-chart="flame"] .frame');
    const detail = document.getElementById('flame-detail');
    const before = detail.textContent;
    frame.dispatchEvent(new MouseEvent('mouseenter'));
    const during = detail.textContent;
    frame.dispatchEvent(new MouseEvent('mouseleave'));
    return { restored: detail.textContent === before, charts, hoverChanges: during !== before,
      title: document.title, width: document.documentElement.scrollWidth };
  }, CHARTS);
  assert.strictEqual(facts.title, 'vantarel agent report');
  for (const kind of CHARTS) {
    const c = facts.charts[kind];
    assert.ok(c, `${kind} chart is on the page`);
    assert.ok(c.marks > 0, `${kind} chart shows data`);
    assert.ok(c.width > 300 && c.height > 60, `${kind} chart has a size: ${JSON.stringify(c)}`);
  }
  assert.ok(facts.hoverChanges && facts.restored, 'hovering a flame-graph frame shows its details');
  assert.ok(facts.width <= 1280, 'the page fits the window without scrolling sideways');
  assert.deepStrictEqual(errors.map((e) => e.slice(0, 300)), []);
  assert.deepStrictEqual(remote, [], 'the page loads nothing');

  fs.mkdirSync(ARTIFACTS, { recursive: true });
  const file = path.join(ARTIFACTS, 'report.png');
  await page.screenshot({ path: file, fullPage: true });
  t.diagnostic(`screenshot: ${path.relative(root, file)}`);
});
