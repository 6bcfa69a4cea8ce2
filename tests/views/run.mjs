// The views in a real browser. The real program runs under the official v2 MCP client on
// stdio, in both revisions (2025-06-18 and 2026-07-28), declaring the MCP Apps extension;
// each view is read from the program (resources/read) and mounted by the official AppBridge
// (@modelcontextprotocol/ext-apps, bundled here at test time) in headless Chromium: the host
// page on one loopback origin, the sandbox proxy and the view on another, the view's
// document served with the default CSP of MCP Apps as its header. The view's tool calls go
// through the bridge to the program. Then the official Inspector's CLI probes every bound
// tool for its view (--advertise-apps --app-info), where Node is 20 or later.
//
// Usage: VFT_EXE=... VFT_VIEWS_DIR=<build>/views node tests/views/run.mjs
//   VFT_VIEWS_DIR  the assembled views the build embedded (cmake/embed_views.cmake)
//   VFT_VIEWS_OUT  where the bundle and the screenshots go (default: VFT_VIEWS_DIR)
//   VFT_CHROMIUM   the browser (default: Debian's chromium-headless-shell, else chromium)
// Prints one line per check and ends with "N passed, M failed, K skipped"; exits 1 on any
// failure.

import assert from 'node:assert/strict';
import { execFile, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { Client } from '@modelcontextprotocol/client';
import { StdioClientTransport } from '@modelcontextprotocol/client/stdio';
import * as esbuild from 'esbuild';
import { chromium } from 'playwright-core';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const EXE = process.env.VFT_EXE;
const VIEWS_DIR = process.env.VFT_VIEWS_DIR;
const OUT = process.env.VFT_VIEWS_OUT || VIEWS_DIR;
if (!EXE || !fs.existsSync(EXE) || !VIEWS_DIR || !fs.existsSync(VIEWS_DIR)) {
  console.error('Set VFT_EXE to the program and VFT_VIEWS_DIR to the assembled views');
  process.exit(2);
}
const CHROMIUM =
  process.env.VFT_CHROMIUM ||
  ['/usr/bin/chromium-headless-shell', '/usr/bin/chromium'].find((p) => fs.existsSync(p));

const UI = 'io.modelcontextprotocol/ui';
const MIME = 'text/html;profile=mcp-app';
const LEGACY = '2025-06-18';
const CURRENT = '2026-07-28';
// The host's restrictive default of MCP Apps, for a resource that declares no csp.
const DEFAULT_CSP =
  "default-src 'none'; script-src 'self' 'unsafe-inline'; style-src 'self' 'unsafe-inline'; " +
  "img-src 'self' data:; media-src 'self' data:; connect-src 'none';";
const VIEWS = ['bills', 'inventory', 'media', 'studio'];
const SIZE_LIMIT = 32 * 1024;
// Bounds for the browser's waits: a view draws in milliseconds; a render takes seconds.
const DRAW_BOUND_MS = 10000;
const CALL_BOUND_MS = 60000;

let passed = 0;
let failed = 0;
let skipped = 0;
async function check(name, body) {
  try {
    await body();
    passed += 1;
    console.log(`ok - ${name}`);
  } catch (error) {
    failed += 1;
    console.log(`not ok - ${name}`);
    console.log(`  ${String(error?.stack ?? error).split('\n').join('\n  ')}`);
  }
}
function skip(name, reason) {
  skipped += 1;
  console.log(`skip - ${name}: ${reason}`);
}

// ---- the views' own files: size, markup sinks and addresses ---------------------------------
const SINKS = /innerHTML|outerHTML|insertAdjacentHTML|document\.write/;
// A view keeps no state outside the page.
const STORAGE = /localStorage|sessionStorage|indexedDB|document\.cookie|caches\.|serviceWorker/;
const ADDRESSES = [
  /[a-z][a-z0-9+.-]*:\/\//i, // any scheme with an authority: http://, ws://, file://…
  /["'(=]\s*\/\/[a-z0-9]/i, // scheme-relative
  /\burl\s*\(/i,
  /@import/i,
  /<link\b/i,
  /<(?:script|img|iframe|audio|video|source|embed|object)\b[^>]*\bsrc\s*=/i,
  /\b(?:href|action|srcset|poster|formaction)\s*=/i,
];
const files = {};
for (const name of VIEWS) {
  const file = path.join(VIEWS_DIR, `${name}.html`);
  await check(`${name}: the assembled view is at most 32 KB, has no markup sink, storage or address`, () => {
    const bytes = fs.readFileSync(file);
    files[name] = bytes.toString('utf8');
    assert.ok(bytes.length <= SIZE_LIMIT, `${bytes.length} bytes`);
    assert.ok(!SINKS.test(files[name]), `markup sink: ${files[name].match(SINKS)?.[0]}`);
    assert.ok(!STORAGE.test(files[name]), `storage: ${files[name].match(STORAGE)?.[0]}`);
    for (const pattern of ADDRESSES) {
      assert.ok(!pattern.test(files[name]), `address: ${files[name].match(pattern)?.[0]}`);
    }
  });
}
if (!CHROMIUM) {
  console.log('not ok - a browser: neither chromium-headless-shell nor chromium is installed');
  console.log(`${passed} passed, ${failed + 1} failed, ${skipped} skipped`);
  process.exit(1);
}

// ---- the test host: bundle, two loopback origins -------------------------------------------
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'vft-views-'));
process.on('exit', () => fs.rmSync(work, { recursive: true, force: true }));
fs.mkdirSync(OUT, { recursive: true });
const bundle = path.join(OUT, 'views-test-host.js');
await esbuild.build({
  entryPoints: [path.join(HERE, 'host-page.mjs')],
  bundle: true,
  format: 'iife',
  platform: 'browser',
  target: 'es2022',
  outfile: bundle,
  logLevel: 'error',
});

const served = []; // the documents the sandbox origin served as views
const strays = []; // any other request that reached a test server
function listen(handler) {
  const server = http.createServer(handler);
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}
const hostServer = await listen((req, res) => {
  if (req.url === '/host.html') {
    res.writeHead(200, { 'content-type': 'text/html; charset=utf-8' });
    res.end('<!DOCTYPE html><html><head><meta charset="utf-8"><title>test host</title></head>' +
      '<body><script src="/host.js"></script></body></html>');
  } else if (req.url === '/host.js') {
    res.writeHead(200, { 'content-type': 'text/javascript' });
    res.end(fs.readFileSync(bundle));
  } else {
    strays.push(`host ${req.method} ${req.url}`);
    res.writeHead(404).end();
  }
});
const sandboxServer = await listen((req, res) => {
  if (req.url === '/sandbox.html') {
    res.writeHead(200, {
      'content-type': 'text/html; charset=utf-8',
      'content-security-policy':
        "default-src 'none'; script-src 'self'; style-src 'unsafe-inline'; frame-src 'self'; form-action 'self'",
    });
    res.end('<!DOCTYPE html><html><head><meta charset="utf-8"><style>html,body{margin:0;height:100%}' +
      '</style></head><body><script src="/sandbox.js"></script></body></html>');
  } else if (req.url === '/sandbox.js') {
    res.writeHead(200, { 'content-type': 'text/javascript' });
    res.end(fs.readFileSync(path.join(HERE, 'sandbox.js')));
  } else if (req.url === '/view' && req.method === 'POST') {
    const chunks = [];
    req.on('data', (chunk) => chunks.push(chunk));
    req.on('end', () => {
      const encoded = new URLSearchParams(Buffer.concat(chunks).toString('utf8')).get('html') ?? '';
      const html = Buffer.from(encoded, 'base64').toString('utf8');
      served.push(html);
      res.writeHead(200, {
        'content-type': 'text/html; charset=utf-8',
        'content-security-policy': DEFAULT_CSP,
      });
      res.end(html);
    });
  } else {
    strays.push(`sandbox ${req.method} ${req.url}`);
    res.writeHead(404).end();
  }
});
const HOST = `http://127.0.0.1:${hostServer.address().port}`;
const SANDBOX = `http://127.0.0.1:${sandboxServer.address().port}`;

const browser = await chromium.launch({ executablePath: CHROMIUM, headless: true });
const browserContext = await browser.newContext({
  viewport: { width: 680, height: 900 },
  colorScheme: 'light',
});
const offLoopback = [];
await browserContext.route('**/*', (route) => {
  const url = new URL(route.request().url());
  if (url.hostname === '127.0.0.1') return route.continue();
  offLoopback.push(url.href);
  return route.abort();
});
const page = await browserContext.newPage();
const toolCalls = [];
let activeClient = null;
await page.exposeFunction('vftCallTool', async (params) => {
  toolCalls.push(params);
  return activeClient.callTool(params, { timeout: CALL_BOUND_MS });
});

// ---- the program under the official client ------------------------------------------------
const scratch = path.join(work, 'homes');
fs.mkdirSync(scratch);
let homeCount = 0;
async function connect(app, revision, extra = {}) {
  const root = path.join(scratch, `${app}-${revision}-${++homeCount}`);
  const homes = { data: path.join(root, 'data'), home: path.join(root, 'home'), files: path.join(root, 'files') };
  for (const dir of Object.values(homes)) fs.mkdirSync(dir, { recursive: true });
  const transport = new StdioClientTransport({
    command: EXE,
    args: [app],
    env: { HOME: homes.home, VEYMORA_DATA_HOME: homes.data, PATH: process.env.PATH, ...extra },
    stderr: 'pipe',
  });
  const client = new Client(
    { name: 'veymora-views-test', version: '0.1.0' },
    {
      capabilities: { extensions: { [UI]: { mimeTypes: [MIME] } } },
      ...(revision === CURRENT ? { versionNegotiation: { mode: 'auto' } } : {}),
    },
  );
  await client.connect(transport);
  assert.equal(client.getNegotiatedProtocolVersion(), revision);
  assert.deepEqual(client.getServerCapabilities()?.extensions?.[UI], {}, 'the program offers views');
  const call = async (name, args) => {
    const result = await client.callTool({ name, arguments: args }, { timeout: CALL_BOUND_MS });
    assert.ok(!result.isError, `${name}: ${result.content?.[0]?.text}`);
    return result;
  };
  return { client, homes, call, tools: (await client.listTools()).tools };
}

// The view of a tool, as the program serves it: named on the tool, read as a resource, the
// very bytes the build embedded.
async function viewFor(conn, app, toolName, label) {
  const tool = conn.tools.find((t) => t.name === toolName);
  assert.ok(tool, `${toolName} is listed`);
  const uri = tool._meta?.ui?.resourceUri;
  assert.match(String(uri), /^ui:\/\//, `${toolName} names its view`);
  assert.equal(tool._meta['ui/resourceUri'], uri, 'the flat key names the same view');
  const read = await conn.client.readResource({ uri });
  assert.equal(read.contents.length, 1);
  const [content] = read.contents;
  assert.equal(content.mimeType, MIME);
  assert.equal(content.text, files[app], `${label}: the served view is the embedded one`);
  return { html: content.text, tool };
}

// An app-only tool: listed to this client for the view alone.
function appOnly(conn, name) {
  const tool = conn.tools.find((t) => t.name === name);
  assert.ok(tool, `${name} is listed to a client that declares the extension`);
  assert.deepEqual(tool._meta?.ui?.visibility, ['app']);
}

async function mount(view, args, result, { serverTools = true, ready } = {}) {
  await page.goto(`${HOST}/host.html`);
  served.length = 0;
  const appInfo = await page.evaluate((options) => window.vftMount(options), {
    html: view.html,
    sandboxUrl: `${SANDBOX}/sandbox.html`,
    tool: view.tool,
    args,
    result,
    theme: 'light',
    serverTools,
  });
  const frame = page.frames().find((f) => f.url() === `${SANDBOX}/view`);
  assert.ok(frame, 'the view frame is on the sandbox origin');
  assert.equal(served.at(-1), view.html, 'the frame got the bytes the bridge sent');
  if (ready) await frame.waitForFunction(ready, undefined, { timeout: DRAW_BOUND_MS });
  return { frame, appInfo };
}

const rgb = (frame) =>
  frame.evaluate(() => getComputedStyle(document.documentElement).backgroundColor);

// What every view must do: hostile text as text, dark theme, size reports, screenshots.
async function common(label, frame, hostileText, shots) {
  await check(`${label}: hostile record text shows as text`, async () => {
    const seen = await frame.evaluate((text) => ({
      images: document.querySelectorAll('img:not(#frames img)').length,
      bold: document.querySelectorAll('b').length,
      found: document.body.textContent.includes(text),
      alerted: window.vftAlerted === true,
    }), hostileText);
    assert.deepEqual(seen, { images: 0, bold: 0, found: true, alerted: false });
  });
  await check(`${label}: size-changed reports the drawn document`, async () => {
    const height = await frame.evaluate(() => Math.ceil(document.documentElement.getBoundingClientRect().height));
    // The latest report is the document as drawn now, and the host's frame follows it.
    await page.waitForFunction((h) => window.vftHost.sizes.at(-1)?.height === h &&
      document.getElementById('view').getBoundingClientRect().height === h, height,
    { timeout: DRAW_BOUND_MS });
  });
  if (shots) await page.locator('#view').screenshot({ path: path.join(OUT, `view-${shots}-light.png`) });
  await check(`${label}: the dark theme, ours and then the host's variables`, async () => {
    assert.equal(await rgb(frame), 'rgb(255, 255, 255)');
    await page.evaluate(() => window.vftContext({ theme: 'dark' }));
    await frame.waitForFunction(() => document.documentElement.dataset.theme === 'dark',
      undefined, { timeout: DRAW_BOUND_MS });
    assert.equal(await rgb(frame), 'rgb(23, 24, 26)');
    if (shots) await page.locator('#view').screenshot({ path: path.join(OUT, `view-${shots}-dark.png`) });
    await page.evaluate(() => window.vftContext({
      theme: 'dark',
      styles: { variables: { '--color-background-primary': '#1e1f22', '--color-text-primary': '#f0f0f0' } },
    }));
    // The host's own value for the background, once the change has reached the view.
    await frame.waitForFunction(() => getComputedStyle(document.documentElement).backgroundColor ===
      'rgb(30, 31, 34)', undefined, { timeout: DRAW_BOUND_MS });
  });
}

const hostile = (what) => `<img src=x onerror="window.vftAlerted=true"> <b>${what}</b>`;

// ---- bills -----------------------------------------------------------------------------------
async function billsChecks(revision, shots) {
  const label = `bills ${revision}`;
  const conn = await connect('bills', revision);
  activeClient = conn.client;
  const bills = [];
  let receipts = 0;
  async function bill(fields, confirmations = []) {
    const period = { periodStart: `${fields.dueDate.slice(0, 7)}-01`, periodEnd: `${fields.dueDate.slice(0, 7)}-28` };
    const made = (await conn.call('save_bill', { ...period, ...fields })).structuredContent.bill;
    let current = made;
    for (const [amount, voided] of confirmations) {
      const evidence = path.join(conn.homes.files, `receipt-${++receipts}.txt`);
      fs.writeFileSync(evidence, `paid ${receipts}`);
      current = (await conn.call('confirm_payment', {
        id: current.id, expectedVersion: current.version, confirmedOn: current.dueDate,
        amountMinor: amount, confirmationReference: `ref-${receipts}`, evidencePath: evidence,
      })).structuredContent;
      if (voided) {
        const last = current.confirmations.at(-1);
        current = (await conn.call('void_confirmation', {
          id: current.id, expectedVersion: current.version, confirmationId: last.id, reason: 'bounced',
        })).structuredContent;
      }
    }
    bills.push(current);
  }
  const base = {};
  await bill({ ...base, title: hostile('power'), provider: 'Power Co', dueDate: '2026-03-01', amountMinor: 12000, currency: 'EUR' });
  await bill({ ...base, title: 'Water', provider: 'City Water', dueDate: '2026-03-20', amountMinor: 4500, currency: 'EUR' });
  await bill({ ...base, title: 'Internet', provider: 'NetOne', dueDate: '2026-02-10', amountMinor: 6000, currency: 'USD' }, [[2500, false]]);
  await bill({ ...base, title: 'Phone', provider: 'NetOne', dueDate: '2026-01-10', amountMinor: 3000, currency: 'USD' }, [[3000, true]]);
  await bill({ ...base, title: 'Rent', provider: 'Landlord', dueDate: '2026-02-01', amountMinor: 80000, currency: 'EUR' }, [[80000, false]]);

  // The test's own sums: per month of the due date, provider and currency, what was billed
  // and what was confirmed paid of it (voided confirmations left out).
  const monthRows = (from, to) => {
    const sums = new Map();
    for (const b of bills) {
      const month = b.dueDate.slice(0, 7);
      if (month < from || month > to) continue;
      const key = [month, b.provider, b.currency].join('|');
      const paid = b.confirmations.filter((c) => !c.voided).reduce((a, c) => a + c.amountMinor, 0);
      const [billed, was] = sums.get(key) ?? [0, 0];
      sums.set(key, [billed + b.amountMinor, was + paid]);
    }
    return [...sums].map(([key, [billed, paid]]) => `${key}|${billed}|${paid}`).sort();
  };
  const window12 = (asOf) => {
    const [y, m] = asOf.split('-').map(Number);
    const month = (k) => `${Math.floor(k / 12)}-${String((k % 12) + 1).padStart(2, '0')}`;
    return [month(y * 12 + m - 1 - 11), month(y * 12 + m - 1)];
  };
  appOnly(conn, 'summarize_bills_by_month');
  const view = await viewFor(conn, 'bills', 'summarize_bills', label);
  const args = { asOf: '2026-03-15' };
  const result = await conn.call('summarize_bills', args);
  const { frame, appInfo } = await mount(view, args, result, {
    ready: () => document.getElementById('basis').textContent.startsWith('As of 2026-03-15'),
  });
  await check(`${label}: the handshake`, async () => {
    assert.equal(appInfo?.name, 'Veymora bills view');
    assert.equal(await page.evaluate(() => window.vftHost.initialized), true);
  });
  await check(`${label}: the largest total has the widest bar`, async () => {
    const bars = await frame.$$eval('rect.bar[data-currency]', (rects) =>
      rects.map((r) => ({ currency: r.dataset.currency, minor: Number(r.dataset.minor), width: Number(r.getAttribute('width')) })));
    assert.deepEqual(bars.map((b) => [b.currency, b.minor]), [['EUR', 16500], ['USD', 6500]]);
    assert.ok(bars[0].width > bars[1].width);
  });
  const overdueWords = () => frame.$$eval('tr[data-bill]', (rows) =>
    rows.map((r) => [r.cells[0].textContent, /\boverdue\b/.test(r.cells[4].textContent)]));
  await check(`${label}: the unpaid bills, overdue ones marked in words`, async () => {
    assert.deepEqual(await overdueWords(), [
      [hostile('power'), true], ['Water', false], ['Internet', true], ['Phone', true]]);
  });
  await check(`${label}: a fetch from the view is refused`, async () => {
    const outcome = await frame.evaluate(() => fetch('/probe').then(() => 'answered', () => 'refused'));
    assert.equal(outcome, 'refused');
    assert.ok(!strays.some((s) => s.includes('/probe')));
  });
  await check(`${label}: the as-of control asks the server and draws the answer`, async () => {
    await frame.fill('#asof', '2026-03-25');
    await frame.click('#apply');
    await frame.waitForFunction(() => document.getElementById('basis').textContent.startsWith('As of 2026-03-25'),
      undefined, { timeout: DRAW_BOUND_MS });
    assert.ok(toolCalls.some((c) => c.name === 'summarize_bills' && c.arguments.asOf === '2026-03-25'));
    assert.deepEqual((await overdueWords())[1], ['Water', true]);
  });
  await check(`${label}: the month-by-month figures equal the test's own sums`, async () => {
    await frame.waitForSelector('#months[data-as-of="2026-03-25"] tr[data-month]', { timeout: DRAW_BOUND_MS });
    const shown = await frame.$$eval('tr[data-month]', (rows) => rows.map((r) =>
      [r.dataset.month, r.dataset.provider, r.dataset.currency, Number(r.dataset.billed), Number(r.dataset.paid)].join('|')));
    const asked = toolCalls.filter((c) => c.name === 'summarize_bills_by_month').at(-1);
    assert.equal(asked.arguments.asOf, '2026-03-25');
    assert.deepEqual(shown.sort(), monthRows(...window12('2026-03-25')));
    assert.equal(await frame.$$eval('svg[data-chart-currency]', (c) => c.length), 2);
  });
  await common(label, frame, hostile('power'), shots && 'bills');
  await check(`${label}: no server control without serverTools`, async () => {
    const bare = await mount(view, args, result, {
      serverTools: false,
      ready: () => document.getElementById('basis').textContent.startsWith('As of'),
    });
    assert.equal(await bare.frame.$eval('#controls', (c) => c.hidden), true);
  });
  await conn.client.close();
}

// ---- media -----------------------------------------------------------------------------------
function makeSource(file) {
  execFileSync('ffmpeg', ['-hide_banner', '-loglevel', 'error', '-nostdin', '-f', 'lavfi', '-i',
    'testsrc2=size=320x180:rate=24:duration=5', '-f', 'lavfi', '-i', 'sine=frequency=440:duration=5',
    '-c:v', 'libx264', '-preset', 'ultrafast', '-pix_fmt', 'yuv420p', '-c:a', 'aac', '-shortest', file],
  { timeout: 60000 });
}

async function mediaChecks(revision, shots, source) {
  const label = `media ${revision}`;
  const conn = await connect('media', revision);
  activeClient = conn.client;
  const sourceCopy = path.join(conn.homes.files, 'source.mp4');
  fs.copyFileSync(source, sourceCopy);
  let project = (await conn.call('import_video', { title: hostile('clip'), path: sourceCopy })).structuredContent;
  project = project.project ?? project;
  const save = async (name, timeline) => {
    const saved = (await conn.call('save_edit', { id: project.id, expectedVersion: project.version, name, timeline })).structuredContent;
    project = { ...project, version: saved.projectVersion };
    return saved.edit;
  };
  // Every number here is exact in binary, so the peak sits on a step's midpoint.
  const ramped = await save(hostile('ramp'), { start: 0, end: 4, width: 320, height: 180, ramp: { start: 1, peak: 2.0625, end: 3, minSpeed: 0.5 } });
  const flat = await save('flat', { start: 0.5, end: 2.5, speed: 1.5, width: 320, height: 180 });
  const rendered = await conn.call('render_edit', { id: project.id, expectedVersion: project.version, editId: ramped.id, destinationPath: path.join(conn.homes.files, 'out.mp4') });
  const receipt = rendered.structuredContent.export;
  appOnly(conn, 'preview_edit_frames');
  const view = await viewFor(conn, 'media', 'render_edit', label);
  const { frame } = await mount(view, {}, rendered, {
    ready: () => document.getElementById('expected').textContent !== '' && document.querySelector('tr[data-export]'),
  });
  await check(`${label}: 32 steps with a ramp, the lowest at the peak is minSpeed`, async () => {
    assert.equal(await frame.$eval('path.steps', (p) => p.dataset.steps), '32');
    const speeds = await frame.$$eval('#steps tr[data-speed]', (rows) => rows.map((r) => Number(r.dataset.speed)));
    assert.equal(speeds.length, 32);
    assert.equal(Math.min(...speeds), 0.5);
    assert.equal(speeds.indexOf(0.5), 16);
  });
  await check(`${label}: the length shown is the receipt's, after a real render`, async () => {
    const text = await frame.$eval('#expected', (p) => p.textContent);
    assert.equal(text, `Expected output length: ${receipt.approximateExpectedDuration.toFixed(3)} s`);
    assert.equal(Number(await frame.$eval('#expected', (p) => p.dataset.seconds)), receipt.approximateExpectedDuration);
  });
  await check(`${label}: one step without a ramp`, async () => {
    await frame.selectOption('#edit', flat.id);
    assert.equal(await frame.$eval('path.steps', (p) => p.dataset.steps), '1');
    assert.equal(await frame.$$eval('#steps tr[data-speed]', (rows) => rows.length), 1);
    await frame.selectOption('#edit', ramped.id);
  });
  await check(`${label}: "Show frames" loads the asked number of images at the asked width`, async () => {
    await frame.selectOption('#width', '240');
    await frame.click('#frames-button');
    await frame.waitForFunction(() => document.querySelectorAll('#frames img').length > 0 &&
      [...document.querySelectorAll('#frames img')].every((i) => i.complete && i.naturalWidth > 0),
    undefined, { timeout: CALL_BOUND_MS });
    const sizes = await frame.$$eval('#frames img', (imgs) => imgs.map((i) => i.naturalWidth));
    const asked = toolCalls.filter((c) => c.name === 'preview_edit_frames').at(-1);
    assert.deepEqual(asked.arguments.times, [0, 1, 2.0625, 3, 4]);
    assert.equal(asked.arguments.width, 240);
    assert.deepEqual(sizes, asked.arguments.times.map(() => 240));
  });
  await common(label, frame, hostile('clip'), shots && 'media');
  await check(`${label}: a source changed on disk shows the tool's own error text`, async () => {
    const withFrames = await page.evaluate(() => window.vftHost.sizes.at(-1).height);
    fs.appendFileSync(sourceCopy, 'changed');
    const direct = await conn.client.callTool({ name: 'preview_edit_frames', arguments: { id: project.id, editId: ramped.id, times: [1] } });
    assert.equal(direct.isError, true);
    await frame.click('#frames-button');
    await frame.waitForFunction((text) => document.getElementById('status').textContent === text,
      direct.content[0].text, { timeout: CALL_BOUND_MS });
    assert.equal(await frame.$$eval('#frames img', (imgs) => imgs.length), 0);
    // Without the frames the document is shorter, and the host is told so.
    await page.waitForFunction((before) => window.vftHost.sizes.at(-1).height < before, withFrames,
      { timeout: DRAW_BOUND_MS });
  });
  await conn.client.close();
}

// ---- inventory -------------------------------------------------------------------------------
async function inventoryChecks(revision, shots) {
  const label = `inventory ${revision}`;
  const conn = await connect('inventory', revision);
  activeClient = conn.client;
  let item = (await conn.call('save_item', { title: hostile('car'), category: 'Car', model: 'Estate' })).structuredContent;
  const event = async (fields) => {
    const result = await conn.call('record_item_event', { id: item.id, expectedVersion: item.version, ...fields });
    item = result.structuredContent;
    return result;
  };
  await event({ kind: 'service', eventDate: '2025-01-10', note: 'oil', mileage: 10000, cost: 120.5 });
  await event({ kind: 'inspection', eventDate: '2025-06-01', note: 'passed', mileage: 15250.5 });
  await event({ kind: 'repair', eventDate: '2025-03-01', note: hostile('note'), cost: 80 });
  // An older reading entered last: it must not become the current one.
  const last = await event({ kind: 'service', eventDate: '2024-12-01', note: 'found an old receipt', mileage: 9000, cost: 60 });
  const view = await viewFor(conn, 'inventory', 'record_item_event', label);
  const { frame } = await mount(view, {}, last, { ready: () => document.querySelector('tr[data-event]') });
  await check(`${label}: one point per event with a mileage`, async () => {
    const points = await frame.$$eval('#mileage .point-mark', (marks) => marks.map((m) => Number(m.dataset.mileage)));
    assert.deepEqual(points, [9000, 10000, 15250.5]);
  });
  await check(`${label}: the marked reading is currentMileage and mileageAsOf, the older entry last`, async () => {
    assert.equal(item.currentMileage, 15250.5);
    assert.equal(item.mileageAsOf, '2025-06-01');
    const marked = await frame.$$eval('#mileage [data-current="true"]', (m) => m.map((e) => [Number(e.dataset.mileage), e.dataset.date]));
    assert.deepEqual(marked, [[item.currentMileage, item.mileageAsOf]]);
    const reading = await frame.$eval('#reading', (p) => [Number(p.dataset.currentMileage), p.dataset.asOf]);
    assert.deepEqual(reading, [item.currentMileage, item.mileageAsOf]);
    assert.equal(await frame.$$eval('#costs rect[data-cost]', (r) => r.length), 3);
  });
  await common(label, frame, hostile('car'), shots && 'inventory');
  await conn.client.close();
}

// ---- studio ----------------------------------------------------------------------------------
const STAGES = ['build', 'tests', 'clean_install', 'codex_host', 'chatgpt_host', 'public_page',
  'public_download', 'showcase', 'directory_upload', 'directory_submission', 'directory_approval',
  'directory_listing'];
const REQUIRED = {
  private: ['build', 'tests', 'clean_install'],
  public: ['build', 'tests', 'clean_install', 'public_page', 'public_download', 'showcase'],
};

async function studioChecks(revision, shots) {
  const label = `studio ${revision}`;
  const conn = await connect('studio', revision);
  activeClient = conn.client;
  const source = path.join(conn.homes.files, 'src');
  fs.mkdirSync(source);
  let receipts = 0;
  async function tool(id, visibility, evidence) {
    let record = (await conn.call('register_free_tool', { id, name: hostile(id), purpose: 'a test tool', sourcePath: source, visibility })).structuredContent;
    for (const [stage, outcome] of evidence) {
      const file = path.join(conn.homes.files, `receipt-${++receipts}.json`);
      fs.writeFileSync(file, JSON.stringify({ tool_id: id, tool_version: '0.1.0', stage, outcome, observed_at: `step ${receipts}`, url: 'https://example.invalid/' }));
      record = (await conn.call('record_tool_evidence', { id, expectedVersion: record.version, toolVersion: '0.1.0', stage, outcome, evidencePath: file })).structuredContent;
    }
    return conn.call('get_free_tool', { id });
  }
  const cases = {
    public: await tool('public-tool', 'public', [['build', 'passed'], ['tests', 'failed'], ['tests', 'passed'], ['public_page', 'passed'], ['showcase', 'failed'], ['codex_host', 'passed']]),
    private: await tool('private-tool', 'private', [['build', 'failed'], ['clean_install', 'passed']]),
  };
  const view = await viewFor(conn, 'studio', 'get_free_tool', label);
  for (const [visibility, result] of Object.entries(cases)) {
    const { frame } = await mount(view, { id: `${visibility}-tool` }, result, { ready: () => document.querySelector('tr[data-stage]') });
    const rows = () => frame.$$eval('#stages tr[data-stage]', (r) => r.map((e) => [e.dataset.stage, e.dataset.required === 'true', e.dataset.outcome]));
    await check(`${label}: ${visibility}: twelve stages, required as the visibility says`, async () => {
      const shown = await rows();
      assert.deepEqual(shown.map((r) => r[0]), STAGES);
      assert.deepEqual(shown.filter((r) => r[1]).map((r) => r[0]), REQUIRED[visibility]);
    });
    await check(`${label}: ${visibility}: the latest outcome per stage is what get_free_tool computes`, async () => {
      const computed = result.structuredContent.releaseStatus.requiredStages;
      const shown = Object.fromEntries((await rows()).filter((r) => r[1]).map((r) => [r[0], r[2]]));
      assert.deepEqual(shown, computed);
      assert.equal(await frame.$eval('#readiness', (p) => p.dataset.complete), String(result.structuredContent.releaseStatus.complete));
    });
    if (visibility === 'public') await common(label, frame, hostile('public-tool'), shots && 'studio');
  }
  await conn.client.close();
}

// ---- the Inspector CLI probe -----------------------------------------------------------------
// The official Inspector's CLI asks each bound tool for its view, declaring the extension or
// not, in both revisions. Its package asks for Node 22.19; it runs on Node 20, while Node 18
// (Debian 12's) lacks the CustomEvent it needs.
const BOUND = {
  bills: ['summarize_bills'],
  inventory: ['get_item', 'record_item_event'],
  media: ['get_project', 'save_edit', 'render_edit'],
  studio: ['get_free_tool', 'record_tool_evidence'],
};
const INSPECTOR = path.join(HERE, 'node_modules', '@modelcontextprotocol', 'inspector', 'clients',
  'launcher', 'build', 'index.js');
const ERAS = { [LEGACY]: 'legacy', [CURRENT]: 'modern' };
function inspect(app, tool, revision, advertise) {
  const root = fs.mkdtempSync(path.join(scratch, 'inspector-'));
  const env = { HOME: root, VEYMORA_DATA_HOME: root, PATH: process.env.PATH };
  const args = [INSPECTOR, '--cli', '--protocol-era', ERAS[revision],
    ...(advertise ? ['--advertise-apps'] : []), '--app-info', '--method', 'tools/call',
    '--tool-name', tool, EXE, app];
  return new Promise((resolve) => {
    execFile(process.execPath, args, { env, timeout: CALL_BOUND_MS }, (error, stdout, stderr) =>
      resolve({ code: error ? error.code : 0, stdout, stderr }));
  });
}
const nodeMajor = Number(process.versions.node.split('.')[0]);
const probes = [];
if (nodeMajor >= 20) {
  for (const revision of [LEGACY, CURRENT]) {
    for (const [app, tools] of Object.entries(BOUND)) {
      for (const tool of tools) probes.push({ app, tool, revision, advertise: true });
    }
    probes.push({ app: 'bills', tool: 'summarize_bills', revision, advertise: false });
  }
}
// They run beside the browser's checks, three at a time: each is a Node process and a program.
const probing = (async () => {
  const outcomes = [];
  for (let i = 0; i < probes.length; i += 3) {
    outcomes.push(...(await Promise.all(probes.slice(i, i + 3).map((p) =>
      inspect(p.app, p.tool, p.revision, p.advertise)))));
  }
  return outcomes;
})();

// ---- the runs ------------------------------------------------------------------------------------
const source = path.join(work, 'source.mp4');
makeSource(source);
for (const revision of [LEGACY, CURRENT]) {
  const shots = revision === CURRENT;
  for (const [name, run] of [['bills', billsChecks], ['media', (r, s) => mediaChecks(r, s, source)],
    ['inventory', inventoryChecks], ['studio', studioChecks]]) {
    await check(`${name} ${revision}: the data is made and the view served and mounted`, () =>
      run(revision, shots));
  }
}
await check('no request left loopback', async () => {
  assert.deepEqual(offLoopback, []);
  assert.deepEqual(strays, []);
  // The watch sees what it should: a request of the host page itself (a documentation
  // address, never reached) is caught and refused.
  await page.goto(`${HOST}/host.html`);
  const outcome = await page.evaluate(() => fetch('http://192.0.2.1/').then(() => 'answered', () => 'refused'));
  assert.equal(outcome, 'refused');
  assert.deepEqual(offLoopback, ['http://192.0.2.1/']);
});
await browser.close();

if (nodeMajor < 20) {
  skip('the Inspector CLI probe', `Node ${process.versions.node}: the Inspector needs Node 20 or later`);
}
const outcomes = await probing;
for (const [i, p] of probes.entries()) {
  const outcome = outcomes[i];
  const name = `inspector ${p.revision}: ${p.tool} ${p.advertise ? 'with' : 'without'} --advertise-apps`;
  await check(name, () => {
    if (!p.advertise) {
      assert.equal(outcome.code, 2, outcome.stderr);
      return;
    }
    assert.equal(outcome.code, 0, outcome.stderr + outcome.stdout);
    const info = JSON.parse(outcome.stdout.trim().split('\n').at(-1));
    assert.equal(info.hasApp, true);
    assert.match(info.resourceUri, new RegExp(`^ui://${p.app}/`));
    assert.equal(info.resourceMimeType, MIME);
  });
}

hostServer.close();
sandboxServer.close();
console.log(`${passed} passed, ${failed} failed, ${skipped} skipped`);
process.exit(failed ? 1 : 0);
