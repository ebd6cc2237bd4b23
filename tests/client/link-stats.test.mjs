// The link indicator's figures on a fake clock.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { LinkStats } from '../../client/js/core/link-stats.js';

test('pictures per second over the last second and the median round trip from acks', () => {
  let now = 0;
  const stats = new LinkStats({ now: () => now, window: 1000, samples: 5 });
  assert.equal(stats.text(), '0 fps \u00b7 \u2013');
  // 20 pictures 50 ms apart; each ack leaves 10 ms after its picture, the next comes 40 ms later.
  for (let i = 0; i < 20; ++i) {
    now = i * 50;
    stats.arrived();
    now += 10;
    stats.acknowledged();
  }
  now = 960;
  assert.deepEqual(stats.figures(), { rate: 20, roundTrip: 40 });
  assert.equal(stats.text(), '20 fps \u00b7 40 ms');
  // A slow trip among fast ones moves the median little; a stopped stream falls to 0 fps.
  now = 1300;
  stats.arrived();
  assert.equal(stats.figures().roundTrip, 40);
  now = 5000;
  assert.equal(stats.figures().rate, 0);
  // A picture with no ack before it (the first of a stream) is no round trip.
  const fresh = new LinkStats({ now: () => now });
  fresh.arrived();
  assert.equal(fresh.figures().roundTrip, null);
});
