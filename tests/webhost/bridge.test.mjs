// The bootstrap script and the host's texts as the C++ code builds them, run in a vm context
// that stands in for the browser window.
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { randomFillSync } from 'node:crypto';
import fs from 'node:fs';
import vm from 'node:vm';

const texts = JSON.parse(fs.readFileSync(process.env.WEBHOST_BRIDGE_TEXTS, 'utf8'));
const replies = texts.replies;

// A window with a random source whose next ids a test may fix, and a recording postMessage.
function makeWindow() {
  const posted = [];
  const nextIds = [];
  const window = {
    crypto: {
      getRandomValues(bytes) {
        if (nextIds.length) {
          const hex = nextIds.shift();
          for (let i = 0; i < 16; i++) bytes[i] = parseInt(hex.substr(i * 2, 2), 16);
        } else {
          randomFillSync(bytes);
        }
        return bytes;
      },
    },
    chrome: { webview: { postMessage(message) { posted.push(message); return 'delivered'; } } },
  };
  window.window = window;
  const context = vm.createContext(window);
  const run = (code) => vm.runInContext(code, context);
  return { window, posted, nextIds, run };
}

function makePage() {
  const page = makeWindow();
  page.run(texts.bootstrap);
  return page;
}

// Values made inside the context have its prototypes; compare their JSON form.
const plain = (value) => (value === undefined ? value : JSON.parse(JSON.stringify(value)));

async function outcome(promise) {
  try {
    return { fulfilled: true, value: await promise };
  } catch (reason) {
    return { fulfilled: false, reason };
  }
}

async function isPending(promise) {
  let settled = false;
  promise.then(() => { settled = true; }, () => { settled = true; });
  await new Promise((resolve) => setImmediate(resolve));
  return !settled;
}

describe('bootstrap script', () => {
  test('wraps the post function between its two pieces', () => {
    const post = 'function(message) {\n  return window.chrome.webview.postMessage(message);\n}';
    assert.ok(texts.bootstrap.includes('return (' + post + ')(message);'));
    assert.ok(!/[\r\t]/.test(texts.bootstrap));
  });

  test('adds nothing to the window but __webhost__', () => {
    const page = makeWindow();
    const before = Object.getOwnPropertyNames(page.window);
    page.run(texts.bootstrap);
    const added = Object.getOwnPropertyNames(page.window).filter((n) => !before.includes(n));
    assert.deepEqual(added, ['__webhost__']);
    assert.equal(page.run('typeof generateId + typeof _promises + typeof Webhost_'),
                 'undefinedundefinedundefined');
    for (const name of ['post', 'call', 'onReply', 'onBind', 'onUnbind']) {
      assert.equal(typeof page.window.__webhost__[name], 'function', name);
      assert.ok(!Object.prototype.hasOwnProperty.call(page.window.__webhost__, name), name);
    }
  });

  test('falls back to msCrypto', () => {
    const page = makeWindow();
    page.window.msCrypto = page.window.crypto;
    delete page.window.crypto;
    page.run(texts.bootstrap);
    page.window.__webhost__.call('m');
    assert.match(JSON.parse(page.posted[0]).id, /^[0-9a-f]{32}$/);
  });
});

describe('calls', () => {
  test('ids are 32 lower-case hex digits, padded, and distinct', () => {
    const page = makePage();
    page.nextIds.push('000102030405060708090a0b0c0d0e0f');
    page.window.__webhost__.call('m');
    assert.equal(JSON.parse(page.posted[0]).id, '000102030405060708090a0b0c0d0e0f');
    const ids = new Set();
    for (let i = 0; i < 500; i++) {
      page.window.__webhost__.call('m');
      const { id } = JSON.parse(page.posted.at(-1));
      assert.match(id, /^[0-9a-f]{32}$/);
      ids.add(id);
    }
    assert.equal(ids.size, 500);
  });

  test('page functions post id, method and params in this order', () => {
    const page = makePage();
    page.run(texts.bindScript);
    page.nextIds.push('ab'.repeat(16), 'cd'.repeat(16), 'ef'.repeat(16));
    page.window.setupInfo();
    page.window.setupOpen({ url: 'https://example.com/a"b' });
    page.window.setupOpen(1, 'two', [3], undefined, null);
    assert.deepEqual(page.posted, [
      `{"id":"${'ab'.repeat(16)}","method":"setupInfo","params":[]}`,
      `{"id":"${'cd'.repeat(16)}","method":"setupOpen","params":[{"url":"https://example.com/a\\"b"}]}`,
      `{"id":"${'ef'.repeat(16)}","method":"setupOpen","params":[1,"two",[3],null,null]}`,
    ]);
  });
});

describe('host texts', () => {
  test('bind, onBind, onUnbind and reply texts byte for byte', () => {
    assert.equal(texts.bindScript,
      '(function() {\n  \'use strict\';\n  var methods = ["setupInfo","setupOpen"];\n' +
      '  methods.forEach(function(name) {\n    window.__webhost__.onBind(name);\n  });\n})()');
    assert.equal(texts.onBind, 'if (window.__webhost__) {\nwindow.__webhost__.onBind("setupInfo")\n}');
    assert.equal(texts.onUnbind, 'if (window.__webhost__) {\nwindow.__webhost__.onUnbind("setupInfo")\n}');
    assert.equal(replies.undefined.script, `window.__webhost__.onReply("${'01'.repeat(16)}", 0, undefined)`);
    assert.equal(replies.boolean.script, `window.__webhost__.onReply("${'05'.repeat(16)}", 0, "true")`);
    assert.equal(replies.negative.script, `window.__webhost__.onReply("${'06'.repeat(16)}", -1, "\\"no\\"")`);
  });

  test('the bind script gives each name a page function', () => {
    const page = makePage();
    page.run(texts.bindScript);
    assert.equal(typeof page.window.setupInfo, 'function');
    assert.equal(typeof page.window.setupOpen, 'function');
  });

  test('onBind and onUnbind add and remove a page function, with their errors', () => {
    const page = makePage();
    page.run(texts.onBind);
    assert.equal(typeof page.window.setupInfo, 'function');
    assert.throws(() => page.run(texts.onBind), { message: 'Property "setupInfo" already exists' });
    page.run(texts.onUnbind);
    assert.ok(!Object.prototype.hasOwnProperty.call(page.window, 'setupInfo'));
    assert.throws(() => page.run(texts.onUnbind), { message: 'Property "setupInfo" does not exist' });
  });

  test('onBind and onUnbind do nothing in a document without the bridge', () => {
    const page = makeWindow();
    page.run(texts.onBind);
    page.run(texts.onUnbind);
    assert.ok(!Object.prototype.hasOwnProperty.call(page.window, 'setupInfo'));
  });

  test('a bind script stops at a name the window already owns', () => {
    const page = makePage();
    const crypto = page.window.crypto;
    assert.match(texts.conflictBindScript, /var methods = \["alpha","crypto","zeta"\];/);
    assert.throws(() => page.run(texts.conflictBindScript), { message: 'Property "crypto" already exists' });
    assert.equal(typeof page.window.alpha, 'function');
    assert.equal(page.window.crypto, crypto);
    assert.ok(!Object.prototype.hasOwnProperty.call(page.window, 'zeta'));
  });
});

describe('replies', () => {
  // Calls a page function under the reply's id, then evaluates the host's reply.
  async function settle(name) {
    const page = makePage();
    page.run(texts.bindScript);
    page.nextIds.push(replies[name].id);
    const promise = page.window.setupInfo();
    assert.equal(JSON.parse(page.posted[0]).id, replies[name].id);
    page.run(replies[name].script);
    return outcome(promise);
  }

  test('undefined fulfils with undefined', async () => {
    assert.deepEqual(await settle('undefined'), { fulfilled: true, value: undefined });
  });

  test('a quoted JSON result fulfils with the parsed value', async () => {
    const result = await settle('object');
    assert.ok(result.fulfilled);
    assert.deepEqual(plain(result.value), { a: [1, 2], s: 'x"y\n\u00e9', n: null });
    assert.deepEqual(await settle('boolean'), { fulfilled: true, value: true });
  });

  test('a result that is not JSON rejects with the parse error', async () => {
    const result = await settle('notJson');
    assert.ok(!result.fulfilled);
    assert.equal(Object.prototype.toString.call(result.reason), '[object Error]');
    assert.equal(result.reason.message, 'Failed to parse binding result as JSON');
  });

  test('a non-zero status rejects with the parsed result', async () => {
    const rejected = await settle('rejected');
    assert.ok(!rejected.fulfilled);
    assert.deepEqual(plain(rejected.reason), { code: 7 });
    assert.deepEqual(await settle('negative'), { fulfilled: false, reason: 'no' });
    assert.deepEqual(await settle('rejectedUndefined'), { fulfilled: false, reason: undefined });
  });

  test('a throwing synchronous function rejects with its message', async () => {
    assert.deepEqual(await settle('thrown'), { fulfilled: false, reason: 'went "wrong" \u00e9' });
  });

  test('only status 0 exactly fulfils', async () => {
    const page = makePage();
    page.nextIds.push('aa'.repeat(16));
    const promise = page.window.__webhost__.call('m');
    page.run(`window.__webhost__.onReply("${'aa'.repeat(16)}", "0", "1")`);
    assert.deepEqual(await outcome(promise), { fulfilled: false, reason: 1 });
  });

  test('calls settle independently, in any order', async () => {
    const page = makePage();
    page.run(texts.bindScript);
    page.nextIds.push(replies.object.id, replies.boolean.id);
    const first = page.window.setupInfo();
    const second = page.window.setupInfo();
    page.run(replies.boolean.script);
    assert.equal(await second, true);
    assert.ok(await isPending(first));
    page.run(replies.object.script);
    assert.deepEqual(plain(await first), { a: [1, 2], s: 'x"y\n\u00e9', n: null });
  });

  test('a reply for an unknown id raises a script error and settles nothing', async () => {
    const page = makePage();
    page.nextIds.push(replies.boolean.id);
    const pending = page.window.__webhost__.call('m');
    assert.throws(() => page.run(replies.undefined.script));
    assert.ok(await isPending(pending));
  });
});
