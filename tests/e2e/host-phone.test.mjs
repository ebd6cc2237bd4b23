// The host itself (tavelin --headless) on a private Xvfb desktop with openbox and an xterm,
// driven by the real phone page in headless Chromium: pair with approval, watch the xterm,
// tap into it and type a command whose file appears, switch portals, and be sent back to
// pairing when the computer revokes the phone. Screenshots land in TAVELIN_SCREENSHOTS.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { DemoHost, ask, freePort, pictureCoverage, startDesktop, until } from './demo-host.mjs';

const screenshots = process.env.TAVELIN_SCREENSHOTS;
if (screenshots) mkdirSync(screenshots, { recursive: true });

const launchChromium = () => chromium.launch({
  executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],
});

// A phone-sized touch screen at three device pixels per CSS pixel.
const phoneContext = (browser, viewport) => browser.newContext({
  viewport, deviceScaleFactor: 3, isMobile: true, hasTouch: true,
  userAgent: 'Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/126.0 Mobile Safari/537.36',
});
test('a phone browser pairs with the host, drives an xterm, switches and is revoked', { timeout: 180000 }, async () => {
  const desktop = startDesktop({ title: 'TavelinPhone', geometry: '80x24+60+60' });
  const { env } = desktop;
  const work = mkdtempSync(join(tmpdir(), 'tavelin-phone-'));
  let host;
  let browser;
  try {
    host = await DemoHost.start({ port: freePort(), requireApproval: true, targetFps: 30 }, undefined, {
      args: ['--headless'],
      env,
      binary: process.env.TAVELIN_HOST,
    });
    // With nothing in its catalogue the host shares the whole screen; add the xterm's window.
    let xtermID;
    await until(async () => {
      const line = (await ask(host, 'windows')).find((l) => l.endsWith('TavelinPhone'));
      xtermID = line?.split(' ')[2];
      return xtermID !== undefined;
    }, 15000, 'the xterm among the windows');
    const added = await ask(host, `add window ${xtermID}`);
    assert.match(added[0], /^OK portal \S+ window XTerm$/);
    assert.match((await ask(host, 'bogus command'))[0], /^ERROR unknown command/);

    browser = await launchChromium();
    const context = await phoneContext(browser, { width: 390, height: 844 });
    // The controls stay shown, as the page's menu lets a user choose.
    await context.addInitScript(() => localStorage.setItem('tavelin.controls', 'shown'));
    const page = await context.newPage();
    const acks = { count: 0 };
    page.on('websocket', (socket) => socket.on('framesent', (frame) => {
      if (frame.payload === '{"type":"ack"}') acks.count++;
    }));
    const shoot = async (name) => {
      if (screenshots) await page.screenshot({ path: join(screenshots, `host-${name}.png`) });
    };

    await page.goto(host.url);
    await page.waitForSelector('#pair-screen:not([hidden])');
    await page.fill('#pin', host.pin);
    await page.waitForSelector('#wait-screen:not([hidden])');
    const request = await host.waitFor((l) => l.startsWith('REQUEST ') && l.endsWith(' Pixel 8'));
    assert.deepEqual(await ask(host, `allow ${request.split(' ')[1]}`), ['OK']);
    await page.waitForSelector('#stream-screen:not([hidden])');

    // A tap is aimed at a picture: the page drops touches until it has one (it knows no size
    // to map them to), so wait for the xterm's first picture. The tap focuses it.
    await until(() => acks.count >= 1, 15000, 'the first picture of the xterm');
    const picture = await page.locator('#picture').boundingBox();
    await page.touchscreen.tap(picture.x + picture.width / 2, picture.y + picture.height / 2);
    await until(() => host.lines.some((l) => l.startsWith('INPUT {') && l.includes('"type":"tap"')), 15000, 'the tap');
    const created = join(work, 'typed-on-a-phone');
    await page.click('#keyboard-button');
    await page.keyboard.type(`touch ${created}`);
    await page.click('#keys-button');
    await page.click('#keys-bar button[aria-label="enter"]');
    await until(() => existsSync(created), 30000, 'the command typed on the phone');
    await until(() => acks.count >= 3, 15000, 'pictures of the xterm');
    await page.waitForSelector('#status', { state: 'hidden' });
    await shoot('xterm');

    // The other portal: the whole screen.
    const options = await page.$$eval('#portal-picker option', (list) => list.map((o) => [o.value, o.textContent]));
    assert.deepEqual(options.map(([, name]) => name).sort(), ['Screen', 'XTerm']);
    const screen = options.find(([, name]) => name === 'Screen')[0];
    await page.selectOption('#portal-picker', screen);
    await page.waitForFunction((id) => document.getElementById('portal-picker').value === id, screen);
    const before = acks.count;
    await page.touchscreen.tap(picture.x + picture.width / 2, picture.y + picture.height / 2);  // a change
    await until(() => acks.count > before, 15000, 'pictures of the screen');
    await shoot('screen');

    // Stopped on the computer: the phone is told at once, shows nothing of it and cannot choose
    // it; started again, it is watched again.
    assert.deepEqual(await ask(host, `stop ${screen}`), ['OK']);
    await page.waitForFunction(() => document.getElementById('status-detail').textContent === 'Not shared');
    // The status and the new portal list are two messages: wait for the list as well.
    await page.waitForFunction(() => [...document.querySelectorAll('#portal-picker option:not([disabled])')]
      .map((o) => o.textContent).join() === 'XTerm');
    assert.ok((await ask(host, 'portals')).some((l) => l.includes(screen) && l.endsWith('(not shared)')));
    await shoot('not-shared');
    assert.deepEqual(await ask(host, `start ${screen}`), ['OK']);
    assert.ok((await ask(host, 'portals')).some((l) => l.includes(screen) && l.endsWith('(shared, active)')));
    await page.waitForFunction((id) => document.getElementById('portal-picker').value === id, screen);
    assert.match((await ask(host, 'stop 00000000-0000-4000-8000-000000000000'))[0], /^ERROR no portal/);

    // Who watches: the phone, its portal, its address and since when. Disconnected, it is
    // still paired and comes back by itself.
    const device = (await ask(host, 'devices')).find((l) => l.startsWith('OK device ') && l.includes(' Pixel 8 '));
    assert.ok(device, 'the phone is listed');
    const deviceID = device.split(' ')[2];
    const sessions = await ask(host, 'sessions');
    assert.equal(sessions[0], 'OK sessions 1');
    const [, , watcher, watched, address, since] = sessions[1].split(' ');
    assert.deepEqual([watcher, watched, address], [deviceID, screen, '127.0.0.1']);
    assert.ok(Date.parse(since) <= Date.now(), since);
    const acksBefore = acks.count;
    assert.deepEqual(await ask(host, `disconnect ${deviceID}`), ['OK']);
    await host.waitFor((l) => l === 'LOG [Server] Disconnected Pixel 8 (1 stream); it stays paired');
    await until(async () => (await ask(host, 'sessions'))[0] === 'OK sessions 1' && acks.count > acksBefore, 20000,
      'the phone back');
    const again = (await ask(host, 'sessions'))[1].split(' ');
    assert.ok(Date.parse(again[5]) >= Date.parse(since), 'a new stream');
    assert.match((await ask(host, 'disconnect 00000000-0000-4000-8000-000000000000'))[0], /^ERROR no paired device/);
    assert.match((await ask(host, 'disconnect'))[0], /^ERROR usage: disconnect <device id>/);

    // Revoked on the computer: the page is back at pairing.
    assert.deepEqual(await ask(host, `revoke ${deviceID}`), ['OK']);
    await page.waitForSelector('#pair-screen:not([hidden])', { timeout: 20000 });
    await shoot('revoked');
    await context.close();
  } catch (error) {
    if (host) console.log(`host said:\n${host.lines.slice(-40).join('\n')}`);
    throw error;
  } finally {
    await browser?.close();
    if (host) assert.deepEqual(await host.stop(), { code: 0, signal: null });
    desktop.stop();
    rmSync(work, { recursive: true, force: true });
  }
});

// A JPEG's size from its frame header.
function jpegSize(bytes) {
  for (let at = 2; at + 9 < bytes.length;) {
    if (bytes[at] !== 0xff) return null;
    const marker = bytes[at + 1];
    if (marker >= 0xc0 && marker <= 0xc2) {
      return { width: bytes.readUInt16BE(at + 7), height: bytes.readUInt16BE(at + 5) };
    }
    at += 2 + bytes.readUInt16BE(at + 2);
  }
  return null;
}

// Zoomed in, the phone gets the part in view from the screen's own pixels rather than an
// enlargement of the down-scaled whole, drawn where it belongs; taps still land on the point
// under the finger, with the 16:10 screen letterboxed in a landscape view. A portal shaped like
// the phone held sideways fills its screen once the controls step aside.
test('a zoomed-in phone sees its part at the screen\u2019s resolution and taps where it points; a wide portal fills the screen', { timeout: 180000 }, async () => {
  const desktop = startDesktop({
    title: 'TavelinZoom',
    geometry: '60x12+420+330',
    text: 'Small text on the computer, read on a phone zoomed in: sharp.',
  });
  let host;
  let browser;
  try {
    // The whole 1280 × 800 screen leaves at 640 × 400.
    host = await DemoHost.start({ port: freePort(), requireApproval: false, targetFps: 30, maxFrameDimension: 640 },
      undefined, { args: ['--headless'], env: desktop.env, binary: process.env.TAVELIN_HOST });
    browser = await launchChromium();
    const context = await phoneContext(browser, { width: 844, height: 390 });
    await context.addInitScript(() => {
      localStorage.setItem('tavelin.controls', 'shown');
      // What the page says it shows, as the page itself sent it.
      window.viewportsSent = [];
      const send = WebSocket.prototype.send;
      WebSocket.prototype.send = function recorded(data) {
        if (typeof data === 'string' && data.startsWith('{"type":"viewport"')) window.viewportsSent.push(data);
        return send.call(this, data);
      };
    });
    const page = await context.newPage();
    const sent = [];
    const received = []; // { view } for a word on the next picture, { size } for a picture
    page.on('websocket', (socket) => {
      socket.on('framesent', (frame) => sent.push(frame.payload));
      socket.on('framereceived', (frame) => {
        if (typeof frame.payload === 'string') {
          const message = JSON.parse(frame.payload);
          if (message.type === 'view') received.push({ view: message });
        } else {
          received.push({ size: jpegSize(frame.payload) });
        }
      });
    });
    const pictures = () => received.filter((r) => r.size).length;
    const touch = await context.newCDPSession(page);
    const fingers = async (from, to) => {
      const steps = 6;
      for (let i = 0; i <= steps; i++) {
        const spread = from + ((to - from) * i) / steps;
        await touch.send('Input.dispatchTouchEvent', {
          type: i === 0 ? 'touchStart' : 'touchMove',
          touchPoints: [{ x: 422 - spread, y: 195, id: 0 }, { x: 422 + spread, y: 195, id: 1 }],
        });
      }
      await touch.send('Input.dispatchTouchEvent', { type: 'touchEnd', touchPoints: [] });
    };

    await page.goto(host.url);
    await page.waitForSelector('#pair-screen:not([hidden])');
    await page.fill('#pin', host.pin);
    await page.waitForSelector('#stream-screen:not([hidden])');
    await until(() => pictures() >= 1, 15000, 'the first picture');
    assert.deepEqual(received[0], { size: { width: 640, height: 400 } });

    const from = received.length;
    await fingers(40, 100);
    // The page asks once the zoom has rested 150 ms; a timer of its own set after that one
    // fires after it, and reads what the page sent last, however busy the machine.
    const asked = JSON.parse(await page.evaluate(() => new Promise((resolve) => {
      setTimeout(() => resolve(window.viewportsSent.at(-1)), 200);
    })));
    assert.ok('pixelWidth' in asked, JSON.stringify(asked));
    // Zoomed far enough that the bars are out of view: the whole width is picture.
    assert.ok(asked.x > 0 && asked.x + asked.width < 1 && asked.y >= 0, JSON.stringify(asked));
    // The part covers what was asked (a picture of a part asked for mid-pinch may come first).
    const eps = 1e-6;
    const covers = (view) => view.x <= asked.x + eps && view.x + view.width >= asked.x + asked.width - eps
      && view.y <= asked.y + eps && view.y + view.height >= asked.y + asked.height - eps;
    const part = () => {
      const later = received.slice(from);
      const index = later.findLastIndex((r, i) => r.size && later[i - 1]?.view && covers(later[i - 1].view));
      if (index < 0) return null;
      const upTo = received.slice(0, from + index + 1).filter((r) => r.size).length;
      return { shows: later[index - 1].view, size: later[index].size, upTo };
    };
    await until(() => part() !== null, 15000, 'a picture of the part');
    const { shows, size, upTo } = part();
    // In the screen's pixels: twice what the whole had of it.
    assert.ok(Math.abs(size.width - shows.width * 1280) <= 1, `${JSON.stringify(size)} ${JSON.stringify(shows)}`);
    assert.ok(Math.abs(size.height - shows.height * 800) <= 1, `${JSON.stringify(size)} ${JSON.stringify(shows)}`);
    await until(() => sent.filter((s) => s === '{"type":"ack"}').length >= upTo, 15000, 'the part shown');
    if (screenshots) await page.screenshot({ path: join(screenshots, 'host-zoomed.png') });

    // A tap while zoomed names the point of the whole screen under the finger.
    const since = host.lines.length;
    await page.touchscreen.tap(600, 100);
    await until(() => host.lines.slice(since).some((l) => l.startsWith('INPUT {') && l.includes('"type":"tap"')), 15000, 'the tap');
    const tap = JSON.parse(host.lines.slice(since).find((l) => l.startsWith('INPUT {') && l.includes('"type":"tap"')).slice(6));
    const expected = { x: asked.x + (600 / 844) * asked.width, y: asked.y + (100 / 390) * asked.height };
    assert.ok(Math.abs(tap.x - expected.x) < 0.003 && Math.abs(tap.y - expected.y) < 0.003,
      `${JSON.stringify(tap)} against ${JSON.stringify(expected)}`);

    // Zoomed out: the whole screen again, with no word before it, though nothing changed.
    const zoomedSent = sent.length;
    const back = received.length;
    await fingers(100, 10);
    await until(() => sent.slice(zoomedSent).includes('{"type":"viewport"}'), 15000, 'back to the whole');
    await until(() => received.slice(back).some((r, i, all) => r.size?.width === 640 && !all[i - 1]?.view), 15000,
      'a whole picture again');

    // A portal shaped like the phone held sideways: once the controls step aside the picture
    // fills the screen, in the page and in full screen, with nothing over it but the pill of the
    // edge that calls them back.
    const added = await ask(host, 'add screen 0 0 1280 600');
    const wide = added[0].match(/^OK portal (\S+) /)?.[1];
    assert.ok(wide, added[0]);
    await page.waitForFunction((id) => [...document.querySelectorAll('#portal-picker option')].some((o) => o.value === id), wide);
    await page.selectOption('#portal-picker', wide);
    await until(() => received.at(-1)?.size?.width === 640 && received.at(-1).size.height === 300, 15000,
      'pictures of the wide portal');
    await page.locator('#menu-button').tap();
    await page.getByRole('button', { name: 'Keep controls shown', exact: true }).tap();
    await page.locator('#menu-button').tap();
    // Shares of the screen: the picture's, and what of it nothing covers.
    const screenShare = async () => {
      const { picture, covered } = await pictureCoverage(page, 1280, 600);
      return { picture, uncovered: picture * (1 - covered) };
    };
    await page.waitForSelector('#stream-screen.controls-hidden', { timeout: 20000 });
    const inPage = await screenShare();
    assert.ok(inPage.picture >= 0.95 && inPage.uncovered >= 0.95, JSON.stringify(inPage));
    if (screenshots) await page.screenshot({ path: join(screenshots, 'host-landscape-filled.png') });
    await page.getByRole('button', { name: 'Show controls', exact: true }).tap();
    await page.waitForSelector('#stream-screen:not(.controls-hidden)');
    await page.getByRole('button', { name: 'Full screen', exact: true }).tap();
    await page.waitForFunction(() => document.fullscreenElement !== null);
    await page.waitForSelector('#stream-screen.controls-hidden', { timeout: 20000 });
    const fullScreen = await screenShare();
    assert.ok(fullScreen.picture >= 0.95 && fullScreen.uncovered >= 0.95, JSON.stringify(fullScreen));
    await context.close();
  } catch (error) {
    if (host) console.log(`host said:\n${host.lines.slice(-40).join('\n')}`);
    throw error;
  } finally {
    await browser?.close();
    if (host) assert.deepEqual(await host.stop(), { code: 0, signal: null });
    desktop.stop();
  }
});

// The luminance quantiser's first step in a JPEG: libjpeg's 16 scaled by its quality, so 6 at
// 80, 13 at 60 and 20 at 40.
function lumaStep(jpeg) {
  for (let i = 2; i + 5 < jpeg.length; i++) {
    if (jpeg[i] === 0xff && jpeg[i + 1] === 0xdb) return jpeg[i + 5];
  }
  return null;
}

// What the user's leave opens: text another program copies on the computer is offered on the
// phone, which copies it with one tap; and the phone chooses its portal's picture quality.
test('with the host\'s leave a phone copies the computer\'s text and chooses the quality', { timeout: 120000 }, async () => {
  const desktop = startDesktop({ title: 'TavelinCopy' });
  let host;
  let browser;
  try {
    host = await DemoHost.start({
      port: freePort(), requireApproval: false, targetFps: 30, shareClipboard: true, phonesChooseQuality: true,
    },
      undefined, { args: ['--headless'], env: desktop.env, binary: process.env.TAVELIN_HOST });
    browser = await launchChromium();
    const context = await phoneContext(browser, { width: 390, height: 844 });
    await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: host.url });
    await context.addInitScript(() => localStorage.setItem('tavelin.controls', 'shown'));
    const page = await context.newPage();
    let acks = 0;
    const pictures = [];
    page.on('websocket', (socket) => {
      socket.on('framesent', (frame) => {
        if (frame.payload === '{"type":"ack"}') acks++;
      });
      socket.on('framereceived', (frame) => {
        if (typeof frame.payload !== 'string') pictures.push(Buffer.from(frame.payload));
      });
    });
    await page.goto(host.url);
    await page.waitForSelector('#pair-screen:not([hidden])');
    await page.fill('#pin', host.pin);
    await page.waitForSelector('#stream-screen:not([hidden])');
    await until(() => acks >= 1, 15000, 'the first picture');

    const copied = 'ssh deploy@10.0.0.7 \u2014 \u00e9t\u00e9\nsecond line';
    // xclip stays behind to serve the text: its output must not hold this process's pipes.
    execFileSync('xclip', ['-selection', 'clipboard'], {
      input: copied, env: { ...process.env, ...desktop.env }, stdio: ['pipe', 'ignore', 'ignore'],
    });
    await page.waitForSelector('#copied-panel:not([hidden])', { timeout: 15000 });
    assert.equal(await page.textContent('#copied-text'), copied);
    await page.locator('#copied-copy').tap();
    await page.waitForFunction(() => document.getElementById('copied-status').textContent === 'Copied to this phone');
    assert.equal(await page.evaluate(() => navigator.clipboard.readText()), copied);
    if (screenshots) await page.screenshot({ path: join(screenshots, 'host-clipboard.png') });
    await page.locator('#copied-close').tap();
    await page.waitForSelector('#copied-panel', { state: 'hidden' });

    // The host's Balanced, then High from the menu: the next picture comes at once, at 80.
    assert.equal(lumaStep(pictures.at(-1)), 13);
    await page.locator('#menu-button').tap();
    const choice = (label) => page.locator('#quality-row').getByRole('button', { name: label, exact: true });
    await page.waitForFunction(() => !document.getElementById('quality-row').hidden);
    assert.equal(await choice('Balanced').getAttribute('aria-pressed'), 'true');
    assert.equal(await choice('High').isEnabled(), true);
    const before = pictures.length;
    await choice('High').tap();
    await page.waitForFunction(() => document.querySelector('#quality-row [data-preset="high"]')
      .getAttribute('aria-pressed') === 'true');
    await until(() => pictures.slice(before).some((jpeg) => lumaStep(jpeg) === 6), 15000, 'a picture at High');
    await host.waitFor((l) => /^LOG \[Portals\] .+ set the picture quality of .+ to High$/.test(l));
    if (screenshots) await page.screenshot({ path: join(screenshots, 'host-quality.png') });
    await context.close();
  } catch (error) {
    if (host) console.log(`host said:\n${host.lines.slice(-40).join('\n')}`);
    throw error;
  } finally {
    await browser?.close();
    if (host) assert.deepEqual(await host.stop(), { code: 0, signal: null });
    desktop.stop();
  }
});
