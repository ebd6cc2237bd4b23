// The stream screen: the picture on a canvas, the host's state over it, and touches (direct or
// as a trackpad), keys with their modifiers and text sent back, under controls that step aside.
// The socket, its reconnects and the ack loop are the core's StreamLoop.
import { AutoHide } from '../core/autohide.js';
import { copyText } from '../core/copy.js';
import { ScreenAwake } from '../core/awake.js';
import { GestureRecognizer } from '../core/gestures.js';
import {
  applyPinch, containRect, identityZoom, partRect, unzoom, viewportToNormalized, visibleView,
} from '../core/letterbox.js';
import { LinkStats } from '../core/link-stats.js';
import { ModifierKeys, modifierNames } from '../core/modifiers.js';
import { Presenter } from '../core/presenter.js';
import {
  clipboardMessage, keyMessage, moreKeys, pointMessage, qualityMessage, selectPortal, specialKeys, streamURL,
  textMessage, viewportMessage,
} from '../core/protocol.js';
import { StreamLoop } from '../core/stream.js';
import { Trackpad } from '../core/trackpad.js';

const $ = (id) => document.getElementById(id);
const keyLabels = {
  enter: 'Enter', backspace: '\u232B', tab: 'Tab', escape: 'Esc', delete: 'Del',
  arrowLeft: '\u2190', arrowRight: '\u2192', arrowUp: '\u2191', arrowDown: '\u2193',
  home: 'Home', end: 'End', pageUp: 'PgUp', pageDown: 'PgDn',
  f1: 'F1', f2: 'F2', f3: 'F3', f4: 'F4', f5: 'F5', f6: 'F6', f7: 'F7', f8: 'F8', f9: 'F9', f10: 'F10',
  f11: 'F11', f12: 'F12', insert: 'Insert', print: 'Print', menu: 'Menu',
};
const modifierLabels = { ctrl: 'Ctrl', alt: 'Alt', shift: 'Shift', super: 'Super' };
// Where this phone remembers whether the picture is a trackpad, and whether the controls stay.
const trackpadSetting = 'tavelin.trackpad';
const controlsSetting = 'tavelin.controls';
const figuresSetting = 'tavelin.figures';

function remembered(key) {
  try {
    return localStorage.getItem(key);
  } catch {
    return null; // no storage (private browsing): the defaults
  }
}

function remember(key, value) {
  try {
    localStorage.setItem(key, value);
  } catch {
    // the choice holds for this visit
  }
}
// The host scrolls 26 pixels per unit.
const hostPixelsPerScrollUnit = 26;
// How long the zoom rests before the host is asked for the part in view at its sharpest.
const viewSettle = 150;

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
      draw: (picture, backdrop) => this.draw(picture, backdrop),
      requestFrame: (callback) => requestAnimationFrame(callback),
    });
    this.zoom = identityZoom;
    this.viewSent = viewportMessage(null); // what the host was last told this phone shows
    this.viewTimer = null;
    this.portalId = null;
    this.state = null;
    this.moveQueued = null;
    this.scrollQueued = null;
    this.link = new LinkStats();
    this.figuresTimer = null;
    this.copied = null; // text copied on the computer, offered to copy here
    // Held for the next key, character, tap or click (or locked until let go).
    this.modifiers = new ModifierKeys({ onChange: (name, state) => this.showModifier(name, state) });
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
        opened: () => {
          // The host learns the part in view anew on each connection.
          this.viewSent = null;
          this.updateView();
        },
        portals: (message) => this.showPortals(message),
        clipboard: (text) => this.showCopied(text),
        quality: (message) => this.showQuality(message),
        picture: (picture, part) => this.showPicture(picture && this.withPart(picture, part)),
        arrived: () => this.link.arrived(),
        acknowledged: () => this.link.acknowledged(),
        tokenGone: onTokenGone,
      },
    });
    this.touchTime = null; // when the touch being handled happened
    this.trackpad = new Trackpad({
      // The touch's own time: a busy page that handles a burst of moves at once still sees
      // the speed the finger had.
      now: () => this.touchTime ?? performance.now(),
      shown: () => this.shownSize(),
      emit: (event) => this.trackpadEvent(event),
      onCursor: () => this.presenter.redraw(),
    });
    this.trackpadMoveQueued = null;
    // The controls give the picture the screen a few seconds after their last use.
    this.controls = new AutoHide({
      onChange: (hidden) => $('stream-screen').classList.toggle('controls-hidden', hidden),
    });
    this.awake = new ScreenAwake({
      wakeLock: navigator.wakeLock,
      video: () => {
        const video = document.createElement('video');
        video.src = 'media/awake.webm';
        video.muted = true;
        video.loop = true;
        video.playsInline = true;
        video.setAttribute('aria-hidden', 'true');
        video.className = 'awake';
        document.body.append(video);
        return video;
      },
      visible: () => document.visibilityState === 'visible',
    });
    document.addEventListener('visibilitychange', () => this.awake.visibilityChanged());
    // A browser that plays video only after a gesture gets its chance at the next touch.
    document.addEventListener('pointerdown', () => {
      if (this.awake.wanted && !this.awake.held) this.awake.update();
    });
    this.setUpInput();
    this.setUpControls();
    new ResizeObserver(() => this.layout()).observe(this.canvas);
  }

  open(token) {
    this.stream.open(token);
    this.awake.want(true);
  }

  close() {
    this.stream.stop();
    this.awake.want(false);
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
    // Another portal starts unzoomed.
    if (currentPortalId !== this.portalId) {
      this.portalId = currentPortalId;
      this.zoom = identityZoom;
      this.viewSent = null;
      this.updateView();
      this.presenter.redraw();
    }
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

  // Text copied on the computer, offered for this phone's clipboard until dismissed or
  // replaced by the next.
  showCopied(text) {
    this.copied = text;
    $('copied-text').textContent = text.length > 300 ? `${text.slice(0, 300)}\u2026` : text;
    $('copied-status').textContent = '';
    $('copied-panel').hidden = false;
    this.controls.keep('copied', true);
  }

  // The portal's picture quality, which the phone may change when the computer lets it; every
  // phone of the portal hears of a change.
  showQuality({ preset, choosable }) {
    $('quality-row').hidden = false;
    for (const button of $('quality-row').querySelectorAll('button')) {
      button.setAttribute('aria-pressed', String(button.dataset.preset === preset));
      button.disabled = !choosable;
    }
    $('quality-note').hidden = choosable;
  }

  hideCopied() {
    $('copied-panel').hidden = true;
    this.copied = null;
    this.controls.keep('copied', false);
  }

  // A decoded picture as the presenter holds it: with the part of the portal it shows.
  withPart(image, part) {
    return { image, part, width: image.width, height: image.height, close: () => image.close?.() };
  }

  // Tells the host which part of the portal is in view, once the zoom has rested, so what is
  // zoomed into comes at the phone's own resolution; the whole portal when not zoomed.
  viewChanged() {
    clearTimeout(this.viewTimer);
    this.viewTimer = setTimeout(() => this.updateView(), viewSettle);
  }

  updateView() {
    clearTimeout(this.viewTimer);
    this.viewTimer = null;
    const { width, height } = this.sourceSize();
    const whole = containRect(width, height, this.canvas.clientWidth, this.canvas.clientHeight);
    const view = visibleView(this.zoom, whole, this.canvas.clientWidth, this.canvas.clientHeight,
      window.devicePixelRatio || 1);
    const message = viewportMessage(view);
    if (message === this.viewSent) return;
    this.viewSent = message;
    this.send(message);
  }

  layout() {
    const ratio = window.devicePixelRatio || 1;
    const width = Math.round(this.canvas.clientWidth * ratio);
    const height = Math.round(this.canvas.clientHeight * ratio);
    if (this.canvas.width !== width || this.canvas.height !== height) {
      this.canvas.width = width;
      this.canvas.height = height;
      this.zoom = identityZoom; // a new shape of view starts unzoomed
      this.updateView();
    }
    this.presenter.redraw();
  }

  // Size of the whole picture on the host, which touches are relative to: a whole picture's
  // own, or the one the host reported while pictures show parts.
  sourceSize() {
    const picture = this.presenter.current;
    if (picture && !picture.part) return { width: picture.width, height: picture.height };
    const width = this.state?.sourceWidth ?? 0;
    const height = this.state?.sourceHeight ?? 0;
    if (width > 0 && height > 0) return { width, height };
    if (picture) return { width: picture.width / picture.part.width, height: picture.height / picture.part.height };
    return { width: 0, height: 0 };
  }

  draw(picture, backdrop) {
    const ratio = window.devicePixelRatio || 1;
    const ctx = this.context;
    ctx.setTransform(1, 0, 0, 1, 0, 0);
    ctx.fillStyle = '#000';
    ctx.fillRect(0, 0, this.canvas.width, this.canvas.height);
    if (!picture) return;
    const { width, height } = this.sourceSize();
    const r = containRect(width, height, this.canvas.clientWidth, this.canvas.clientHeight);
    const z = this.zoom;
    ctx.setTransform(ratio * z.scale, 0, 0, ratio * z.scale, ratio * z.offsetX, ratio * z.offsetY);
    ctx.imageSmoothingQuality = 'high';
    if (picture.part && backdrop) ctx.drawImage(backdrop.image, r.x, r.y, r.width, r.height);
    const at = partRect(r, picture.part);
    ctx.drawImage(picture.image, at.x, at.y, at.width, at.height);
    if (this.isTrackpad()) this.drawCursor(ctx, r, z.scale);
  }

  isTrackpad() {
    return $('trackpad-button').getAttribute('aria-pressed') === 'true';
  }

  // The picture's size on the view, zoom included: what a trackpad's finger moves across.
  shownSize() {
    const { width, height } = this.sourceSize();
    const r = containRect(width, height, this.canvas.clientWidth, this.canvas.clientHeight);
    return { width: r.width * this.zoom.scale, height: r.height * this.zoom.scale };
  }

  // An arrow at the trackpad's cursor, the same size on the view whatever the zoom.
  drawCursor(ctx, r, scale) {
    const { x, y } = this.trackpad.cursor;
    ctx.save();
    ctx.translate(r.x + x * r.width, r.y + y * r.height);
    ctx.scale(1 / scale, 1 / scale);
    ctx.beginPath();
    ctx.moveTo(0, 0);
    ctx.lineTo(0, 20);
    ctx.lineTo(5, 15);
    ctx.lineTo(9, 23);
    ctx.lineTo(12, 22);
    ctx.lineTo(8, 14);
    ctx.lineTo(15, 14);
    ctx.closePath();
    ctx.fillStyle = '#fff';
    ctx.strokeStyle = '#000';
    ctx.lineWidth = 1.5;
    ctx.fill();
    ctx.stroke();
    ctx.restore();
  }

  // What the trackpad sends, at its cursor. Moves go at most once a frame, the newest winning.
  trackpadEvent(event) {
    const point = { x: event.x, y: event.y };
    if (event.type === 'pointermove') {
      if (!this.trackpadMoveQueued) requestAnimationFrame(() => this.flushTrackpadMove());
      this.trackpadMoveQueued = point;
      return;
    }
    this.flushTrackpadMove();
    if (event.type === 'scroll') {
      const { height } = this.sourceSize();
      const shown = this.shownSize().height;
      const hostPerView = shown > 0 ? height / shown : 1;
      const units = (v) => Math.round((v * hostPerView * 100) / hostPixelsPerScrollUnit) / 100;
      this.send(pointMessage('scroll', point, { dx: units(event.dx), dy: units(event.dy) }, this.modifiers.take()));
      return;
    }
    const carries = event.type !== 'pointerup';
    this.send(pointMessage(event.type, point, {}, carries ? this.modifiers.take() : undefined));
  }

  flushTrackpadMove() {
    const point = this.trackpadMoveQueued;
    this.trackpadMoveQueued = null;
    if (point) this.send(pointMessage('pointermove', point));
  }

  // The link's figures in a corner, refreshed twice a second while shown.
  showFigures(on) {
    $('figures-button').setAttribute('aria-pressed', String(on));
    remember(figuresSetting, on ? 'shown' : 'hidden');
    const indicator = $('link-figures');
    indicator.hidden = !on;
    clearInterval(this.figuresTimer);
    this.figuresTimer = null;
    if (!on) return;
    const update = () => {
      indicator.textContent = this.link.text();
    };
    update();
    this.figuresTimer = setInterval(update, 500);
  }

  setTrackpad(on) {
    $('trackpad-button').setAttribute('aria-pressed', String(on));
    remember(trackpadSetting, on ? '1' : '0');
    this.trackpad.reset();
    this.presenter.redraw();
  }

  // A point on the view to a point on the picture, through the zoom; null in the bars.
  normalise(x, y) {
    const { width, height } = this.sourceSize();
    const p = unzoom(this.zoom, x, y);
    return viewportToNormalized(width, height, this.canvas.clientWidth, this.canvas.clientHeight, p.x, p.y);
  }

  // Taps, clicks and the start of a stroke carry the held modifiers; the rest of a stroke is
  // held by the host from its start.
  sendPoint(type, x, y) {
    const point = this.normalise(x, y);
    if (!point) return;
    const carries = type !== 'pointermove' && type !== 'pointerup';
    this.send(pointMessage(type, point, {}, carries ? this.modifiers.take() : undefined));
  }

  sendKey(key) {
    this.send(keyMessage(key, this.modifiers.take()));
  }

  // Held modifiers go with one character (Ctrl+C); longer text is typed as it is.
  sendText(text) {
    const characters = globalThis.Intl?.Segmenter ? [...new Intl.Segmenter().segment(text)] : [...text];
    const one = characters.length === 1;
    this.send(textMessage(text, one ? this.modifiers.take() : undefined));
  }

  showModifier(name, state) {
    const button = document.querySelector(`#keys-bar [data-modifier="${name}"]`);
    if (!button) return;
    button.setAttribute('aria-pressed', String(state !== 'off'));
    button.classList.toggle('locked', state === 'locked');
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
        this.viewChanged();
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
    this.send(pointMessage('scroll', point, { dx: units(s.dx), dy: units(s.dy) }, this.modifiers.take()));
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
    this.controls.keep('status', true);
    $('status').hidden = false;
    $('status-title').textContent = title;
    $('status-detail').textContent = detail;
    $('status-spinner').hidden = !busy;
  }

  hideStatus() {
    $('status').hidden = true;
    this.controls.keep('status', false);
  }

  setUpInput() {
    const recognizer = new GestureRecognizer({ emit: (g) => this.gesture(g) });
    const point = (e) => {
      this.touchTime = e.timeStamp;
      const rect = this.canvas.getBoundingClientRect();
      return [e.pointerId, e.clientX - rect.left, e.clientY - rect.top];
    };
    // Touches go to the trackpad or to the direct gestures, as the mode is when they start.
    const target = () => (this.isTrackpad() ? this.trackpad : recognizer);
    this.canvas.addEventListener('pointerdown', (e) => {
      this.canvas.setPointerCapture?.(e.pointerId);
      if (!$('menu').hidden) {
        $('menu').hidden = true;
        $('menu-button').setAttribute('aria-expanded', 'false');
        this.controls.keep('menu', false);
      }
      target().down(...point(e));
    });
    this.canvas.addEventListener('pointermove', (e) => target().move(...point(e)));
    this.canvas.addEventListener('pointerup', (e) => target().up(...point(e)));
    this.canvas.addEventListener('pointercancel', (e) => target().cancel(e.pointerId));
    this.canvas.addEventListener('contextmenu', (e) => e.preventDefault());

    // Typing: text arrives whole after composition (CJK, accents), deletions and line breaks
    // as keys.
    const typing = $('typing');
    typing.addEventListener('compositionend', (e) => {
      if (e.data) this.sendText(e.data);
      typing.value = '';
    });
    typing.addEventListener('beforeinput', (e) => {
      if (e.isComposing || e.inputType === 'insertCompositionText') return;
      e.preventDefault();
      if (e.inputType === 'insertText' && e.data) this.sendText(e.data);
      else if (e.inputType === 'insertFromPaste' && e.dataTransfer) this.send(textMessage(e.dataTransfer.getData('text/plain')));
      else if (e.inputType === 'deleteContentBackward') this.sendKey('backspace');
      else if (e.inputType === 'deleteContentForward') this.sendKey('delete');
      else if (e.inputType === 'insertLineBreak' || e.inputType === 'insertParagraph') this.sendKey('enter');
    });
    typing.addEventListener('keydown', (e) => {
      const keys = { Tab: 'tab', Escape: 'escape', ArrowLeft: 'arrowLeft', ArrowRight: 'arrowRight', ArrowUp: 'arrowUp', ArrowDown: 'arrowDown', Home: 'home', End: 'end', PageUp: 'pageUp', PageDown: 'pageDown' };
      if (!e.isComposing && keys[e.key]) {
        e.preventDefault();
        this.sendKey(keys[e.key]);
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
    const keyButton = (key) => {
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = keyLabels[key];
      button.setAttribute('aria-label', key);
      button.addEventListener('click', () => this.sendKey(key));
      return button;
    };
    // Modifiers keep the focus where it was (the typing field), so the keyboard stays up.
    const modifierButtons = modifierNames.map((name) => {
      const button = document.createElement('button');
      button.type = 'button';
      button.className = 'modifier';
      button.textContent = modifierLabels[name];
      button.dataset.modifier = name;
      button.setAttribute('aria-pressed', 'false');
      button.addEventListener('pointerdown', (e) => e.preventDefault());
      button.addEventListener('click', () => this.modifiers.tap(name));
      return button;
    });
    const more = document.createElement('div');
    more.id = 'more-keys';
    more.className = 'more-keys';
    more.hidden = true;
    more.replaceChildren(...moreKeys.map(keyButton));
    const moreButton = document.createElement('button');
    moreButton.type = 'button';
    moreButton.id = 'more-keys-button';
    moreButton.textContent = 'More keys';
    moreButton.setAttribute('aria-expanded', 'false');
    moreButton.setAttribute('aria-controls', 'more-keys');
    moreButton.addEventListener('click', () => {
      more.hidden = !more.hidden;
      moreButton.setAttribute('aria-expanded', String(!more.hidden));
    });
    bar.replaceChildren(...modifierButtons, ...specialKeys.map(keyButton), moreButton, more);
    $('keys-button').addEventListener('click', () => {
      bar.hidden = !bar.hidden;
      $('keys-button').setAttribute('aria-pressed', String(!bar.hidden));
    });
    $('trackpad-button').setAttribute('aria-pressed', String(remembered(trackpadSetting) === '1'));
    $('trackpad-button').addEventListener('click', () => this.setTrackpad(!this.isTrackpad()));
    $('fullscreen-button').addEventListener('click', () => {
      if (document.fullscreenElement) document.exitFullscreen?.();
      else document.documentElement.requestFullscreen?.().catch(() => {});
    });
    $('menu-button').addEventListener('click', () => {
      $('menu').hidden = !$('menu').hidden;
      $('menu-button').setAttribute('aria-expanded', String(!$('menu').hidden));
      this.controls.keep('menu', !$('menu').hidden);
    });
    // Any use of the controls counts; typing keeps them, as does an open menu or the choice
    // to keep them.
    for (const id of ['toolbar', 'keys-bar', 'menu', 'clipboard-panel', 'copied-panel']) {
      for (const type of ['pointerdown', 'keydown', 'focusin', 'change']) {
        $(id).addEventListener(type, () => this.controls.use());
      }
    }
    const typing = $('typing');
    typing.addEventListener('focus', () => this.controls.keep('typing', true));
    typing.addEventListener('blur', () => this.controls.keep('typing', false));
    $('controls-edge').addEventListener('pointerdown', (e) => {
      e.preventDefault();
      this.controls.use();
    });
    $('controls-edge').addEventListener('click', () => this.controls.use());
    // The paste field: its text becomes the computer's clipboard, for Ctrl+V there.
    const panel = $('clipboard-panel');
    const showPanel = (open) => {
      panel.hidden = !open;
      $('clipboard-button').setAttribute('aria-expanded', String(open));
      $('clipboard-status').textContent = '';
      this.controls.keep('clipboard', open);
      if (open) {
        $('menu').hidden = true;
        $('menu-button').setAttribute('aria-expanded', 'false');
        this.controls.keep('menu', false);
        $('clipboard-text').focus();
      }
    };
    $('clipboard-button').addEventListener('click', () => showPanel(panel.hidden));
    $('clipboard-close').addEventListener('click', () => showPanel(false));
    $('clipboard-send').addEventListener('click', () => {
      const text = $('clipboard-text').value;
      if (!text) return;
      this.send(clipboardMessage(text));
      $('clipboard-status').textContent = 'Sent to the computer\u2019s clipboard';
    });
    $('copied-close').addEventListener('click', () => this.hideCopied());
    $('copied-copy').addEventListener('click', async () => {
      if (this.copied === null) return;
      const copied = await copyText(this.copied, { clipboard: navigator.clipboard, secure: window.isSecureContext, document });
      $('copied-status').textContent = copied ? 'Copied to this phone' : 'This browser did not allow copying';
    });
    for (const button of $('quality-row').querySelectorAll('button')) {
      button.addEventListener('click', () => this.send(qualityMessage(button.dataset.preset)));
    }
    const figures = $('figures-button');
    figures.addEventListener('click', () => this.showFigures(figures.getAttribute('aria-pressed') !== 'true'));
    this.showFigures(remembered(figuresSetting) === 'shown');
    const pin = $('keep-controls-button');
    const pinned = remembered(controlsSetting) === 'shown';
    pin.setAttribute('aria-pressed', String(pinned));
    this.controls.keep('chosen', pinned);
    pin.addEventListener('click', () => {
      const on = pin.getAttribute('aria-pressed') !== 'true';
      pin.setAttribute('aria-pressed', String(on));
      remember(controlsSetting, on ? 'shown' : 'auto');
      this.controls.keep('chosen', on);
    });
    $('forget-button').addEventListener('click', () => {
      $('menu').hidden = true;
      this.controls.keep('menu', false);
      this.close();
      this.showPicture(null);
      this.onForget();
    });
  }
}
