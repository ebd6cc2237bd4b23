// The host itself (tavelin --headless) on a private Xvfb desktop with openbox and an xterm,
// driven by the real phone page in headless Chromium: pair with approval, watch the xterm,
// tap into it and type a command whose file appears, switch portals, and be sent back to
// pairing when the computer revokes the phone. Screenshots land in TAVELIN_SCREENSHOTS.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { DemoHost, ask, freePort, startDesktop, until } from './demo-host.mjs';

const screenshots = process.env.TAVELIN_SCREENSHOTS;
if (screenshots) mkdirSync(screenshots, { recursive: true });
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

    browser = await chromium.launch({
      executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
        '--disable-component-update', '--disable-sync'],
    });
    const context = await browser.newContext({
      viewport: { width: 390, height: 844 }, deviceScaleFactor: 3, isMobile: true, hasTouch: true,
      userAgent: 'Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/126.0 Mobile Safari/537.36',
    });
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
    const left = await page.$$eval('#portal-picker option:not([disabled])', (list) => list.map((o) => o.textContent));
    assert.deepEqual(left, ['XTerm']);
    assert.ok((await ask(host, 'portals')).some((l) => l.includes(screen) && l.endsWith('(not shared)')));
    await shoot('not-shared');
    assert.deepEqual(await ask(host, `start ${screen}`), ['OK']);
    assert.ok((await ask(host, 'portals')).some((l) => l.includes(screen) && l.endsWith('(shared, active)')));
    await page.waitForFunction((id) => document.getElementById('portal-picker').value === id, screen);
    assert.match((await ask(host, 'stop 00000000-0000-4000-8000-000000000000'))[0], /^ERROR no portal/);

    // Revoked on the computer: the page is back at pairing.
    const device = (await ask(host, 'devices')).find((l) => l.startsWith('OK device ') && l.includes(' Pixel 8 '));
    assert.ok(device, 'the phone is listed');
    assert.deepEqual(await ask(host, `revoke ${device.split(' ')[2]}`), ['OK']);
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
