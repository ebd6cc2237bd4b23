// The stream screen: the picture on a canvas, the host's state over it, and touches, keys and
// text sent back. The socket, its reconnects and the ack loop are the core's StreamLoop.
import { GestureRecognizer } from '../core/gestures.js';
import { applyPinch, containRect, identityZoom, unzoom, viewportToNormalized } from '../core/letterbox.js';
import { keyMessage, pointMessage, selectPortal, specialKeys, streamURL, textMessage } from '../core/protocol.js';
import { Presenter } from '../core/presenter.js';
import { StreamLoop } from '../core/stream.js';

const $ = (id) => document.getElementById(id);
const keyLabels = {
  enter: 'Enter', backspace: '\u232B', tab: 'Tab', escape: 'Esc', delete: 'Del',
  arrowLeft: '\u2190', arrowRight: '\u2192', arrowUp: '\u2191', arrowDown: '\u2193',
  home: 'Home', end: 'End', pageUp: 'PgUp', pageDown: 'PgDn',
};
// The host scrolls 26 pixels per unit.
const hostPixelsPerScrollUnit = 26;

async function decode(blob) {
  if (window.createImageBitmap) return createImageBitmap(blob);
  const image = new Image();
  const url = URL.createObjectURL(blob);
  try {
    image.src = url;
    await image.decode();
    return image;
  } finally {
    URL.revokeObjectURL(url);
  }
}

export class StreamView {
  constructor({ api, onTokenGone, onForget }) {
    this.onForget = onForget;
    this.canvas = $('picture');
    this.context = this.canvas.getContext('2d');
    // Pictures are painted in animation frames; the stream acknowledges one once it is queued.
    this.presenter = new Presenter({
      draw: (picture) => this.draw(picture),
      requestFrame: (callback) => requestAnimationFrame(callback),
    });
    this.zoom = identityZoom;
    this.state = null;
    this.moveQueued = null;
    this.scrollQueued = null;
    this.stream = new StreamLoop({
      api,
      url: (ticket) => streamURL(location, ticket),
      WebSocket,
      decode,
      on: {
        connecting: () => this.showStatus('Connecting\u2026', '', true),
        reconnecting: (delay) =>
          this.showStatus('Reconnecting\u2026', `Trying again in ${Math.max(1, Math.round(delay / 1000))} s`, true),
        state: (message) => this.showState(message),
        portals: (message) => this.showPortals(message),
        picture: (picture) => this.showPicture(picture),
        tokenGone: onTokenGone,
      },
    });
    this.setUpInput();
    this.setUpControls();
    new ResizeObserver(() => this.layout()).observe(this.canvas);
  }

  open(token) {
    this.stream.open(token);
  }

  close() {
    this.stream.stop();
  }

  send(text) {
    this.stream.send(text);
  }

  showState(message) {
    this.state = message;
    if (message.streaming) this.hideStatus();
    else this.showStatus(message.portalName ?? 'Tavelin', message.statusText ?? '', false);
  }

  showPortals({ items, currentPortalId }) {
    const picker = $('portal-picker');
    const options = items.map((item) => {
      const option = document.createElement('option');
      option.value = item.id;
      option.textContent = item.name;
      option.selected = item.id === currentPortalId;
      return option;
    });
    // Watching none of them: nothing may look chosen, or choosing that one would do nothing.
    if (!items.some((item) => item.id === currentPortalId)) {
      const none = document.createElement('option');
      none.value = '';
      none.textContent = 'Choose\u2026';
      none.disabled = true;
      none.selected = true;
      options.unshift(none);
    }
    picker.replaceChildren(...options);
    picker.hidden = items.length === 0;
  }

  showPicture(picture) {
    this.presenter.show(picture);
  }

  layout() {
    const ratio = window.devicePixelRatio || 1;
    const width = Math.round(this.canvas.clientWidth * ratio);
    const height = Math.round(this.canvas.clientHeight * ratio);
    if (this.canvas.width !== width || this.canvas.height !== height) {
      this.canvas.width = width;
      this.canvas.height = height;
      this.zoom = identityZoom; // a new shape of view starts unzoomed
    }
    this.presenter.redraw();
  }

  // Size of the picture on the host, which touches are relative to.
  sourceSize() {
    const picture = this.presenter.current;
    if (picture) return { width: picture.width, height: picture.height };
    return { width: this.state?.sourceWidth ?? 0, height: this.state?.sourceHeight ?? 0 };
  }

  draw(picture) {
    const ratio = window.devicePixelRatio || 1;
    const ctx = this.context;
    ctx.setTransform(1, 0, 0, 1, 0, 0);
    ctx.fillStyle = '#000';
    ctx.fillRect(0, 0, this.canvas.width, this.canvas.height);
    if (!picture) return;
    const r = containRect(picture.width, picture.height, this.canvas.clientWidth, this.canvas.clientHeight);
    const z = this.zoom;
    ctx.setTransform(ratio * z.scale, 0, 0, ratio * z.scale, ratio * z.offsetX, ratio * z.offsetY);
    ctx.imageSmoothingQuality = 'high';
    ctx.drawImage(picture, r.x, r.y, r.width, r.height);
  }

  // A point on the view to a point on the picture, through the zoom; null in the bars.
  normalise(x, y) {
    const { width, height } = this.sourceSize();
    const p = unzoom(this.zoom, x, y);
    return viewportToNormalized(width, height, this.canvas.clientWidth, this.canvas.clientHeight, p.x, p.y);
  }

  sendPoint(type, x, y) {
    const point = this.normalise(x, y);
    if (point) this.send(pointMessage(type, point));
  }

  gesture(g) {
    switch (g.type) {
      case 'press': this.showCue(g.x, g.y); break;
      case 'release': $('cue').hidden = true; break;
      case 'tap':
      case 'doubletap':
        this.sendPoint(g.type, g.x, g.y);
        break;
      case 'longpress':
        $('cue').hidden = true;
        navigator.vibrate?.(20);
        this.sendPoint('longpress', g.x, g.y);
        break;
      case 'dragstart': this.sendPoint('pointerdown', g.x, g.y); break;
      case 'dragmove':
        // At most one move per frame: the newest position wins.
        if (!this.moveQueued) requestAnimationFrame(() => this.flushMove());
        this.moveQueued = g;
        break;
      case 'dragend':
        this.flushMove();
        this.sendPoint('pointerup', g.x, g.y);
        break;
      case 'scroll': this.queueScroll(g); break;
      case 'pinch':
        this.zoom = applyPinch(this.zoom, g.factor, g.x, g.y, g.dx, g.dy, this.canvas.clientWidth, this.canvas.clientHeight);
        this.presenter.redraw();
        break;
      default:
    }
  }

  flushMove() {
    const move = this.moveQueued;
    this.moveQueued = null;
    if (move) this.sendPoint('pointermove', move.x, move.y);
  }

  queueScroll(g) {
    if (!this.scrollQueued) {
      this.scrollQueued = { x: g.x, y: g.y, dx: 0, dy: 0 };
      requestAnimationFrame(() => this.flushScroll());
    }
    this.scrollQueued.dx += g.dx;
    this.scrollQueued.dy += g.dy;
    this.scrollQueued.x = g.x;
    this.scrollQueued.y = g.y;
  }

  flushScroll() {
    const s = this.scrollQueued;
    this.scrollQueued = null;
    const point = s && this.normalise(s.x, s.y);
    if (!point) return;
    // Natural direction: the content follows the fingers, so fingers moving down scroll
    // towards the top (a positive dy, like a wheel turned away from the user).
    const { height } = this.sourceSize();
    const shown = containRect(this.sourceSize().width, height, this.canvas.clientWidth, this.canvas.clientHeight);
    const hostPerView = shown.height > 0 ? height / shown.height / this.zoom.scale : 1;
    const units = (v) => Math.round((v * hostPerView * 100) / hostPixelsPerScrollUnit) / 100;
    this.send(pointMessage('scroll', point, { dx: units(s.dx), dy: units(s.dy) }));
  }

  showCue(x, y) {
    const cue = $('cue');
    cue.style.left = `${x}px`;
    cue.style.top = `${y}px`;
    cue.hidden = false;
    cue.style.animation = 'none';
    void cue.offsetWidth; // restart the animation
    cue.style.animation = '';
  }

  showStatus(title, detail, busy) {
    $('status').hidden = false;
    $('status-title').textContent = title;
    $('status-detail').textContent = detail;
    $('status-spinner').hidden = !busy;
  }

  hideStatus() {
    $('status').hidden = true;
  }

  setUpInput() {
    const recognizer = new GestureRecognizer({ emit: (g) => this.gesture(g) });
    const point = (e) => {
      const rect = this.canvas.getBoundingClientRect();
      return [e.pointerId, e.clientX - rect.left, e.clientY - rect.top];
    };
    this.canvas.addEventListener('pointerdown', (e) => {
      this.canvas.setPointerCapture?.(e.pointerId);
      $('menu').hidden = true;
      recognizer.down(...point(e));
    });
    this.canvas.addEventListener('pointermove', (e) => recognizer.move(...point(e)));
    this.canvas.addEventListener('pointerup', (e) => recognizer.up(...point(e)));
    this.canvas.addEventListener('pointercancel', (e) => recognizer.cancel(e.pointerId));
    this.canvas.addEventListener('contextmenu', (e) => e.preventDefault());

    // Typing: text arrives whole after composition (CJK, accents), deletions and line breaks
    // as keys.
    const typing = $('typing');
    typing.addEventListener('compositionend', (e) => {
      if (e.data) this.send(textMessage(e.data));
      typing.value = '';
    });
    typing.addEventListener('beforeinput', (e) => {
      if (e.isComposing || e.inputType === 'insertCompositionText') return;
      e.preventDefault();
      if (e.inputType === 'insertText' && e.data) this.send(textMessage(e.data));
      else if (e.inputType === 'insertFromPaste' && e.dataTransfer) this.send(textMessage(e.dataTransfer.getData('text/plain')));
      else if (e.inputType === 'deleteContentBackward') this.send(keyMessage('backspace'));
      else if (e.inputType === 'deleteContentForward') this.send(keyMessage('delete'));
      else if (e.inputType === 'insertLineBreak' || e.inputType === 'insertParagraph') this.send(keyMessage('enter'));
    });
    typing.addEventListener('keydown', (e) => {
      const keys = { Tab: 'tab', Escape: 'escape', ArrowLeft: 'arrowLeft', ArrowRight: 'arrowRight', ArrowUp: 'arrowUp', ArrowDown: 'arrowDown', Home: 'home', End: 'end', PageUp: 'pageUp', PageDown: 'pageDown' };
      if (!e.isComposing && keys[e.key]) {
        e.preventDefault();
        this.send(keyMessage(keys[e.key]));
      }
    });
  }

  setUpControls() {
    $('portal-picker').addEventListener('change', (e) => this.send(selectPortal(e.target.value)));
    $('keyboard-button').addEventListener('click', () => {
      const typing = $('typing');
      if (document.activeElement === typing) typing.blur();
      else typing.focus();
    });
    const bar = $('keys-bar');
    bar.replaceChildren(
      ...specialKeys.map((key) => {
        const button = document.createElement('button');
        button.type = 'button';
        button.textContent = keyLabels[key];
        button.setAttribute('aria-label', key);
        button.addEventListener('click', () => this.send(keyMessage(key)));
        return button;
      }),
    );
    $('keys-button').addEventListener('click', () => {
      bar.hidden = !bar.hidden;
      $('keys-button').setAttribute('aria-pressed', String(!bar.hidden));
    });
    $('fullscreen-button').addEventListener('click', () => {
      if (document.fullscreenElement) document.exitFullscreen?.();
      else document.documentElement.requestFullscreen?.().catch(() => {});
    });
    $('menu-button').addEventListener('click', () => {
      $('menu').hidden = !$('menu').hidden;
      $('menu-button').setAttribute('aria-expanded', String(!$('menu').hidden));
    });
    $('forget-button').addEventListener('click', () => {
      $('menu').hidden = true;
      this.close();
      this.showPicture(null);
      this.onForget();
    });
  }
}
