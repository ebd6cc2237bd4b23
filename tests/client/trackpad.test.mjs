// The trackpad against a fake clock: what each gesture sends, and where the cursor goes.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Trackpad, acceleration, trackpadTiming } from '../../client/js/core/trackpad.js';

function harness(shown = { width: 400, height: 200 }) {
  let now = 0;
  const sent = [];
  const pad = new Trackpad({ now: () => now, shown: () => shown, emit: (e) => sent.push(e) });
  return { pad, sent, at: (ms) => { now = ms; } };
}

const near = (actual, expected, what) => assert.ok(Math.abs(actual - expected) < 1e-9, `${what}: ${actual} ≠ ${expected}`);

test('one finger moves the cursor by its motion, further when fast, and a tap clicks there', () => {
  const { pad, sent, at } = harness();
  // Slow: 20 px over 200 ms moves the cursor 20 px of a 400 px wide picture.
  pad.down(1, 100, 100);
  at(100);
  pad.move(1, 110, 100);
  at(200);
  pad.move(1, 120, 100);
  pad.up(1);
  near(pad.cursor.x, 0.5 + 20 / 400, 'slow motion, one to one');
  assert.deepEqual(sent.map((e) => e.type), ['pointermove', 'pointermove']);

  // Fast: the same 20 px in 10 ms goes further.
  sent.length = 0;
  at(1000);
  pad.down(1, 100, 100);
  at(1005);
  pad.move(1, 110, 100);
  at(1010);
  pad.move(1, 120, 100);
  pad.up(1);
  const gain = acceleration(10 / 5);
  near(pad.cursor.x, 0.55 + (20 * gain) / 400, 'fast motion, accelerated');
  assert.ok(gain > 2);

  // A tap does not move the cursor and clicks where it is.
  sent.length = 0;
  const { x, y } = pad.cursor;
  at(2000);
  pad.down(1, 300, 150);
  at(2000 + trackpadTiming.tap - 50);
  pad.up(1);
  assert.deepEqual(sent, [{ type: 'tap', x, y }]);
  // A touch held too long without moving does nothing.
  sent.length = 0;
  at(3000);
  pad.down(1, 300, 150);
  at(3000 + trackpadTiming.tap + 100);
  pad.up(1);
  assert.deepEqual(sent, []);

  // The cursor stops at the picture's edges.
  at(4000);
  pad.down(1, 0, 0);
  at(4100);
  pad.move(1, -5000, 5000);
  pad.up(1);
  assert.deepEqual(pad.cursor, { x: 0, y: 1 });
});

test('two fingers tap to right-click and move to scroll; holding then moving drags', () => {
  const { pad, sent, at } = harness();
  pad.down(1, 100, 100);
  pad.down(2, 150, 100);
  at(120);
  pad.up(1);
  pad.up(2);
  assert.deepEqual(sent, [{ type: 'longpress', x: 0.5, y: 0.5 }]);

  sent.length = 0;
  at(1000);
  pad.down(1, 100, 100);
  pad.down(2, 150, 100);
  at(1050);
  pad.move(1, 100, 130);
  pad.move(2, 150, 130);
  pad.up(1);
  pad.up(2);
  assert.deepEqual(sent.map((e) => [e.type, e.dy]), [['scroll', 15], ['scroll', 15]]);
  assert.deepEqual(pad.cursor, { x: 0.5, y: 0.5 }, 'scrolling leaves the cursor');

  // Held still past the hold time, then moved: a drag from the cursor, ending on release.
  sent.length = 0;
  at(2000);
  pad.down(1, 100, 100);
  at(2000 + trackpadTiming.hold + 10);
  pad.move(1, 140, 100);
  at(2000 + trackpadTiming.hold + 500);
  pad.up(1);
  assert.deepEqual(sent.map((e) => e.type), ['pointerdown', 'pointermove', 'pointerup']);
  assert.deepEqual(sent[0], { type: 'pointerdown', x: 0.5, y: 0.5 });
  assert.ok(sent[2].x > 0.5);

  // A drag the browser cancels still lets go; a cancelled move sends nothing more.
  sent.length = 0;
  at(5000);
  pad.down(1, 100, 100);
  at(5000 + trackpadTiming.hold + 10);
  pad.move(1, 120, 100);
  pad.cancel(1);
  assert.deepEqual(sent.map((e) => e.type), ['pointerdown', 'pointermove', 'pointerup']);
  sent.length = 0;
  pad.down(1, 100, 100);
  pad.cancel(1);
  pad.up(1);
  assert.deepEqual(sent, []);
});

test('a picture of no size yet leaves the cursor where it is', () => {
  const { pad, at } = harness({ width: 0, height: 0 });
  pad.down(1, 0, 0);
  at(100);
  pad.move(1, 50, 50);
  assert.deepEqual(pad.cursor, { x: 0.5, y: 0.5 });
});
