// The phone page's logic without a browser: letterbox mapping, gestures, reconnect policy,
// the host's API and messages, the modifier keys.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  containRect, viewportToNormalized, applyPinch, unzoom, identityZoom, partRect, visibleView,
} from '../../client/js/core/letterbox.js';
import { GestureRecognizer } from '../../client/js/core/gestures.js';
import { Backoff } from '../../client/js/core/reconnect.js';
import { guessDeviceName } from '../../client/js/core/device-name.js';
import {
  HostAPI, keyMessage, moreKeys, parseHostMessage, pointMessage, qualityMessage, streamURL, pairingError, textMessage,
  viewportMessage,
} from '../../client/js/core/protocol.js';
import { ModifierKeys } from '../../client/js/core/modifiers.js';
import { copyText } from '../../client/js/core/copy.js';

test('letterbox math matches the host', () => {
  assert.deepEqual(containRect(1920, 1080, 400, 400), { x: 0, y: 87.5, width: 400, height: 225 });
  assert.deepEqual(containRect(0, 1080, 400, 400), { x: 0, y: 0, width: 0, height: 0 });
  assert.equal(viewportToNormalized(1920, 1080, 400, 400, 200, 50), null); // in a bar
  assert.deepEqual(viewportToNormalized(1920, 1080, 400, 400, 200, 87.5), { x: 0.5, y: 0 });
  assert.deepEqual(viewportToNormalized(1920, 1080, 400, 400, 400, 312.5), { x: 1, y: 1 });
  assert.equal(viewportToNormalized(1920, 1080, 0, 400, 0, 0), null);
});

test('zoom keeps touches on the picture point under the finger', () => {
  // Zoom 2× around the view's centre: the centre stays put, a corner moves out of view.
  const zoomed = applyPinch(identityZoom, 2, 200, 200, 0, 0, 400, 400);
  assert.deepEqual(unzoom(zoomed, 200, 200), { x: 200, y: 200 });
  assert.deepEqual(unzoom(zoomed, 0, 0), { x: 100, y: 100 });
  // Limits: never below 1×, never above 5×, never panned past the edges.
  assert.equal(applyPinch(zoomed, 0.1, 200, 200, 0, 0, 400, 400), identityZoom);
  assert.equal(applyPinch(zoomed, 100, 200, 200, 0, 0, 400, 400).scale, 5);
  const panned = applyPinch(zoomed, 1, 200, 200, 1000, 1000, 400, 400);
  assert.deepEqual([panned.offsetX, panned.offsetY], [0, 0]);
});

// Runs gestures against a clock the test moves.
function harness(options = {}) {
  const events = [];
  let now = 0;
  let timers = [];
  const recognizer = new GestureRecognizer({
    emit: (event) => events.push(event),
    setTimer: (fn, ms) => {
      const timer = { at: now + ms, fn };
      timers.push(timer);
      return timer;
    },
    clearTimer: (timer) => {
      timers = timers.filter((t) => t !== timer);
    },
    ...options,
  });
  const advance = (ms) => {
    now += ms;
    for (;;) {
      const due = timers.filter((t) => t.at <= now).sort((a, b) => a.at - b.at)[0];
      if (!due) break;
      timers = timers.filter((t) => t !== due);
      due.fn();
    }
  };
  const kinds = () => events.filter((e) => e.type !== 'press' && e.type !== 'release').map((e) => e.type);
  return { recognizer, events, advance, kinds };
}

test('gesture table', () => {
  const rows = [
    {
      name: 'tap within the slop, sent once the double-tap window passed',
      run: (g, advance) => { g.down(1, 100, 100); g.move(1, 109, 100); g.up(1, 109, 100); advance(249); },
      before: [],
      after: ['tap'],
    },
    {
      name: 'one pixel past the slop is a drag',
      run: (g) => { g.down(1, 100, 100); g.move(1, 111, 100); g.move(1, 150, 120); g.up(1, 150, 120); },
      before: ['dragstart', 'dragmove', 'dragmove', 'dragend'],
      after: ['dragstart', 'dragmove', 'dragmove', 'dragend'],
    },
    {
      name: 'long press after 500 ms without moving',
      run: (g, advance) => { g.down(1, 50, 50); advance(499); g.move(1, 52, 50); advance(1); g.up(1, 52, 50); },
      before: ['longpress'],
      after: ['longpress'],
    },
    {
      name: 'moving before 500 ms makes a drag, not a long press',
      run: (g, advance) => { g.down(1, 50, 50); advance(400); g.move(1, 80, 50); advance(600); g.up(1, 80, 50); },
      before: ['dragstart', 'dragmove', 'dragend'],
      after: ['dragstart', 'dragmove', 'dragend'],
    },
    {
      name: 'two quick taps in one place are a double tap',
      run: (g, advance) => { g.down(1, 10, 10); g.up(1, 10, 10); advance(200); g.down(2, 14, 12); g.up(2, 14, 12); },
      before: ['doubletap'],
      after: ['doubletap'],
    },
    {
      name: 'two taps too slow are two taps',
      run: (g, advance) => { g.down(1, 10, 10); g.up(1, 10, 10); advance(260); g.down(2, 10, 10); g.up(2, 10, 10); },
      before: ['tap'],
      after: ['tap', 'tap'],
    },
    {
      name: 'two taps far apart are two taps',
      run: (g, advance) => { g.down(1, 10, 10); g.up(1, 10, 10); advance(100); g.down(2, 200, 10); g.up(2, 200, 10); },
      before: ['tap'],
      after: ['tap', 'tap'],
    },
    {
      name: 'two fingers moving together scroll',
      run: (g) => { g.down(1, 100, 100); g.down(2, 200, 100); g.move(1, 100, 130); g.move(2, 200, 130); g.up(1, 100, 130); g.up(2, 200, 130); },
      before: ['scroll', 'scroll'],
      after: ['scroll', 'scroll'],
    },
    {
      name: 'two fingers spreading pinch',
      run: (g) => { g.down(1, 100, 100); g.down(2, 200, 100); g.move(2, 300, 100); g.up(1, 100, 100); g.up(2, 300, 100); },
      before: ['pinch'],
      after: ['pinch'],
    },
  ];
  for (const row of rows) {
    const { recognizer, advance, kinds } = harness();
    row.run(recognizer, advance);
    assert.deepEqual(kinds(), row.before, row.name);
    advance(1000);
    assert.deepEqual(kinds(), row.after, row.name);
  }
});

test('gestures carry the right points', () => {
  const { recognizer: g, events, advance } = harness();
  g.down(1, 100, 100);
  g.move(1, 120, 100);
  g.up(1, 140, 90);
  assert.deepEqual(events.filter((e) => e.type.startsWith('drag')), [
    { type: 'dragstart', x: 100, y: 100 },
    { type: 'dragmove', x: 120, y: 100 },
    { type: 'dragend', x: 140, y: 90 },
  ]);
  const scroll = harness();
  scroll.recognizer.down(1, 0, 0);
  scroll.recognizer.down(2, 100, 0);
  scroll.recognizer.move(1, 0, 40);
  scroll.recognizer.move(2, 100, 40);
  const moves = scroll.events.filter((e) => e.type === 'scroll');
  assert.equal(moves.reduce((sum, e) => sum + e.dy, 0), 40);
  assert.equal(moves.at(-1).x, 50);
  // The long-press cue comes with the press and goes when the press turns into something else.
  const cue = harness();
  cue.recognizer.down(1, 5, 5);
  cue.recognizer.move(1, 50, 5);
  assert.deepEqual(cue.events.slice(0, 2).map((e) => e.type), ['press', 'release']);
  advance(0);
});

test('reconnect backoff doubles to ten seconds and starts over after success', () => {
  const backoff = new Backoff();
  assert.deepEqual([1, 2, 3, 4, 5, 6, 7, 8].map(() => backoff.next()), [500, 1000, 2000, 4000, 8000, 10000, 10000, 10000]);
  backoff.reset();
  assert.equal(backoff.next(), 500);
});

test('device names come from the browser', () => {
  assert.equal(guessDeviceName('Mozilla/5.0 (iPhone; CPU iPhone OS 17_0 like Mac OS X)'), 'iPhone');
  assert.equal(guessDeviceName('Mozilla/5.0 (Linux; Android 14; Pixel 8) Mobile'), 'Pixel 8');
  assert.equal(guessDeviceName('Mozilla/5.0 (Linux; Android 13; SM-S911B) Mobile'), 'Samsung SM-S911B');
  assert.equal(guessDeviceName('Mozilla/5.0 (Linux; Android 12; K) Mobile Safari'), 'Android phone');
  assert.equal(guessDeviceName(''), 'Phone');
});

test('the host API and messages', async () => {
  const calls = [];
  const api = new HostAPI(async (url, init) => {
    calls.push({ url, init });
    return { status: 401, json: async () => ({ error: 'Incorrect PIN.' }) };
  }, 'http://host:8787');
  const answer = await api.pair('123456', 'Pixel');
  assert.deepEqual(answer, { status: 401, body: { error: 'Incorrect PIN.' } });
  assert.equal(calls[0].url, 'http://host:8787/api/pair');
  assert.deepEqual(JSON.parse(calls[0].init.body), { pin: '123456', deviceName: 'Pixel' });
  await api.ticket('tok');
  assert.equal(calls[1].init.headers.authorization, 'Bearer tok');
  await api.pairStatus('a b');
  assert.equal(calls[2].url, 'http://host:8787/api/pair-status?requestId=a%20b');
  assert.equal(pairingError({ error: 'Incorrect PIN.' }), 'Incorrect PIN.');
  assert.equal(pairingError(null), 'Pairing failed.');

  assert.equal(streamURL({ protocol: 'http:', host: '192.168.1.2:8787' }, 'a+b'), 'ws://192.168.1.2:8787/ws?ticket=a%2Bb');
  assert.deepEqual(JSON.parse(pointMessage('tap', { x: 1 / 3, y: 0.5 })), { type: 'tap', x: 0.333333, y: 0.5 });
  assert.equal(parseHostMessage('{"type":"state","state":"idle"}').state, 'idle');
  assert.equal(parseHostMessage('{"type":"portals"}'), null);
  assert.equal(parseHostMessage('nonsense'), null);
});

test('modifiers: a tap arms one event, a double tap locks, the wire carries them in order', () => {
  let now = 0;
  const changes = [];
  const keys = new ModifierKeys({ now: () => now, doubleTap: 400, onChange: (name, state) => changes.push(`${name} ${state}`) });
  assert.deepEqual(keys.take(), []);

  // Armed: spent by the next event, not the one after.
  keys.tap('shift');
  now = 100;
  keys.tap('ctrl');
  assert.deepEqual(keys.take(), ['ctrl', 'shift']);
  assert.deepEqual(keys.take(), []);
  assert.deepEqual(changes, ['shift armed', 'ctrl armed', 'ctrl off', 'shift off']);

  // Two taps within the double-tap time lock it for every event until it is tapped again.
  changes.length = 0;
  now = 1000;
  keys.tap('alt');
  now = 1300;
  keys.tap('alt');
  assert.equal(keys.state('alt'), 'locked');
  assert.deepEqual(keys.take(), ['alt']);
  assert.deepEqual(keys.take(), ['alt']);
  now = 5000;
  keys.tap('alt');
  assert.equal(keys.state('alt'), 'off');
  assert.deepEqual(changes, ['alt armed', 'alt locked', 'alt off']);

  // A second tap too late lets it go instead of locking; unknown names change nothing.
  now = 6000;
  keys.tap('super');
  now = 6500;
  keys.tap('super');
  assert.equal(keys.state('super'), 'off');
  keys.tap('hyper');
  assert.deepEqual(keys.take(), []);

  assert.deepEqual(JSON.parse(keyMessage('f4', ['alt'])), { type: 'key', key: 'f4', modifiers: ['alt'] });
  assert.deepEqual(JSON.parse(keyMessage('enter', [])), { type: 'key', key: 'enter' });
  assert.deepEqual(JSON.parse(textMessage('c', ['ctrl'])), { type: 'text', text: 'c', modifiers: ['ctrl'] });
  assert.deepEqual(JSON.parse(textMessage('hello')), { type: 'text', text: 'hello' });
  assert.deepEqual(JSON.parse(pointMessage('tap', { x: 0.5, y: 0.25 }, {}, ['ctrl', 'shift'])),
    { type: 'tap', x: 0.5, y: 0.25, modifiers: ['ctrl', 'shift'] });
  assert.equal(moreKeys.length, 15);
});

// What a zoomed-in phone asks the host for: the part of the portal in view, and its device
// pixels; the part each picture shows lands where that part of the portal is on the view.
test('the part in view of a zoom, on odd shapes and with letterbox bars', () => {
  // A 16:10 portal on a landscape 844 × 390 view: bars left and right.
  const whole = containRect(1280, 800, 844, 390);
  assert.deepEqual(whole, { x: 110, y: 0, width: 624, height: 390 });
  assert.equal(visibleView(identityZoom, whole, 844, 390, 3), null, 'not zoomed: the whole portal');
  // 2× around the view's centre: the middle half of the picture's height, and across a view
  // that spans 422 view pixels of the 624-wide picture, centred.
  const zoom = applyPinch(identityZoom, 2, 422, 195, 0, 0, 844, 390);
  const view = visibleView(zoom, whole, 844, 390, 3);
  const close = (a, b) => Math.abs(a - b) < 1e-9;
  assert.ok(close(view.y, 0.25) && close(view.height, 0.5), JSON.stringify(view));
  assert.ok(close(view.x, (211 - 110) / 624) && close(view.width, 422 / 624), JSON.stringify(view));
  assert.ok(close(view.pixelWidth, 844 * 3) && close(view.pixelHeight, 390 * 3));
  // A touch maps through the zoom to the same fraction the view names.
  const p = unzoom(zoom, 844, 0);
  const point = viewportToNormalized(1280, 800, 844, 390, p.x, p.y);
  assert.ok(close(point.x, view.x + view.width) && close(point.y, view.y));

  // Zoomed, but panned so the bar is in view: only the picture's part is asked for, at the
  // pixels it covers.
  const corner = applyPinch(identityZoom, 1.2, 0, 0, 0, 0, 844, 390);
  const left = visibleView(corner, whole, 844, 390, 2);
  assert.equal(left.x, 0);
  assert.ok(close(left.width, (844 / 1.2 - 110) / 624));
  assert.ok(close(left.pixelWidth, left.width * 624 * 1.2 * 2));
  // A 3:1 portal in portrait: bars above and below, which are never part of what is asked.
  const wide = containRect(1200, 400, 390, 844);
  const deep = visibleView(applyPinch(identityZoom, 5, 195, 422, 0, 0, 390, 844), wide, 390, 844, 3);
  assert.equal(deep.y, 0);
  assert.equal(deep.height, 1);
  assert.ok(close(deep.x, 0.4) && close(deep.width, 0.2), JSON.stringify(deep));
  assert.ok(close(deep.pixelWidth, 390 * 3) && close(deep.pixelHeight, 130 * 5 * 3));

  // The picture of a part is drawn over its place in the whole picture.
  assert.deepEqual(partRect(whole, { x: 0.25, y: 0.5, width: 0.5, height: 0.25 }),
    { x: 110 + 156, y: 195, width: 312, height: 97.5 });
  assert.equal(partRect(whole, null), whole);
});

test('viewport and view messages', () => {
  assert.deepEqual(JSON.parse(viewportMessage(null)), { type: 'viewport' });
  assert.deepEqual(JSON.parse(viewportMessage({ x: 1 / 3, y: 0, width: 0.5, height: 0.25, pixelWidth: 1169.6, pixelHeight: 0.2 })),
    { type: 'viewport', x: 0.333333, y: 0, width: 0.5, height: 0.25, pixelWidth: 1170, pixelHeight: 1 });
  const view = { type: 'view', x: 0.25, y: 0.5, width: 0.5, height: 0.5 };
  assert.deepEqual(parseHostMessage(JSON.stringify(view)), view);
  for (const bad of [{ ...view, width: 0 }, { ...view, x: 0.6 }, { ...view, y: -0.1 }, { ...view, height: '0.5' }]) {
    assert.equal(parseHostMessage(JSON.stringify(bad)), null, JSON.stringify(bad));
  }
});

// Copying on the phone: the clipboard API where the page is secure, else a selected field and
// the copy command, which works over plain HTTP inside a tap.
test('copying text on the phone, with and without a secure context', async () => {
  const made = [];
  const fakeDocument = (copies) => ({
    body: { append: (field) => made.push(field) },
    createElement: () => {
      const field = { style: {}, removed: false, selected: false, setAttribute() {}, remove() { this.removed = true; } };
      field.select = () => { field.selected = true; };
      field.setSelectionRange = () => {};
      return field;
    },
    execCommand: (command) => command === 'copy' && copies && made.at(-1).selected,
  });
  const written = [];
  const clipboard = { writeText: async (text) => { written.push(text); } };
  assert.equal(await copyText('secure', { clipboard, secure: true, document: fakeDocument(false) }), true);
  assert.deepEqual(written, ['secure']);
  assert.equal(made.length, 0, 'no field needed');

  assert.equal(await copyText('over http', { clipboard, secure: false, document: fakeDocument(true) }), true);
  assert.deepEqual(written, ['secure'], 'the API is not used where the page is not secure');
  assert.equal(made.at(-1).value, 'over http');
  assert.equal(made.at(-1).removed, true, 'the field goes once copied');

  const refusing = { writeText: async () => { throw new Error('not allowed'); } };
  assert.equal(await copyText('refused', { clipboard: refusing, secure: true, document: fakeDocument(true) }), true);
  assert.equal(made.at(-1).value, 'refused');
  assert.equal(await copyText('nowhere', { secure: false, document: fakeDocument(false) }), false);
  assert.deepEqual(parseHostMessage('{"type":"clipboard","text":"a\\nb"}'), { type: 'clipboard', text: 'a\nb' });
  assert.equal(parseHostMessage('{"type":"clipboard","text":7}'), null);
});

// The portal's quality: the host names the preset and whether this phone may choose; a choice
// that is not a yes is a no.
test('quality messages', () => {
  assert.deepEqual(parseHostMessage('{"type":"quality","preset":"high","choosable":true}'),
    { type: 'quality', preset: 'high', choosable: true });
  assert.deepEqual(parseHostMessage('{"type":"quality","preset":"custom","choosable":"yes"}'),
    { type: 'quality', preset: 'custom', choosable: false });
  assert.equal(parseHostMessage('{"type":"quality","choosable":true}'), null);
  assert.deepEqual(JSON.parse(qualityMessage('low')), { type: 'quality', preset: 'low' });
});
