// Keeping the screen on: the wake lock where there is one, the video where there is none or it
// is refused, held only while watching a visible page.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { ScreenAwake } from '../../client/js/core/awake.js';

function fakes({ refuse = false } = {}) {
  const log = [];
  let visible = true;
  const wakeLock = {
    async request(type) {
      log.push(`request ${type}`);
      if (refuse) throw new Error('NotAllowedError');
      return { async release() { log.push('release'); } };
    },
  };
  const video = { async play() { log.push('play'); }, pause() { log.push('pause'); } };
  let made = 0;
  const makeVideo = () => {
    made++;
    return video;
  };
  return { log, wakeLock, makeVideo, made: () => made, setVisible: (v) => { visible = v; }, visible: () => visible };
}

// Watching starts (asked twice: held once), the page hides and shows again, watching stops.
async function watchHideShowAndStop(f, awake) {
  await awake.want(true);
  assert.equal(awake.held, true);
  await awake.want(true);
  f.setVisible(false);
  await awake.visibilityChanged();
  assert.equal(awake.held, false);
  f.setVisible(true);
  await awake.visibilityChanged();
  assert.equal(awake.held, true);
  await awake.want(false);
  assert.equal(awake.held, false);
}

test('the wake lock is held while watching a visible page, and asked again when it shows', async () => {
  const f = fakes();
  const awake = new ScreenAwake({ wakeLock: f.wakeLock, video: f.makeVideo, visible: f.visible });
  await watchHideShowAndStop(f, awake);
  assert.deepEqual(f.log, ['request screen', 'release', 'request screen', 'release']);
  assert.equal(f.made(), 0, 'no video where the lock works');
});

test('over plain HTTP (no wake lock) or when it is refused, a video plays instead', async () => {
  for (const refused of [false, true]) {
    const f = fakes({ refuse: refused });
    const awake = new ScreenAwake({ wakeLock: refused ? f.wakeLock : undefined, video: f.makeVideo, visible: f.visible });
    await watchHideShowAndStop(f, awake);
    const played = f.log.filter((l) => l === 'play' || l === 'pause');
    assert.deepEqual(played, ['play', 'pause', 'play', 'pause']);
    assert.equal(f.made(), 1, 'one video, made when first needed');
  }
});

test('a lock granted after watching ended is given back at once', async () => {
  const f = fakes();
  let grant;
  const slow = { request: () => new Promise((resolve) => { grant = resolve; }) };
  const awake = new ScreenAwake({ wakeLock: slow, video: f.makeVideo, visible: f.visible });
  const asked = awake.want(true);
  await awake.want(false);
  let released = false;
  grant({ async release() { released = true; } });
  await asked;
  assert.equal(released, true);
  assert.equal(awake.held, false);
});
