'use strict';
// The report page of a short agent run, opened in headless Chromium.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { root } = require('./common');
const { ensureChromium, Browser, waitFor } = require('./browser');
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

  const browser = new Browser();
  t.after(() => browser.close());
  const page = await browser.newPage();
  for (const domain of ['Page', 'Runtime', 'Log', 'Network']) await page.call(`${domain}.enable`);
  await page.call('Emulation.setDeviceMetricsOverride',
    { width: 1280, height: 900, deviceScaleFactor: 1, mobile: false });
  await page.call('Page.navigate', { url: `file://${path.join(out, 'index.html')}` });
  await waitFor(page, 'Page.loadEventFired');

  const { result } = await page.call('Runtime.evaluate', {
    returnByValue: true,
    expression: `(() => {
      const charts = {};
      for (const kind of ${JSON.stringify(CHARTS)}) {
        const svg = document.querySelector('svg[data-chart="' + kind + '"]');
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
    })()`,
  });
  const facts = result.value;
  assert.strictEqual(facts.title, 'vantarel agent report');
  for (const kind of CHARTS) {
    const c = facts.charts[kind];
    assert.ok(c, `${kind} chart is on the page`);
    assert.ok(c.marks > 0, `${kind} chart shows data`);
    assert.ok(c.width > 300 && c.height > 60, `${kind} chart has a size: ${JSON.stringify(c)}`);
  }
  assert.ok(facts.hoverChanges && facts.restored, 'hovering a flame-graph frame shows its details');
  assert.ok(facts.width <= 1280, 'the page fits the window without scrolling sideways');

  const errors = page.events.filter((e) =>
    e.method === 'Runtime.exceptionThrown' ||
    (e.method === 'Runtime.consoleAPICalled' && ['error', 'assert'].includes(e.params.type)) ||
    (e.method === 'Log.entryAdded' && e.params.entry.level === 'error'));
  assert.deepStrictEqual(errors.map((e) => JSON.stringify(e.params).slice(0, 300)), []);
  const remote = page.events.filter((e) => e.method === 'Network.requestWillBeSent' &&
    !/^(file|data|about):/.test(e.params.request.url));
  assert.deepStrictEqual(remote.map((e) => e.params.request.url), [], 'the page loads nothing');

  const { cssContentSize } = await page.call('Page.getLayoutMetrics');
  await page.call('Emulation.setDeviceMetricsOverride', { width: 1280,
    height: Math.ceil(cssContentSize.height), deviceScaleFactor: 1, mobile: false });
  const shot = await page.call('Page.captureScreenshot', { format: 'png' });
  fs.mkdirSync(ARTIFACTS, { recursive: true });
  const file = path.join(ARTIFACTS, 'report.png');
  fs.writeFileSync(file, Buffer.from(shot.data, 'base64'));
  t.diagnostic(`screenshot: ${path.relative(root, file)}`);
});
