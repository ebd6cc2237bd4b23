// How long to wait before the next attempt to reopen the stream: 0.5 s, doubling up to 10 s,
// back to the start after a connection that worked.
export class Backoff {
  constructor({ initial = 500, max = 10000 } = {}) {
    this.initial = initial;
    this.max = max;
    this.current = initial;
  }

  /** The delay before the next attempt, in milliseconds. */
  next() {
    const delay = this.current;
    this.current = Math.min(this.max, this.current * 2);
    return delay;
  }

  reset() {
    this.current = this.initial;
  }
}
