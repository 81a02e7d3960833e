// The Setup page in Debian's chromium: a loopback server for the document, a fake clock, and
// a stand-in for the native side built from the host's own bootstrap and reply texts.
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import assert from 'node:assert/strict';
import { chromium } from 'playwright-core';

export const pagePath = process.env.SETUP_PAGE;
export const pageBytes = fs.readFileSync(pagePath);
export const texts = JSON.parse(fs.readFileSync(process.env.WEBHOST_BRIDGE_TEXTS, 'utf8'));
export const shotDir = process.env.PAGE_SHOTS;

// The info document the real program builds (--check), without the check's own members.
export const realInfo = (() => {
  const doc = JSON.parse(fs.readFileSync(process.env.SETUP_CHECK_JSON, 'utf8'));
  delete doc.payloadValid;
  delete doc.error;
  return doc;
})();

// JSON as the native side writes it: compact, members in sorted key order.
export function nativeJson(value) {
  if (Array.isArray(value)) return '[' + value.map(nativeJson).join(',') + ']';
  if (value && typeof value === 'object') {
    return '{' + Object.keys(value).sort().map((k) => JSON.stringify(k) + ':' + nativeJson(value[k])).join(',') + '}';
  }
  return JSON.stringify(value);
}

export function info(overrides = {}) {
  return { ...realInfo, ...overrides };
}

// The host's reply script; checked against the texts the host prints.
export function replyScript(id, status, result) {
  return 'window.__webhost__.onReply(' + JSON.stringify(id) + ', ' + status + ', ' +
         (result === '' ? 'undefined' : JSON.stringify(result)) + ')';
}

export function progressScript(pct, label) {
  return 'window.setupProgress&&window.setupProgress(' + nativeJson({ label, pct }) + ')';
}

export function jobReply(ok, error = '', notes = []) {
  return nativeJson({ error, notes, ok });
}

// Real time a wait may take before it counts as a fault: far more than a loaded machine needs.
export const BOUND_MS = 60000;

// Waits on `check` (true when met) until it is met, or fails after BOUND_MS of real time.
export async function until(what, check) {
  const deadline = Date.now() + BOUND_MS;
  for (;;) {
    if (await check()) return;
    if (Date.now() > deadline) throw new Error('timed out waiting for ' + what);
    await new Promise((r) => setTimeout(r, 10));
  }
}

// Answers the page's calls as the Setup program does: the synchronous functions at once, the
// install and uninstall when the test says so.
class Native {
  constructor(page, infoText) {
    this.page = page;
    this.infoText = infoText;
    this.calls = [];
    this.held = [];
    this.waiters = [];
    this.infoAsked = new Promise((resolve) => { this.onInfo = resolve; });
  }

  async receive(message) {
    assert.equal(typeof message, 'string');
    const call = JSON.parse(message);
    assert.deepEqual(Object.keys(call), ['id', 'method', 'params']);
    assert.match(call.id, /^[0-9a-f]{32}$/);
    if (call.method === FLUSH) return;
    this.calls.push(call);
    if (call.method === 'setupInfo') {
      this.infoAnswered = typeof this.infoText === 'function' ? this.infoText(call, this)
                                                            : this.reply(call, 0, this.infoText);
      this.onInfo();
      return this.infoAnswered;
    }
    if (call.method === 'setupOpen' || call.method === 'setupWindow') return this.reply(call, 0, 'null');
    this.held.push(call);
    this.waiters.splice(0).forEach((wake) => wake());
  }

  reply(call, status, result) {
    return this.page.evaluate(replyScript(call.id, status, result));
  }

  progress(pct, label) {
    return this.page.evaluate(progressScript(pct, label));
  }

  // The next held install or uninstall call.
  async job(method) {
    const deadline = Date.now() + BOUND_MS;
    for (;;) {
      const at = this.held.findIndex((c) => c.method === method);
      if (at >= 0) return this.held.splice(at, 1)[0];
      if (Date.now() > deadline) throw new Error('no ' + method + ' call arrived');
      await new Promise((wake) => {
        this.waiters.push(wake);
        setTimeout(wake, 10);
      });
    }
  }

  // Returns once every message the page posted before it has been received: the posts of one
  // page arrive in order.
  flush() {
    const message = JSON.stringify({ id: '0'.repeat(32), method: FLUSH, params: [] });
    return this.page.evaluate((m) => window.__standinPost(m), message);
  }

  params(method) {
    return this.calls.filter((c) => c.method === method).map((c) => c.params);
  }
}

const FLUSH = '__flush';

let browser;
let server;
export const served = [];

export async function setUp() {
  server = http.createServer((req, res) => {
    served.push(req.url);
    if (req.url === '/' || req.url.startsWith('/?')) {
      // No charset in the header: the document's own declaration has to carry it.
      res.writeHead(200, { 'content-type': 'text/html' });
      res.end(pageBytes);
    } else {
      res.writeHead(404);
      res.end();
    }
  });
  await new Promise((ready) => server.listen(0, '127.0.0.1', ready));
  browser = await chromium.launch({ executablePath: '/usr/bin/chromium' });
  if (shotDir) fs.mkdirSync(shotDir, { recursive: true });
}

export async function tearDown() {
  await browser?.close();
  await new Promise((done) => (server ? server.close(done) : done()));
}

export const origin = () => `http://127.0.0.1:${server.address().port}`;

// Opens the page. With `native` (an info object, its text, or a function answering the info
// call), the host's bootstrap and bind scripts run first, as the browser runs them.
// `frameMs` draws an animation frame only that often (of page time), as a browser without a
// GPU does.
export async function open({ native, url = origin() + '/', width = 880, height = 580, route, js = true, frameMs } = {}) {
  const context = await browser.newContext({
    viewport: { width, height }, reducedMotion: 'reduce', javaScriptEnabled: js,
  });
  const page = await context.newPage();
  const problems = [];
  const requests = [];
  page.on('pageerror', (e) => problems.push('page error: ' + e.message));
  page.on('request', (r) => requests.push(r.url()));
  await page.exposeBinding('__cspViolation', (_, what) => problems.push('policy violation: ' + what));
  await page.addInitScript(() => {
    document.addEventListener('securitypolicyviolation', (e) => {
      window.__cspViolation(e.violatedDirective + ' ' + e.blockedURI);
    });
  });
  if (route) await page.route(route.match, (r) => r.fulfill({ status: 200, contentType: 'text/html', body: pageBytes }));
  // Page time moves only when a test runs it forward.
  await page.clock.install({ time: 0 });
  await page.clock.pauseAt(1000);
  if (frameMs) {
    await page.addInitScript((every) => {
      window.requestAnimationFrame = (cb) =>
        setTimeout(() => cb(performance.now()), every - (performance.now() % every));
    }, frameMs);
  }

  let stand = null;
  if (native !== undefined) {
    const infoText = typeof native === 'string' || typeof native === 'function' ? native : nativeJson(native);
    stand = new Native(page, infoText);
    await page.exposeBinding('__standinPost', (_, message) =>
      stand.receive(message).catch((e) => problems.push('stand-in: ' + e.message)));
    await page.addInitScript({
      content: 'window.chrome = window.chrome || {};\n' +
               'window.chrome.webview = { postMessage: function (m) { window.__standinPost(m); } };',
    });
    await page.addInitScript({ content: texts.bootstrap });
    await page.addInitScript({ content: texts.setupBindScript });
  }
  await page.goto(url);
  const p = { page, native: stand, problems, requests, context, url };
  if (stand) {
    // The info call has been answered and its promise handlers have run.
    await within('the info call', stand.infoAsked);
    await stand.infoAnswered;
    await settle(page);
  }
  return p;
}

// Lets pending replies and their promise reactions run.
export async function settle(page) {
  await page.evaluate('0');
  await page.evaluate('0');
}

// `promise`, or a failure once BOUND_MS of real time have passed.
export async function within(what, promise) {
  let timer;
  const late = new Promise((_, fail) => {
    timer = setTimeout(() => fail(new Error('timed out waiting for ' + what)), BOUND_MS);
  });
  try {
    return await Promise.race([promise, late]);
  } finally {
    clearTimeout(timer);
  }
}

// Waits until no transition or animation of the page is running or pending. They run on the
// browser's own clock, not the page's fake one: even a 0.01 ms one (reduced motion) ends only
// with a drawn frame, which a loaded machine draws late.
export async function still(page) {
  await within('the page to stand still', page.evaluate(async () => {
    for (;;) {
      const moving = document.getAnimations().filter((a) => a.pending || a.playState === 'running');
      if (!moving.length) return;
      await Promise.allSettled(moving.map((a) => a.finished));
    }
  }));
}

export async function run(page, ms) {
  await page.clock.runFor(ms);
  await settle(page);
}

// What the page shows: the screen and a few of its texts.
export function screen(page) {
  return page.evaluate(() => {
    const on = [...document.querySelectorAll('.screen.on')].map((s) => s.id);
    return { on, data: document.body.dataset.screen || '' };
  });
}

export async function showing(page, name) {
  const s = await screen(page);
  assert.deepEqual(s.on, ['s-' + name], 'screen shown');
  assert.equal(s.data, name);
  for (const other of ['welcome', 'work', 'done', 'error', 'remove']) {
    assert.equal(await visible(page, '#s-' + other), other === name, 's-' + other + ' visible');
  }
}

// Whether an element is visible once the page stands still: a visibility inherited through a
// transition changes only when that transition ends.
export async function visible(page, sel) {
  await still(page);
  return page.locator(sel).isVisible();
}

export const textOf = (page, sel) => page.locator(sel).textContent();

// No page error, no policy violation, and nothing fetched but the document.
export async function finish(p) {
  await settle(p.page);
  assert.deepEqual(p.problems, []);
  const doc = p.url.split('#')[0];
  const others = p.requests.filter((u) => u !== doc && !u.startsWith('data:'));
  assert.deepEqual(others, []);
  await p.context.close();
}

export async function shot(page, name) {
  if (!shotDir) return;
  await page.screenshot({ path: path.join(shotDir, name + '.png'), animations: 'disabled' });
}
