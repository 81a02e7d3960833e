// The stand-in runtime's relay mode: the browser engine under Wine, its page in a real
// headless Chromium. Each case of the Windows program gets a driver of its own.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { assertNothingLeft, runWithRelay } from './support/relay_run.mjs';

const exe = process.env.VANTREL_STANDIN_RELAY_EXE;

async function runCase(t, name, onMessage) {
  const { ended, chromium, messages } = await runWithRelay(t, exe, `standin_relay.${name}`, { onMessage });
  await assertNothingLeft(exe, chromium);
  return { ended, messages };
}

test('a string document with the bridge and an init script talks to the program', async (t) => {
  const { ended, messages } = await runCase(t, 'a_string_document_talks_to_the_program');
  assert.equal(ended.reason, 'hangup', 'the program hung up when its engine went');
  // The bridge's calls arrive as strings: what TryGetWebMessageAsString gives the engine.
  const calls = messages.map((m) => JSON.parse(m.string));
  assert.deepEqual(calls.map((c) => c.method), ['hostEcho', 'hostDone']);
  assert.ok(messages.every((m) => m.source === 'https://document.relay.invalid/'));
});

test('a cancelled navigation never reaches the page', async (t) => {
  const { ended, messages } = await runCase(t, 'a_cancelled_navigation_stays_off_the_page');
  assert.equal(ended.reason, 'hangup');
  assert.deepEqual(messages, []);
});

test('the program ends when the driver hangs up', async (t) => {
  const { ended } = await runCase(t, 'the_window_closes_when_the_driver_hangs_up', (relay, m) => {
    if (m.string === 'hang up') relay.close();
  });
  assert.equal(ended.reason, 'driver');
});
