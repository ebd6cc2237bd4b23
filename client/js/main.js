// The page: pairing, waiting for approval, and the stream. Host-provided names always go into
// textContent, never into markup.
import { HostAPI, pairingError } from './core/protocol.js';
import { guessDeviceName } from './core/device-name.js';
import { StreamView } from './ui/stream-view.js';

const tokenKey = 'tavelin.token';
const nameKey = 'tavelin.deviceName';
const api = new HostAPI(window.fetch.bind(window));
const $ = (id) => document.getElementById(id);

function show(screen) {
  for (const id of ['pair-screen', 'wait-screen', 'stream-screen']) $(id).hidden = id !== screen;
}

const storage = {
  get token() {
    return localStorage.getItem(tokenKey);
  },
  set token(value) {
    if (value) localStorage.setItem(tokenKey, value);
    else localStorage.removeItem(tokenKey);
  },
};

let stream = null;
let polling = null;

function showPairing(note = '') {
  stopPolling();
  show('pair-screen');
  $('pair-note').textContent = note;
  $('pair-error').textContent = '';
  $('pin').value = '';
  $('pair-button').disabled = false;
  $('pin').focus({ preventScroll: true });
}

function startStream(token) {
  show('stream-screen');
  stream ??= new StreamView({
    api,
    onTokenGone: () => {
      storage.token = null;
      showPairing('This computer no longer knows this device. Pair again with the PIN on its screen.');
    },
    onForget: async () => {
      const current = storage.token;
      storage.token = null;
      if (current) await api.unpair(current).catch(() => {});
      showPairing('This device is no longer paired with the computer.');
    },
  });
  stream.open(token);
}

function paired(token, deviceName) {
  storage.token = token;
  localStorage.setItem(nameKey, deviceName);
  startStream(token);
}

function stopPolling() {
  if (polling) clearTimeout(polling);
  polling = null;
}

function waitForApproval(requestId) {
  show('wait-screen');
  $('wait-spinner').hidden = false;
  $('wait-title').textContent = 'Waiting for approval on the computer';
  $('wait-detail').textContent = 'Click Allow in Tavelin on the computer to let this device in.';
  $('wait-back').textContent = 'Cancel';
  const finish = (title, detail) => {
    stopPolling();
    $('wait-spinner').hidden = true;
    $('wait-title').textContent = title;
    $('wait-detail').textContent = detail;
    $('wait-back').textContent = 'Back';
  };
  const poll = async () => {
    polling = null;
    let answer;
    try {
      answer = await api.pairStatus(requestId);
    } catch {
      answer = null; // the network hiccupped: ask again
    }
    if ($('wait-screen').hidden) return;
    switch (answer?.body?.status) {
      case 'approved':
        paired(answer.body.token, answer.body.deviceName);
        return;
      case 'denied':
        finish('The computer declined this device', 'Ask the person at the computer, then pair again.');
        return;
      case 'expired':
        finish('The request expired', 'Nobody answered in time. Pair again to send a new request.');
        return;
      default:
        polling = setTimeout(poll, 1000);
    }
  };
  polling = setTimeout(poll, 1000);
}

async function submitPairing(event) {
  event?.preventDefault();
  const pin = $('pin').value.replace(/\D/g, '');
  const deviceName = $('device-name').value.trim() || guessDeviceName(navigator.userAgent);
  if (pin.length !== 6 || $('pair-button').disabled) return;
  $('pair-button').disabled = true;
  $('pair-error').textContent = '';
  try {
    const answer = await api.pair(pin, deviceName);
    if (answer.status === 200 && answer.body.token) {
      paired(answer.body.token, answer.body.deviceName ?? deviceName);
      return;
    }
    if (answer.status === 202 && answer.body.requestId) {
      waitForApproval(answer.body.requestId);
      return;
    }
    $('pair-error').textContent = pairingError(answer.body);
    $('pin').value = '';
    $('pin').focus();
  } catch {
    $('pair-error').textContent = 'Cannot reach the computer. Check that this device is on the same network.';
  } finally {
    $('pair-button').disabled = false;
  }
}

function setUpPairing() {
  $('host-name').textContent = location.host;
  $('device-name').value = localStorage.getItem(nameKey) ?? guessDeviceName(navigator.userAgent);
  const pin = $('pin');
  // Digits only, from typing or pasting "123 456"; the sixth digit sends it.
  pin.addEventListener('input', () => {
    const digits = pin.value.replace(/\D/g, '').slice(0, 6);
    if (pin.value !== digits) pin.value = digits;
    if (digits.length === 6) submitPairing();
  });
  $('pair-form').addEventListener('submit', submitPairing);
  $('wait-back').addEventListener('click', () => showPairing());
}

setUpPairing();
if (storage.token) startStream(storage.token);
else showPairing();
