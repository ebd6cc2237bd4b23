// The host's API and the stream's messages, without the DOM: the page and the tests share it.

export const specialKeys = Object.freeze([
  'enter', 'backspace', 'tab', 'escape', 'delete', 'arrowLeft', 'arrowRight',
  'arrowUp', 'arrowDown', 'home', 'end', 'pageUp', 'pageDown',
]);
// Behind "More keys".
export const moreKeys = Object.freeze([
  'f1', 'f2', 'f3', 'f4', 'f5', 'f6', 'f7', 'f8', 'f9', 'f10', 'f11', 'f12', 'insert', 'print', 'menu',
]);

export class HostAPI {
  /** @param {typeof fetch} fetchImpl @param {string} base the host's origin ('' for this one) */
  constructor(fetchImpl, base = '') {
    this.fetch = fetchImpl;
    this.base = base;
  }

  async call(method, path, { token, body } = {}) {
    const headers = {};
    if (token) headers.authorization = `Bearer ${token}`;
    if (body !== undefined) headers['content-type'] = 'application/json';
    const response = await this.fetch(this.base + path, {
      method,
      headers,
      body: body === undefined ? undefined : JSON.stringify(body),
      cache: 'no-store',
    });
    let json = {};
    try {
      json = await response.json();
    } catch {
      // A body that is not JSON (a 404 page, a proxy's error) reads as no fields.
    }
    return { status: response.status, body: json };
  }

  pair(pin, deviceName) {
    return this.call('POST', '/api/pair', { body: { pin, deviceName } });
  }
  pairStatus(requestId) {
    return this.call('GET', `/api/pair-status?requestId=${encodeURIComponent(requestId)}`);
  }
  ticket(token) {
    return this.call('POST', '/api/ws-ticket', { token });
  }
  session(token) {
    return this.call('GET', '/api/session', { token });
  }
  unpair(token) {
    return this.call('POST', '/api/unpair', { token });
  }
}

/** The stream socket's address for a ticket, on the page's own host. */
export function streamURL(location, ticket) {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  return `${scheme}//${location.host}/ws?ticket=${encodeURIComponent(ticket)}`;
}

/** What a 401 from the pairing endpoint says, in the host's own words. */
export function pairingError(body) {
  return typeof body?.error === 'string' && body.error ? body.error : 'Pairing failed.';
}

/** A text message from the host, or null for anything this page does not know. */
export function parseHostMessage(text) {
  let message;
  try {
    message = JSON.parse(text);
  } catch {
    return null;
  }
  if (message?.type === 'state' && typeof message.state === 'string') return message;
  if (message?.type === 'portals' && Array.isArray(message.items)) return message;
  if (message?.type === 'view' && isPart(message)) return message;
  if (message?.type === 'clipboard' && typeof message.text === 'string') return message;
  if (message?.type === 'quality' && typeof message.preset === 'string') {
    return { type: 'quality', preset: message.preset, choosable: message.choosable === true };
  }
  return null;
}

// A part of the portal in fractions of it: inside the unit square and not empty.
function isPart({ x, y, width, height }) {
  const fraction = (v) => Number.isFinite(v) && v >= 0 && v <= 1;
  return fraction(x) && fraction(y) && fraction(width) && fraction(height) && width > 0 && height > 0
    && x + width <= 1 + 1e-9 && y + height <= 1 + 1e-9;
}

const round = (v) => Math.round(v * 1e6) / 1e6;

/** An input message with its point normalised to the picture. */
export function pointMessage(type, point, extra = {}, modifiers = undefined) {
  return JSON.stringify({ type, x: round(point.x), y: round(point.y), ...extra, ...held(modifiers) });
}

export const ack = JSON.stringify({ type: 'ack' });
// `modifiers`: the held keys ("ctrl", "alt", "shift", "super"), left out when there are none.
const held = (modifiers) => (modifiers?.length ? { modifiers } : {});
export const textMessage = (text, modifiers) => JSON.stringify({ type: 'text', text, ...held(modifiers) });
export const keyMessage = (key, modifiers) => JSON.stringify({ type: 'key', key, ...held(modifiers) });
export const selectPortal = (portalId) => JSON.stringify({ type: 'selectportal', portalId });
// Text for the computer's clipboard.
export const clipboardMessage = (text) => JSON.stringify({ type: 'clipboard', text });
// The picture qualities a phone may ask for, by the names the host knows, and how to ask.
export const qualityPresets = ['low', 'balanced', 'high'];
export const qualityMessage = (preset) => JSON.stringify({ type: 'quality', preset });
// The part of the portal this phone shows when zoomed in, and its size in device pixels; null
// goes back to the whole portal.
export function viewportMessage(view) {
  if (!view) return JSON.stringify({ type: 'viewport' });
  return JSON.stringify({
    type: 'viewport',
    x: round(view.x),
    y: round(view.y),
    width: round(view.width),
    height: round(view.height),
    pixelWidth: Math.max(1, Math.round(view.pixelWidth)),
    pixelHeight: Math.max(1, Math.round(view.pixelHeight)),
  });
}
