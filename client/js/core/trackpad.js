// The picture as a trackpad: fingers move a cursor the phone draws, instead of touching where
// they are. One finger moves it by relative motion, faster motion going further; a tap clicks
// where it is; a two-finger tap right-clicks; two fingers moving scroll; a finger held still
// for a moment and then moved drags. The cursor's position is normalised to the picture, as
// every position sent to the host is.
export const trackpadTiming = Object.freeze({
  tap: 250, // ms: the longest touch that is a tap
  hold: 350, // ms: a finger still this long and then moved drags
  slop: 8, // px: movement that still counts as still
});

// Gain for a finger moving at `speed` px/ms: precise when slow, quick across the picture.
export function acceleration(speed) {
  return Math.min(4, 1 + 1.5 * Math.max(0, speed - 0.1));
}

export class Trackpad {
  /**
   * @param {object} options
   * @param {() => number} options.now milliseconds
   * @param {() => {width: number, height: number}} options.shown the picture's size on screen
   *   (CSS pixels, zoom included)
   * @param {(event: {type: string, x: number, y: number, dx?: number, dy?: number}) => void}
   *   options.emit what to send: pointermove, tap, longpress (the right click), pointerdown,
   *   pointerup, and scroll (dx, dy in CSS pixels of finger motion)
   * @param {(cursor: {x: number, y: number}) => void} [options.onCursor]
   */
  constructor({ now, shown, emit, onCursor = () => {} }) {
    this.now = now;
    this.shown = shown;
    this.emit = emit;
    this.onCursor = onCursor;
    this.cursor = { x: 0.5, y: 0.5 };
    this.touches = new Map(); // id → { x, y, startX, startY }
    this.reset();
  }

  reset() {
    this.mode = 'idle'; // idle | pending | moving | dragging | twoPending | scrolling
    this.startedAt = 0;
    this.lastAt = 0;
    this.touches.clear();
  }

  down(id, x, y) {
    const now = this.now();
    this.touches.set(id, { x, y, startX: x, startY: y });
    if (this.touches.size === 1) {
      this.mode = 'pending';
      this.startedAt = now;
    } else if (this.touches.size === 2 && (this.mode === 'pending' || this.mode === 'moving')) {
      this.mode = 'twoPending';
    }
    this.lastAt = now;
  }

  move(id, x, y) {
    const touch = this.touches.get(id);
    if (!touch) return;
    const now = this.now();
    const dx = x - touch.x;
    const dy = y - touch.y;
    touch.x = x;
    touch.y = y;
    const moved = Math.hypot(x - touch.startX, y - touch.startY) > trackpadTiming.slop;
    if (this.mode === 'pending' && moved) {
      if (now - this.startedAt >= trackpadTiming.hold) {
        this.mode = 'dragging';
        this.emit({ type: 'pointerdown', ...this.cursor });
      } else {
        this.mode = 'moving';
      }
    } else if (this.mode === 'twoPending' && moved) {
      this.mode = 'scrolling';
    }
    if (this.mode === 'moving' || this.mode === 'dragging') {
      const elapsed = Math.max(1, now - this.lastAt);
      this.nudge(dx, dy, acceleration(Math.hypot(dx, dy) / elapsed));
      this.emit({ type: 'pointermove', ...this.cursor });
    } else if (this.mode === 'scrolling') {
      // Half of each finger's motion: the two together move as one.
      this.emit({ type: 'scroll', ...this.cursor, dx: dx / 2, dy: dy / 2 });
    }
    this.lastAt = now;
  }

  up(id) {
    if (!this.touches.has(id)) return;
    const quick = this.now() - this.startedAt <= trackpadTiming.tap;
    this.touches.delete(id);
    if (this.touches.size > 0) return; // the gesture ends with its last finger
    if (this.mode === 'pending' && quick) this.emit({ type: 'tap', ...this.cursor });
    else if (this.mode === 'twoPending' && quick) this.emit({ type: 'longpress', ...this.cursor });
    else if (this.mode === 'dragging') this.emit({ type: 'pointerup', ...this.cursor });
    this.mode = 'idle';
  }

  // A touch the browser took away: a drag still ends, nothing else is sent.
  cancel(id) {
    if (!this.touches.has(id)) return;
    this.touches.delete(id);
    if (this.touches.size > 0) return;
    if (this.mode === 'dragging') this.emit({ type: 'pointerup', ...this.cursor });
    this.mode = 'idle';
  }

  nudge(dx, dy, gain) {
    const { width, height } = this.shown();
    if (!(width > 0 && height > 0)) return;
    const clamp = (v) => Math.min(1, Math.max(0, v));
    this.cursor = { x: clamp(this.cursor.x + (dx * gain) / width), y: clamp(this.cursor.y + (dy * gain) / height) };
    this.onCursor(this.cursor);
  }
}
