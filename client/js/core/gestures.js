// Turns pointer events on the picture into the gestures a remote control needs. A state
// machine without the DOM: the page feeds it pointer events with their times and gets back
// gestures through `emit`; timers come from outside so tests can run them by hand.
//
// Gestures emitted (points in view coordinates):
//   press {x,y}          a finger is down: show the long-press cue
//   release {}           the cue may go
//   tap / doubletap / longpress {x,y}
//   dragstart {x,y}      at the point the finger went down; then dragmove {x,y}, dragend {x,y}
//   scroll {x,y,dx,dy}   two fingers moving together, by how far their centre moved
//   pinch {factor,x,y,dx,dy}  two fingers spreading or closing, around (x,y), panned by dx,dy

export const defaultOptions = Object.freeze({
  slop: 10, // view pixels a finger may wander and still tap
  longPressMs: 500,
  doubleTapMs: 250, // how long a tap waits for a second one
  doubleTapDistance: 30,
  pinchThreshold: 0.12, // relative change of finger distance that makes two fingers a pinch
});

const distance = (a, b) => Math.hypot(a.x - b.x, a.y - b.y);
const centre = (a, b) => ({ x: (a.x + b.x) / 2, y: (a.y + b.y) / 2 });

export class GestureRecognizer {
  constructor({
    emit,
    setTimer = (fn, ms) => setTimeout(fn, ms),
    clearTimer = (timer) => clearTimeout(timer),
    ...options
  } = {}) {
    this.emit = emit;
    this.setTimer = setTimer;
    this.clearTimer = clearTimer;
    this.options = { ...defaultOptions, ...options };
    this.pointers = new Map(); // id → {x, y}
    this.state = 'idle';
    this.start = null; // where the current single press began
    this.pendingTap = null; // a finished tap waiting to see if a second one follows
    this.secondTap = false;
    this.longPressTimer = null;
    this.tapTimer = null;
  }

  down(id, x, y) {
    this.pointers.set(id, { x, y });
    if (this.pointers.size === 1) {
      if (this.pendingTap && distance(this.pendingTap, { x, y }) > this.options.doubleTapDistance) {
        this.flushTap();
      }
      this.secondTap = this.pendingTap !== null;
      this.clearTimer(this.tapTimer);
      this.state = 'pressed';
      this.start = { x, y };
      this.emit({ type: 'press', x, y });
      this.longPressTimer = this.setTimer(() => this.longPressFired(), this.options.longPressMs);
      return;
    }
    if (this.pointers.size === 2 && this.state === 'pressed') {
      this.stopPress();
      this.flushTap();
      const [a, b] = [...this.pointers.values()];
      this.state = 'multi';
      this.multiStart = { centre: centre(a, b), spread: distance(a, b) };
      this.multiLast = { ...this.multiStart };
    }
  }

  move(id, x, y) {
    if (!this.pointers.has(id)) return;
    this.pointers.set(id, { x, y });
    switch (this.state) {
      case 'pressed':
        if (distance(this.start, { x, y }) > this.options.slop) {
          this.stopPress();
          this.flushTap();
          this.state = 'dragging';
          this.emit({ type: 'dragstart', x: this.start.x, y: this.start.y });
          this.emit({ type: 'dragmove', x, y });
        }
        return;
      case 'dragging':
        this.emit({ type: 'dragmove', x, y });
        return;
      case 'multi':
      case 'scrolling':
      case 'pinching':
        this.moveTwo();
        return;
      default:
    }
  }

  moveTwo() {
    if (this.pointers.size !== 2) return;
    const [a, b] = [...this.pointers.values()];
    const now = { centre: centre(a, b), spread: distance(a, b) };
    if (this.state === 'multi') {
      const spreadChange = Math.abs(now.spread / Math.max(this.multiStart.spread, 1) - 1);
      if (spreadChange > this.options.pinchThreshold) {
        this.state = 'pinching';
      } else if (distance(now.centre, this.multiStart.centre) > this.options.slop) {
        this.state = 'scrolling';
      } else {
        return;
      }
    }
    const dx = now.centre.x - this.multiLast.centre.x;
    const dy = now.centre.y - this.multiLast.centre.y;
    if (this.state === 'scrolling') {
      this.emit({ type: 'scroll', x: now.centre.x, y: now.centre.y, dx, dy });
    } else {
      const factor = now.spread / Math.max(this.multiLast.spread, 1);
      this.emit({ type: 'pinch', factor, x: now.centre.x, y: now.centre.y, dx, dy });
    }
    this.multiLast = now;
  }

  up(id, x, y) {
    if (!this.pointers.has(id)) return;
    this.pointers.delete(id);
    switch (this.state) {
      case 'pressed':
        this.stopPress();
        if (this.secondTap) {
          this.pendingTap = null;
          this.secondTap = false;
          this.emit({ type: 'doubletap', x: this.start.x, y: this.start.y });
        } else {
          this.pendingTap = { ...this.start };
          this.tapTimer = this.setTimer(() => this.flushTap(), this.options.doubleTapMs);
        }
        this.state = 'idle';
        return;
      case 'dragging':
        this.emit({ type: 'dragend', x, y });
        this.state = 'idle';
        return;
      case 'longpressed':
        this.emit({ type: 'release' });
        this.state = 'idle';
        return;
      default:
        // Two-finger gestures end when the first finger lifts; the rest is ignored.
        this.state = this.pointers.size === 0 ? 'idle' : 'ending';
    }
  }

  // The system took the finger away (a call, a system gesture): end what it was doing.
  cancel(id) {
    const point = this.pointers.get(id);
    if (!point) return;
    this.pointers.delete(id);
    if (this.state === 'dragging') this.emit({ type: 'dragend', x: point.x, y: point.y });
    this.stopPress();
    this.pendingTap = null;
    this.state = this.pointers.size === 0 ? 'idle' : 'ending';
  }

  longPressFired() {
    this.longPressTimer = null;
    if (this.state !== 'pressed') return;
    this.flushTap();
    this.state = 'longpressed';
    this.secondTap = false;
    this.emit({ type: 'longpress', x: this.start.x, y: this.start.y });
  }

  stopPress() {
    if (this.longPressTimer !== null) {
      this.clearTimer(this.longPressTimer);
      this.longPressTimer = null;
      this.emit({ type: 'release' });
    }
  }

  flushTap() {
    this.clearTimer(this.tapTimer);
    this.tapTimer = null;
    if (!this.pendingTap) return;
    const tap = this.pendingTap;
    this.pendingTap = null;
    this.secondTap = false;
    this.emit({ type: 'tap', x: tap.x, y: tap.y });
  }
}
