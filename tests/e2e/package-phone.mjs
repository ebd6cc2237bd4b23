// The phone of scripts/test-package: pairs with the host at URL using PIN (the host asks for
// no approval), opens a stream with a ticket and waits for its first picture. Prints
// "device <id>", "token <token>" and "stream <messages before the picture>, picture <w>x<h>".
//
//   node tests/e2e/package-phone.mjs <url> <pin>
import assert from 'node:assert/strict';
import WebSocket from 'ws';
import { api, jpegSize } from './demo-host.mjs';

const [url, pin] = process.argv.slice(2);
const host = { url };
const paired = await api(host, 'POST', '/api/pair', { body: { pin, deviceName: 'Package phone' } });
assert.equal(paired.status, 200, `pairing: ${JSON.stringify(paired.body)}`);
assert.ok(paired.body.token && paired.body.deviceId, 'a device id and token');
const ticket = await api(host, 'POST', '/api/ws-ticket', { token: paired.body.token });
assert.equal(ticket.status, 200, `ticket: ${JSON.stringify(ticket.body)}`);

const socket = new WebSocket(`${url.replace('http', 'ws')}/ws?ticket=${ticket.body.ticket}`);
const seen = [];
const picture = await new Promise((resolve, reject) => {
  const so = () => seen.join(', ') || 'nothing';
  const timer = setTimeout(() => reject(new Error(`no picture within 20 s, after ${so()}`)), 20000);
  socket.on('error', reject);
  socket.on('close', (code) => reject(new Error(`stream closed (${code}) after ${so()}`)));
  socket.on('message', (data, binary) => {
    if (!binary) {
      seen.push(JSON.parse(data.toString()).type);
      return;
    }
    clearTimeout(timer);
    resolve(data);
  });
});
socket.removeAllListeners('close');
socket.close();
const { width, height } = jpegSize(picture);  // throws unless it is a JPEG
console.log(`device ${paired.body.deviceId}`);
console.log(`token ${paired.body.token}`);
console.log(`stream ${seen.join(', ')}, picture ${width}x${height}`);
