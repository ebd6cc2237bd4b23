// The phone's view of the real host: a private Xvfb desktop (1920×1080) filled by a window that
// shows a new grey about 60 times a second, each grey telling its frame's number, the real
// host sharing the screen at 60 pictures a second scaled to 1440 pixels, and the host's own page
// in headless Chromium. The page is read in every animation frame: which frame its picture shows
// and since when (read left of the middle, away from the pointer). Printed: screen change →
// painted (p50 / p95), frames presented per second against the frames drawn, pictures delivered
// per second, and CPU per picture of the host with the X server, beside ffmpeg grabbing,
// scaling and encoding the same screen to MJPEG in the same run. Then phones in node that take
// 0, 12 and 25 ms to show a picture before they acknowledge it (a phone's decode and paint,
// without sharing this machine's cores): pictures delivered per second, and how soon the next
// picture follows an ack. Figures only, no assertions.
//
//   TAVELIN_HOST=build/release/TavelinHost/tavelin node tests/bench/phone-bench.mjs [seconds]
import { spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { createInterface } from 'node:readline';
import { chromium } from 'playwright-core';
import WebSocket from 'ws';
import { DemoHost, api, freePort, startDesktop, until } from '../e2e/demo-host.mjs';

const seconds = Number(process.argv[2] ?? 10);
const counter = new URL('./counter-window.py', import.meta.url).pathname;

const ticks = 100;  // USER_HZ: /proc's clock ticks per second on Linux

function cpuSeconds(pid) {
  const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) / ticks;
}

// Busy and total time of all cores, from /proc/stat's first line.
function machineTicks() {
  const fields = readFileSync('/proc/stat', 'utf8').split('\n')[0].trim().split(/\s+/).slice(1).map(Number);
  const idle = fields[3] + fields[4];
  const total = fields.reduce((a, b) => a + b, 0);
  return { busy: total - idle, total };
}

// A phone in node that takes `showing` ms to show each picture before it acknowledges it:
// pictures it gets per second, and the time from its ack to the next picture arriving.
async function ackingPhone(host, token, showing, seconds) {
  const { body } = await api(host, 'POST', '/api/ws-ticket', { token });
  const socket = new WebSocket(`${host.url.replace('http', 'ws')}/ws?ticket=${body.ticket}`);
  let counting = false;
  let pictures = 0;
  let ackedAt = 0;
  const gaps = [];
  socket.on('message', (data, isBinary) => {
    if (!isBinary) return;
    if (counting) {
      pictures++;
      if (ackedAt) gaps.push(performance.now() - ackedAt);
    }
    setTimeout(() => {
      ackedAt = performance.now();
      socket.send('{"type":"ack"}');
    }, showing);
  });
  await new Promise((resolve, reject) => {
    socket.once('open', resolve);
    socket.once('error', reject);
  });
  await new Promise((resolve) => setTimeout(resolve, 1000));
  counting = true;
  await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
  socket.close();
  await new Promise((resolve) => socket.once('close', resolve));
  return { rate: pictures / seconds, gap: percentile(gaps, 50) };
}

function percentile(values, p) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor((sorted.length * p) / 100))];
}

const desktop = startDesktop({ size: '1920x1080', title: 'bench-terminal', geometry: '20x5+0+0' });
let host;
let browser;
let window;
try {
  window = spawn('/usr/bin/python3', [counter], {
    env: { ...process.env, ...desktop.env, GDK_BACKEND: 'x11' }, stdio: ['ignore', 'pipe', 'ignore'],
  });
  const draws = [];  // [frame number mod 16, when it was drawn], in order
  createInterface({ input: window.stdout }).on('line', (line) => {
    const [word, n, at] = line.split(' ');
    if (word === 'frame') {
      draws.push([Number(n) % 16, Number(at)]);
    }
  });
  await until(() => draws.length > 10, 30000, 'the counter window');

  host = await DemoHost.start({ port: freePort(), requireApproval: false, targetFps: 60, maxFrameDimension: 1440 },
    undefined, { binary: process.env.TAVELIN_HOST, args: ['--headless', '--platform', 'x11'], env: desktop.env });

  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  const page = await (await browser.newContext({ viewport: { width: 1440, height: 900 } })).newPage();
  let delivered = 0;
  page.on('websocket', (socket) => socket.on('framereceived', (frame) => {
    if (typeof frame.payload !== 'string') delivered++;
  }));
  await page.goto(host.url);
  await page.waitForSelector('#pair-screen:not([hidden])');
  await page.fill('#pin', host.pin);
  await page.waitForSelector('#stream-screen:not([hidden])');

  // In every animation frame: the frame number the picture's middle shows, when it changes.
  await page.evaluate(() => {
    const canvas = document.getElementById('picture');
    const context = canvas.getContext('2d', { willReadFrequently: true });
    const level = (v) => Math.max(0, Math.min(15, Math.round((v - 8) / 16)));
    window.seen = [];
    let last = -1;
    // The canvas is read once the frame's own callbacks (the page paints in them) have run,
    // and what it holds then is stamped with the frame's start: it shows in that frame.
    const after = new MessageChannel();
    let frameAt = 0;
    after.port1.onmessage = () => {
      // Left of the middle: the pointer rests in the middle of the screen.
      const [r, g, b] = context.getImageData(canvas.width / 3, canvas.height >> 1, 1, 1).data;
      const n = level((r + g + b) / 3);
      if (n !== last) {
        last = n;
        window.seen.push([n, frameAt]);
      }
    };
    const look = () => {
      frameAt = performance.timeOrigin + performance.now();
      after.port2.postMessage(0);
      requestAnimationFrame(look);
    };
    requestAnimationFrame(look);
  });
  await until(async () => (await page.evaluate(() => window.seen.length)) > 30, 30000, 'pictures in the page');
  const xvfb = desktop.pids.find((pid) => readFileSync(`/proc/${pid}/comm`, 'utf8').trim() === 'Xvfb');
  const from = await page.evaluate(() => window.seen.length);
  const deliveredBefore = delivered;
  const drawsBefore = draws.length;
  const hostBefore = cpuSeconds(host.process.pid);
  const machineBefore = machineTicks();
  const xvfbBefore = cpuSeconds(xvfb);
  await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
  const hostOnly = cpuSeconds(host.process.pid) - hostBefore;
  const machineAfter = machineTicks();
  const busy = (machineAfter.busy - machineBefore.busy) / Math.max(1, machineAfter.total - machineBefore.total);
  const xvfbOnly = cpuSeconds(xvfb) - xvfbBefore;
  const hostCpu = hostOnly + xvfbOnly;
  const seen = (await page.evaluate(() => window.seen)).slice(from);
  const deliveredCount = delivered - deliveredBefore;
  const drawCount = draws.length - drawsBefore;

  // Each picture shown is of the last frame of its number drawn before it showed; one of the
  // same number drawn 16 frames earlier cannot be told apart, so it counts only within that.
  const latencies = [];
  let d = 0;
  for (const [n, at] of seen) {
    while (d + 1 < draws.length && draws[d + 1][1] <= at) d++;
    for (let back = d; back >= 0 && back > d - 16; back--) {
      if (draws[back][0] === n) {
        latencies.push(at - draws[back][1]);
        break;
      }
    }
  }
  const hostPerPicture = (hostCpu * 1000) / deliveredCount;
  await browser.close();
  browser = undefined;
  const paired = await api(host, 'POST', '/api/pair', { body: { pin: host.pin, deviceName: 'Bench' } });
  const acking = [];
  for (const showing of [0, 12, 25]) acking.push([showing, await ackingPhone(host, paired.body.token, showing, seconds / 2)]);
  await host.stop();
  host = undefined;

  // ffmpeg on the same screen: grab at 60 a second, scale to 1440 pixels, encode MJPEG.
  const ffmpegStart = cpuSeconds(xvfb);
  const ffmpeg = spawn('ffmpeg', ['-hide_banner', '-loglevel', 'error', '-f', 'x11grab', '-framerate', '60',
    '-video_size', '1920x1080', '-i', desktop.env.DISPLAY, '-t', String(seconds), '-vf', 'scale=1440:-2',
    '-c:v', 'mjpeg', '-q:v', '5', '-fps_mode', 'vfr', '-progress', 'pipe:1', '-f', 'null', '-'], { stdio: ['ignore', 'pipe', 'inherit'] });
  let frames = 0;
  createInterface({ input: ffmpeg.stdout }).on('line', (line) => {
    if (line.startsWith('frame=')) frames = Number(line.slice(6));
  });
  let ffmpegCpu = 0;
  const poll = setInterval(() => {
    try { ffmpegCpu = cpuSeconds(ffmpeg.pid); } catch { /* ended */ }
  }, 200);
  await new Promise((resolve) => ffmpeg.on('exit', resolve));
  clearInterval(poll);
  const referencePerPicture = ((ffmpegCpu + cpuSeconds(xvfb) - ffmpegStart) * 1000) / Math.max(1, frames);

  console.log(`phone page (Chromium): screen change → painted p50 ${percentile(latencies, 50).toFixed(1)} ms, ` +
    `p95 ${percentile(latencies, 95).toFixed(1)} ms; presented ${(seen.length / seconds).toFixed(1)}/s ` +
    `of ${(drawCount / seconds).toFixed(1)}/s drawn; delivered ${(deliveredCount / seconds).toFixed(1)} pictures/s`);
  console.log(`CPU per picture with the X server: host ${hostPerPicture.toFixed(2)} ms; ffmpeg x11grab → scale → ` +
    `MJPEG ${referencePerPicture.toFixed(2)} ms (${(frames / seconds).toFixed(1)} pictures/s), ` +
    `${(referencePerPicture / hostPerPicture).toFixed(1)}× the host's`);
  console.log(`  of which the host ${((hostOnly * 1000) / deliveredCount).toFixed(2)} ms, the X server ` +
    `${((xvfbOnly * 1000) / deliveredCount).toFixed(2)} ms (drawing the window's frames included); ` +
    `the machine was ${(busy * 100).toFixed(0)} % busy while the phone watched`);
  for (const [showing, { rate, gap }] of acking) {
    console.log(`a phone taking ${showing} ms to show each picture: ${rate.toFixed(1)} pictures/s delivered, ` +
      `ack → next picture p50 ${gap.toFixed(1)} ms`);
  }
} finally {
  await browser?.close();
  await host?.stop();
  window?.kill();
  desktop.stop();
}
