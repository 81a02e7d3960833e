// Windows programs under Wine for the end-to-end tests, through tools/wine-run with the
// build's prefix and stand-in DLLs (from the environment CTest gives).
import { spawn } from 'node:child_process';

// Runs one program in its own process group, so that a run that hangs is ended whole after
// `timeoutMs`. Resolves to its exit code and output.
export function runUnderWine(program, args, env = {}, timeoutMs = 120000) {
  const child = spawn(process.env.VANTREL_WINE_RUN, [
    '--prefix', process.env.VANTREL_WINEPREFIX, '--dlls', process.env.VANTREL_STANDIN_DLLS, program, ...args,
  ], { env: { ...process.env, ...env }, detached: true, stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  child.stdout.on('data', (d) => { output += d; });
  child.stderr.on('data', (d) => { output += d; });
  return new Promise((resolve) => {
    const timer = setTimeout(() => {
      output += `\n[killed after ${timeoutMs} ms]`;
      try {
        process.kill(-child.pid, 'SIGKILL');
      } catch {
        // already gone
      }
    }, timeoutMs);
    child.on('close', (code, signal) => {
      clearTimeout(timer);
      resolve({ code, signal, output });
    });
  });
}

// A Linux path as Wine's Z: drive names it.
export function windowsPath(file) {
  return `Z:${file.replaceAll('/', '\\')}`;
}
