// The Setup page in chromium: its screens, texts and flows against a stand-in for the native
// side, the preview in an ordinary browser, and the start-up failure anywhere else.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { pathToFileURL } from 'node:url';
import {
  pageBytes, pagePath, texts, realInfo, info, nativeJson, replyScript, jobReply,
  setUp, tearDown, served, origin, open, settle, run, still, until, screen, showing, visible, textOf, finish, shot,
} from './harness.mjs';

before(setUp);
after(tearDown);

// Page time in which the ring fills from empty, more than the 650 ms pause after a reply.
const FILL_MS = 1500;
const HOSTILE = '<img src=x onerror="window.__pwned=1">';
const MIDDOT = '\u00b7';

// Opens the page with the native stand-in and waits out the 250 ms before the first screen.
async function started(infoDoc, size) {
  const p = await open({ native: infoDoc, ...size });
  await run(p.page, 300);
  return p;
}

async function clickInstall(p) {
  await p.page.click('#w-install');
  return p.native.job('setupInstall');
}

// Ring state as drawn.
const ring = (page) => page.evaluate(() => ({
  pct: Number(document.getElementById('pct-n').textContent),
  offset: Number(document.getElementById('ring-fill').getAttribute('stroke-dashoffset')),
  done: document.getElementById('ring').classList.contains('done'),
}));

const subRows = (page) => page.$$eval('#k-subs .sub', (rows) => rows.map((r) => ({
  text: r.textContent, now: r.classList.contains('now'), ticked: !!r.querySelector('.tk svg'),
})));

describe('the document', () => {
  test('is UTF-8 without a byte-order mark, self-contained and embedded in the program', () => {
    assert.notDeepEqual([...pageBytes.subarray(0, 3)], [0xef, 0xbb, 0xbf]);
    const html = new TextDecoder('utf-8', { fatal: true }).decode(pageBytes);
    assert.ok(html.includes('<meta http-equiv="Content-Security-Policy" content="default-src \'none\'; ' +
      'style-src \'unsafe-inline\'; script-src \'unsafe-inline\'; img-src data:">'));
    assert.doesNotMatch(html, /(src|href)=["']?(https?:|\/\/)/);
    assert.doesNotMatch(html, /<link\b|<script\s+src/);
    // Resources are stored as they are: the program carries these exact bytes.
    const exe = fs.readFileSync(process.env.SETUP_EXE);
    assert.ok(exe.includes(pageBytes), 'the page inside VantrelSetup.exe');
  });

  test('shows its fixed texts before any script runs, and no screen', async () => {
    const p = await open({ js: false });
    const { page } = p;
    assert.equal(await page.title(), 'Vantrel Setup');
    assert.equal(await textOf(page, '#bar-title'), 'Vantrel Setup');
    assert.ok(await page.locator('aside .word').isVisible());
    assert.equal(await page.getAttribute('#j-choose', 'aria-current'), 'step');
    assert.equal(await page.locator('.journey li').allTextContents().then((t) => t.join('|')),
      '1Make it yours|2Set up your workspace|3Start creating');
    for (const id of ['s-welcome', 's-work', 's-done', 's-error', 's-remove']) {
      assert.equal(await page.locator('#' + id).isVisible(), false, id);
    }
    await shot(page, '00-before-script');
    await finish(p);
  });
});

test('the checks of every page see a policy violation and a request', async () => {
  const p = await open({});
  await p.page.evaluate((port) => { new Image().src = `http://127.0.0.1:${port}/x.png`; }, 1);
  await until('the violation', () => p.problems.length > 0);
  assert.match(p.problems.join('\n'), /policy violation: img-src/);
  assert.deepEqual(p.requests.slice(1), ['http://127.0.0.1:1/x.png']);
  p.problems.length = 0;
  p.requests.length = 1;
  await finish(p);
});

describe('the host texts the stand-in uses', () => {
  test('replies are built exactly as the host builds them', () => {
    const { replies } = texts;
    const id = (script) => JSON.parse(script.match(/onReply\(("[0-9a-f]+")/)[1]);
    assert.equal(replyScript(id(replies.object.script), 0, '{"a":[1,2],"s":"x\\"y\\n\u00e9","n":null}'),
      replies.object.script);
    assert.equal(replyScript(id(replies.undefined.script), 0, ''), replies.undefined.script);
    assert.equal(replyScript(id(replies.rejected.script), 1, '{"code":7}'), replies.rejected.script);
    assert.match(texts.setupBindScript, /\["setupInfo","setupInstall","setupOpen","setupUninstall","setupWindow"\]/);
  });
});

describe('start with the native side', () => {
  test('fresh install with the info the program builds', async () => {
    const p = await open({ native: info({ installed: '' }) });
    const { page } = p;
    assert.deepEqual(p.native.params('setupInfo'), [[]]);
    // The first screen waits 250 ms.
    assert.deepEqual((await screen(page)).on, []);
    await run(page, 249);
    assert.deepEqual((await screen(page)).on, []);
    await run(page, 1);
    await showing(page, 'welcome');

    const title = realInfo.name + ' ' + MIDDOT + ' Setup';
    assert.equal(await page.title(), title);
    assert.equal(await textOf(page, '#bar-title'), title);
    assert.equal(await textOf(page, '#brand-for'), 'for DaVinci Resolve ' + MIDDOT + ' Beta');
    assert.equal(await textOf(page, '#version'), 'Version ' + realInfo.version + ' beta');
    assert.equal(await textOf(page, '#w-title'), 'Captions that move, inside Resolve');
    assert.equal(await textOf(page, '#w-lead'), realInfo.tagline);
    assert.equal(await textOf(page, '#w-install'), 'Install');
    assert.equal(await textOf(page, '#w-fine'),
      'Installs next to the stable version, so you can keep both. Installs for your account only. No administrator rights needed.');
    const rows = await page.$$eval('#w-list .comp', (rs) => rs.map((r) => ({
      label: r.querySelector('b').textContent, detail: r.querySelector('.detail').textContent,
      tick: !!r.querySelector('.tickc svg'), sw: !!r.querySelector('[role=switch]'), rise: r.style.getPropertyValue('--i'),
    })));
    assert.deepEqual(rows, realInfo.components.map((c, i) => ({
      label: c.label, detail: c.detail, tick: true, sw: false, rise: String(i + 2),
    })));

    // Other screens are inert and hidden from assistive technology.
    const states = await page.$$eval('.screen', (ss) => ss.map((s) => [s.id, s.inert, s.getAttribute('aria-hidden')]));
    assert.deepEqual(states, [['s-welcome', false, 'false'], ['s-work', true, 'true'], ['s-done', true, 'true'],
      ['s-error', true, 'true'], ['s-remove', true, 'true']]);

    // Chips fade in one after the other.
    const chipOn = () => page.$$eval('#chips .chip', (cs) => cs.map((c) => c.className));
    assert.deepEqual(await chipOn(), [realInfo.found.resolve, realInfo.found.python].map((f) => (f ? 'chip yes' : 'chip no')));
    await run(page, 900 - 250);
    assert.equal((await chipOn()).filter((c) => c.endsWith(' on')).length, 1);
    await run(page, 140);
    assert.equal((await chipOn()).filter((c) => c.endsWith(' on')).length, 2);
    await shot(page, '01-welcome-install');
    await finish(p);
  });

  test('update and reinstall', async () => {
    const up = await started(info({ installed: '0.4.2', version: '0.5.0' }));
    assert.equal(await textOf(up.page, '#w-title'), 'Update ' + realInfo.name);
    assert.equal(await textOf(up.page, '#w-lead'),
      'Version 0.4.2 is installed. This brings it to 0.5.0. Your sign-in and captions stay.');
    assert.equal(await textOf(up.page, '#w-install'), 'Update');
    await run(up.page, 1200);
    await shot(up.page, '02-welcome-update');
    await clickInstall(up);
    assert.equal(await textOf(up.page, '#k-title'), 'Updating');
    await finish(up);

    // Compared as texts: a newer installed version also reads as an update.
    const newer = await started(info({ installed: '0.10.0', version: '0.5.0' }));
    assert.equal(await textOf(newer.page, '#w-install'), 'Update');
    await finish(newer);

    const again = await started(info({ installed: '0.5.0', version: '0.5.0' }));
    assert.equal(await textOf(again.page, '#w-title'), realInfo.name + ' is installed');
    assert.equal(await textOf(again.page, '#w-lead'), 'Reinstall it to repair a missing or damaged file.');
    assert.equal(await textOf(again.page, '#w-install'), 'Reinstall');
    await finish(again);
  });

  test('channels: stable, missing, beta and any other', async () => {
    for (const [channel, forText, fine, version] of [
      ['stable', 'for DaVinci Resolve', 'Installs for your account only. No administrator rights needed.', 'Version 0.5.0'],
      [undefined, 'for DaVinci Resolve', 'Installs for your account only. No administrator rights needed.', 'Version 0.5.0'],
      ['', 'for DaVinci Resolve', 'Installs for your account only. No administrator rights needed.', 'Version 0.5.0'],
      ['nightly', 'for DaVinci Resolve ' + MIDDOT + ' Alpha',
        'An early test build. Installs for your account only. No administrator rights needed.', 'Version 0.5.0 nightly'],
    ]) {
      const doc = info({ version: '0.5.0', installed: '' });
      if (channel === undefined) delete doc.channel; else doc.channel = channel;
      const p = await started(doc);
      assert.equal(await textOf(p.page, '#brand-for'), forText, String(channel));
      assert.equal(await textOf(p.page, '#w-fine'), fine, String(channel));
      assert.equal(await textOf(p.page, '#version'), version, String(channel));
      await finish(p);
    }
  });

  test('an unknown kind takes the resolve copy; the adobe kind its own', async () => {
    const odd = await started(info({ kind: 'toString', channel: 'stable', installed: '' }));
    assert.equal(await textOf(odd.page, '#w-title'), 'Captions that move, inside Resolve');
    assert.equal(await textOf(odd.page, '#brand-for'), 'for DaVinci Resolve');
    await finish(odd);

    for (const [found, chips] of [
      [{ premiere: true, afterEffects: true, afterEffectsOpened: true }, ['Premiere Pro found', 'After Effects found']],
      [{ premiere: false, afterEffects: true }, ['Premiere Pro not found', 'After Effects found - open it once']],
      [{ premiere: true, afterEffects: false, afterEffectsOpened: true }, ['Premiere Pro found', 'After Effects not found']],
    ]) {
      const p = await started(info({ kind: 'adobe', channel: 'beta', installed: '', found }));
      assert.equal(await textOf(p.page, '#w-title'), 'Your words, inside Adobe');
      assert.equal(await textOf(p.page, '#brand-for'), 'Studio for Premiere Pro and After Effects ' + MIDDOT + ' Beta');
      assert.deepEqual(await p.page.locator('#chips .chip').allTextContents(), chips);
      await finish(p);
    }
  });

  test('a rejected, unreadable or empty info ends on the start-up failure', async () => {
    for (const answer of [
      (call, native) => native.reply(call, 1, JSON.stringify('went wrong')),
      (call, native) => native.reply(call, 0, '{not json'),
      (call, native) => native.reply(call, 0, 'null'),
      (call, native) => native.reply(call, 0, ''),
    ]) {
      const p = await open({ native: answer });
      await run(p.page, 300);
      await showing(p.page, 'error');
      assert.equal(await textOf(p.page, '#e-title'), 'Setup could not start');
      assert.equal(await textOf(p.page, '#e-lead'), 'Close setup and download a fresh copy from vantrel.app.');
      assert.equal(await visible(p.page, '#e-retry'), false);
      // Enter has no button to press; Escape still asks to close.
      await p.page.keyboard.press('Enter');
      await p.page.keyboard.press('Escape');
      await settle(p.page);
      assert.deepEqual(p.native.params('setupInstall'), []);
      assert.deepEqual(p.native.params('setupWindow'), [['close']]);
      await finish(p);
    }
  });
});

describe('install flow', () => {
  test('progress moves the ring forward only, and the rows follow the labels', async () => {
    const p = await started(info({ installed: '' }));
    const { page, native } = p;
    const call = await clickInstall(p);
    assert.deepEqual(call.params, [{}]);
    await showing(page, 'work');
    assert.equal(await textOf(page, '#k-title'), 'Installing');
    assert.equal(await textOf(page, '#k-step'), 'Getting ready...');
    assert.deepEqual(await ring(page), { pct: 0, offset: 515, done: false });
    assert.equal(await page.getAttribute('#j-install', 'aria-current'), 'step');
    assert.equal(await page.getAttribute('#j-choose', 'class'), 'complete');

    let last = 0;
    for (const pct of [4, 18, 40, 58, 82]) {
      await native.progress(pct, 'Step at ' + pct);
      const seen = [];
      for (let f = 0; f < 8; f++) {
        await run(page, 16);
        seen.push((await ring(page)).pct);
      }
      // Eased: moving, never back, not there at once.
      assert.ok(seen.every((v, i) => v >= (i ? seen[i - 1] : last)), `smooth towards ${pct}: ${seen}`);
      assert.ok(seen[0] < pct, `eases into ${pct}: ${seen}`);
      await run(page, 1500);
      const r = await ring(page);
      assert.equal(r.pct, pct);
      assert.ok(Math.abs(r.offset - 515 * (1 - pct / 100)) < 1e-9, `offset at ${pct}`);
      last = pct;
    }
    assert.equal(await textOf(page, '#k-step'), 'Step at 82...');

    // Backwards, invalid and too large.
    await native.progress(30, 'Step at 82');
    await page.evaluate('window.setupProgress&&window.setupProgress({"label":"","pct":NaN})');
    await page.evaluate('window.setupProgress&&window.setupProgress({"label":"","pct":"95"})');
    await page.evaluate('window.setupProgress&&window.setupProgress({"label":"","pct":Infinity})');
    await run(page, 1500);
    assert.equal((await ring(page)).pct, 82);
    await native.progress(150, 'Done');
    await run(page, 2000);
    assert.deepEqual(await ring(page), { pct: 100, offset: 0, done: false });

    // Five labels, four rows; the repeated label and "Done" add none.
    const rows = await subRows(page);
    assert.deepEqual(rows.map((r) => r.text), ['Step at 18', 'Step at 40', 'Step at 58', 'Step at 82']);
    assert.deepEqual(rows.map((r) => [r.now, r.ticked]), [[false, true], [false, true], [false, true], [true, false]]);
    assert.equal(await textOf(page, '#k-step'), 'Step at 82...');
    await shot(page, '03-work');
    await finish(p);
  });

  test('the ring keeps its pace however few frames are drawn, and finishes full', async () => {
    // The ring as drawn, and what it showed when its finished state came.
    const watch = (page) => page.evaluate(() => {
      const ringEl = document.getElementById('ring');
      new MutationObserver(() => {
        if (!ringEl.classList.contains('done') || window.__atCheck) return;
        window.__atCheck = {
          offset: Number(document.getElementById('ring-fill').getAttribute('stroke-dashoffset')),
          pct: document.getElementById('pct-n').textContent,
          step: document.getElementById('k-step').textContent,
        };
      }).observe(ringEl, { attributes: true, attributeFilter: ['class'] });
    });
    const drawn = async (page) => 100 * (1 - (await ring(page)).offset / 515);
    const atCheck = (page) => page.evaluate(() => window.__atCheck);

    // A frame every 1/60 s, and three a second as a browser without a GPU draws them.
    const many = await started(info({ installed: '' }));
    const few = await started(info({ installed: '' }), { frameMs: 333 });
    const calls = [];
    for (const p of [many, few]) {
      calls.push(await clickInstall(p));
      await watch(p.page);
      await p.native.progress(40, 'Installing the Vantrel window');
    }
    // Both just past the sparse page's second frame.
    const ahead = await few.page.evaluate(() => 333 - (performance.now() % 333) + 333 + 1);
    for (const p of [many, few]) await run(p.page, ahead);
    const paced = [await drawn(many.page), await drawn(few.page)];
    assert.ok(paced[0] > 30 && paced[0] < 40, `moving towards 40: ${paced}`);
    assert.ok(Math.abs(paced[0] - paced[1]) < 0.5, `the same progress at the same time: ${paced}`);

    for (const [i, p] of [many, few].entries()) {
      await p.native.reply(calls[i], 0, jobReply(true));
      await run(p.page, FILL_MS + 1300);
      assert.deepEqual(await atCheck(p.page), { offset: 0, pct: '100', step: 'Installed' });
      await showing(p.page, 'done');
      await finish(p);
    }

    const remove = await started(info({ mode: 'uninstall', installed: '0.5.0' }), { frameMs: 333 });
    await remove.page.click('#r-go');
    const call = await remove.native.job('setupUninstall');
    await watch(remove.page);
    await remove.native.reply(call, 0, jobReply(true));
    await run(remove.page, FILL_MS + 1200);
    assert.deepEqual(await atCheck(remove.page), { offset: 0, pct: '100', step: 'Removed' });
    await showing(remove.page, 'done');
    await finish(remove);
  });

  test('a new label shows 160 ms later', async () => {
    const p = await started(info({ installed: '' }));
    await clickInstall(p);
    await p.native.progress(4, 'Checking the installer');
    await run(p.page, 100);
    assert.equal(await textOf(p.page, '#k-step'), 'Getting ready...');
    await run(p.page, 60);
    assert.equal(await textOf(p.page, '#k-step'), 'Checking the installer...');
    await finish(p);
  });

  test('success: the pauses, then the done screen with the notes', async () => {
    const p = await started(info({ installed: '' }));
    const { page, native } = p;
    const call = await clickInstall(p);
    await native.progress(4, 'Checking the installer');
    await native.progress(40, 'Installing the Vantrel window');
    await native.progress(100, 'Done');
    await run(page, 2000);
    await native.reply(call, 0, jobReply(true, '', ['python', 'restart-resolve', 'no-resolve', HOSTILE]));
    await settle(page);
    // Escape and Enter do nothing while the pauses run.
    await page.keyboard.press('Escape');
    await page.keyboard.press('Enter');
    await run(page, 649);
    assert.equal((await ring(page)).done, false);
    await run(page, 1);
    assert.equal((await ring(page)).done, true);
    assert.equal(await textOf(page, '#k-step'), 'Installed');
    assert.ok((await subRows(page)).every((r) => !r.now && r.ticked));
    await page.keyboard.press('Escape');
    await run(page, 1299);
    await showing(page, 'work');
    await shot(page, '04-work-finished');
    await run(page, 1);
    await showing(page, 'done');
    assert.deepEqual(native.params('setupWindow'), []);
    assert.deepEqual(native.params('setupInstall').length, 1);

    assert.equal(await textOf(page, '#d-title'), "You're all set");
    assert.equal(await textOf(page, '#d-lead'), realInfo.name + ' ' + realInfo.version + ' is installed.');
    assert.deepEqual(await page.locator('#d-steps li').allTextContents(),
      ['Restart DaVinci Resolve', 'Open a timeline', 'Choose Workspace \u203a Scripts \u203a Vantrel Beta']);
    const notes = await page.$$eval('#d-notes .note', (ns) => ns.map((n) => [n.className, n.textContent]));
    assert.equal(notes.length, 4);
    assert.deepEqual(notes.map((n) => n[0]), ['note warn', 'note', 'note warn', 'note']);
    assert.match(notes[0][1], /^64-bit Python 3 is needed\. Install Python 3\.12 from .+ and tick \u201cAdd python\.exe to PATH\u201d, then restart Resolve\. Setup installs Vantrel, not Python\.Get Python$/);
    assert.doesNotMatch(notes[0][1], /https?:|www\./);
    assert.equal(notes[1][1], 'Resolve is open. Restart it so Vantrel appears in the Scripts menu.');
    assert.equal(notes[2][1], 'DaVinci Resolve was not found. Install Resolve and restart it before using the Vantrel script.');
    assert.equal(notes[3][1], HOSTILE);
    assert.equal(await page.locator('#d-notes img').count(), 0);
    assert.equal(await visible(page, '#d-open'), false);
    assert.equal(await textOf(page, '#d-fine'), 'Installed in ' + realInfo.folder);
    assert.equal(await page.getAttribute('#j-done', 'class'), 'active');
    assert.deepEqual(await page.$$eval('.journey li', (ls) => ls.map((l) => l.getAttribute('aria-current'))),
      [null, null, 'step']);
    await shot(page, '05-done');

    // Enter does nothing here (the open button is hidden); the note's button opens Python's page.
    await page.keyboard.press('Enter');
    await page.click('#d-notes .note.warn button');
    await settle(page);
    assert.deepEqual(native.params('setupOpen'), [['python']]);
    assert.deepEqual(native.params('setupWindow'), []);
    await page.click('#d-close');
    await settle(page);
    assert.deepEqual(native.params('setupWindow'), [['close']]);
    await finish(p);
  });

  test('optional components are switches whose choices go with the install, and again on Try again', async () => {
    const components = [
      { detail: 'Always there.', id: 'app', label: 'Vantrel Studio', on: true, optional: false },
      { detail: 'A panel.', id: 'ae', label: 'After Effects panel', on: true, optional: true },
      { detail: 'A shortcut.', id: 'desktop', label: 'Desktop shortcut', on: false, optional: true },
    ];
    const p = await started(info({ installed: '', components }));
    const { page, native } = p;
    const switches = page.locator('[role=switch]');
    assert.deepEqual(await switches.evaluateAll((s) => s.map((e) => [e.getAttribute('aria-label'), e.getAttribute('aria-checked')])),
      [['After Effects panel', 'true'], ['Desktop shortcut', 'false']]);
    await switches.nth(1).click();
    assert.equal(await switches.nth(1).getAttribute('aria-checked'), 'true');
    // Enter on a focused switch flips it, as on any button, and does not start the install.
    await switches.nth(0).focus();
    await page.keyboard.press('Enter');
    await settle(page);
    assert.equal(await switches.nth(0).getAttribute('aria-checked'), 'false');
    assert.deepEqual(native.params('setupInstall'), []);
    await page.evaluate(() => document.activeElement.blur());
    await page.keyboard.press('Enter');
    const first = await native.job('setupInstall');
    assert.deepEqual(first.params, [{ ae: false, desktop: true }]);

    await native.reply(first, 0, jobReply(false, 'Could not replace Vantrel.exe. Close it and try again.'));
    await settle(page);
    await showing(page, 'error');
    assert.equal(await textOf(page, '#e-title'), "That didn't work");
    assert.equal(await textOf(page, '#e-lead'), 'Could not replace Vantrel.exe. Close it and try again.');
    assert.equal(await page.getAttribute('#j-install', 'aria-current'), 'step');
    await shot(page, '06-error');
    await page.click('#e-retry');
    const second = await native.job('setupInstall');
    assert.deepEqual(second.params, [{ ae: false, desktop: true }]);
    await showing(page, 'work');
    await finish(p);
  });

  test('failed replies of every shape end on the error screen, and Try again recovers', async () => {
    const p = await started(info({ installed: '' }));
    const { page, native } = p;
    const cases = [
      [(c) => native.reply(c, 0, jobReply(false, '')), 'Something went wrong.'],
      [(c) => native.reply(c, 0, nativeJson({ error: 'Already working.', ok: false })), 'Already working.'],
      // The host rejects a call whose function threw.
      [(c) => native.reply(c, 1, JSON.stringify('Unknown error')), 'Unknown error'],
      [(c) => native.reply(c, 1, ''), 'Something went wrong.'],
      [(c) => native.reply(c, 0, '{not json'), 'Failed to parse binding result as JSON'],
      [(c) => native.reply(c, 0, 'null'), 'Something went wrong.'],
      [(c) => native.reply(c, 0, '{"ok":"true","error":"Not quite"}'), 'Not quite'],
    ];
    await page.click('#w-install');
    for (const [answer, shown] of cases) {
      const call = await native.job('setupInstall');
      await answer(call);
      await settle(page);
      await showing(page, 'error');
      assert.equal(await textOf(page, '#e-lead'), shown);
      await page.keyboard.press('Enter');  // Try again is the screen's main button
    }
    const call = await native.job('setupInstall');
    await native.reply(call, 0, jobReply(true, '', []));
    await run(page, FILL_MS + 1300);
    await showing(page, 'done');
    assert.equal(await page.locator('#d-notes .note').count(), 0);
    assert.equal(native.params('setupInstall').length, cases.length + 1);
    await finish(p);
  });

  test('one operation at a time, and no keys while it runs', async () => {
    const p = await started(info({ installed: '' }));
    const { page, native } = p;
    await page.click('#w-install');
    await page.evaluate(() => document.getElementById('w-install').click());
    await page.keyboard.press('Enter');
    await page.keyboard.press('Escape');
    await settle(page);
    await native.job('setupInstall');
    await native.flush();
    assert.equal(native.params('setupInstall').length, 1);
    assert.deepEqual(native.params('setupWindow'), []);
    // The bar's close button is not held back by the page: the native side refuses it.
    await page.click('#close');
    await settle(page);
    assert.deepEqual(native.params('setupWindow'), [['close']]);
    await finish(p);
  });
});

test('the adobe kind: the open button starts the app, then asks to close', async () => {
  const p = await started(info({ kind: 'adobe', channel: 'stable', installed: '' }));
  const { page, native } = p;
  const call = await clickInstall(p);
  await native.reply(call, 0, jobReply(true, '', ['python']));
  await run(page, FILL_MS + 1300);
  await showing(page, 'done');
  // Adobe knows no "python" note: it is plain text.
  assert.deepEqual(await page.$$eval('#d-notes .note', (ns) => ns.map((n) => [n.className, n.textContent])),
    [['note', 'python']]);
  assert.equal(await visible(page, '#d-open'), true);
  await page.keyboard.press('Enter');
  await settle(page);
  assert.deepEqual(native.params('setupOpen'), [['app']]);
  await run(page, 299);
  assert.deepEqual(native.params('setupWindow'), []);
  await run(page, 1);
  assert.deepEqual(native.params('setupWindow'), [['close']]);
  await finish(p);
});

describe('uninstall flow', () => {
  test('confirm, work, done', async () => {
    const p = await started(info({ mode: 'uninstall', installed: '0.5.0' }));
    const { page, native } = p;
    await showing(page, 'remove');
    const title = realInfo.name + ' ' + MIDDOT + ' Uninstall';
    assert.equal(await page.title(), title);
    assert.equal(await textOf(page, '#bar-title'), title);
    assert.equal(await textOf(page, '#r-title'), 'Uninstall ' + realInfo.name + '?');
    assert.equal(await textOf(page, '#s-remove .lead'),
      'This removes it from this Windows account and signs this computer out. Your captions in Documents\\Vantrel stay where they are.');
    await run(page, 1200);
    await shot(page, '07-remove');

    await page.keyboard.press('Enter');
    const call = await native.job('setupUninstall');
    assert.deepEqual(call.params, []);
    await showing(page, 'work');
    assert.equal(await textOf(page, '#k-title'), 'Uninstalling');
    await native.progress(10, 'Removing files');
    await native.progress(90, 'Removing the uninstall entry');
    await native.progress(100, 'Done');
    await run(page, 2000);
    await native.reply(call, 0, jobReply(true));
    await run(page, 650);
    assert.equal((await ring(page)).done, true);
    assert.equal(await textOf(page, '#k-step'), 'Removed');
    const rows = await subRows(page);
    assert.deepEqual(rows.map((r) => r.now), [false, true]);
    await run(page, 1199);
    await showing(page, 'work');
    await run(page, 1);
    await showing(page, 'done');
    assert.equal(await textOf(page, '#d-title'), 'Uninstalled');
    assert.equal(await textOf(page, '#d-lead'), realInfo.name + ' was removed. Thanks for trying Vantrel.');
    assert.equal(await page.locator('#d-steps li').count(), 0);
    assert.equal(await page.locator('#d-notes > *').count(), 0);
    assert.equal(await textOf(page, '#d-fine'), '');
    assert.equal(await visible(page, '#d-open'), false);
    await shot(page, '08-done-uninstalled');
    assert.deepEqual(native.params('setupInstall'), []);
    await finish(p);
  });

  test('failure, Try again uninstalls again; Keep it closes', async () => {
    const p = await started(info({ mode: 'uninstall', installed: '0.5.0' }));
    const { page, native } = p;
    await page.click('#r-go');
    const call = await native.job('setupUninstall');
    await native.reply(call, 0, jobReply(false, 'Could not write to C:\\Users\\you\\AppData\\Local\\Programs\\Vantrel.'));
    await settle(page);
    await showing(page, 'error');
    assert.equal(await textOf(page, '#e-title'), "Couldn't uninstall");
    assert.equal(await textOf(page, '#e-lead'), 'Could not write to C:\\Users\\you\\AppData\\Local\\Programs\\Vantrel.');
    await page.click('#e-retry');
    await native.job('setupUninstall');
    assert.deepEqual(native.params('setupInstall'), []);
    await finish(p);

    const keep = await started(info({ mode: 'uninstall' }));
    await keep.page.click('#r-cancel');
    await settle(keep.page);
    assert.deepEqual(keep.native.params('setupWindow'), [['close']]);
    assert.deepEqual(keep.native.params('setupUninstall'), []);
    await finish(keep);
  });
});

describe('window chrome', () => {
  test('drag, minimize, close, Escape and no context menu', async () => {
    const p = await started(info({ installed: '' }));
    const { page, native } = p;
    await page.locator('#drag').click({ position: { x: 50, y: 10 } });
    await page.locator('#bar-title').click();
    await page.locator('#drag').click({ button: 'right', position: { x: 50, y: 10 } });
    await page.locator('#drag').click({ button: 'middle', position: { x: 50, y: 10 } });
    await page.click('#min');
    await page.click('#close');
    await page.keyboard.press('Escape');
    await settle(page);
    assert.deepEqual(native.params('setupWindow'), [['drag'], ['drag'], ['minimize'], ['close'], ['close']]);
    const prevented = await page.evaluate(() => {
      const e = new MouseEvent('contextmenu', { bubbles: true, cancelable: true });
      return !document.getElementById('w-title').dispatchEvent(e);
    });
    assert.equal(prevented, true);
    await finish(p);
  });
});

describe('native texts stay text', () => {
  test('hostile info, labels and errors are shown literally', async () => {
    const doc = info({
      name: HOSTILE, version: '<b>1</b>', tagline: HOSTILE, folder: 'C:\\<i>x</i>', installed: '',
      channel: '<s>c</s>',
      components: [
        { detail: HOSTILE, id: '__proto__', label: HOSTILE, on: true, optional: true },
        { detail: '<u>d</u>', id: 'y', label: '<u>l</u>', on: true, optional: false },
      ],
    });
    const p = await started(doc);
    const { page, native } = p;
    assert.equal(await textOf(page, '#bar-title'), HOSTILE + ' ' + MIDDOT + ' Setup');
    assert.equal(await textOf(page, '#w-lead'), HOSTILE);
    assert.equal(await textOf(page, '#version'), 'Version <b>1</b> <s>c</s>');
    const call = await clickInstall(p);
    assert.equal(JSON.stringify(call.params), '[{"__proto__":true}]');
    await native.progress(20, HOSTILE);
    await run(page, 200);
    assert.equal(await textOf(page, '#k-step'), HOSTILE + '...');
    await native.reply(call, 0, jobReply(false, 'Could not replace ' + HOSTILE + '. Close it and try again.'));
    await settle(page);
    assert.equal(await textOf(page, '#e-lead'), 'Could not replace ' + HOSTILE + '. Close it and try again.');
    await page.click('#e-retry');
    const again = await native.job('setupInstall');
    await native.reply(again, 0, jobReply(true, '', [HOSTILE]));
    await run(page, FILL_MS + 1300);
    await showing(page, 'done');
    assert.equal(await textOf(page, '#d-lead'), HOSTILE + ' <b>1</b> is installed.');
    assert.equal(await textOf(page, '#d-fine'), 'Installed in C:\\<i>x</i>');
    assert.equal(await page.locator('img, #bar-title *, #w-list b *, #e-lead *, #d-lead *, #d-fine *').count(), 0);
    assert.equal(await page.evaluate(() => window.__pwned), undefined);
    await finish(p);
  });
});

describe('preview in an ordinary browser', () => {
  test('resolve sample: update, simulated install, notes', async () => {
    const url = `${origin()}/?preview=1`;
    const p = await open({ url });
    const { page } = p;
    await run(page, 250);
    await showing(page, 'welcome');
    assert.equal(await textOf(page, '.preview-note'), 'Preview only - nothing is installed');
    assert.equal(await textOf(page, '#w-title'), 'Update Vantrel for DaVinci Resolve');
    assert.equal(await textOf(page, '#version'), 'Version 0.4.4');
    assert.deepEqual(await page.locator('#chips .chip').allTextContents(), ['DaVinci Resolve found', 'Compatible Python 3 needed']);
    assert.equal(await page.locator('#w-list .comp').count(), 2);
    await page.click('#w-install');
    await settle(page);
    assert.equal(await textOf(page, '#k-title'), 'Updating');
    const rowsAt = [];
    for (let i = 0; i < 5; i++) {
      rowsAt.push((await subRows(page)).length);
      await run(page, 700);
    }
    assert.deepEqual(rowsAt, [1, 2, 3, 4, 4]);
    await run(page, FILL_MS + 1300);
    await showing(page, 'done');
    assert.deepEqual(await page.$$eval('#d-notes .note', (ns) => ns.map((n) => n.className)), ['note warn', 'note']);
    assert.equal(await textOf(page, '#d-fine'), 'Installed in C:\\Users\\you\\AppData\\Local\\Programs\\Vantrel for DaVinci Resolve');
    // The preview opens nothing and closes nothing: no page, no navigation, the done screen stays.
    await page.click('#d-notes button');
    await page.click('#d-close');
    await run(page, 300);
    assert.equal(p.context.pages().length, 1);
    assert.equal(page.url(), url);
    await showing(page, 'done');
    await finish(p);
  });

  test('adobe sample: switches, done with the open button and a plain note', async () => {
    const url = `${origin()}/?preview=1#adobe`;
    const p = await open({ url });
    const { page } = p;
    await run(page, 1300);
    await showing(page, 'welcome');
    assert.equal(await textOf(page, '#w-title'), 'Your words, inside Adobe');
    assert.equal(await textOf(page, '#w-lead'),
      'Caption in Vantrel, then bring every styled word into Premiere Pro and After Effects.');
    assert.deepEqual(await page.locator('#chips .chip').allTextContents(), ['Premiere Pro found', 'After Effects found - open it once']);
    assert.deepEqual(await page.locator('[role=switch]').evaluateAll((s) => s.map((e) => e.getAttribute('aria-checked'))),
      ['true', 'true', 'false']);
    await shot(page, '09-preview-adobe-welcome');
    await page.click('#w-install');
    await run(page, 6 * 700 + FILL_MS + 1300);
    await showing(page, 'done');
    assert.deepEqual(await page.locator('#d-steps li').allTextContents(),
      ['Open Vantrel Studio and sign in', 'Caption your clip, then choose Send to Adobe']);
    assert.deepEqual(await page.locator('#d-notes .note').allTextContents(),
      ['After Effects has not been opened on this account yet. Open it once and run this installer again.']);
    assert.equal(await visible(page, '#d-open'), true);
    await shot(page, '10-preview-adobe-done');
    // Enter presses the visible open button; the preview opens nothing and stays open.
    await page.evaluate(() => {
      window.__pressed = 0;
      document.getElementById('d-open').addEventListener('click', () => window.__pressed++);
    });
    await page.keyboard.press('Enter');
    await run(page, 300);
    assert.equal(await page.evaluate(() => window.__pressed), 1);
    assert.equal(p.context.pages().length, 1);
    assert.equal(page.url(), url);
    await showing(page, 'done');
    await finish(p);
  });

  test('uninstall mode by the fragment, on localhost too', async () => {
    for (const [url, name] of [
      [`${origin()}/?preview=1#uninstall`, 'Vantrel for DaVinci Resolve'],
      [`${origin().replace('127.0.0.1', 'localhost')}/?preview=1#adobe-uninstall`, 'Vantrel Studio for Adobe'],
    ]) {
      const p = await open({ url });
      await run(p.page, 250);
      await showing(p.page, 'remove');
      assert.equal(await textOf(p.page, '#r-title'), 'Uninstall ' + name + '?');
      await p.page.click('#r-go');
      await run(p.page, 10000);
      await showing(p.page, 'done');
      assert.equal(await textOf(p.page, '#d-title'), 'Uninstalled');
      await finish(p);
    }
  });
});

describe('start-up failure without the native side', () => {
  test('another host, no preview switch, or a plain file', async () => {
    const cases = [
      { url: 'http://setup.example/?preview=1', route: { match: 'http://setup.example/**' } },
      { url: `${origin()}/?preview=0` },
      { url: `${origin()}/` },
      { url: pathToFileURL(pagePath).href + '?preview=1' },
    ];
    for (const c of cases) {
      const p = await open(c);
      await settle(p.page);
      await showing(p.page, 'error');
      assert.equal(await textOf(p.page, '#e-title'), 'Setup could not start', c.url);
      assert.equal(await textOf(p.page, '#e-lead'), 'Close setup and download a fresh copy from vantrel.app.');
      assert.equal(await visible(p.page, '#e-retry'), false);
      assert.equal(await p.page.locator('.preview-note').count(), 0);
      // Without a bridge the keys have nothing to ask: no error, and the screen stays.
      await p.page.keyboard.press('Escape');
      await p.page.keyboard.press('Enter');
      await settle(p.page);
      assert.deepEqual(p.problems, [], c.url);
      await showing(p.page, 'error');
      if (c === cases[0]) await shot(p.page, '11-startup-failure');
      await finish(p);
    }
  });
});

describe('narrow and low windows', () => {
  test('the brand column goes at 580 px, the ring shrinks when low', async () => {
    const p = await started(info({ installed: '' }), { width: 560, height: 520 });
    const { page } = p;
    assert.equal(await visible(page, 'aside.brand'), false);
    await run(page, 1200);
    await shot(page, '12-narrow-welcome');
    await clickInstall(p);
    await p.native.progress(40, 'Installing the Vantrel window');
    await run(page, 1500);
    // Read once the work screen has moved into place: on its way it is scaled to 99 %.
    await still(page);
    assert.equal(await page.locator('#ring').evaluate((e) => e.getBoundingClientRect().width), 140);
    await shot(page, '13-narrow-work');
    await finish(p);

    const mid = await started(info({ installed: '' }), { width: 740, height: 580 });
    await still(mid.page);
    assert.equal(await mid.page.locator('aside.brand').evaluate((e) => e.getBoundingClientRect().width), 220);
    await finish(mid);
  });
});

test('the loopback server served only the document', () => {
  assert.ok(served.length > 0);
  assert.deepEqual(served.filter((u) => u !== '/' && !u.startsWith('/?')), []);
});
