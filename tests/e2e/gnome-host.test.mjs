// The host itself (tavelin --headless) on a private GNOME compositor: headless Mutter with one
// virtual monitor, PipeWire and WirePlumber, all as an ordinary user, and Mutter's own screen
// cast and remote desktop. A node WebSocket client is the phone: it pairs, watches the screen
// and a region of it, types non-ASCII text into a GTK entry, which prints what it got, then taps
// the maximised terminal behind it to give it the focus and types into that. The clipboard goes
// both ways: the phone's text is pasted with Ctrl+V, and what another program copies reaches the
// phone, while a paste of typed text leaves the user's clipboard as it was. A second run makes
// a virtual display there, watches it, moves the pointer onto it and removes it again.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import WebSocket from 'ws';
import { DemoHost, api, ask, collect, freePort, until, watch } from './demo-host.mjs';
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
    host = await DemoHost.start({ port: freePort(), requireApproval: false, targetFps: 30, shareClipboard: true },
      dataHome, session.hostArgs());
    const desktopLine = await host.waitFor((l) => l.startsWith('LOG [Host] Desktop: '));
    assert.match(desktopLine, /Wayland, GNOME through Mutter/);
    assert.match(desktopLine, /does not let Tavelin list, raise or move other applications' windows/);
    assert.deepEqual(await ask(host, 'windows'), ['OK windows 0']);
    // No window list and, without the dialog, no chooser: a window portal is refused with words.
    assert.match((await ask(host, 'add window'))[0],
      /^ERROR GNOME does not show Tavelin other applications' windows, .* turn off “On GNOME, share without/);

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
    // A GTK entry in front of it takes the focus.
    const answer = await session.openEntry('TavelinEntry', seen);

    // The entry has the focus as it opens: a character with Shift held arrives shifted, and
    // text beyond the keyboard layout arrives exactly.
    const unicode = 'h\u00e9llo \u20ac\u65e5\u672c \u2713';
    socket.send(JSON.stringify({ type: 'text', text: 'a', modifiers: ['shift'] }));
    socket.send(JSON.stringify({ type: 'text', text: unicode }));
    socket.send(JSON.stringify({ type: 'key', key: 'enter' }));
    await until(() => answer.text.includes('\n'), 20000, 'the entry to answer').catch((error) => {
      throw new Error(`${error.message}: it has ${JSON.stringify(answer.text)}`);
    });
    assert.equal(answer.text, `A${unicode}\n`);

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

    // The clipboard both ways. The phone's text becomes GNOME's clipboard, and Ctrl+V pastes it
    // into a fresh entry, which has the focus as it opens.
    const pasted = await session.openEntry('TavelinPaste', seen);
    const fromPhone = 'from the phone \u00e9\u2713';
    socket.send(JSON.stringify({ type: 'clipboard', text: fromPhone }));
    socket.send(JSON.stringify({ type: 'text', text: 'v', modifiers: ['ctrl'] }));
    socket.send(JSON.stringify({ type: 'key', key: 'enter' }));
    await until(() => pasted.text.includes('\n'), 20000, 'the paste entry to answer').catch((error) => {
      throw new Error(`${error.message}: it has ${JSON.stringify(pasted.text)}`);
    });
    assert.equal(pasted.text, `${fromPhone}\n`);
    // Text another program copies reaches the phone, and the phone's own never came back.
    const fromGnome = 'copied on GNOME \u00fc\u65e5';
    run(['wl-copy', fromGnome]);
    await until(() => seen.clipboard.length > 0, 20000, 'the copied text on the phone');
    assert.deepEqual(seen.clipboard, [fromGnome]);
    // Text beyond the layout goes by the clipboard, which holds the user's text again afterwards.
    const errors = host.lines.filter((l) => l.startsWith('LOG [Input] Input error')).length;
    socket.send(JSON.stringify({ type: 'text', text: '\u2713' }));
    await until(() => host.lines.filter((l) => l.startsWith('LOG [Input] Input error')).length > errors, 20000,
      'the terminal to refuse the paste');
    const clipboard = { text: '' };
    const reader = run(['wl-paste', '--no-newline'], { stdio: ['ignore', 'pipe', 'ignore'] });
    reader.stdout.on('data', (data) => { clipboard.text += data.toString(); });
    await new Promise((resolve) => reader.once('exit', resolve));
    assert.equal(clipboard.text, fromGnome);
    assert.deepEqual(seen.clipboard, [fromGnome]);

    // A second phone on the still screen gets the last picture again at once, where Mutter
    // sends none until something changes (the first phone may get it again too). Should the
    // screen change as it comes (the first phone then sees a new picture too), it comes again.
    for (let attempt = 1; ; attempt++) {
      await until(() => Date.now() - seen.pictures.at(-1).at > 1000, 20000, 'a still screen');
      const shownBefore = seen.pictures.length;
      const lastShown = seen.pictures.at(-1).hash;
      const second = await watch(host, paired.body.token);
      await until(() => second.seen.pictures.length > 0, 20000, 'a picture for the second phone');
      second.socket.close();
      const changed = seen.pictures.slice(shownBefore).some((p) => p.hash !== lastShown);
      if (second.seen.pictures[0].hash !== lastShown && changed && attempt < 3) continue;
      assert.equal(second.seen.pictures[0].hash, lastShown, 'the screen changed meanwhile');
      break;
    }

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

test('a virtual display on GNOME is a display of its own size that phones watch and use', { timeout: 180000 }, async () => {
  const session = new GnomeSession();
  const { work, dataHome } = session;
  let host;
  try {
    host = await DemoHost.start({ port: freePort(), requireApproval: false, targetFps: 30 }, dataHome,
      session.hostArgs());
    const displayLine = /^OK display (\d+) (-?\d+) (-?\d+) (\d+) (\d+) \S+( main)?( virtual)?$/;
    await host.waitFor((l) => l.startsWith('OK portal '));  // the screen it shares on its own
    const displays = async () => (await ask(host, 'displays')).filter((l) => l.startsWith('OK display ')).map((line) => {
      const [, id, x, y, width, height, main, isVirtual] = line.match(displayLine);
      return { id, x: +x, y: +y, width: +width, height: +height, main: !!main, virtual: !!isVirtual };
    });
    assert.deepEqual((await displays()).map((d) => [d.width, d.height, d.main]), [[1280, 720, true]]);
    assert.match((await ask(host, 'virtual create 1')).at(-1), /^ERROR usage: /);
    assert.match((await ask(host, 'virtual create 1 768')).at(-1), /^ERROR a virtual display is 2 to 16384/);

    // Made at the size asked for, not the desktop's or the model's usual one.
    const asked = Date.now();
    const created = await ask(host, 'virtual create 1024 768');
    console.log(`virtual create to its display line: ${Date.now() - asked} ms`);
    console.log((await host.waitFor((l) => l.startsWith('LOG [Host] Virtual display: Mutter\'s monitor '))).slice(4));
    const [, id, x, y, width, height] = created[0].match(displayLine);
    assert.deepEqual([+width, +height], [1024, 768]);
    await host.waitFor((l) => l === 'LOG [Host] Virtual display created (1024 \u00d7 768)');
    assert.match((await ask(host, 'virtual create'))[0], /^ERROR there is a virtual display already/);
    const listed = await displays();
    assert.equal(listed.length, 2);
    assert.deepEqual(listed.find((d) => d.virtual), { id, x: +x, y: +y, width: 1024, height: 768, main: false, virtual: true });

    // A phone watching the whole virtual display gets pictures of its size.
    const paired = await api(host, 'POST', '/api/pair', { body: { pin: host.pin, deviceName: 'GNOME phone' } });
    const ticket = await api(host, 'POST', '/api/ws-ticket', { token: paired.body.token });
    const socket = new WebSocket(`${host.url.replace('http', 'ws')}/ws?ticket=${ticket.body.ticket}`);
    const seen = collect(socket);
    await new Promise((resolve, reject) => {
      socket.once('open', resolve);
      socket.once('error', reject);
    });
    const added = await ask(host, 'add virtual');
    const portal = added[0].match(/^OK portal (\S+) screenRegion Virtual region 1024\u00d7768$/)[1];
    assert.equal((await ask(host, `start ${portal}`))[0], 'OK');
    socket.send(JSON.stringify({ type: 'selectportal', portalId: portal }));
    const virtualPictures = () => seen.pictures.filter((p) => p.size.width === 1024 && p.size.height === 768);
    await until(() => virtualPictures().length > 0, 20000, 'pictures of the virtual display');

    // The pointer reaches it: a small region in its middle shows nothing but the black
    // background (one and the same picture, byte for byte) until a tap there brings the pointer
    // in. A pointer left at the main screen's edge would never show in it.
    const region = (await ask(host, `add screen ${+x + 480} ${+y + 352} 64 64`))[0].match(/^OK portal (\S+) /)[1];
    assert.equal((await ask(host, `start ${region}`))[0], 'OK');
    socket.send(JSON.stringify({ type: 'selectportal', portalId: region }));
    const regionPictures = () => seen.pictures.filter((p) => p.size.width === 64 && p.size.height === 64);
    await until(() => regionPictures().length > 0, 20000, 'pictures of the region');
    const blank = regionPictures()[0].bytes;
    assert.ok(regionPictures().every((p) => p.bytes === blank));
    socket.send(JSON.stringify({ type: 'tap', x: 0.5, y: 0.5 }));
    await until(() => regionPictures().some((p) => p.bytes !== blank), 20000, 'the pointer on the virtual display');

    // A maximised terminal on the main screen, tapped into focus there, takes what the phone
    // types before and after the virtual display goes: removing it leaves the input session as
    // it was.
    const screen = host.lines.find((l) => /^OK portal \S+ screenRegion Screen$/.test(l)).split(' ')[2];
    socket.send(JSON.stringify({ type: 'selectportal', portalId: screen }));
    const screenPictures = () => seen.pictures.filter((p) => p.size.width === 1280 && p.size.height === 720);
    await until(() => screenPictures().length > 0, 20000, 'pictures of the screen');
    // GNOME opens a window where the pointer is: bring it back first.
    socket.send(JSON.stringify({ type: 'tap', x: 0.5, y: 0.5 }));
    await until(() => Date.now() - seen.pictures.at(-1).at > 700, 20000, 'a still screen');
    const typed = join(work, 'typed.txt');
    const ready = join(work, 'ready');
    const shown = screenPictures().length;
    session.run(['foot', '--maximized', '--', 'sh', '-c', `touch ${ready}; exec cat > ${typed}`]);
    await until(() => existsSync(ready), 20000, 'the terminal');
    await until(() => screenPictures().length > shown + 1 && Date.now() - seen.pictures.at(-1).at > 700, 20000,
      'the terminal on screen');
    socket.send(JSON.stringify({ type: 'tap', x: 0.5, y: 0.5 }));
    const terminalText = () => (existsSync(typed) ? readFileSync(typed, 'utf8') : '');
    socket.send(JSON.stringify({ type: 'text', text: 'with a virtual display' }));
    socket.send(JSON.stringify({ type: 'key', key: 'enter' }));
    await until(() => terminalText() === 'with a virtual display\n', 20000, 'the text in the terminal');

    // Removed, it is gone from the displays, and input goes on.
    const removing = Date.now();
    assert.deepEqual(await ask(host, 'virtual remove'), ['OK']);
    console.log(`virtual remove: ${Date.now() - removing} ms`);
    await host.waitFor((l) => l === 'LOG [Host] Virtual display removed');
    assert.deepEqual((await displays()).map((d) => [d.width, d.height, d.virtual]), [[1280, 720, false]]);
    assert.match((await ask(host, 'add virtual'))[0], /^ERROR no virtual display/);
    socket.send(JSON.stringify({ type: 'text', text: 'and back' }));
    socket.send(JSON.stringify({ type: 'key', key: 'enter' }));
    await until(() => terminalText().endsWith('and back\n'), 20000, 'the text after removal');
    socket.close();
  } catch (error) {
    if (host) console.error(host.lines.filter((line) => !line.startsWith('INPUT ')).join('\n'));
    throw error;
  } finally {
    await host?.stop();
    session.stop();
  }
});
