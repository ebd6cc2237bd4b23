// The host itself (tavelin --headless) on a private GNOME compositor: headless Mutter with one
// virtual monitor, PipeWire and WirePlumber, all as an ordinary user, and Mutter's own screen
// cast and remote desktop. A node WebSocket client is the phone: it pairs, watches the screen
// and a region of it, types non-ASCII text into a GTK entry, which prints what it got, then taps
// the maximised terminal behind it to give it the focus and types into that.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import WebSocket from 'ws';
import { DemoHost, api, ask, collect, freePort, until } from './demo-host.mjs';
import { GnomeSession } from './gnome-session.mjs';

const screenshots = process.env.TAVELIN_SCREENSHOTS;

test('a phone watches GNOME, taps a terminal into focus and types exactly', { timeout: 180000 }, async () => {
  const session = new GnomeSession();
  const { work, dataHome } = session;
  const run = (args, options) => session.run(args, options);
  let host;
  let lastSeen;
  try {
    // No platform named: the session's variables say Wayland, its bus says Mutter.
    host = await DemoHost.start({ port: freePort(), requireApproval: false, targetFps: 30 }, dataHome,
      session.hostArgs());
    const desktopLine = await host.waitFor((l) => l.startsWith('LOG [Host] Desktop: '));
    assert.match(desktopLine, /Wayland, GNOME through Mutter/);
    assert.match(desktopLine, /does not let Tavelin list, raise or move other applications' windows/);
    assert.deepEqual(await ask(host, 'windows'), ['OK windows 0']);

    const paired = await api(host, 'POST', '/api/pair', { body: { pin: host.pin, deviceName: 'GNOME phone' } });
    assert.equal(paired.status, 200);
    // Listening from the first message: on a still screen the first picture may be the only one.
    const ticket = await api(host, 'POST', '/api/ws-ticket', { token: paired.body.token });
    const socket = new WebSocket(`${host.url.replace('http', 'ws')}/ws?ticket=${ticket.body.ticket}`);
    const seen = collect(socket);
    lastSeen = seen;
    await new Promise((resolve, reject) => {
      socket.once('open', resolve);
      socket.once('error', reject);
    });
    const opened = Date.now();
    await until(() => seen.pictures.length > 0, 20000, 'the first picture');
    console.log(`socket open to first picture: ${seen.pictures[0].at - opened} ms`);
    assert.equal(seen.portals.items.length, 1);
    assert.equal(seen.portals.items[0].type, 'screenRegion');
    assert.deepEqual(seen.pictures[0].size, { width: 1280, height: 720 });
    await until(() => seen.states.some((m) => m.streaming), 20000, 'the streaming state');
    const state = seen.states.find((m) => m.streaming);
    assert.deepEqual([state.sourceWidth, state.sourceHeight], [1280, 720]);

    // A maximised terminal that writes what it gets to a file.
    const typed = join(work, 'typed.txt');
    const ready = join(work, 'ready');
    (run(['foot', '--maximized', '--', 'sh', '-c', `touch ${ready}; exec cat > ${typed}`]));
    await until(() => existsSync(ready), 20000, 'the terminal');
    // A GTK entry in front of it, centred; it prints its text when Enter is pressed.
    const answer = { text: '' };
    const entry = run(['zenity', '--entry', '--title', 'TavelinEntry', '--text', 'Type here'],
      { stdio: ['ignore', 'pipe', 'ignore'] });
    entry.stdout.on('data', (data) => { answer.text += data.toString(); });
    // On screen and done opening: the pictures changed, then stopped changing (a still screen
    // sends none).
    const before = seen.pictures.length;
    await until(() => seen.pictures.length > before + 2 && Date.now() - seen.pictures.at(-1).at > 700, 20000,
      'the entry on screen');

    // The entry has the focus as it opens: text beyond the keyboard layout arrives exactly.
    const unicode = 'h\u00e9llo \u20ac\u65e5\u672c \u2713';
    socket.send(JSON.stringify({ type: 'text', text: unicode }));
    socket.send(JSON.stringify({ type: 'key', key: 'enter' }));
    await until(() => answer.text.includes('\n'), 20000, 'the entry to answer').catch((error) => {
      throw new Error(`${error.message}: it has ${JSON.stringify(answer.text)}`);
    });
    assert.equal(answer.text, `${unicode}\n`);

    // A tap lands on the terminal, which takes the focus, and what is typed reaches it.
    socket.send(JSON.stringify({ type: 'tap', x: 0.5, y: 0.5 }));
    socket.send(JSON.stringify({ type: 'text', text: 'hello from the phone' }));
    socket.send(JSON.stringify({ type: 'key', key: 'enter' }));
    const terminalText = () => (existsSync(typed) ? readFileSync(typed, 'utf8') : '');
    await until(() => terminalText() === 'hello from the phone\n', 20000, 'the text in the terminal').catch(
      (error) => {
        throw new Error(`${error.message}: it has ${JSON.stringify(terminalText())}`);
      });

    // This terminal pastes with Shift+Insert from the primary selection, not the clipboard: what
    // is not on the layout cannot reach it, and is reported rather than dropped without a word.
    socket.send(JSON.stringify({ type: 'text', text: '\u00e9\u2713' }));
    await host.waitFor((l) => l === 'LOG [Input] Input error: 2 characters could not be typed: not on this ' +
      'keyboard layout, and the focused application took no paste');

    // A region of the screen: its own pictures, 400 x 300.
    const added = await ask(host, 'add screen 100 100 400 300');
    const region = added[0].match(/^OK portal (\S+) /)[1];
    assert.equal((await ask(host, `start ${region}`))[0], 'OK');
    socket.send(JSON.stringify({ type: 'selectportal', portalId: region }));
    await until(() => seen.pictures.some((p) => p.size.width === 400 && p.size.height === 300), 20000,
      'pictures of the region');
  } catch (error) {
    // What the phone saw last, for the one who reads the failure.
    if (screenshots && lastSeen?.last) writeFileSync(join(screenshots, 'gnome-failed.jpg'), lastSeen.last);
    if (host) console.error(host.lines.filter((line) => !line.startsWith('INPUT ')).join('\n'));
    throw error;
  } finally {
    await host?.stop();
    session.stop();
  }
});
