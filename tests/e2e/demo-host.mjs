// Runs tavelin-demo in a private data directory and reads its line protocol.
import { createHash } from 'node:crypto';
import { execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, mkdirSync, writeFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import assert from 'node:assert/strict';
import WebSocket from 'ws';

export class DemoHost {
  // `dataHome` reuses another run's data (paired devices), as a restarted host would; `args`
  // and `env` go to the process (--desktop and its portals, DISPLAY).
  // `binary` runs another host that speaks the same lines (tavelin --headless).
  static async start(settings, dataHome, { args = [], env = {}, binary } = {}) {
    const host = new DemoHost(settings, dataHome, args, env, binary);
    await host.waitFor((line) => line.startsWith('PIN '));
    return host;
  }

  constructor(settings, dataHome, args = [], env = {}, binary = process.env.TAVELIN_DEMO) {
    if (!binary) throw new Error('TAVELIN_DEMO must name the tavelin-demo executable');
    this.dataHome = dataHome ?? mkdtempSync(join(tmpdir(), 'tavelin-e2e-'));
    this.ownsData = !dataHome;
    mkdirSync(join(this.dataHome, 'Tavelin'), { recursive: true });
    writeFileSync(join(this.dataHome, 'Tavelin', 'settings.json'), JSON.stringify(settings));
    this.lines = [];
    this.waiters = [];
    this.process = spawn(binary, args, {
      env: { ...process.env, ...env, XDG_DATA_HOME: this.dataHome },
      stdio: ['pipe', 'pipe', 'inherit'],
    });
    this.exited = new Promise((resolve) => this.process.on('exit', (code, signal) => resolve({ code, signal })));
    createInterface({ input: this.process.stdout }).on('line', (line) => {
      this.lines.push(line);
      this.waiters = this.waiters.filter((waiter) => !waiter(line));
    });
  }

  // The first line, past or future, that `matches`; rejects after `ms`.
  waitFor(matches, ms = 20000) {
    const seen = this.lines.find(matches);
    if (seen) return Promise.resolve(seen);
    const waiting = new Error('waiting here').stack;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`no matching line in ${ms} ms:\n${this.lines.join('\n')}\n${waiting}`)), ms);
      this.waiters.push((line) => {
        if (!matches(line)) return false;
        clearTimeout(timer);
        resolve(line);
        return true;
      });
    });
  }

  get url() {
    const line = this.lines.find((l) => l.startsWith('URL '));
    const port = new URL(line.slice(4)).port;
    return `http://127.0.0.1:${port}`;
  }

  get pin() {
    return this.lines.filter((l) => l.startsWith('PIN ')).at(-1).slice(4);
  }

  command(line) {
    this.process.stdin.write(line + '\n');
  }

  async stop({ keepData = false } = {}) {
    if (this.process.exitCode === null && this.process.signalCode === null) this.command('quit');
    const result = await this.exited;
    if (this.ownsData && !keepData) rmSync(this.dataHome, { recursive: true, force: true });
    return result;
  }
}

export async function api(host, method, path, { body, token } = {}) {
  const headers = {};
  if (body !== undefined) headers['content-type'] = 'application/json';
  if (token) headers.authorization = `Bearer ${token}`;
  const response = await fetch(host.url + path, {
    method,
    headers,
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  return { status: response.status, body: await response.json() };
}

export function freePort() {
  return 20000 + ((process.pid * 7 + Math.floor(Math.random() * 1000)) % 20000);
}

// The first message on the socket that `predicate` accepts (JSON text parsed, binary as is).
export function nextMessage(socket, predicate, ms = 20000) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no matching message')), ms);
    const listener = (data, isBinary) => {
      const message = isBinary ? data : JSON.parse(data.toString());
      if (!predicate(message, isBinary)) return;
      clearTimeout(timer);
      socket.off('message', listener);
      resolve(message);
    };
    socket.on('message', listener);
  });
}

// A stream socket opened with a fresh ticket, its portal list and its first state (by default
// the first that says pictures flow).
export async function openStream(host, token, { streaming = true } = {}) {
  const { status, body } = await api(host, 'POST', '/api/ws-ticket', { token });
  assert.equal(status, 200);
  const socket = new WebSocket(`${host.url.replace('http', 'ws')}/ws?ticket=${body.ticket}`);
  const portals = nextMessage(socket, (m, binary) => !binary && m.type === 'portals');
  // The first state may still say the portal is starting; wait for the pictures to flow.
  const state = nextMessage(socket, (m, binary) => !binary && m.type === 'state' && (m.streaming || !streaming));
  await new Promise((resolve, reject) => {
    socket.once('open', resolve);
    socket.once('error', reject);
  });
  return { socket, portals: await portals, state: await state };
}

// A phone's stream that keeps everything from its first message on (see collect): on a still
// screen the first picture may be the only one.
export async function watch(host, token) {
  const ticket = await api(host, 'POST', '/api/ws-ticket', { token });
  const socket = new WebSocket(`${host.url.replace('http', 'ws')}/ws?ticket=${ticket.body.ticket}`);
  const seen = collect(socket);
  await new Promise((resolve, reject) => {
    socket.once('open', resolve);
    socket.once('error', reject);
  });
  return { socket, seen };
}

// Width and height from a JPEG's start-of-frame segment.
export function jpegSize(bytes) {
  assert.equal(bytes[0], 0xff);
  assert.equal(bytes[1], 0xd8);
  for (let at = 2; at + 9 < bytes.length;) {
    const marker = bytes[at + 1];
    const length = bytes.readUInt16BE(at + 2);
    if (marker >= 0xc0 && marker <= 0xc2) {
      return { height: bytes.readUInt16BE(at + 5), width: bytes.readUInt16BE(at + 7) };
    }
    at += 2 + length;
  }
  throw new Error('no frame header');
}

// Everything the socket brings from now on: pictures (each acknowledged as the page does, the
// last one kept), state messages and the newest portal list.
export function collect(socket) {
  const seen = { pictures: [], states: [], portals: null, last: null, clipboard: [] };
  socket.on('message', (data, isBinary) => {
    if (!isBinary) {
      const message = JSON.parse(data.toString());
      if (message.type === 'state') seen.states.push(message);
      if (message.type === 'portals') seen.portals = message;
      if (message.type === 'clipboard') seen.clipboard.push(message.text);
      return;
    }
    seen.pictures.push({
      at: Date.now(), size: jpegSize(data), bytes: data.length, hash: createHash('sha1').update(data).digest('hex'),
    });
    seen.last = data;
    socket.send(JSON.stringify({ type: 'ack' }));
  });
  return seen;
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// How much of the phone page's screen a width × height picture takes, fitted to it, and what
// share of the picture the page's visible controls cover (the transparent edge that calls them
// back covers only its pill).
export function pictureCoverage(page, width, height) {
  return page.evaluate(([w, h]) => {
    const scale = Math.min(innerWidth / w, innerHeight / h);
    const picture = { x: (innerWidth - w * scale) / 2, y: (innerHeight - h * scale) / 2, w: w * scale, h: h * scale };
    let area = 0;
    for (const element of document.querySelectorAll('#stream-screen > :not(canvas)')) {
      const style = getComputedStyle(element);
      if (element.hidden || style.display === 'none' || style.visibility === 'hidden') continue;
      if (element.id === 'controls-edge') {
        const pill = getComputedStyle(element, '::after');
        area += parseFloat(pill.width) * parseFloat(pill.height);
        continue;
      }
      const r = element.getBoundingClientRect();
      area += Math.max(0, Math.min(r.right, picture.x + picture.w) - Math.max(r.left, picture.x))
        * Math.max(0, Math.min(r.bottom, picture.y + picture.h) - Math.max(r.top, picture.y));
    }
    return {
      picture: (picture.w * picture.h) / (innerWidth * innerHeight),
      covered: area / (picture.w * picture.h),
      heightShare: picture.h / innerHeight,
    };
  }, [width, height]);
}

// The answer lines to one command: its first line starting with OK or ERROR, and when that says
// "OK <things> <count>" (windows, portals, devices), the count of lines that follow it.
export async function ask(host, command) {
  const since = host.lines.length;
  const answer = (l) => l.startsWith('OK') || l.startsWith('ERROR');
  const answers = () => host.lines.slice(since).filter(answer);
  host.command(command);
  await until(() => answers().length > 0, 15000, `an answer to ${command}`);
  const count = answers()[0].match(/^OK \w+ (\d+)$/);
  if (count) await until(() => answers().length > Number(count[1]), 15000, `all of ${command}`);
  return answers();
}

// Polls `condition` (which may be async) until it holds; throws naming `what` after `ms`.
export async function until(condition, ms = 15000, what = 'condition') {
  const deadline = Date.now() + ms;
  while (!(await condition())) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(50);
  }
}

// A private Xvfb desktop with openbox and an xterm running `sh` (prompt "$ ") titled `title`,
// after showing `text` if given. `env` reaches it; `stop()` ends the terminal and the desktop.
export function startDesktop({ size = '1280x800', title, geometry = '80x24+40+40', text }) {
  const script = new URL('../../scripts/xvfb-desktop', import.meta.url).pathname;
  const started = execFileSync(script, ['start', size, '--owner', String(process.pid)], {
    encoding: 'utf8',
  });
  const env = { DISPLAY: started.match(/^display (\S+)$/m)[1] };
  const pids = started.match(/^pids (.+)$/m)[1].split(' ');
  const shell = text === undefined ? ['sh'] : ['sh', '-c', 'printf "%s\\n" "$0"; exec sh', text];
  const terminal = spawn('xterm', ['-title', title, '-geometry', geometry, '-e', ...shell], {
    env: { ...process.env, ...env, PS1: '$ ' },
    stdio: 'ignore',
  });
  return {
    env,
    pids,
    stop() {
      terminal.kill();
      execFileSync(script, ['stop', ...pids]);
    },
  };
}
