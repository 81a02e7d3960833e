// A Windows test program under Wine against a relay driver of its own, and the check that
// such a run leaves no process behind.
import assert from 'node:assert/strict';
import path from 'node:path';
import { startRelayDriver } from '../driver/relay-driver.mjs';
import { isAlive, processesOfProgram } from './processes.mjs';
import { runUnderWine } from './wine.mjs';

// Runs the program's cases named by `filter` until the connection ends; the program must
// pass. `onMessage(relay, m)` sees each page message as it comes.
export async function runWithRelay(t, exe, filter, { driver = {}, onMessage = () => {} } = {}) {
  const relay = await startRelayDriver({ ...driver, log: (line) => t.diagnostic(line) });
  const chromium = relay.chromiumProcesses();
  const messages = [];
  relay.on('webMessage', (m) => {
    messages.push(m);
    onMessage(relay, m);
  });
  const run = runUnderWine(exe, [`--gtest_filter=${filter}`], relay.env, 120000);
  let ended;
  try {
    ended = await relay.waitClosed(150000);
  } finally {
    const { code, output } = await run.done;
    assert.equal(code, 0, `the test program failed:\n${output}`);
  }
  return { ended, chromium, messages };
}

// Killed processes take a moment to exit: wait for them, bounded, then look.
export async function assertNothingLeft(exe, chromium) {
  assert.ok(chromium.length > 0, 'the browser processes were seen while it ran');
  const deadline = Date.now() + 60000;
  while (chromium.some(isAlive) && Date.now() < deadline) await new Promise((r) => setTimeout(r, 50));
  assert.deepEqual(chromium.filter(isAlive), [], 'no Chromium process is left');
  assert.deepEqual(processesOfProgram(path.resolve(exe)), [], 'no process of the test program is left');
}
