// The relay's two ends together: a Windows test program under Wine drives a real headless
// Chromium page through the driver. The program checks what it sees; this side checks what
// only the host can see (the screenshot, the processes left behind).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { startRelayDriver, VIEWPORT } from './driver/relay-driver.mjs';
import { killAll } from './support/processes.mjs';
import { assertNothingLeft, runWithRelay } from './support/relay_run.mjs';
import { runUnderWine } from './support/wine.mjs';

const exe = process.env.VANTREL_RELAY_TEST_EXE;
const artifacts = path.join(process.env.VANTREL_E2E_ARTIFACTS ?? 'e2e-artifacts', 'relay');

function readPngSize(file) {
  const bytes = fs.readFileSync(file);
  assert.ok(bytes.length > 1000, `${file} is ${bytes.length} bytes`);
  assert.deepEqual([...bytes.subarray(0, 8)], [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a], 'a PNG signature');
  assert.equal(bytes.toString('latin1', 12, 16), 'IHDR');
  return { width: bytes.readUInt32BE(16), height: bytes.readUInt32BE(20) };
}

function relayRun(t, filter) {
  return runWithRelay(t, exe, filter, { driver: { screenshotDir: artifacts } });
}

test('the program drives a real page through the relay and closes it', async (t) => {
  fs.rmSync(artifacts, { recursive: true, force: true });
  const { ended, chromium, messages } = await relayRun(t, 'relay_text.*:relay_session.*');
  assert.equal(ended.reason, 'close');
  // The page's own messages, seen from the driver's side too.
  assert.ok(messages.some((m) => m.string === 'ready' && m.json === '"ready"'));
  const size = readPngSize(path.join(artifacts, 'screens', 'string-document.png'));
  assert.deepEqual(size, VIEWPORT);
  assert.ok(!fs.existsSync(path.join(path.dirname(artifacts), 'outside.png')), 'no screenshot outside its folder');
  await assertNothingLeft(exe, chromium);
});

test('the driver ends Chromium when the program hangs up', async (t) => {
  const { ended, chromium } = await relayRun(t, 'relay_hangup.*');
  assert.equal(ended.reason, 'hangup');
  await assertNothingLeft(exe, chromium);
});

test('a run that never ends is killed', async () => {
  const relay = await startRelayDriver({ screenshotDir: artifacts });
  const chromium = relay.chromiumProcesses();
  // Nobody connects: the wait gives up, and the browser goes with it.
  await assert.rejects(relay.waitClosed(100), /did not end/);
  assert.equal((await relay.closed).reason, 'killed');
  await assertNothingLeft(exe, chromium);
});

test('Chromium going away ends the run', async () => {
  const relay = await startRelayDriver({ screenshotDir: artifacts });
  const socket = net.connect(relay.port, '127.0.0.1');
  socket.resume();
  const hungUp = new Promise((resolve) => socket.on('end', resolve));
  await relay.connected;
  const chromium = relay.chromiumProcesses();
  killAll(chromium.slice(0, 1)); // the browser process only
  await hungUp;
  assert.equal((await relay.closed).reason, 'browser');
  socket.destroy();
  await assertNothingLeft(exe, chromium);
});

test('a driver line that is not JSON ends the connection on the program side', async () => {
  // A stand-in driver: the program's first request gets an event in two pieces, then garbage.
  const server = net.createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const hangups = [];
  server.on('connection', (socket) => {
    socket.once('data', () => {
      socket.write('{"event":"webMessage","json":"{\\"split\\":true}"');
      setTimeout(() => socket.write('}\nthis is not JSON\n'), 50);
    });
    hangups.push(new Promise((resolve) => {
      socket.on('end', () => resolve('the program hung up'));
      socket.on('error', () => resolve('the program hung up'));
    }));
  });
  const run = runUnderWine(exe, ['--gtest_filter=relay_protocol.*'], { VANTREL_WEBVIEW2_RELAY: `127.0.0.1:${server.address().port}` }, 120000);
  const { code, output } = await run.done;
  server.close();
  assert.equal(code, 0, `the test program failed:\n${output}`);
  assert.equal(hangups.length, 2, 'one connection per test case');
  assert.deepEqual(await Promise.all(hangups), ['the program hung up', 'the program hung up']);
});
