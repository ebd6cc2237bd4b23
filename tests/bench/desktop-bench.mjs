// Figures of the real host on three desktops with the same content, side by side in one run: a
// private headless GNOME (pictures through PipeWire, input through Mutter), a private headless
// sway (screencopy, virtual pointer) and a private Xvfb desktop (X11). A maximised window repaints a moving bar 30 times a second; a node client is
// the phone. Printed: socket open → first picture, CPU per picture of the host and of the
// compositor or X server, and tap → the press arriving in the window (p50 / p95).
import { spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { createInterface } from 'node:readline';
import WebSocket from 'ws';
import { DemoHost, api, collect, freePort, startDesktop, until } from '../e2e/demo-host.mjs';
import { GnomeSession, SwaySession } from '../e2e/gnome-session.mjs';

const probe = new URL('./probe-window.py', import.meta.url).pathname;
const ticks = 100;  // USER_HZ: /proc's clock ticks per second on Linux
const seconds = 10;

function cpuSeconds(pid) {
  const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) / ticks;
}

function percentile(values, p) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor((sorted.length * p) / 100))];
}

function lines(program) {
  const seen = [];
  createInterface({ input: program.stdout }).on('line', (line) => seen.push(line));
  return seen;
}

async function measure(name, host, hostPid, serverPid, window) {
  const paired = await api(host, 'POST', '/api/pair', { body: { pin: host.pin, deviceName: 'Bench phone' } });
  const ticket = await api(host, 'POST', '/api/ws-ticket', { token: paired.body.token });
  const socket = new WebSocket(`${host.url.replace('http', 'ws')}/ws?ticket=${ticket.body.ticket}`);
  const seen = collect(socket);
  await new Promise((resolve) => socket.once('open', resolve));
  const opened = Date.now();
  await until(() => seen.pictures.length > 0, 30000, 'the first picture');
  const firstPicture = seen.pictures[0].at - opened;

  window.tell('animate on');
  await until(() => seen.pictures.length > 10, 30000, 'moving pictures');
  const hostBefore = cpuSeconds(hostPid), serverBefore = cpuSeconds(serverPid), count = seen.pictures.length;
  await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
  const pictures = seen.pictures.length - count;
  const hostMs = ((cpuSeconds(hostPid) - hostBefore) * 1000) / pictures;
  const serverMs = ((cpuSeconds(serverPid) - serverBefore) * 1000) / pictures;
  window.tell('animate off');

  const latencies = [];
  for (let i = 0; i < 30; i++) {
    const presses = window.lines.filter((l) => l.startsWith('press ')).length;
    const sent = process.hrtime.bigint();
    socket.send(JSON.stringify({ type: 'tap', x: 0.3 + (i % 5) * 0.1, y: 0.5 }));
    await until(() => window.lines.filter((l) => l.startsWith('press ')).length > presses, 10000, 'the press');
    const pressed = BigInt(window.lines.filter((l) => l.startsWith('press ')).at(-1).split(' ')[1]);
    latencies.push(Number(pressed - sent) / 1e6);
    await new Promise((resolve) => setTimeout(resolve, 150));
  }
  socket.close();
  console.log(`${name}: socket open → first picture ${firstPicture} ms; ${(pictures / seconds).toFixed(1)} ` +
    `pictures/s; CPU per picture: host ${hostMs.toFixed(2)} ms, ${name === 'X11' ? 'X server' : 'compositor'} ` +
    `${serverMs.toFixed(2)} ms; tap → press p50 ${percentile(latencies, 50).toFixed(1)} ms, ` +
    `p95 ${percentile(latencies, 95).toFixed(1)} ms`);
}

function pidOf(pattern) {
  return new Promise((resolve) => {
    const search = spawn('pgrep', ['-n', '-f', pattern], { stdio: ['ignore', 'pipe', 'ignore'] });
    let out = '';
    search.stdout.on('data', (d) => { out += d; });
    search.on('exit', () => resolve(Number(out.trim())));
  });
}

const settings = { port: freePort(), requireApproval: false, targetFps: 30, maxFrameDimension: 1280 };

// GNOME through Mutter.
{
  const session = new GnomeSession('1280x720');
  let host;
  try {
    const program = session.run(['/usr/bin/python3', probe], { stdio: ['pipe', 'pipe', 'inherit'] });
    const window = { lines: lines(program), tell: (l) => program.stdin.write(`${l}\n`) };
    await until(() => window.lines.includes('ready'), 30000, 'the probe window');
    host = await DemoHost.start(settings, session.dataHome, session.hostArgs('--wayland-backend', 'mutter'));
    const hostPid = await pidOf(`^${process.env.TAVELIN_HOST} --headless`);
    const mutterPid = await pidOf('^mutter --headless');
    await measure('GNOME (PipeWire)', host, hostPid, mutterPid, window);
  } finally {
    await host?.stop();
    session.stop();
  }
}

// The same window on sway, through the wlroots protocols.
{
  const session = new SwaySession('1280x720');
  let host;
  try {
    const program = session.run(['/usr/bin/python3', probe], { stdio: ['pipe', 'pipe', 'inherit'] });
    const window = { lines: lines(program), tell: (l) => program.stdin.write(`${l}\n`) };
    await until(() => window.lines.includes('ready'), 30000, 'the probe window');
    host = await DemoHost.start(settings, session.dataHome, session.hostArgs());
    const hostPid = await pidOf(`^${process.env.TAVELIN_HOST} --headless`);
    const swayPid = await pidOf('^sway -c');
    await measure('sway (screencopy)', host, hostPid, swayPid, window);
  } finally {
    await host?.stop();
    session.stop();
  }
}

// The same window on X11.
{
  const desktop = startDesktop({ size: '1280x720', title: 'bench-terminal', geometry: '20x5+0+0' });
  let host;
  try {
    const program = spawn('/usr/bin/python3', [probe], {
      env: { ...process.env, ...desktop.env, GDK_BACKEND: 'x11' }, stdio: ['pipe', 'pipe', 'ignore'],
    });
    const window = { lines: lines(program), tell: (l) => program.stdin.write(`${l}\n`) };
    await until(() => window.lines.includes('ready'), 30000, 'the probe window');
    host = await DemoHost.start(settings, undefined, {
      binary: process.env.TAVELIN_HOST, args: ['--headless', '--platform', 'x11'], env: desktop.env,
    });
    const xvfbPid = desktop.pids.find((pid) => readFileSync(`/proc/${pid}/comm`, 'utf8').trim() === 'Xvfb');
    await measure('X11', host, host.process.pid, xvfbPid, window);
    program.kill();
  } finally {
    await host?.stop();
    desktop.stop();
  }
}
