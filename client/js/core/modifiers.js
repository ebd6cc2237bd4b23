// The modifier keys of the keys bar. A tap arms one for the next key, character, tap or click;
// a second tap soon after locks it until it is tapped again; a tap on an armed key after that
// lets it go. What the next event carries is taken once: armed keys are spent by it, locked
// ones stay.
export const modifierNames = Object.freeze(['ctrl', 'alt', 'shift', 'super']);

export class ModifierKeys {
  /**
   * @param {object} options
   * @param {() => number} [options.now] milliseconds
   * @param {number} [options.doubleTap] the longest time between the taps of a double tap
   * @param {(name: string, state: 'off' | 'armed' | 'locked') => void} [options.onChange]
   */
  constructor({ now = () => performance.now(), doubleTap = 400, onChange = () => {} } = {}) {
    this.now = now;
    this.doubleTap = doubleTap;
    this.onChange = onChange;
    this.states = new Map(modifierNames.map((name) => [name, 'off']));
    this.armedAt = new Map();
  }

  state(name) {
    return this.states.get(name) ?? 'off';
  }

  tap(name) {
    if (!this.states.has(name)) return;
    const state = this.state(name);
    const now = this.now();
    if (state === 'off') {
      this.set(name, 'armed');
      this.armedAt.set(name, now);
    } else if (state === 'armed' && now - this.armedAt.get(name) <= this.doubleTap) {
      this.set(name, 'locked');
    } else {
      this.set(name, 'off');
    }
  }

  // The modifiers the next event holds, in the wire's order; armed ones are spent.
  take() {
    const held = modifierNames.filter((name) => this.state(name) !== 'off');
    for (const name of held) {
      if (this.state(name) === 'armed') this.set(name, 'off');
    }
    return held;
  }

  set(name, state) {
    if (this.states.get(name) === state) return;
    this.states.set(name, state);
    this.onChange(name, state);
  }
}
