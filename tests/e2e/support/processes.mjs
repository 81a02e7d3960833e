// Process bookkeeping from /proc, so tests can prove that a run leaves nothing behind.
import fs from 'node:fs';

function readStat(pid) {
  try {
    const text = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    // The command name may hold spaces and parentheses: the fields start after the last ')'.
    const rest = text.slice(text.lastIndexOf(')') + 2).split(' ');
    return { state: rest[0], ppid: Number(rest[1]) };
  } catch {
    return null;
  }
}

export function allPids() {
  return fs.readdirSync('/proc').filter((n) => /^\d+$/.test(n)).map(Number);
}

export function isAlive(pid) {
  const stat = readStat(pid);
  return stat !== null && stat.state !== 'Z' && stat.state !== 'X';
}

export function commandLine(pid) {
  try {
    return fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').split('\0').filter(Boolean);
  } catch {
    return [];
  }
}

// Every live process below `root`, not including it.
export function descendants(root) {
  const children = new Map();
  for (const pid of allPids()) {
    const stat = readStat(pid);
    if (!stat || stat.state === 'Z') continue;
    if (!children.has(stat.ppid)) children.set(stat.ppid, []);
    children.get(stat.ppid).push(pid);
  }
  const found = [];
  const queue = [root];
  while (queue.length) {
    for (const child of children.get(queue.shift()) ?? []) {
      found.push(child);
      queue.push(child);
    }
  }
  return found;
}

// Live processes whose command line has an argument containing `text`.
export function processesWithArgument(text) {
  return allPids().filter((pid) => isAlive(pid) && commandLine(pid).some((arg) => arg.includes(text)));
}

// Live processes running the program at `file` (a Wine program's first argument is its own
// path, as given or in Windows form); not those that merely name it, as a build tool may.
export function processesOfProgram(file) {
  const same = (arg) => arg === file || arg.replace(/^Z:/i, '').replaceAll('\\', '/') === file;
  return allPids().filter((pid) => isAlive(pid) && same(commandLine(pid)[0] ?? ''));
}

export function killAll(pids) {
  for (const pid of pids) {
    try {
      process.kill(pid, 'SIGKILL');
    } catch {
      // already gone
    }
  }
}
