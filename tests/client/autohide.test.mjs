// The controls' auto-hide against a fake clock.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { AutoHide } from '../../client/js/core/autohide.js';

function clock() {
  let now = 0;
  let timers = [];
  let id = 1;
  return {
    setTimeout: (fn, ms) => { timers.push({ id, at: now + ms, fn }); return id++; },
    clearTimeout: (which) => { timers = timers.filter((t) => t.id !== which); },
    advance(ms) {
      now += ms;
      const due = timers.filter((t) => t.at <= now);
      timers = timers.filter((t) => t.at > now);
      for (const t of due) t.fn();
    },
    pending: () => timers.length,
  };
}

test('controls hide a while after their last use, come back when called, and stay while kept', () => {
  const c = clock();
  const changes = [];
  const controls = new AutoHide({ delay: 4000, clock: c, onChange: (hidden) => changes.push(hidden) });
  controls.use();
  c.advance(3000);
  controls.use(); // used again: the count starts over
  c.advance(3000);
  assert.equal(controls.hidden, false);
  c.advance(1000);
  assert.equal(controls.hidden, true);
  controls.use();
  assert.equal(controls.hidden, false);
  assert.deepEqual(changes, [true, false]);

  // Kept by two reasons: hidden only after both let go, and a delay after that.
  controls.keep('menu', true);
  controls.keep('typing', true);
  c.advance(10000);
  assert.equal(controls.hidden, false);
  assert.equal(c.pending(), 0);
  controls.keep('menu', false);
  c.advance(10000);
  assert.equal(controls.hidden, false);
  controls.keep('typing', false);
  c.advance(3999);
  assert.equal(controls.hidden, false);
  c.advance(1);
  assert.equal(controls.hidden, true);

  // Something that keeps them brings them back at once.
  controls.keep('waiting', true);
  assert.equal(controls.hidden, false);
  assert.equal(c.pending(), 0);
});
