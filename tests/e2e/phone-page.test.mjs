// The phone page in headless Chromium against tavelin-demo on loopback: a 390 × 844 touch
// screen at three device pixels per CSS pixel.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { DemoHost, freePort, pictureCoverage } from './demo-host.mjs';

const screenshots = process.env.TAVELIN_SCREENSHOTS;
if (screenshots) mkdirSync(screenshots, { recursive: true });
let browser;

before(async () => {
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
});
after(async () => browser?.close());

// Controls stay shown unless a test is about them going away (the page's own choice, as a user
// makes it in its menu).
async function phone({ viewport = { width: 390, height: 844 }, controls = 'shown' } = {}) {
  const context = await browser.newContext({
    viewport,
    deviceScaleFactor: 3,
    isMobile: true,
    hasTouch: true,
    userAgent: 'Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/126.0 Mobile Safari/537.36',
  });
  await context.addInitScript((choice) => localStorage.setItem('tavelin.controls', choice), controls);
  const page = await context.newPage();
  const acks = { count: 0 };
  page.on('websocket', (socket) => socket.on('framesent', (frame) => {
    if (frame.payload === '{"type":"ack"}') acks.count++;
  }));
  const touch = await context.newCDPSession(page);
  return { context, page, acks, touch };
}

async function shoot(page, name) {
  if (screenshots) await page.screenshot({ path: join(screenshots, `${name}.png`) });
}

// Where a normalised picture point lies on the 390 × 844 view (a 16:9 picture, letterboxed).
function onPicture(x, y) {
  const height = (390 * 720) / 1280;
  return { x: x * 390, y: (844 - height) / 2 + y * height };
}

async function touches(touch, steps) {
  for (const [type, points] of steps) {
    await touch.send('Input.dispatchTouchEvent', { type, touchPoints: points.map((p, id) => ({ ...p, id })) });
  }
}

async function input(host, type, since) {
  const line = await host.waitFor((l) => l.startsWith('INPUT ') && JSON.parse(l.slice(6)).type === type && host.lines.indexOf(l) >= since);
  return JSON.parse(line.slice(6));
}

// Pairs with the PIN (a host without approval) and waits until pictures flow.
async function pairAndWatch(host, page, acks) {
  await page.goto(host.url);
  await page.waitForSelector('#pair-screen:not([hidden])');
  await page.fill('#pin', host.pin);
  await page.waitForSelector('#stream-screen:not([hidden])');
  await waitUntil(() => acks.count >= 3);
}

async function waitUntil(condition, ms = 10000) {
  const end = Date.now() + ms;
  while (!(await condition())) {
    if (Date.now() > end) throw new Error('condition not met in time');
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

test('pair with approval, stream, control, switch, reconnect and forget', async () => {
  let host = await DemoHost.start({ port: freePort(), requireApproval: true });
  const { context, page, acks, touch } = await phone();
  try {
    await page.goto(host.url);
    await page.waitForSelector('#pair-screen:not([hidden])');
    assert.equal(await page.inputValue('#device-name'), 'Pixel 8');
    await shoot(page, 'pairing');

    // A wrong PIN, typed digit by digit, is sent on the sixth and refused in the host's words.
    const wrong = host.pin === '000000' ? '111111' : '000000';
    await page.locator('#pin').pressSequentially(wrong);
    await page.waitForFunction(() => document.getElementById('pair-error').textContent === 'Incorrect PIN.');

    // The right one, pasted with a space in it, asks the computer.
    await page.fill('#pin', `${host.pin.slice(0, 3)} ${host.pin.slice(3)}`);
    await page.waitForSelector('#wait-screen:not([hidden])');
    await shoot(page, 'waiting-for-approval');
    const request = await host.waitFor((l) => l.startsWith('REQUEST ') && l.endsWith(' Pixel 8'));
    host.command(`allow ${request.split(' ')[1]}`);

    await page.waitForSelector('#stream-screen:not([hidden])');
    await waitUntil(() => acks.count >= 10);
    await page.waitForSelector('#status', { state: 'hidden' });
    await shoot(page, 'streaming');

    let since = host.lines.length;
    const centre = onPicture(0.5, 0.5);
    await page.touchscreen.tap(centre.x, centre.y);
    const tap = await input(host, 'tap', since);
    assert.ok(Math.abs(tap.x - 0.5) < 0.01 && Math.abs(tap.y - 0.5) < 0.01, JSON.stringify(tap));

    // A touch in the letterbox bar sends nothing: the drag after it is all the host hears, in
    // the order the page sent them.
    since = host.lines.length;
    await page.touchscreen.tap(195, 40);
    const from = onPicture(0.25, 0.5);
    const to = onPicture(0.75, 0.5);
    await touches(touch, [
      ['touchStart', [from]],
      ['touchMove', [{ x: from.x + 40, y: from.y }]],
      ['touchMove', [{ x: (from.x + to.x) / 2, y: from.y }]],
      ['touchMove', [to]],
      ['touchEnd', []],
    ]);
    const down = await input(host, 'pointerdown', since);
    const up = await input(host, 'pointerup', since);
    await input(host, 'pointermove', since);
    assert.ok(Math.abs(down.x - 0.25) < 0.01 && Math.abs(up.x - 0.75) < 0.01, `${down.x} ${up.x}`);
    assert.ok(!host.lines.slice(since).some((l) => l.startsWith('INPUT {"type":"tap"')));

    since = host.lines.length;
    const a = onPicture(0.4, 0.4);
    const b = onPicture(0.6, 0.4);
    await touches(touch, [
      ['touchStart', [a, b]],
      ['touchMove', [{ x: a.x, y: a.y + 30 }, { x: b.x, y: b.y + 30 }]],
      ['touchMove', [{ x: a.x, y: a.y + 60 }, { x: b.x, y: b.y + 60 }]],
      ['touchEnd', []],
    ]);
    const scroll = await input(host, 'scroll', since);
    assert.ok(scroll.dy > 0, `fingers moving down scroll towards the top: ${JSON.stringify(scroll)}`);

    since = host.lines.length;
    await page.click('#keyboard-button');
    await page.keyboard.type('hé');
    await page.click('#keys-button');
    await page.click('#keys-bar button[aria-label="enter"]');
    assert.equal((await input(host, 'text', since)).text, 'h');
    await host.waitFor((l) => l === 'INPUT {"dx":0.0,"dy":0.0,"text":"é","type":"text","x":0.0,"y":0.0}' || (l.startsWith('INPUT ') && l.includes('"text":"é"')));
    assert.equal((await input(host, 'key', since)).key, 'enter');

    since = host.lines.length;
    const portals = await page.$$eval('#portal-picker option', (options) => options.map((o) => [o.value, o.textContent]));
    assert.deepEqual(portals.map(([, name]) => name), ['Demo pattern', 'Demo clock']);
    await page.selectOption('#portal-picker', portals[1][0]);
    assert.equal((await input(host, 'selectportal', since)).portalId, portals[1][0]);
    await page.waitForFunction((id) => document.getElementById('portal-picker').value === id, portals[1][0]);

    // The host goes away and comes back: the page says so and picks up the stream again.
    host.process.kill('SIGKILL');
    await host.exited;
    await page.waitForFunction(() => document.getElementById('status-title').textContent === 'Reconnecting\u2026');
    // Same port as before (the first run may have had to move up from the one asked for).
    host = await DemoHost.start({ port: Number(new URL(host.url).port), requireApproval: true }, host.dataHome);
    const before = acks.count;
    await waitUntil(() => acks.count >= before + 5, 20000);
    await page.waitForSelector('#status', { state: 'hidden' });

    // Forgetting the computer unpairs it there too.
    await page.click('#menu-button');
    await page.click('#forget-button');
    await page.waitForSelector('#pair-screen:not([hidden])');
    await host.waitFor((l) => l === 'LOG [Server] Device unpaired itself: Pixel 8');
    assert.equal(await page.evaluate(() => localStorage.getItem('tavelin.token')), null);
  } finally {
    await context.close();
    await host.stop();
  }
});

test('a revoked token sends the page back to pairing with an explanation', async () => {
  const host = await DemoHost.start({ port: freePort(), requireApproval: false });
  const { context, page } = await phone();
  try {
    await page.goto(host.url);
    await page.evaluate(() => localStorage.setItem('tavelin.token', 'not-a-token'));
    await page.reload();
    await page.waitForSelector('#pair-screen:not([hidden])');
    await page.waitForFunction(() => document.getElementById('pair-note').textContent.includes('no longer knows'));
  } finally {
    await context.close();
    await host.stop();
  }
});

test('the keys bar holds modifiers for the next key or tap, locks them, and has more keys', async () => {
  const host = await DemoHost.start({ port: freePort(), requireApproval: false });
  const { context, page, acks } = await phone();
  try {
    await pairAndWatch(host, page, acks);
    await page.click('#keys-button');
    const button = (name) => page.getByRole('button', { name, exact: true });
    const pressed = (name) => button(name).getAttribute('aria-pressed');
    for (const name of ['Ctrl', 'Alt', 'Shift', 'Super']) assert.equal(await pressed(name), 'false');

    // Ctrl, tapped once, goes with the next key only.
    let since = host.lines.length;
    await button('Ctrl').click();
    assert.equal(await pressed('Ctrl'), 'true');
    await page.click('#keys-bar button[aria-label="backspace"]');
    assert.deepEqual((await input(host, 'key', since)).modifiers, ['ctrl']);
    assert.equal(await pressed('Ctrl'), 'false');
    since = host.lines.length;
    await page.click('#keys-bar button[aria-label="backspace"]');
    assert.equal((await input(host, 'key', since)).modifiers, undefined);

    // Shift, tapped twice, stays for taps and keys until tapped again; Ctrl joins it for one tap.
    await button('Shift').dblclick();
    assert.equal(await pressed('Shift'), 'true');
    assert.ok(await button('Shift').evaluate((b) => b.classList.contains('locked')));
    await button('Ctrl').click();
    await shoot(page, 'keys-modifiers');
    const centre = onPicture(0.5, 0.5);
    since = host.lines.length;
    await page.touchscreen.tap(centre.x, centre.y);
    assert.deepEqual((await input(host, 'tap', since)).modifiers, ['ctrl', 'shift']);
    since = host.lines.length;
    await page.touchscreen.tap(centre.x, centre.y + 40);
    assert.deepEqual((await input(host, 'tap', since)).modifiers, ['shift']);

    // More keys: F1 to F12, Insert, Print and Menu.
    await button('More keys').click();
    assert.equal(await button('More keys').getAttribute('aria-expanded'), 'true');
    const more = await page.$$eval('#more-keys button', (buttons) => buttons.map((b) => b.getAttribute('aria-label')));
    assert.deepEqual(more, ['f1', 'f2', 'f3', 'f4', 'f5', 'f6', 'f7', 'f8', 'f9', 'f10', 'f11', 'f12', 'insert', 'print', 'menu']);
    await shoot(page, 'keys-more');
    since = host.lines.length;
    await page.click('#more-keys button[aria-label="f5"]');
    const f5 = await input(host, 'key', since);
    assert.equal(f5.key, 'f5');
    assert.deepEqual(f5.modifiers, ['shift']);
    await button('Shift').click();
    assert.equal(await pressed('Shift'), 'false');
    since = host.lines.length;
    await page.click('#more-keys button[aria-label="menu"]');
    assert.equal((await input(host, 'key', since)).modifiers, undefined);

    // The paste field: its text goes to the computer's clipboard, whole.
    await page.getByRole('button', { name: 'More', exact: true }).click();
    await page.getByRole('button', { name: 'Clipboard', exact: true }).click();
    const copied = 'h\u00e9llo \u2713\nsecond line';
    await page.getByRole('textbox', { name: "Text for the computer's clipboard" }).fill(copied);
    since = host.lines.length;
    await page.getByRole('button', { name: 'Copy to the computer', exact: true }).click();
    assert.equal((await input(host, 'clipboard', since)).text, copied);
    await page.waitForFunction(() => document.getElementById('clipboard-status').textContent !== '');
    await shoot(page, 'clipboard');
    await page.getByRole('button', { name: 'Close', exact: true }).click();
    assert.ok(await page.locator('#clipboard-panel').isHidden());
  } finally {
    await context.close();
    await host.stop();
  }
});

test('the picture as a trackpad: the cursor moves by the finger, taps click under it, the mode is remembered', async () => {
  const host = await DemoHost.start({ port: freePort(), requireApproval: false });
  const { context, page, acks, touch } = await phone();
  try {
    await pairAndWatch(host, page, acks);
    const toggle = page.getByRole('button', { name: 'Trackpad', exact: true });
    assert.equal(await toggle.getAttribute('aria-pressed'), 'false');
    await toggle.click();
    assert.equal(await toggle.getAttribute('aria-pressed'), 'true');

    // A slow finger to the right, starting anywhere: the cursor starts in the middle and moves
    // by the finger's motion, not to where it is.
    let since = host.lines.length;
    const start = onPicture(0.1, 0.8);
    const steps = [['touchStart', [start]]];
    for (let i = 1; i <= 8; ++i) steps.push(['touchMove', [{ x: start.x + i * 5, y: start.y }]]);
    steps.push(['touchEnd', []]);
    for (const [type, points] of steps) {
      await touches(touch, [[type, points]]);
      await new Promise((resolve) => setTimeout(resolve, 30));
    }
    const moved = await input(host, 'pointermove', since);
    assert.ok(moved.x > 0.5 && moved.x < 0.99 && Math.abs(moved.y - 0.5) < 0.01, JSON.stringify(moved));
    await shoot(page, 'trackpad');

    // A tap far from the cursor clicks at the cursor.
    since = host.lines.length;
    const elsewhere = onPicture(0.9, 0.1);
    await touches(touch, [['touchStart', [elsewhere]], ['touchEnd', []]]);
    const tap = await input(host, 'tap', since);
    // Where the cursor is: the last move sent.
    const moves = host.lines.filter((l) => l.startsWith('INPUT ') && JSON.parse(l.slice(6)).type === 'pointermove');
    const cursor = JSON.parse(moves.at(-1).slice(6));
    assert.ok(Math.abs(tap.x - cursor.x) < 0.001 && Math.abs(tap.y - cursor.y) < 0.001, `${JSON.stringify(tap)} at ${JSON.stringify(cursor)}`);

    // Two fingers tapping right-click there.
    since = host.lines.length;
    const a = onPicture(0.3, 0.3);
    const b = onPicture(0.6, 0.3);
    await touches(touch, [['touchStart', [a]], ['touchStart', [a, b]], ['touchEnd', []]]);
    const right = await input(host, 'longpress', since);
    assert.ok(Math.abs(right.x - cursor.x) < 0.001, JSON.stringify(right));

    // This phone remembers the mode.
    await page.reload();
    await page.waitForSelector('#stream-screen:not([hidden])');
    assert.equal(await page.getByRole('button', { name: 'Trackpad', exact: true }).getAttribute('aria-pressed'), 'true');
  } finally {
    await context.close();
    await host.stop();
  }
});

test('in landscape and full screen the controls give the picture the screen, and come back from the edge', async () => {
  const host = await DemoHost.start({ port: freePort(), requireApproval: false });
  const { context, page, acks } = await phone({ viewport: { width: 844, height: 390 }, controls: 'auto' });
  try {
    await pairAndWatch(host, page, acks);
    await shoot(page, 'landscape-controls');

    // What of the picture (1280 × 720, fitted to the view) anything visible covers.
    const covered = () => pictureCoverage(page, 1280, 720);
    const shown = await covered();
    assert.ok(shown.covered > 0.1, `the toolbar covers part of the picture while shown: ${JSON.stringify(shown)}`);

    // A few seconds without use: nothing but the picture (and a thin edge that calls them back).
    await page.waitForSelector('#stream-screen.controls-hidden', { timeout: 20000 });
    const hidden = await covered();
    assert.ok(hidden.covered <= 0.05, JSON.stringify(hidden));
    assert.ok(hidden.heightShare > 0.999, 'the picture takes the whole height');
    await shoot(page, 'landscape');

    // A tap on the edge brings them back, usable.
    await page.getByRole('button', { name: 'Show controls', exact: true }).click();
    await page.waitForSelector('#stream-screen:not(.controls-hidden)');
    await page.getByRole('button', { name: 'Full screen', exact: true }).click();
    await page.waitForFunction(() => document.fullscreenElement !== null);
    await page.waitForSelector('#stream-screen.controls-hidden', { timeout: 20000 });
    assert.ok((await covered()).covered <= 0.05);
    await shoot(page, 'fullscreen');

    // Chosen in the menu: they stay.
    await page.getByRole('button', { name: 'Show controls', exact: true }).click();
    await page.getByRole('button', { name: 'More', exact: true }).click();
    await page.getByRole('button', { name: 'Keep controls shown', exact: true }).click();
    assert.equal(await page.getByRole('button', { name: 'Keep controls shown', exact: true }).getAttribute('aria-pressed'), 'true');
    await page.getByRole('button', { name: 'More', exact: true }).click();
    assert.equal(await page.evaluate(() => localStorage.getItem('tavelin.controls')), 'shown');
    assert.equal(await page.evaluate(() => document.getElementById('stream-screen').classList.contains('controls-hidden')), false);

    // The link's figures, from the pictures and their acks.
    await page.getByRole('button', { name: 'More', exact: true }).click();
    await page.getByRole('button', { name: 'Show pictures/s and round trip', exact: true }).click();
    await page.waitForFunction(() => /^[1-9]\d* fps \u00b7 \d+ ms$/.test(document.getElementById('link-figures').textContent));
    await shoot(page, 'link-figures');
  } finally {
    await context.close();
    await host.stop();
  }
});
