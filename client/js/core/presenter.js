// Paints decoded pictures in the page's animation frames. A picture handed over is queued at
// once (so the stream can acknowledge it and the host make the next one), and the newest queued
// picture is drawn in the next frame; one it replaces before that frame, or the one it replaces
// on screen, is closed at once so no decoded picture outlives its use. A picture of a part of
// the portal (one with a `part`) is painted over the last whole picture, which is kept as the
// backdrop for what the part does not cover until a whole picture comes again.
export class Presenter {
  /**
   * @param {object} options
   * @param {(picture: any, backdrop: any) => void} options.draw paints a picture over the
   *   backdrop (either may be null), or clears the view when both are
   * @param {(callback: () => void) => any} options.requestFrame the page's requestAnimationFrame
   */
  constructor({ draw, requestFrame }) {
    this.draw = draw;
    this.requestFrame = requestFrame;
    this.shown = null; // on screen, kept for re-layout
    this.queued = null; // waiting for the next frame
    this.backdrop = null; // the last whole picture, under parts
    this.frameAsked = false;
    this.cleared = false; // a clear waits for the next frame like a picture
  }

  // The picture touches are relative to: the one on screen, or the one about to be.
  get current() {
    return this.queued ?? this.shown;
  }

  show(picture) {
    if (picture === null) {
      this.clear();
      return;
    }
    if (this.queued) this.queued.close?.();
    this.queued = picture;
    this.cleared = false;
    this.askFrame();
  }

  // Nothing to show: what is queued is dropped and the view is cleared in the next frame.
  clear() {
    this.queued?.close?.();
    this.queued = null;
    this.backdrop?.close?.();
    this.backdrop = null;
    this.cleared = true;
    this.askFrame();
  }

  // Paints what is on screen again (a new size of view), in the next frame.
  redraw() {
    this.askFrame();
  }

  askFrame() {
    if (this.frameAsked) return;
    this.frameAsked = true;
    this.requestFrame(() => this.frame());
  }

  frame() {
    this.frameAsked = false;
    if (this.queued) {
      if (this.shown !== this.queued) this.retire(this.shown, this.queued);
      this.shown = this.queued;
      this.queued = null;
    } else if (this.cleared) {
      this.shown?.close?.();
      this.shown = null;
    }
    this.cleared = false;
    this.draw(this.shown, this.backdrop);
  }

  // What becomes of the picture on screen when `next` replaces it.
  retire(old, next) {
    if (!next.part) {
      this.backdrop?.close?.();
      this.backdrop = null;
    } else if (old && !old.part) {
      this.backdrop?.close?.();
      this.backdrop = old;
      return;
    }
    old?.close?.();
  }
}
