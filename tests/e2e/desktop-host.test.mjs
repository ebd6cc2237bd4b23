// The whole host without its window, on a private Xvfb desktop with openbox: the real server,
// portal routing, X11 capture and XTest input, with a node WebSocket client as the phone. It
// watches an xterm, taps into it, types a shell command whose file appears, switches to a
// screen region and back after reconnecting. Prints the figures it sees.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { DemoHost, api, collect, freePort, openStream, sleep, startDesktop, until } from './demo-host.mjs';

const microseconds = () => Number(process.hrtime.bigint() / 1000n);  // the host's steady clock

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

test('a phone watches and drives an xterm, switches portals and comes back', { timeout: 120000 }, async () => {
  const desktop = startDesktop({ title: 'TavelinE2E', geometry: '80x24+40+40' });
  const { env } = desktop;
  const work = mkdtempSync(join(tmpdir(), 'tavelin-desktop-'));
  let host;
  try {
    await until(() => {
      try {
        execFileSync('xwininfo', ['-name', 'TavelinE2E'], { env: { ...process.env, ...env }, stdio: 'ignore' });
        return true;
      } catch {
        return false;
      }
    }, 15000, 'the xterm');
    // Framed by the window manager, so its place is final.
    await until(() => {
      try {
        const extents = execFileSync('xprop', ['-name', 'TavelinE2E', '_NET_FRAME_EXTENTS'], {
          env: { ...process.env, ...env },
          encoding: 'utf8',
        });
        return extents.includes('=');
      } catch {
        return false;
      }
    }, 15000, 'the xterm framed');

    host = await DemoHost.start({ port: freePort(), requireApproval: false, targetFps: 30 }, undefined, {
      args: ['--desktop', '--window', 'TavelinE2E', '--region', '700,400,400,300'],
      env,
    });
    const paired = await api(host, 'POST', '/api/pair', { body: { pin: host.pin, deviceName: 'Desk phone' } });
    assert.equal(paired.status, 200);

    let { socket, portals, state } = await openStream(host, paired.body.token, { streaming: false });
    assert.deepEqual(portals.items.map((p) => p.type), ['window', 'screenRegion']);
    assert.equal(portals.currentPortalId, portals.items[0].id);
    assert.equal(state.portalId, portals.items[0].id);
    const seen = collect(socket);
    const pictures = seen.pictures;

    // Taps raise the window and land in it; each is timed from sending to its release event.
    const latencies = [];
    for (let i = 0; i < 15; ++i) {
      const since = host.lines.length;
      const sent = microseconds();
      socket.send(JSON.stringify({ type: 'tap', x: 0.5, y: 0.5 }));
      const line = await host.waitFor((l) => l.startsWith('EVENT mouse 2 ') && host.lines.indexOf(l) >= since);
      latencies.push((Number(line.match(/ t=(\d+)$/)[1]) - sent) / 1000);
    }

    // A shell command typed into the xterm does what it says.
    const created = join(work, 'typed-by-phone');
    socket.send(JSON.stringify({ type: 'text', text: `touch ${created}` }));
    socket.send(JSON.stringify({ type: 'key', key: 'Enter' }));
    await until(() => existsSync(created), 15000, 'the typed command');

    // The window changes all the time now: pictures of its whole size, at the portal's rate.
    socket.send(JSON.stringify({ type: 'text', text: 'while :; do date +%N; done' }));
    socket.send(JSON.stringify({ type: 'key', key: 'Enter' }));
    await until(() => seen.states.some((m) => m.streaming), 10000, 'pictures of the window');
    const streaming = seen.states.findLast((m) => m.streaming);
    await sleep(1000);
    const from = pictures.length;
    const start = Date.now();
    await sleep(3000);
    const windowRate = (pictures.length - from) / ((Date.now() - start) / 1000);
    assert.ok(pictures.length > from, 'pictures of the window keep coming');
    assert.deepEqual(pictures.at(-1).size, { width: streaming.sourceWidth, height: streaming.sourceHeight });

    // The second portal: its own pictures, 400 x 300.
    const second = portals.items[1].id;
    socket.send(JSON.stringify({ type: 'selectportal', portalId: second }));
    await until(() => seen.states.some((m) => m.portalId === second && m.streaming), 10000, 'the region streaming');
    await until(() => pictures.length > 0 && pictures.at(-1).size.width === 400, 10000, 'region pictures');
    assert.deepEqual(pictures.at(-1).size, { width: 400, height: 300 });

    // Gone and back: the phone returns to the portal it watched last.
    socket.close();
    await host.waitFor((l) => l === `DISCONNECTED ${paired.body.deviceId}`);
    ({ socket, portals, state } = await openStream(host, paired.body.token, { streaming: false }));
    assert.equal(portals.currentPortalId, second);
    assert.equal(state.portalId, second);
    socket.close();

    console.log(`window portal: ${windowRate.toFixed(1)} pictures/s of ${streaming.sourceWidth}x${streaming.sourceHeight}; ` +
      `tap to posted release: median ${median(latencies).toFixed(1)} ms, worst of 15 ${Math.max(...latencies).toFixed(1)} ms`);
  } catch (error) {
    if (host) console.log(`host said:\n${host.lines.slice(-60).join('\n')}`);
    throw error;
  } finally {
    if (host) assert.deepEqual(await host.stop(), { code: 0, signal: null });
    desktop.stop();
    rmSync(work, { recursive: true, force: true });
  }
});
