// A private headless GNOME session (scripts/gnome-desktop) for the end-to-end tests: Mutter,
// PipeWire and WirePlumber on a bus of their own, run as an ordinary user.
import { execFileSync, spawn } from 'node:child_process';
import { chownSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const script = new URL('../../scripts/gnome-desktop', import.meta.url).pathname;

// A folder the session's user owns, with the host's data folder in it and the settings the
// test host starts with.
function ownedFolder(prefix, uid) {
  const folder = mkdtempSync(join(tmpdir(), prefix));
  mkdirSync(join(folder, 'Tavelin'));
  writeFileSync(join(folder, 'Tavelin', 'settings.json'), '{}');
  for (const path of [folder, join(folder, 'Tavelin'), join(folder, 'Tavelin', 'settings.json')]) {
    chownSync(path, uid, uid);
  }
  return folder;
}

export class GnomeSession {
  constructor(size = '1280x720') {
    const started = execFileSync(script, ['start', size, '--owner', String(process.pid)], { encoding: 'utf8' });
    this.script = script;
    this.runtime = started.match(/^runtime (\S+)$/m)[1];
    this.pids = started.match(/^pids (.+)$/m)[1].split(' ');
    this.uid = Number(execFileSync('stat', ['-c', '%u', this.runtime], { encoding: 'utf8' }));
    this.work = ownedFolder('tavelin-gnome-work-', this.uid);
    this.dataHome = ownedFolder('tavelin-gnome-data-', this.uid);
    this.programs = [];
  }

  // A program in the session, as its user; ended with the session.
  run(args, options = {}) {
    const program = spawn(script, ['run', this.runtime, ...args], { stdio: 'ignore', ...options });
    this.programs.push(program);
    return program;
  }

  // How DemoHost starts the real host in the session.
  hostArgs(...flags) {
    return { binary: script, args: ['run', this.runtime, process.env.TAVELIN_HOST, '--headless', ...flags] };
  }

  stop() {
    for (const program of this.programs) program.kill();
    execFileSync(script, ['stop', ...this.pids]);
    for (const folder of [this.runtime, this.work, this.dataHome]) rmSync(folder, { recursive: true, force: true });
  }
}
