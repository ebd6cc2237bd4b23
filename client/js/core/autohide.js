// When the controls over the picture go away: a few seconds after they were last used, unless
// something keeps them (a menu open, typing, nothing to show yet, the user's choice). Shown
// again when called, and the count starts over.
export class AutoHide {
  /**
   * @param {object} options
   * @param {number} [options.delay] ms without use before they hide
   * @param {{ setTimeout(fn: () => void, ms: number): any, clearTimeout(id: any): void }} [options.clock]
   * @param {(hidden: boolean) => void} options.onChange
   */
  constructor({ delay = 4000, clock = globalThis, onChange }) {
    this.delay = delay;
    this.clock = clock;
    this.onChange = onChange;
    this.hidden = false;
    this.keeping = new Set();
    this.timer = null;
  }

  // The controls were used, or called back.
  use() {
    this.setHidden(false);
    this.restart();
  }

  // `reason` keeps the controls shown while `on`; when the last reason goes, the count starts.
  keep(reason, on) {
    if (on) this.keeping.add(reason);
    else this.keeping.delete(reason);
    if (on) this.setHidden(false);
    this.restart();
  }

  restart() {
    if (this.timer !== null) this.clock.clearTimeout(this.timer);
    this.timer = null;
    if (this.keeping.size > 0) return;
    this.timer = this.clock.setTimeout(() => {
      this.timer = null;
      this.setHidden(true);
    }, this.delay);
  }

  setHidden(hidden) {
    if (this.hidden === hidden) return;
    this.hidden = hidden;
    this.onChange(hidden);
  }
}
