// The host itself (tavelin --headless) on a private headless sway (pixman renderer, run as an
// ordinary user) with two terminals side by side, through the wlroots protocols and sway's
// IPC. A node WebSocket client is the phone: it lists the windows, watches the screen and one
// terminal's window (pictures of that window, none while nothing changes), taps the other
// terminal into focus and back, types text beyond any keyboard layout five times and finds it
// exact each time, passes the clipboard both ways, and scrolls a terminal's history. Then the window portal finds its terminal
// again after it was closed and started anew, and a virtual display is a new sway output of its
// own size that the phone watches.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import WebSocket from 'ws';
import { DemoHost, api, ask, freePort, sleep, until, watch } from './demo-host.mjs';
import { SwaySession } from './gnome-session.mjs';

// Pictures stop coming: nothing new for `quiet` ms.
const settled = (seen, quiet = 600) =>
  until(() => seen.pictures.length > 0 && Date.now() - seen.pictures.at(-1).at > quiet, 20000, 'a still screen');

test('a phone watches sway, a window of it, moves the focus and types exactly', { timeout: 200000 }, async () => {
  const session = new SwaySession();
  let host;
  try {
    // Two terminals that write what they get to files, tiled left and right.
    const files = {};
    const terminals = {};
    for (const name of ['left', 'right']) {
      files[name] = join(session.work, `${name}.txt`);
      const ready = join(session.work, `${name}.ready`);
      terminals[name] = session.run(['foot', '--app-id', `terminal-${name}`, '--title', `Terminal ${name}`, '--', 'sh', '-c',
        `touch ${ready}; exec cat > ${files[name]}`]);
      await until(() => existsSync(ready), 20000, `the ${name} terminal`);
    }
    const text = (name) => (existsSync(files[name]) ? readFileSync(files[name], 'utf8') : '');

    host = await DemoHost.start({ port: freePort(), requireApproval: false, targetFps: 30, shareClipboard: true },
      session.dataHome, session.hostArgs());
    assert.match(await host.waitFor((l) => l.startsWith('LOG [Host] Desktop: ')), /sway through the wlroots protocols/);
    const screenPortal = (await host.waitFor((l) => /^OK portal \S+ screenRegion Screen$/.test(l))).split(' ')[2];
    const windows = await ask(host, 'windows');
    assert.equal(windows[0], 'OK windows 2');
    const rightWindow = windows.find((l) => l.endsWith('terminal-right \u2014 Terminal right'));
    assert.ok(rightWindow, windows.join('\n'));
    const added = await ask(host, `add window ${rightWindow.split(' ')[2]}`);
    assert.match(added[0], /^OK portal \S+ window terminal-right/);
    const windowPortal = added[0].split(' ')[2];

    const paired = await api(host, 'POST', '/api/pair', { body: { pin: host.pin, deviceName: 'Sway phone' } });
    assert.equal(paired.status, 200);
    const { socket, seen } = await watch(host, paired.body.token);
    const send = (message) => socket.send(JSON.stringify(message));
    await until(() => seen.pictures.length > 0, 20000, 'the first picture');
    send({ type: 'selectportal', portalId: screenPortal });
    await until(() => seen.pictures.some((p) => p.size.width === 1280 && p.size.height === 720), 20000,
      'pictures of the whole screen');

    // A tap on the right half focuses that terminal, one on the left half the other.
    send({ type: 'tap', x: 0.75, y: 0.5 });
    send({ type: 'text', text: 'right\n' });
    await until(() => text('right') === 'right\n', 20000, 'the text in the right terminal');
    send({ type: 'tap', x: 0.25, y: 0.5 });
    const exact = 'h\u00e9llo \u20ac\u65e5\u672c \u2713\uD83D\uDE42';
    for (let round = 1; round <= 5; ++round) {
      send({ type: 'text', text: exact });
      send({ type: 'key', key: 'enter' });
      const expected = `${exact}\n`.repeat(round);
      await until(() => text('left') === expected, 20000, `round ${round} of the text`).catch((error) => {
        throw new Error(`${error.message}: the terminal has ${JSON.stringify(text('left'))}`);
      });
    }
    assert.equal(text('right'), 'right\n');  // nothing strayed into the other one
    // A character with Ctrl held: Ctrl+U makes the terminal's line discipline drop the line
    // typed so far, and Ctrl comes up after it.
    send({ type: 'text', text: 'dropped' });
    send({ type: 'text', text: 'u', modifiers: ['ctrl'] });
    send({ type: 'text', text: 'kept' });
    send({ type: 'key', key: 'enter' });
    await until(() => text('left') === `${exact}\n`.repeat(5) + 'kept\n', 20000, 'the line after Ctrl+U').catch(
      (error) => {
        throw new Error(`${error.message}: the terminal has ${JSON.stringify(text('left'))}`);
      });

    // The clipboard both ways, with no window of the host's: the phone's text is sway's
    // clipboard, and what another program copies reaches the phone; the phone's own never
    // comes back to it.
    const fromPhone = 'from the phone \u00e9\u2713';
    send({ type: 'clipboard', text: fromPhone });
    const pasteOut = async () => {
      const out = { text: '' };
      const reader = session.run(['wl-paste', '--no-newline'], { stdio: ['ignore', 'pipe', 'ignore'] });
      reader.stdout.on('data', (data) => { out.text += data.toString(); });
      await new Promise((resolve) => reader.once('exit', resolve));
      return out.text;
    };
    let clipboard = '';
    await until(async () => (clipboard = await pasteOut()) === fromPhone, 20000, 'the phone\'s text on the clipboard')
      .catch((error) => {
        throw new Error(`${error.message}: it has ${JSON.stringify(clipboard)}`);
      });
    const fromSway = 'copied on sway \u00fc\u65e5';
    session.run(['wl-copy', fromSway]);
    await until(() => seen.clipboard.length > 0, 20000, 'the copied text on the phone');
    assert.deepEqual(seen.clipboard, [fromSway]);

    // The window portal: pictures of that window alone, none while it stands still.
    const switched = seen.pictures.length;
    send({ type: 'selectportal', portalId: windowPortal });
    await until(() => seen.pictures.slice(switched).some((p) => p.size.width === 640 && p.size.height === 720), 20000,
      'pictures of the right terminal').catch((error) => {
      throw new Error(`${error.message}: sizes ${JSON.stringify(seen.pictures.slice(-5).map((p) => p.size))}`);
    });
    await settled(seen);
    const still = seen.pictures.length;
    // What is tested is that nothing comes while nothing changes: only a stretch of time shows it.
    await sleep(1500);
    assert.equal(seen.pictures.length, still, 'pictures of a window that did not change');
    // It changes: a picture follows. A tap in the window portal lands in its terminal.
    send({ type: 'tap', x: 0.5, y: 0.5 });
    send({ type: 'text', text: 'again\n' });
    await until(() => text('right') === 'right\nagain\n', 20000, 'text typed through the window portal');
    await until(() => seen.pictures.length > still, 20000, 'a picture of the changed window');

    // Scrolling back through the terminal's history changes what it shows.
    send({ type: 'text', text: `${Array.from({ length: 80 }, (_, i) => `line ${i}`).join('\n')}\n` });
    await until(() => text('right').includes('line 79\n'), 20000, 'the lines');
    await settled(seen);
    const beforeScroll = seen.pictures.length;
    send({ type: 'scroll', x: 0.5, y: 0.5, dx: 0, dy: 8 });
    await until(() => seen.pictures.length > beforeScroll, 20000, 'a picture of the scrolled history');

    // The terminal closes and starts again (a new window, a new process): the portal finds it by
    // its application id, and input reaches the new one.
    const closed = seen.states.length;
    terminals.right.kill();
    await until(() => seen.states.slice(closed).some((m) => m.state !== 'capturing'), 20000, 'the window gone');
    const againFile = join(session.work, 'again.txt');
    const againReady = join(session.work, 'again.ready');
    session.run(['foot', '--app-id', 'terminal-right', '--title', 'Terminal right', '--', 'sh', '-c',
      `touch ${againReady}; exec cat > ${againFile}`]);
    await until(() => existsSync(againReady), 20000, 'the terminal started again');
    await host.waitFor((l) => l.startsWith('LOG [Capture] Window reconnected (window terminal-right'));
    const reconnected = seen.pictures.length;
    await until(() => seen.pictures.length > reconnected, 20000, 'pictures of the new terminal');
    send({ type: 'tap', x: 0.5, y: 0.5 });
    send({ type: 'text', text: 'new window\n' });
    await until(() => existsSync(againFile) && readFileSync(againFile, 'utf8') === 'new window\n', 20000,
      'text in the new terminal');

    // A virtual display: a headless output of sway's at the size asked for, beside the screen.
    const created = await ask(host, 'virtual create 1024 768');
    assert.match(created.at(-1), /^OK display \d+ 1280 0 1024 768 \S+ virtual$/);
    const virtualPortal = (await ask(host, 'add virtual'))[0].split(' ')[2];
    const onVirtual = seen.pictures.length;
    send({ type: 'selectportal', portalId: virtualPortal });
    await until(() => seen.pictures.slice(onVirtual).some((p) => p.size.width === 1024 && p.size.height === 768),
      20000, 'pictures of the virtual display');
    socket.close();
  } catch (error) {
    if (host) console.error(host.lines.filter((line) => !line.startsWith('INPUT ')).join('\n'));
    throw error;
  } finally {
    await host?.stop();
    session.stop();
  }
});
