// Windows programs under Wine for the end-to-end tests, through tools/wine-run with the
// build's prefix and stand-in DLLs (from the environment CTest gives).
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import { allPids, commandLine, isAlive } from './processes.mjs';

// Runs one program in its own process group, so that a run that hangs is ended whole (with
// whatever it started) after `timeoutMs`. `done` resolves to its exit code and output.
export function runUnderWine(program, args, env = {}, timeoutMs = 120000) {
  const child = spawn(process.env.VANTREL_WINE_RUN, [
    '--prefix', process.env.VANTREL_WINEPREFIX, '--dlls', process.env.VANTREL_STANDIN_DLLS, program, ...args,
  ], { env: { ...process.env, ...env }, detached: true, stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  child.stdout.on('data', (d) => { output += d; });
  child.stderr.on('data', (d) => { output += d; });
  const kill = () => {
    try {
      process.kill(-child.pid, 'SIGKILL');
    } catch {
      // already gone
    }
  };
  const done = new Promise((resolve) => {
    const timer = setTimeout(() => {
      output += `\n[killed after ${timeoutMs} ms]`;
      kill();
    }, timeoutMs);
    child.on('close', (code, signal) => {
      clearTimeout(timer);
      resolve({ code, signal, output });
    });
  });
  return { done, kill };
}

// A Linux path as Wine's Z: drive names it.
export function windowsPath(file) {
  return `Z:${file.replaceAll('/', '\\')}`;
}

function environment(pid) {
  try {
    return fs.readFileSync(`/proc/${pid}/environ`, 'utf8').split('\0');
  } catch {
    return [];
  }
}

// Live Windows programs of this prefix whose file name (without folder) matches `name`, as
// { pid, program } with the program's Windows path. Other prefixes' programs are not ours.
export function programsInPrefix(prefix, name) {
  const tag = `WINEPREFIX=${prefix}`;
  const found = [];
  for (const pid of allPids()) {
    const program = commandLine(pid)[0] ?? '';
    const leaf = program.split(/[\\/]/).pop();
    if (!name.test(leaf) || !isAlive(pid) || !environment(pid).includes(tag)) continue;
    found.push({ pid, program });
  }
  return found;
}

// The Linux path of a Windows path on the prefix's C: or Z: drive.
export function linuxPath(prefix, file) {
  const drive = file.slice(0, 2).toUpperCase();
  const rest = file.slice(2).replaceAll('\\', '/');
  if (drive === 'Z:') return rest;
  if (drive === 'C:') return `${prefix}/drive_c${rest}`;
  return null;
}
