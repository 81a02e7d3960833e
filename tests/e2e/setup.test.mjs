// End to end: the real VantrelSetup.exe under Wine, on the stand-in WebView2 runtime in relay
// mode, its page in a real headless Chromium. A user's clicks go to the page; the install goes
// into a sandbox folder and the sandbox registry key. Screenshots of every screen land in
// e2e-artifacts/setup/.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { startRelayDriver, VIEWPORT } from './driver/relay-driver.mjs';
import { isAlive } from './support/processes.mjs';
import { linuxPath, programsInPrefix, runUnderWine, windowsPath } from './support/wine.mjs';

const setupExe = process.env.VANTREL_SETUP_EXE;
const loader = process.env.VANTREL_STANDIN_LOADER;
const prefix = process.env.VANTREL_WINEPREFIX;
const artifacts = path.join(process.env.VANTREL_E2E_ARTIFACTS ?? 'e2e-artifacts', 'setup');
const systemLoader = path.join(prefix, 'drive_c', 'windows', 'system32', 'WebView2Loader.dll');

const installLeaf = path.join('Local', 'Programs', 'Vantrel for DaVinci Resolve Beta');
const sandboxKey = 'HKCU\\Software\\Vantrel\\SetupSandbox';
const uninstallKey = `${sandboxKey}\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VantrelForDaVinciResolveBeta`;
// Every program of this test, and what the uninstaller's self-deletion starts.
const ourPrograms = /^(VantrelSetup|uninstall|VantrelUninstall-\d+|VantrelCompanionBeta|cmd|ping)(\.exe)?$/i;
const uninstallCopy = /^VantrelUninstall-\d+\.exe$/i;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function until(what, check, timeoutMs) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await sleep(100);
  }
}

async function reg(...args) {
  const { code, output } = await runUnderWine('reg', args, {}, 60000).done;
  return { code, output: output.replaceAll('\r', '') };
}

// The values of the uninstall entry, or null when it is missing.
async function uninstallEntry() {
  const { code, output } = await reg('query', uninstallKey);
  if (code !== 0) return null;
  const values = {};
  for (const line of output.split('\n')) {
    const m = /^\s+(\S+)\s+REG_\w+\s+(.*)$/.exec(line);
    if (m) values[m[1]] = m[2];
  }
  return values;
}

// One interactive run: the driver, then the program with the relay's address and the sandbox.
async function startRun(t, program, args, sandbox) {
  const relay = await startRelayDriver({ screenshotDir: artifacts, log: (line) => t.diagnostic(line) });
  const chromium = relay.chromiumProcesses();
  const run = runUnderWine(program, args, { ...relay.env, VANTREL_SETUP_SANDBOX: sandbox }, 180000);
  const connected = await Promise.race([relay.connected.then(() => true), sleep(90000).then(() => false)]);
  if (!connected) {
    relay.kill();
    run.kill();
    assert.fail(`the program never connected:\n${(await run.done).output}`);
  }
  return { relay, run, chromium, page: relay.page };
}

async function onScreen(page, name, timeoutMs = 60000) {
  await page.waitForFunction((n) => document.body.dataset.screen === n, name, { timeout: timeoutMs });
}

// Once every transition and animation that ends has ended (the blobs and the pulsing dot run
// forever), and a frame has been drawn with their end.
async function standStill(page) {
  await page.waitForFunction(() => document.getAnimations().every((a) => a.playState !== 'running' ||
    a.effect?.getComputedTiming().iterations === Infinity), null, { timeout: 60000 });
  await page.evaluate(() => new Promise((drawn) => requestAnimationFrame(() => requestAnimationFrame(drawn))));
}

// As a user sees it: once the screen's entrance animations have played.
async function screenshot(page, name) {
  await standStill(page);
  const file = path.join(artifacts, `${name}.png`);
  await page.screenshot({ path: file });
  const bytes = fs.readFileSync(file);
  assert.equal(bytes.toString('latin1', 12, 16), 'IHDR', `${file} is a PNG`);
  assert.deepEqual([bytes.readUInt32BE(16), bytes.readUInt32BE(20)], [VIEWPORT.width, VIEWPORT.height]);
  return file;
}

// The progress steps that reach the page, recorded as the page takes them.
async function recordProgress(page) {
  await page.evaluate(() => {
    const show = window.setupProgress;
    window.__progressSeen = [];
    window.setupProgress = (update) => {
      window.__progressSeen.push(update);
      show(update);
    };
  });
}

// Keeps the reply of the bound function `name` from the page until `releaseReply`, so that the
// work screen stays however quick the job is; progress still reaches the page meanwhile.
async function holdReply(page, name) {
  await page.evaluate((n) => {
    const call = window[n];
    window[n] = (...args) => call(...args).then((reply) => new Promise((give) => {
      window.__releaseReply = () => give(reply);
      if (window.__released) give(reply);
    }));
  }, name);
}

async function releaseReply(page) {
  await page.evaluate(() => {
    window.__released = true;
    window.__releaseReply?.();
  });
}

// The work screen as it shows the job's first steps, past the cross-fade from the screen
// before; then the held reply goes to the page.
async function screenshotWork(page, name) {
  await page.waitForFunction(() => document.querySelectorAll('#k-subs .sub').length > 0, null, { timeout: 60000 });
  await standStill(page);
  assert.equal(await page.evaluate(() => document.body.dataset.screen), 'work', 'the work screen is shown');
  const file = path.join(artifacts, `${name}.png`);
  await page.screenshot({ path: file });
  await releaseReply(page);
  return file;
}

async function progressSeen(page) {
  const seen = await page.evaluate(() => window.__progressSeen);
  const pcts = seen.map((u) => u.pct);
  assert.deepEqual(pcts, [...pcts].sort((a, b) => a - b), 'progress only grows');
  return seen.map((u) => u.label);
}

async function text(page, selector) {
  return (await page.textContent(selector))?.trim() ?? '';
}

// The run's end: the driver saw the program hang up, Chromium is gone, and no program of the
// test is left in the prefix (the uninstaller's copy deletes itself a few seconds later).
async function endRun({ relay, run, chromium }, expectedReason = 'hangup') {
  let ended;
  try {
    ended = await relay.waitClosed(60000);
  } finally {
    const { code, output } = await run.done;
    assert.equal(code, 0, `the program failed:\n${output}`);
  }
  assert.equal(ended.reason, expectedReason);
  assert.ok(chromium.length > 0);
  await until('Chromium to end', () => !chromium.some(isAlive), 60000);
  await until('the programs of the run to end', () => programsInPrefix(prefix, ourPrograms).length === 0, 60000)
    .catch(() => assert.deepEqual(programsInPrefix(prefix, ourPrograms), [], 'programs left running'));
}

function removeRuntime() {
  fs.rmSync(systemLoader, { force: true });
}

test('Setup installs, uninstalls and shows a failure through its real page', async (t) => {
  fs.rmSync(artifacts, { recursive: true, force: true });
  fs.mkdirSync(artifacts, { recursive: true });
  const box = fs.mkdtempSync(path.join(os.tmpdir(), 'vantrel-e2e-'));
  const sandbox = windowsPath(box);
  const dir = path.join(box, installLeaf);
  await reg('delete', sandboxKey, '/f');
  // The stand-in runtime, on the loader road: the copy in System32 is what Setup looks for.
  fs.copyFileSync(loader, systemLoader);
  let companion = null;
  try {
    await t.test('install: welcome, Install, progress, done with its notes', async (t) => {
      const run = await startRun(t, setupExe, [], sandbox);
      const { page } = run;
      await onScreen(page, 'welcome');
      assert.equal(await text(page, '#w-title'), 'Captions that move, inside Resolve');
      assert.equal(await text(page, '#w-install'), 'Install');
      await screenshot(page, '01-welcome');

      await recordProgress(page);
      await holdReply(page, 'setupInstall');
      await page.click('#w-install');
      await onScreen(page, 'work');
      assert.equal(await text(page, '#k-title'), 'Installing');
      await screenshotWork(page, '02-installing');

      await onScreen(page, 'done', 120000);
      assert.equal(await text(page, '#d-title'), "You're all set");
      const steps = await progressSeen(page);
      for (const label of ['Checking the installer', 'Installing the Vantrel window', 'Registering with Windows']) {
        assert.ok(steps.includes(label), `the page was told "${label}"`);
      }
      const notes = await page.$$eval('#d-notes .note', (n) => n.map((e) => e.textContent.trim()));
      assert.ok(notes.length > 0, 'the done screen shows the install\'s notes');
      assert.match(await text(page, '#d-fine'), /^Installed in .*Vantrel for DaVinci Resolve Beta$/);
      await screenshot(page, '03-installed');

      // The files and the uninstall entry, in the sandbox.
      for (const file of ['uninstall.exe', 'install.json', 'VantrelCompanionBeta.exe']) {
        assert.ok(fs.existsSync(path.join(dir, file)), `${file} is installed`);
      }
      const record = JSON.parse(fs.readFileSync(path.join(dir, 'install.json'), 'utf8'));
      assert.ok(Array.isArray(record.files) && record.files.length >= 2);
      for (const file of record.files) assert.ok(fs.existsSync(linuxPath(prefix, file)), `${file} exists`);
      const entry = await uninstallEntry();
      assert.ok(entry, 'the uninstall entry is under the sandbox key');
      assert.match(entry.UninstallString, /uninstall\.exe" --uninstall$/);
      assert.match(entry.QuietUninstallString, /uninstall\.exe" --uninstall --silent$/);

      await page.click('#d-close');
      await endRun(run);
    });

    await t.test('uninstall: the installed uninstaller, remove screen, Uninstall, done', async (t) => {
      const run = await startRun(t, path.join(dir, 'uninstall.exe'), ['--uninstall'], sandbox);
      const { page } = run;
      // The uninstaller handed over to its temporary copy, which is the program on the page.
      const first = await run.run.done;
      assert.equal(first.code, 0, first.output);
      const copies = programsInPrefix(prefix, uninstallCopy);
      assert.equal(copies.length, 1, 'one temporary copy runs the window');
      const copyFile = linuxPath(prefix, copies[0].program);
      run.run = { done: until('the copy to end', () => !isAlive(copies[0].pid), 120000).then(() => ({ code: 0 })) };

      await onScreen(page, 'remove');
      assert.equal(await text(page, '#r-title'), 'Uninstall Vantrel for DaVinci Resolve (Beta)?');
      await screenshot(page, '04-remove');

      await recordProgress(page);
      await holdReply(page, 'setupUninstall');
      await page.click('#r-go');
      await onScreen(page, 'work');
      assert.equal(await text(page, '#k-title'), 'Uninstalling');
      await screenshotWork(page, '05-uninstalling');
      await onScreen(page, 'done', 120000);
      assert.equal(await text(page, '#d-title'), 'Uninstalled');
      assert.ok((await progressSeen(page)).includes('Removing files'));
      await screenshot(page, '06-uninstalled');

      assert.ok(!fs.existsSync(dir), 'the install folder is gone');
      assert.equal(await uninstallEntry(), null, 'the uninstall entry is gone');

      await page.click('#d-close');
      await endRun(run);
      if (copyFile) await until('the copy to delete itself', () => !fs.existsSync(copyFile), 30000);
    });

    await t.test('failure: the companion runs, the uninstall shows the error screen', async (t) => {
      const silent = await runUnderWine(setupExe, ['--silent'], { VANTREL_SETUP_SANDBOX: sandbox }, 120000).done;
      assert.equal(silent.code, 0, silent.output);
      const elsewhere = path.join(box, 'elsewhere');
      fs.mkdirSync(elsewhere);
      fs.copyFileSync(path.join(dir, 'VantrelCompanionBeta.exe'), path.join(elsewhere, 'VantrelCompanionBeta.exe'));
      companion = runUnderWine(path.join(elsewhere, 'VantrelCompanionBeta.exe'), [], {}, 240000);
      await until('the companion to run', () => programsInPrefix(prefix, /^VantrelCompanionBeta\.exe$/i).length > 0, 30000);

      const run = await startRun(t, path.join(dir, 'uninstall.exe'), ['--uninstall'], sandbox);
      const { page } = run;
      assert.equal((await run.run.done).code, 0);
      const copies = programsInPrefix(prefix, uninstallCopy);
      assert.equal(copies.length, 1);
      run.run = { done: until('the copy to end', () => !isAlive(copies[0].pid), 120000).then(() => ({ code: 0 })) };

      await onScreen(page, 'remove');
      await page.click('#r-go');
      await onScreen(page, 'error', 120000);
      assert.equal(await text(page, '#e-title'), "Couldn't uninstall");
      assert.equal(await text(page, '#e-lead'), 'Close VantrelCompanionBeta first, then try again.');
      assert.ok(await page.isVisible('#e-retry'));
      await screenshot(page, '07-uninstall-blocked');
      assert.ok(fs.existsSync(path.join(dir, 'uninstall.exe')), 'nothing was removed');

      await page.click('#e-close');
      companion.kill();
      await companion.done;
      companion = null;
      await endRun(run);
    });

    await t.test('the program ends when the driver hangs up', async (t) => {
      const run = await startRun(t, setupExe, [], sandbox);
      await onScreen(run.page, 'welcome');
      run.relay.close();
      await endRun(run, 'driver');
    });
  } finally {
    companion?.kill();
    removeRuntime();
    await reg('delete', sandboxKey, '/f');
    fs.rmSync(box, { recursive: true, force: true });
  }
});
