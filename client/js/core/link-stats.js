// What the link is doing, from the pictures and their acks: pictures per second over the last
// second, and the round trip from an ack to the picture it lets through (the host's making
// and the network both ways), as the median of the last few.
export class LinkStats {
  /** @param {{ now?: () => number, window?: number, samples?: number }} [options] */
  constructor({ now = () => performance.now(), window = 1000, samples = 15 } = {}) {
    this.now = now;
    this.window = window;
    this.samples = samples;
    this.arrivals = [];
    this.trips = [];
    this.ackedAt = null;
  }

  arrived() {
    const now = this.now();
    this.arrivals.push(now);
    this.forget(now);
    if (this.ackedAt !== null) {
      this.trips.push(now - this.ackedAt);
      if (this.trips.length > this.samples) this.trips.shift();
      this.ackedAt = null;
    }
  }

  acknowledged() {
    this.ackedAt = this.now();
  }

  forget(now) {
    while (this.arrivals.length > 0 && this.arrivals[0] <= now - this.window) this.arrivals.shift();
  }

  // { rate: pictures per second, roundTrip: ms or null before the first }
  figures() {
    this.forget(this.now());
    const sorted = [...this.trips].sort((a, b) => a - b);
    return {
      rate: (this.arrivals.length * 1000) / this.window,
      roundTrip: sorted.length ? sorted[Math.floor(sorted.length / 2)] : null,
    };
  }

  // As the indicator shows them: "24 fps · 38 ms".
  text() {
    const { rate, roundTrip } = this.figures();
    return `${Math.round(rate)} fps \u00b7 ${roundTrip === null ? '\u2013' : `${Math.round(roundTrip)} ms`}`;
  }
}
