// The presenter against a fake animation-frame clock: what is painted in which frame, and
// which decoded pictures are closed when.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Presenter } from '../../client/js/core/presenter.js';
import { StreamLoop } from '../../client/js/core/stream.js';

function picture(name) {
  return { name, width: 4, height: 3, closed: false, close() { this.closed = true; } };
}

function harness() {
  let frames = [];
  const painted = [];
  const presenter = new Presenter({
    draw: (p) => painted.push(p?.name ?? null),
    requestFrame: (callback) => frames.push(callback),
  });
  const frame = () => {
    const due = frames;
    frames = [];
    for (const callback of due) callback();
  };
  return { presenter, painted, frame, asked: () => frames.length };
}

test('the newest picture of a frame is painted and the ones it replaced are closed', () => {
  const { presenter, painted, frame, asked } = harness();
  const a = picture('a');
  const b = picture('b');
  const c = picture('c');
  presenter.show(a);
  presenter.show(b);
  assert.equal(asked(), 1, 'one frame asked for however many pictures arrive');
  assert.equal(a.closed, true, 'a picture replaced before its frame is closed at once');
  assert.deepEqual(painted, [], 'nothing is painted outside a frame');
  assert.equal(presenter.current, b, 'touches map to the picture about to show');
  frame();
  assert.deepEqual(painted, ['b']);
  assert.equal(b.closed, false, 'the picture on screen stays open for re-layout');

  presenter.redraw();
  frame();
  assert.deepEqual(painted, ['b', 'b'], 'a re-layout paints the same picture again');
  assert.equal(b.closed, false);

  presenter.show(c);
  assert.equal(b.closed, false, 'the picture on screen is kept until its successor is painted');
  frame();
  assert.deepEqual(painted, ['b', 'b', 'c']);
  assert.equal(b.closed, true);
  frame();
  assert.equal(asked(), 0, 'an idle view asks for no frames');
});

test('clearing drops what is queued and what is shown, and a later picture still shows', () => {
  const { presenter, painted, frame } = harness();
  const a = picture('a');
  const b = picture('b');
  presenter.show(a);
  frame();
  presenter.show(b);
  presenter.show(null);
  assert.equal(b.closed, true, 'a queued picture of a portal no longer shared is never painted');
  assert.equal(presenter.current, a);
  frame();
  assert.deepEqual(painted, ['a', null]);
  assert.equal(a.closed, true);
  assert.equal(presenter.current, null);

  // A clear followed by a picture in the same frame paints the picture.
  const c = picture('c');
  presenter.show(null);
  presenter.show(c);
  frame();
  assert.deepEqual(painted, ['a', null, 'c']);
  assert.equal(c.closed, false);
});

test('the stream acknowledges a picture once it is queued, before its frame is painted', async () => {
  const sent = [];
  let opened;
  class Socket {
    constructor() {
      this.readyState = 1;
      opened = this;
    }
    send(text) {
      sent.push(text);
    }
    close() {}
  }
  const { presenter, painted, frame } = harness();
  const loop = new StreamLoop({
    api: { ticket: async () => ({ status: 200, body: { ticket: 'ticket' } }) },
    url: (ticket) => `ws://host/stream?ticket=${ticket}`,
    WebSocket: Socket,
    decode: async (blob) => picture(blob.name),
    on: { picture: (p) => presenter.show(p) },
  });
  loop.open('token');
  await new Promise((resolve) => setImmediate(resolve));
  opened.onopen?.();
  opened.onmessage({ data: { name: 'first' } });
  await new Promise((resolve) => setImmediate(resolve));
  assert.deepEqual(sent.filter((t) => t.includes('ack')).length, 1, 'acknowledged while still queued');
  assert.deepEqual(painted, []);
  frame();
  assert.deepEqual(painted, ['first']);
  loop.stop();
});

// Pictures of a part of the portal (a zoomed-in phone's) are painted over the last whole
// picture, which covers what the part does not while the phone pans; it goes when a whole
// picture comes again, or when the view is cleared.
test('the last whole picture stays under pictures of a part until a whole one comes', () => {
  const painted = [];
  let frames = [];
  const presenter = new Presenter({
    draw: (p, backdrop) => painted.push(`${p?.name ?? null} over ${backdrop?.name ?? null}`),
    requestFrame: (callback) => frames.push(callback),
  });
  const frame = () => {
    const due = frames;
    frames = [];
    for (const callback of due) callback();
  };
  const part = (name) => ({ ...picture(name), part: { x: 0.5, y: 0.5, width: 0.25, height: 0.25 } });
  const whole = picture('whole');
  const zoomed = part('zoomed');
  const panned = part('panned');
  presenter.show(whole);
  frame();
  presenter.show(zoomed);
  frame();
  assert.equal(whole.closed, false, 'kept under the part');
  presenter.show(panned);
  frame();
  assert.equal(zoomed.closed, true, 'a part replaced by a part is closed');
  assert.equal(whole.closed, false);
  const again = picture('again');
  presenter.show(again);
  frame();
  assert.equal(panned.closed, true);
  assert.equal(whole.closed, true, 'a whole picture needs no backdrop');
  assert.deepEqual(painted, ['whole over null', 'zoomed over whole', 'panned over whole', 'again over null']);

  const last = part('last');
  presenter.show(last);
  frame();
  presenter.clear();
  assert.equal(again.closed, true, 'cleared: the backdrop goes too');
  frame();
  assert.equal(last.closed, true);
  assert.deepEqual(painted.slice(-2), ['last over again', 'null over null']);
});
