// The host itself (tavelin --headless) on a private headless GNOME through the desktop portal.
// The portal is a small stand-in on the session's bus (fake-desktop-portal.py) that serves the
// portal's conversation with Mutter's real streams and input, and whose dialog answers what the
// test tells it: the host's requests, its restore tokens, its use of the clipboard the portal
// gives and its answers to a refusal are real.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { existsSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createInterface } from 'node:readline';
import { join } from 'node:path';
import { DemoHost, api, ask, freePort, until, watch } from './demo-host.mjs';
import { GnomeSession } from './gnome-session.mjs';

const fakePortal = new URL('./fake-desktop-portal.py', import.meta.url).pathname;
const settings = { port: freePort(), requireApproval: false, targetFps: 30, shareClipboard: true };

// The stand-in portal: its lines, and the commands that set what its dialog answers.
function startPortal(session, version) {
  const program = session.run(['/usr/bin/python3', fakePortal, '--remote-desktop-version', String(version)],
    { stdio: ['pipe', 'pipe', 'inherit'] });
  const portal = { lines: [], tell: (line) => program.stdin.write(`${line}\n`), program };
  createInterface({ input: program.stdout }).on('line', (line) => portal.lines.push(line));
  portal.saw = (line, what = line) => until(() => portal.lines.includes(line), 20000, `the portal to say ${what}`);
  return portal;
}

test('the host shares GNOME and its clipboard through the desktop portal and remembers its permission', { timeout: 200000 }, async () => {
  const session = new GnomeSession();
  const tokenFile = join(session.dataHome, 'Tavelin', 'desktop-portal.json');
  const storedToken = () => JSON.parse(readFileSync(tokenFile, 'utf8')).restoreToken;
  let portal = startPortal(session, 2);
  let host;
  try {
    await portal.saw('ready');
    // No backend named: the portal is there, so it is the default.
    host = await DemoHost.start(settings, session.dataHome, session.hostArgs());
    assert.match(await host.waitFor((l) => l.startsWith('LOG [Host] Desktop: ')), /through the desktop portal/);
    await host.waitFor((l) => l === 'LOG [Host] The desktop asks whether Tavelin may share the screen and ' +
      'control the pointer and keyboard');
    await portal.saw('token token-1');
    assert.equal(portal.lines.filter((l) => l === 'dialog').length, 1);
    assert.equal(storedToken(), 'token-1');

    const paired = await api(host, 'POST', '/api/pair', { body: { pin: host.pin, deviceName: 'Portal phone' } });
    assert.equal(paired.status, 200);
    let { socket, seen } = await watch(host, paired.body.token);
    await until(() => seen.pictures.length > 0, 20000, 'the first picture');
    assert.deepEqual(seen.pictures[0].size, { width: 1280, height: 720 });

    // Input goes through the portal to the terminal it focuses.
    const typed = join(session.work, 'typed.txt');
    const ready = join(session.work, 'ready');
    session.run(['foot', '--maximized', '--', 'sh', '-c', `touch ${ready}; exec cat > ${typed}`]);
    await until(() => existsSync(ready), 20000, 'the terminal');
    const before = seen.pictures.length;
    await until(() => seen.pictures.length > before && Date.now() - seen.pictures.at(-1).at > 700, 20000,
      'the terminal on screen');
    socket.send(JSON.stringify({ type: 'tap', x: 0.5, y: 0.5 }));
    socket.send(JSON.stringify({ type: 'text', text: 'through the portal' }));
    socket.send(JSON.stringify({ type: 'key', key: 'enter' }));
    const terminalText = () => (existsSync(typed) ? readFileSync(typed, 'utf8') : '');
    await until(() => terminalText() === 'through the portal\n', 20000, 'the text in the terminal').catch((error) => {
      throw new Error(`${error.message}: it has ${JSON.stringify(terminalText())}`);
    });
    assert.ok(portal.lines.includes('input NotifyPointerMotionAbsolute'));

    // The portal gave the session its clipboard.
    assert.ok(portal.lines.includes('clipboard requested'));
    const answered = async (entry, what) => {
      await until(() => entry.text.includes('\n'), 20000, what).catch((error) => {
        throw new Error(`${error.message}: it has ${JSON.stringify(entry.text)}`);
      });
      return entry.text;
    };
    // Text beyond the keyboard layout is pasted through it, exactly, into a GTK entry that has
    // the focus as it opens.
    const typedEntry = await session.openEntry('TavelinPortalEntry', seen);
    const beyond = 'h\u00e9llo \u2713';
    socket.send(JSON.stringify({ type: 'text', text: beyond }));
    socket.send(JSON.stringify({ type: 'key', key: 'enter' }));
    assert.equal(await answered(typedEntry, 'the entry to answer'), `${beyond}\n`);
    // The phone's text becomes the desktop's clipboard, for Ctrl+V.
    const pastedEntry = await session.openEntry('TavelinPortalPaste', seen);
    const fromPhone = 'from the phone through the portal \u00e9';
    socket.send(JSON.stringify({ type: 'clipboard', text: fromPhone }));
    socket.send(JSON.stringify({ type: 'text', text: 'v', modifiers: ['ctrl'] }));
    socket.send(JSON.stringify({ type: 'key', key: 'enter' }));
    assert.equal(await answered(pastedEntry, 'the paste entry to answer'), `${fromPhone}\n`);
    // Text another program copies reaches the phone; the host's own never came back.
    const fromDesktop = 'copied beside the portal \u00fc\u65e5';
    session.run(['wl-copy', fromDesktop]);
    await until(() => seen.clipboard.length > 0, 20000, 'the copied text on the phone');
    assert.deepEqual(seen.clipboard, [fromDesktop]);
    assert.ok(portal.lines.includes('clipboard SelectionRead'));

    // The desktop ends the session (the person at the desk pressed stop there): sharing stays
    // stopped, the phone is told, and the host does not ask again by itself.
    const stopped = seen.states.length;
    portal.tell('close');
    await portal.saw('closed by-desktop');
    await host.waitFor((l) => l === 'LOG [Host] Screen sharing error: the desktop ended screen sharing; ' +
      'Tavelin asks again when it next starts');
    await until(() => seen.states.slice(stopped).some((m) => m.state !== 'capturing' && !m.streaming), 20000,
      'the phone to hear the sharing ended').catch((error) => {
      throw new Error(`${error.message}: it heard ${JSON.stringify(seen.states.slice(stopped))}`);
    });
    socket.close();
    await host.stop();
    assert.equal(portal.lines.filter((l) => l === 'dialog').length, 1);

    // A new run restores the permission with the token the last start handed out, without a
    // dialog, and stores the next one.
    host = await DemoHost.start(settings, session.dataHome, session.hostArgs());
    await portal.saw('restored token-1');
    await portal.saw('token token-2');
    ({ socket, seen } = await watch(host, paired.body.token));
    await until(() => seen.pictures.length > 0, 20000, 'pictures of the restored session');
    assert.equal(storedToken(), 'token-2');
    socket.close();
    await host.stop();
    await portal.saw('closed owner-gone', 'that the session ended with the host');

    // And again: still one dialog in all.
    host = await DemoHost.start(settings, session.dataHome, session.hostArgs());
    await portal.saw('restored token-2');
    await portal.saw('token token-3');
    assert.equal(portal.lines.filter((l) => l === 'dialog').length, 1);
    await host.stop();
    assert.equal(storedToken(), 'token-3');
    host = undefined;

    // Without a permission to restore, a cancelled or refused dialog stops the host with words
    // that say so; a token that did not restore is spent all the same.
    for (const [answer, words] of [['cancel', "the desktop's sharing dialog was cancelled"],
      ['deny', 'the desktop did not allow sharing']]) {
      writeFileSync(tokenFile, JSON.stringify({ restoreToken: 'token-unknown' }));
      portal.tell(`answer ${answer}`);
      const refused = spawnSync(session.script, ['run', session.runtime, process.env.TAVELIN_HOST, '--headless'],
        { encoding: 'utf8', env: { ...process.env, XDG_DATA_HOME: session.dataHome }, input: '', timeout: 60000 });
      assert.equal(refused.status, 1, refused.stderr);
      assert.match(refused.stderr, new RegExp(`Tavelin cannot start: ${words}`));
      await portal.saw(`refused ${answer}`);
      assert.equal(storedToken(), '');
    }

    // Remote desktop version 1 cannot persist: the host asks for no token and stores none.
    portal.program.kill();
    portal = startPortal(session, 1);
    await portal.saw('ready');
    rmSync(tokenFile);
    host = await DemoHost.start(settings, session.dataHome, session.hostArgs());
    await portal.saw('dialog');
    const again = await watch(host, paired.body.token);
    await until(() => again.seen.pictures.length > 0, 20000, 'pictures from a version 1 portal');
    // Beyond the layout, with no clipboard in this portal: reported, not dropped silently.
    again.socket.send(JSON.stringify({ type: 'text', text: '\u00e9\u2713' }));
    await host.waitFor((l) => l === 'LOG [Input] Input error: 2 characters could not be typed: not on this ' +
      "keyboard layout, and this desktop's portal offers no clipboard to paste them");
    assert.ok(!portal.lines.includes('clipboard requested'));
    again.socket.close();
    assert.ok(!portal.lines.some((l) => l.startsWith('token ')));
    assert.ok(!existsSync(tokenFile));
    await host.stop();

    // The setting for GNOME without the dialog: Mutter's own interfaces, the portal not asked.
    const dialogs = portal.lines.filter((l) => l === 'dialog').length;
    host = await DemoHost.start({ ...settings, gnomeWithoutDialog: true }, session.dataHome, session.hostArgs());
    assert.match(await host.waitFor((l) => l.startsWith('LOG [Host] Desktop: ')), /GNOME through Mutter/);
    assert.equal(portal.lines.filter((l) => l === 'dialog').length, dialogs);
  } catch (error) {
    if (host) console.error(host.lines.filter((line) => !line.startsWith('INPUT ')).join('\n'));
    console.error(portal.lines.join('\n'));
    throw error;
  } finally {
    await host?.stop();
    session.stop();
  }
});

test('a window picked in the desktop\'s chooser is watched and used, and comes back in the next run', { timeout: 200000 }, async () => {
  const session = new GnomeSession();
  const portal = startPortal(session, 2);
  const tokenFile = join(session.dataHome, 'Tavelin', 'desktop-portal.json');
  const dialogs = (kind) => portal.lines.filter((l) => l === kind).length;
  let host;
  try {
    await portal.saw('ready');
    // The stand-in's chooser picks the focused window: a terminal smaller than the screen.
    const typed = join(session.work, 'typed.txt');
    const ready = join(session.work, 'ready');
    session.run(['foot', '--', 'sh', '-c', `touch ${ready}; exec cat > ${typed}`]);
    await until(() => existsSync(ready), 20000, 'the terminal');
    host = await DemoHost.start(settings, session.dataHome, session.hostArgs());
    await portal.saw('token token-1');
    await host.waitFor((l) => /^OK portal \S+ screenRegion Screen$/.test(l));  // shared at first start
    assert.deepEqual(await ask(host, 'windows'), ['OK windows 0']);  // the portal lists none

    const added = await ask(host, 'add window');
    assert.match(added[0], /^OK portal \S+ window Window 1$/);
    const windowPortal = added[0].split(' ')[2];
    await host.waitFor((l) => l === 'LOG [Host] The desktop asks which window Tavelin may share, and ' +
      'whether it may control the pointer and keyboard');
    assert.equal(dialogs('dialog window'), 1);
    await portal.saw('token token-2');
    assert.deepEqual(JSON.parse(readFileSync(tokenFile, 'utf8')), { restoreToken: 'token-1', windows: { 1: 'token-2' } });
    assert.equal((await ask(host, 'windows'))[0], 'OK windows 1');

    const paired = await api(host, 'POST', '/api/pair', { body: { pin: host.pin, deviceName: 'Window phone' } });
    const watchWindow = async () => {
      const watched = await watch(host, paired.body.token);
      watched.socket.send(JSON.stringify({ type: 'selectportal', portalId: windowPortal }));
      // Pictures of the window alone: Mutter pads its buffers to the screen, the crop says what is the window.
      // Under a sanitizer on a busy machine the first picture of a portal window can take long.
      await until(() => watched.seen.pictures.some((p) => p.size.width < 1280 && p.size.height < 720), 40000,
        'pictures of the window').catch((error) => {
        throw new Error(`${error.message}: sizes ${JSON.stringify(watched.seen.pictures.map((p) => p.size))}`);
      });
      return watched;
    };
    let { socket, seen } = await watchWindow();
    const inputs = portal.lines.length;
    socket.send(JSON.stringify({ type: 'tap', x: 0.25, y: 0.75 }));
    socket.send(JSON.stringify({ type: 'text', text: 'into the window' }));
    socket.send(JSON.stringify({ type: 'key', key: 'enter' }));
    const terminalText = () => (existsSync(typed) ? readFileSync(typed, 'utf8') : '');
    await until(() => terminalText() === 'into the window\n', 20000, 'the text in the terminal').catch((error) => {
      throw new Error(`${error.message}: it has ${JSON.stringify(terminalText())}`);
    });
    // The tap lands where it was aimed within the window's own stream.
    const { width, height } = seen.pictures.at(-1).size;
    const [, x, y] = portal.lines.slice(inputs).find((l) => l.startsWith('at ')).split(' ').map(Number);
    assert.ok(Math.abs(x - width * 0.25) <= 2 && Math.abs(y - height * 0.75) <= 2,
      `a tap at a quarter across and three quarters down a ${width}x${height} window landed at ${x},${y}`);
    socket.close();
    await host.stop();

    // The next run restores both permissions without a dialog, the window's when it is looked for.
    host = await DemoHost.start(settings, session.dataHome, session.hostArgs());
    await portal.saw('restored token-1');
    ({ socket } = await watchWindow());
    await portal.saw('restored token-2');
    socket.close();
    assert.equal(dialogs('dialog'), 1);
    assert.equal(dialogs('dialog window'), 1);

    // A refused chooser adds nothing and says why.
    portal.tell('answer cancel');
    const refused = await ask(host, 'add window');
    assert.equal(refused[0], "ERROR no window chosen: the desktop's sharing dialog was cancelled");
    assert.equal((await ask(host, 'portals'))[0], 'OK portals 2');
  } catch (error) {
    if (host) console.error(host.lines.filter((line) => !line.startsWith('INPUT ')).join('\n'));
    console.error(portal.lines.join('\n'));
    throw error;
  } finally {
    await host?.stop();
    session.stop();
  }
});
