// Private headless desktops for the end-to-end tests, run as an ordinary user: GNOME
// (scripts/gnome-desktop: Mutter, PipeWire and WirePlumber on a bus of their own) and sway
// (scripts/sway-desktop).
import { execFileSync, spawn } from 'node:child_process';
import { chownSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { until } from './demo-host.mjs';

const scripts = new URL('../../scripts/', import.meta.url).pathname;

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

class DesktopSession {
  constructor(script, size) {
    const started = execFileSync(script, ['start', size, '--owner', String(process.pid)], { encoding: 'utf8' });
    this.script = script;
    this.runtime = started.match(/^runtime (\S+)$/m)[1];
    this.pids = started.match(/^pids (.+)$/m)[1].split(' ');
    this.uid = Number(execFileSync('stat', ['-c', '%u', this.runtime], { encoding: 'utf8' }));
    this.work = ownedFolder('tavelin-desktop-work-', this.uid);
    this.dataHome = ownedFolder('tavelin-desktop-data-', this.uid);
    this.programs = [];
  }

  // A program in the session, as its user; ended with the session.
  run(args, options = {}) {
    const program = spawn(this.script, ['run', this.runtime, ...args], { stdio: 'ignore', ...options });
    this.programs.push(program);
    return program;
  }

  // How DemoHost starts the real host in the session.
  hostArgs(...flags) {
    return { binary: this.script, args: ['run', this.runtime, process.env.TAVELIN_HOST, '--headless', ...flags] };
  }

  stop() {
    for (const program of this.programs) program.kill();
    execFileSync(this.script, ['stop', ...this.pids]);
    for (const folder of [this.runtime, this.work, this.dataHome]) rmSync(folder, { recursive: true, force: true });
  }
}

export class GnomeSession extends DesktopSession {
  constructor(size = '1280x720') {
    super(`${scripts}gnome-desktop`, size);
  }

  // A GTK entry in front, centred, with the focus; it prints its text when Enter is pressed
  // (into the returned `text`). Opened on a still screen, so that what closed before it is
  // not taken for it, and returned once on screen and done opening: the pictures a phone sees
  // (`seen`, from watch) changed, then stopped changing (a still screen sends none).
  async openEntry(title, seen) {
    const still = () => Date.now() - seen.pictures.at(-1).at > 700;
    await until(still, 20000, `a still screen before ${title}`);
    const answer = { text: '' };
    const entry = this.run(['zenity', '--entry', '--title', title, '--text', 'Type here'],
      { stdio: ['ignore', 'pipe', 'ignore'] });
    entry.stdout.on('data', (data) => { answer.text += data.toString(); });
    const shown = seen.pictures.length;
    await until(() => seen.pictures.length > shown + 2 && still(), 20000, `${title} on screen`);
    return answer;
  }
}

export class SwaySession extends DesktopSession {
  constructor(size = '1280x720') {
    super(`${scripts}sway-desktop`, size);
  }
}
