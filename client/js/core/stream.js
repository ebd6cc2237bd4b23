// The stream without the DOM: a ticket for each attempt, the socket, reconnects with backoff,
// and the picture loop that decodes one picture at a time and acknowledges each once shown.
// The page supplies the socket class, the clock, the decoder and what to do with what arrives;
// the tests supply fakes of all four.
import { Backoff } from './reconnect.js';
import { ack, parseHostMessage } from './protocol.js';

// An attempt that has neither a ticket nor an open socket by then is given up and retried: a
// phone that changed networks can leave a request or a handshake hanging for minutes.
export const attemptTimeout = 10000;

const OPEN = 1; // WebSocket.OPEN, which a fake socket class need not define

export class StreamLoop {
  /**
   * @param {object} options
   * @param {{ ticket(token: string): Promise<{status: number, body: object}> }} options.api
   * @param {(ticket: string) => string} options.url the stream's address for a ticket
   * @param {typeof WebSocket} options.WebSocket
   * @param {(blob: Blob) => Promise<any>} options.decode a picture with `width`, `height` and
   *   optionally `close()`
   * @param {{ setTimeout: Function, clearTimeout: Function }} [options.clock]
   * @param {object} [options.on] `connecting()`, `reconnecting(delay)`, `opened()` (a socket
   *   opened), `state(message)`, `portals(message)`, `picture(picture or null, part)` (may
   *   return a promise: the ack waits for it; `part` is the part of the portal the picture
   *   shows, null for the whole), `clipboard(text)` (copied on the computer), `tokenGone()`,
   *   `arrived()` (a picture came),
   *   `acknowledged()` (its ack left)
   */
  constructor({ api, url, WebSocket, decode, clock = globalThis, backoff = new Backoff(), on = {} }) {
    this.api = api;
    this.url = url;
    this.WebSocket = WebSocket;
    this.decode = decode;
    this.clock = clock;
    this.backoff = backoff;
    this.on = on;
    this.token = null;
    this.attempt = 0; // bumped by open and stop: what an older attempt finishes is dropped
    this.socket = null;
    this.timer = null;
    this.state = null;
    this.decoding = false;
    this.pending = null; // a picture that arrived while another was being decoded
    this.nextPart = null; // what the next picture shows, when the host said it is a part
  }

  /** Starts streaming with a device token; a stream already running is replaced. */
  open(token) {
    this.stop();
    this.token = token;
    this.on.connecting?.();
    this.connect(this.attempt);
  }

  /** Closes the socket and keeps it closed until the next open. */
  stop() {
    this.attempt += 1;
    this.token = null;
    this.clearTimer();
    const socket = this.socket;
    this.socket = null;
    socket?.close();
    this.pending = null;
    this.state = null;
  }

  /** Sends a text message when the socket is open; otherwise it is dropped, as input is. */
  send(text) {
    if (this.socket?.readyState === OPEN) this.socket.send(text);
  }

  async connect(attempt) {
    this.setTimer(() => this.giveUp(attempt), attemptTimeout);
    let answer;
    try {
      answer = await this.api.ticket(this.token);
    } catch {
      answer = null;
    }
    if (attempt !== this.attempt) return;
    if (answer?.status === 401) {
      this.stop();
      this.on.tokenGone?.();
      return;
    }
    if (answer?.status !== 200 || typeof answer.body?.ticket !== 'string' || !answer.body.ticket) {
      this.retry();
      return;
    }
    const socket = new this.WebSocket(this.url(answer.body.ticket));
    socket.binaryType = 'blob';
    this.socket = socket;
    this.state = null; // until this connection's host says otherwise
    this.nextPart = null;
    socket.onopen = () => {
      if (socket !== this.socket) return;
      this.clearTimer();
      this.on.opened?.();
    };
    socket.onmessage = (event) => {
      if (socket !== this.socket) return;
      this.backoff.reset(); // this connection works
      if (typeof event.data === 'string') this.hostMessage(event.data);
      else this.receivePicture(event.data);
    };
    socket.onclose = () => {
      if (socket !== this.socket) return;
      this.socket = null;
      this.pending = null;
      this.retry();
    };
  }

  // The attempt took too long: whatever it still waits for is abandoned.
  giveUp(attempt) {
    if (attempt !== this.attempt) return;
    const socket = this.socket;
    this.socket = null;
    socket?.close();
    this.retry();
  }

  retry() {
    this.attempt += 1;
    const attempt = this.attempt;
    const delay = this.backoff.next();
    this.on.reconnecting?.(delay);
    this.setTimer(() => this.connect(attempt), delay);
  }

  setTimer(fn, delay) {
    this.clearTimer();
    this.timer = this.clock.setTimeout(fn, delay);
  }

  clearTimer() {
    if (this.timer !== null) this.clock.clearTimeout(this.timer);
    this.timer = null;
  }

  hostMessage(text) {
    const message = parseHostMessage(text);
    if (message?.type === 'state') {
      this.state = message;
      if (message.shared === false) {
        // What is no longer shared is not shown, nor what is still on its way.
        this.pending = null;
        this.on.picture?.(null);
      }
      this.on.state?.(message);
    } else if (message?.type === 'portals') {
      this.on.portals?.(message);
    } else if (message?.type === 'clipboard') {
      this.on.clipboard?.(message.text);
    } else if (message?.type === 'quality') {
      this.on.quality?.(message);
    } else if (message?.type === 'view') {
      const { x, y, width, height } = message;
      this.nextPart = { x, y, width, height };
    }
  }

  // A picture shows the part the message just before it named, or else the whole portal.
  receivePicture(blob) {
    this.on.arrived?.();
    const part = this.nextPart;
    this.nextPart = null;
    this.decodePicture(blob, part);
  }

  decodePicture(blob, part) {
    if (this.decoding) {
      this.pending = { blob, part }; // only the newest waiting picture matters
      return;
    }
    this.decoding = true;
    const socket = this.socket;
    this.show(blob, part)
      .catch(() => {}) // a broken picture must not stall the stream
      .finally(() => {
        this.decoding = false;
        if (socket === this.socket) {
          this.send(ack); // one ack per picture, once it is shown
          this.on.acknowledged?.();
        }
        const next = this.pending;
        this.pending = null;
        if (next && this.socket) this.decodePicture(next.blob, next.part);
      });
  }

  async show(blob, part) {
    const socket = this.socket;
    const picture = await this.decode(blob);
    // One decoded after the portal stopped being shared, or after this socket closed, is not shown.
    if (this.state?.shared === false || socket !== this.socket) {
      picture?.close?.();
      return;
    }
    await this.on.picture?.(picture, part);
  }
}
