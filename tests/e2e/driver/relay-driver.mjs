// The browser end of the WebView2 relay: a program under test (through the stand-in runtime)
// connects once over loopback and drives one headless Chromium page. The wire format is in
// PROTOCOL.md beside this file.
import { EventEmitter } from 'node:events';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { randomUUID } from 'node:crypto';
import { pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';
import { descendants, killAll, processesWithArgument } from '../support/processes.mjs';

export const RELAY_VARIABLE = 'VANTREL_WEBVIEW2_RELAY';
// Documents given as text are served here: a real origin and a fresh window for each one,
// with init scripts run (a data: URL is capped at 2 MiB; setContent reuses the window).
export const DOCUMENT_URL = 'https://document.relay.invalid/';
export const VIEWPORT = { width: 880, height: 580 };

const BINDING = '__vantrelRelayPost';
const DISPATCH = '__vantrelRelayDispatch';

// Runs in every document before any other script: the page's view of WebView2's bridge.
function installWebViewShim({ binding, dispatch }) {
  const post = window[binding];
  const target = new EventTarget();
  const webview = {
    postMessage(message) {
      const json = JSON.stringify(message);
      post(json === undefined ? 'null' : json, typeof message === 'string' ? message : null).catch(() => {});
    },
    addEventListener: (type, listener, options) => target.addEventListener(type, listener, options),
    removeEventListener: (type, listener, options) => target.removeEventListener(type, listener, options),
  };
  if (typeof window.chrome !== 'object' || window.chrome === null) window.chrome = {};
  Object.defineProperty(window.chrome, 'webview', { value: webview, enumerable: true });
  Object.defineProperty(window, dispatch, {
    value(kind, text) {
      const data = kind === 'json' ? JSON.parse(text) : text;
      target.dispatchEvent(new MessageEvent('message', { data }));
    },
  });
}

// ExecuteScript: the text as a script in the page's global scope; the result as WebView2
// reports it (JSON, "null" for undefined and for what JSON cannot hold).
function evaluateAsScript(text) {
  let value;
  try {
    value = (0, eval)(text);
  } catch (error) {
    let description;
    try {
      description = error instanceof Error ? `${error.name}: ${error.message}` : String(error);
    } catch {
      description = 'exception';
    }
    return { json: 'null', exception: description };
  }
  try {
    const json = JSON.stringify(value);
    return { json: json === undefined ? 'null' : json };
  } catch {
    return { json: 'null' };
  }
}

class RequestError extends Error {}

function requireString(message, field) {
  const value = message[field];
  if (typeof value !== 'string') throw new RequestError(`"${field}" must be a string`);
  return value;
}

// A screenshot path is relative to the driver's folder and may not leave it. The program is
// a Windows one: either slash separates folders.
function screenshotPath(folder, given) {
  const relative = given.replaceAll('\\', '/');
  if (relative === '' || path.isAbsolute(relative) || /^[A-Za-z]:/.test(relative)) {
    throw new RequestError('"path" must be a relative path');
  }
  const full = path.resolve(folder, relative);
  if (!full.startsWith(path.resolve(folder) + path.sep)) throw new RequestError('"path" leaves the screenshot folder');
  return full;
}

// Starts Chromium and listens. Resolves once both are ready; the program may connect then.
export async function startRelayDriver({
  port = 0,
  screenshotDir = process.cwd(),
  executablePath = '/usr/bin/chromium',
  log = () => {},
} = {}) {
  const tag = `--vantrel-relay=${randomUUID()}`;
  const browser = await chromium.launch({ executablePath, headless: true, args: [tag] });
  const server = net.createServer({ noDelay: true });
  try {
    const context = await browser.newContext({ viewport: VIEWPORT });
    const page = await context.newPage();
    const driver = new RelayDriver({ browser, page, server, tag, screenshotDir, log });
    await driver._installShim();
    await new Promise((resolve, reject) => {
      server.once('error', reject);
      server.listen(port, '127.0.0.1', resolve);
    });
    driver.port = server.address().port;
    driver.address = `127.0.0.1:${driver.port}`;
    driver.env = { [RELAY_VARIABLE]: driver.address };
    return driver;
  } catch (error) {
    server.close();
    await browser.close().catch(() => {});
    throw error;
  }
}

class RelayDriver extends EventEmitter {
  constructor({ browser, page, server, tag, screenshotDir, log }) {
    super();
    this.browser = browser;
    this.page = page;
    this.port = 0;
    this.address = '';
    this.env = {};
    this.screenshotDir = screenshotDir;
    this._server = server;
    this._tag = tag;
    this._log = log;
    this._socket = null;
    this._queue = Promise.resolve();
    this._scripts = new Map();
    this._nextScript = 1;
    this._nextNavigation = 1;
    this._html = '';
    this._closing = null;
    this.connected = new Promise((resolve) => {
      this._onConnected = resolve;
    });
    this.closed = new Promise((resolve) => {
      this._onClosed = resolve;
    });
    server.on('connection', (socket) => this._accept(socket));
    // Chromium gone (crashed, killed): the run cannot go on, and the program must hear it.
    browser.on('disconnected', () => this._shutdown('browser'));
    page.on('dialog', (dialog) => dialog.dismiss().catch(() => {}));
    page.on('pageerror', (error) => log(`page error: ${error.message}`));
  }

  // Chromium's own processes: the browser (found by its tag) and everything below it.
  chromiumProcesses() {
    const roots = processesWithArgument(this._tag);
    return [...roots, ...roots.flatMap((pid) => descendants(pid))];
  }

  // Ends the run from the driver's side: the program sees its connection close.
  close() {
    return this._shutdown('driver');
  }

  // Waits for the run to end (the program hung up or asked to close). On timeout, every
  // process of the browser is killed and the promise rejects.
  async waitClosed(timeoutMs) {
    let timer;
    const timeout = new Promise((resolve) => {
      timer = setTimeout(() => resolve(null), timeoutMs);
    });
    const result = await Promise.race([this.closed, timeout]);
    clearTimeout(timer);
    if (result) return result;
    this.kill();
    throw new Error(`the relay run did not end within ${timeoutMs} ms`);
  }

  // Ends everything at once: connection, listener, browser processes.
  kill() {
    const pids = this.chromiumProcesses();
    this._socket?.destroy();
    this._server.close();
    killAll(pids);
    this._shutdown('killed');
  }

  async _installShim() {
    await this.page.route(DOCUMENT_URL, (route) =>
      route.fulfill({ status: 200, contentType: 'text/html; charset=utf-8', body: this._html }));
    await this.page.exposeBinding(BINDING, (source, json, text) => {
      if (source.frame !== this.page.mainFrame()) return;
      const event = { event: 'webMessage', json: String(json), source: source.frame.url() };
      if (typeof text === 'string') event.string = text;
      this.emit('webMessage', event);
      this._send(event);
    });
    await this.page.addInitScript(installWebViewShim, { binding: BINDING, dispatch: DISPATCH });
  }

  _accept(socket) {
    if (this._socket || this._closing) {
      socket.destroy();
      return;
    }
    this._socket = socket;
    this._server.close();
    socket.setEncoding('utf8');
    let pending = '';
    socket.on('data', (chunk) => {
      const scanned = pending.length; // holds no line end
      pending += chunk;
      let end = pending.indexOf('\n', scanned);
      for (; end >= 0; end = pending.indexOf('\n')) {
        const line = pending.slice(0, end).replace(/\r$/, '');
        pending = pending.slice(end + 1);
        if (line.trim() !== '') this._receive(line);
      }
    });
    socket.on('end', () => this._shutdown('hangup'));
    socket.on('close', () => this._shutdown('hangup'));
    socket.on('error', (error) => {
      this._log(`connection: ${error.message}`);
      this._shutdown('hangup');
    });
    this._onConnected();
  }

  _receive(line) {
    let message;
    try {
      message = JSON.parse(line);
    } catch {
      this._send({ id: null, ok: false, error: 'the request is not JSON' });
      return;
    }
    this.emit('request', message);
    // One request at a time, in the order sent, as the page sees calls from one thread.
    this._queue = this._queue.then(() => this._handle(message));
  }

  async _handle(message) {
    if (this._closing) return;
    const id = message?.id;
    if (!Number.isSafeInteger(id) || id <= 0 || typeof message.op !== 'string') {
      this._send({ id: Number.isSafeInteger(id) ? id : null, ok: false, error: 'a request needs a positive "id" and an "op"' });
      return;
    }
    try {
      await this._perform(id, message);
    } catch (error) {
      if (this._closing) return;
      this._send({ id, ok: false, error: error instanceof RequestError ? error.message : `${error.message}`.split('\n')[0] });
    }
  }

  async _perform(id, message) {
    const page = this.page;
    switch (message.op) {
      case 'navigateToString': {
        this._html = requireString(message, 'html');
        await this._navigate(id, DOCUMENT_URL);
        return;
      }
      case 'navigate': {
        await this._navigate(id, requireString(message, 'uri'));
        return;
      }
      case 'addScript': {
        const disposable = await page.addInitScript({ content: requireString(message, 'script') });
        const scriptId = String(this._nextScript++);
        this._scripts.set(scriptId, disposable);
        this._send({ id, ok: true, scriptId });
        return;
      }
      case 'removeScript': {
        const scriptId = requireString(message, 'scriptId');
        const disposable = this._scripts.get(scriptId);
        this._scripts.delete(scriptId);
        if (disposable) await disposable.dispose();
        this._send({ id, ok: true, removed: Boolean(disposable) });
        return;
      }
      case 'executeScript': {
        const result = await page.evaluate(evaluateAsScript, requireString(message, 'script'));
        this._send({ id, ok: true, ...result });
        return;
      }
      case 'postWebMessage': {
        let kind;
        let text;
        if (typeof message.json === 'string') {
          kind = 'json';
          text = message.json;
          try {
            JSON.parse(text);
          } catch {
            throw new RequestError('"json" is not valid JSON');
          }
        } else {
          kind = 'string';
          text = requireString(message, 'string');
        }
        // A document without the bridge (between documents) loses the message, as WebView2 does.
        await page.evaluate(([name, k, t]) => window[name]?.(k, t), [DISPATCH, kind, text]);
        this._send({ id, ok: true });
        return;
      }
      case 'screenshot': {
        const file = screenshotPath(this.screenshotDir, requireString(message, 'path'));
        fs.mkdirSync(path.dirname(file), { recursive: true });
        await page.screenshot({ path: file });
        this._send({ id, ok: true, path: file });
        this.emit('screenshot', file);
        return;
      }
      case 'close': {
        this._send({ id, ok: true });
        await this._shutdown('close');
        return;
      }
      default:
        throw new RequestError(`unknown op "${message.op}"`);
    }
  }

  // WebView2 answers a navigation call at once and reports its end later.
  async _navigate(id, uri) {
    const navigationId = this._nextNavigation++;
    this._send({ id, ok: true, navigationId });
    let event;
    try {
      const response = await this.page.goto(uri);
      event = { event: 'navigationCompleted', navigationId, success: true, uri: this.page.url() };
      if (response) event.httpStatusCode = response.status();
    } catch (error) {
      if (this._closing) return;
      event = { event: 'navigationCompleted', navigationId, success: false, uri, error: error.message.split('\n')[0] };
    }
    this._send(event);
  }

  _send(message) {
    if (!this._socket || this._socket.destroyed || this._closing) return;
    // Lone surrogates cannot cross as UTF-8: they become U+FFFD.
    const line = JSON.stringify(message, (key, value) => (typeof value === 'string' ? value.toWellFormed() : value));
    this._socket.write(`${line}\n`);
  }

  _shutdown(reason) {
    if (this._closing) return this._closing;
    this._closing = (async () => {
      this._log(`relay closing: ${reason}`);
      this._server.close();
      const socket = this._socket;
      if (socket && !socket.destroyed) {
        // Let the last reply reach the program before the connection goes.
        await new Promise((resolve) => {
          const timer = setTimeout(resolve, 30000);
          socket.end(() => {
            clearTimeout(timer);
            resolve();
          });
        });
      }
      socket?.destroy();
      await this.browser.close().catch(() => {});
      const result = { reason };
      this.emit('closed', result);
      this._onClosed(result);
      return result;
    })();
    return this._closing;
  }
}

// `node relay-driver.mjs [port]`: a driver for a manual run; prints the variable to set.
if (process.argv[1] && import.meta.url === pathToFileURL(path.resolve(process.argv[1])).href) {
  const relay = await startRelayDriver({ port: Number(process.argv[2] ?? 0), log: (t) => console.error(t) });
  console.log(`${RELAY_VARIABLE}=${relay.address}`);
  const { reason } = await relay.closed;
  console.error(`relay ended: ${reason}`);
}
