// The stream loop against a fake socket class, a fake clock and a ticket service the test
// answers by hand: tickets, reconnects and their backoff, and the picture-ack loop.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { StreamLoop, attemptTimeout } from '../../client/js/core/stream.js';

const ack = JSON.stringify({ type: 'ack' });
const settle = () => new Promise((resolve) => setImmediate(resolve));

function deferred() {
  let resolve;
  let reject;
  const promise = new Promise((res, rej) => {
    resolve = res;
    reject = rej;
  });
  return { promise, resolve, reject };
}

function harness() {
  const sockets = [];
  class FakeSocket {
    constructor(url) {
      this.url = url;
      this.readyState = 0;
      this.sent = [];
      this.closed = false;
      sockets.push(this);
    }
    send(text) {
      this.sent.push(text);
    }
    close() {
      this.closed = true;
      this.readyState = 3;
    }
    // What the host does to it.
    accept() {
      this.readyState = 1;
      this.onopen?.();
    }
    drop(code = 1006) {
      this.readyState = 3;
      this.onclose?.({ code });
    }
    text(message) {
      this.onmessage?.({ data: JSON.stringify(message) });
    }
    picture(name) {
      this.onmessage?.({ data: { name } });
    }
  }

  let now = 0;
  let timers = [];
  let nextId = 1;
  const clock = {
    setTimeout: (fn, ms) => {
      timers.push({ id: nextId, at: now + ms, fn });
      return nextId++;
    },
    clearTimeout: (id) => {
      timers = timers.filter((timer) => timer.id !== id);
    },
  };
  const advance = async (ms) => {
    now += ms;
    for (;;) {
      const due = timers.filter((timer) => timer.at <= now).sort((a, b) => a.at - b.at)[0];
      if (!due) break;
      timers = timers.filter((timer) => timer !== due);
      due.fn();
      await settle();
    }
  };

  const tickets = []; // one deferred answer per ticket request, in order
  const api = {
    ticket: (token) => {
      const answer = deferred();
      tickets.push({ token, ...answer });
      return answer.promise;
    },
  };
  const decodes = [];
  const decode = (blob) => {
    const answer = deferred();
    decodes.push({ blob, ...answer });
    return answer.promise;
  };
  const events = [];
  const opened = { count: 0 };
  const stream = new StreamLoop({
    api,
    url: (ticket) => `ws://host/ws?ticket=${ticket}`,
    WebSocket: FakeSocket,
    decode,
    clock,
    on: {
      connecting: () => events.push('connecting'),
      reconnecting: (delay) => events.push(`reconnecting ${delay}`),
      state: (message) => events.push(`state ${message.state}`),
      portals: (message) => events.push(`portals ${message.items.length}`),
      picture: (picture, part) => events.push(picture ? `picture ${picture.name}${part ? ` of ${JSON.stringify(part)}` : ''}` : 'no picture'),
      opened: () => { opened.count += 1; },
      tokenGone: () => events.push('token gone'),
    },
  });
  // Answers the newest ticket request and returns the socket it opened.
  const grant = async (ticket = `t${tickets.length}`) => {
    tickets.at(-1).resolve({ status: 200, body: { ticket } });
    await settle();
    return sockets.at(-1);
  };
  return { stream, sockets, tickets, decodes, events, opened, advance, grant, pending: () => timers.length };
}

test('each attempt opens the socket with a fresh ticket for the token', async () => {
  const h = harness();
  h.stream.open('token-1');
  assert.deepEqual(h.events, ['connecting']);
  assert.equal(h.tickets.length, 1);
  assert.equal(h.tickets[0].token, 'token-1');
  const first = await h.grant('abc');
  assert.equal(first.url, 'ws://host/ws?ticket=abc');
  assert.equal(first.binaryType, 'blob');
  first.accept();
  assert.equal(h.pending(), 0, 'an open socket has no attempt timer left');

  // The host rejects an upgrade by closing before it opens (an expired ticket looks the same):
  // the next attempt asks for a new ticket, never reuses one.
  first.drop(1006);
  await h.advance(500);
  assert.equal(h.tickets.length, 2);
  const second = await h.grant('def');
  assert.equal(second.url, 'ws://host/ws?ticket=def');
  assert.notEqual(second, first);
});

test('pictures are acknowledged once shown, one decode at a time, the newest waiting one next', async () => {
  const h = harness();
  h.stream.open('token');
  const socket = await h.grant();
  socket.accept();
  socket.text({ type: 'portals', items: [{ id: 'A', name: 'One' }], currentPortalId: 'A' });
  socket.text({ type: 'state', state: 'capturing', shared: true, streaming: true });
  socket.text({ type: 'unknown' });
  socket.picture('p1');
  socket.picture('p2');
  socket.picture('p3'); // replaces p2, which is never decoded
  assert.equal(h.decodes.length, 1);
  assert.deepEqual(socket.sent, [], 'no ack before the picture is shown');

  h.decodes[0].resolve({ name: 'p1' });
  await settle();
  assert.deepEqual(socket.sent, [ack]);
  assert.equal(h.decodes.length, 2);
  assert.equal(h.decodes[1].blob.name, 'p3');

  // A picture that does not decode is still acknowledged, or the host would stall.
  h.decodes[1].reject(new Error('not a JPEG'));
  await settle();
  assert.deepEqual(socket.sent, [ack, ack]);
  assert.deepEqual(h.events, ['connecting', 'portals 1', 'state capturing', 'picture p1']);

  // Text goes out only on an open socket.
  h.stream.send('{"type":"tap"}');
  assert.equal(socket.sent.at(-1), '{"type":"tap"}');

  // A picture of a connection that has since closed is neither shown nor acknowledged on the
  // next connection, which would let that host send ahead of the phone.
  socket.picture('p4');
  socket.drop(1006);
  await h.advance(500);
  const next = await h.grant();
  next.accept();
  h.decodes[2].resolve({ name: 'p4' });
  await settle();
  assert.deepEqual(next.sent, []);
  assert.equal(h.events.at(-1), 'reconnecting 500');
});

test('a portal no longer shared shows no picture, not even one that was being decoded', async () => {
  const h = harness();
  h.stream.open('token');
  const socket = await h.grant();
  socket.accept();
  socket.picture('late');
  socket.picture('later');
  let closed = false;
  socket.text({ type: 'state', state: 'idle', shared: false, streaming: false });
  h.decodes[0].resolve({ name: 'late', close: () => (closed = true) });
  await settle();
  assert.deepEqual(h.events, ['connecting', 'no picture', 'state idle']);
  assert.ok(closed, 'the dropped picture is released');
  assert.deepEqual(socket.sent, [ack], 'the dropped picture is still acknowledged');
  assert.equal(h.decodes.length, 1, 'the waiting one was dropped with it');
});

test('reconnects back off from 0.5 s to 10 s whatever the close code, and reset after a working connection', async () => {
  const h = harness();
  h.stream.open('token');
  const delays = [];
  for (const code of [1006, 1000, 1009, 1011, 1006, 1006, 1006, 1006]) {
    const socket = await h.grant();
    socket.drop(code);
    delays.push(Number(h.events.at(-1).split(' ')[1]));
    await h.advance(delays.at(-1));
  }
  assert.deepEqual(delays, [500, 1000, 2000, 4000, 8000, 10000, 10000, 10000]);

  // A connection that delivered something worked: the next wait starts short again.
  const working = await h.grant();
  working.accept();
  working.text({ type: 'state', state: 'capturing', shared: true, streaming: true });
  working.drop(1001);
  assert.equal(h.events.at(-1), 'reconnecting 500');

  // A refused or failed ticket request is retried the same way.
  await h.advance(500);
  h.tickets.at(-1).resolve({ status: 503, body: {} });
  await settle();
  assert.equal(h.events.at(-1), 'reconnecting 1000');
  await h.advance(1000);
  h.tickets.at(-1).reject(new TypeError('network down'));
  await settle();
  assert.equal(h.events.at(-1), 'reconnecting 2000');
  await h.advance(2000);
  h.tickets.at(-1).resolve({ status: 200, body: {} }); // no ticket in it
  await settle();
  assert.equal(h.events.at(-1), 'reconnecting 4000');
});

test('an attempt that hangs is given up: a ticket that never comes, a socket that never opens', async () => {
  const h = harness();
  h.stream.open('token');
  await h.advance(attemptTimeout);
  assert.equal(h.events.at(-1), 'reconnecting 500');
  // The late answer to the abandoned request opens nothing.
  h.tickets[0].resolve({ status: 200, body: { ticket: 'late' } });
  await settle();
  assert.equal(h.sockets.length, 0);

  await h.advance(500);
  const hanging = await h.grant();
  await h.advance(attemptTimeout);
  assert.ok(hanging.closed);
  assert.equal(h.events.at(-1), 'reconnecting 1000');
  hanging.drop(1006); // its close event arrives later and changes nothing
  assert.equal(h.events.at(-1), 'reconnecting 1000');
});

test('a token the host no longer knows ends the stream without retrying', async () => {
  const h = harness();
  h.stream.open('revoked');
  h.tickets[0].resolve({ status: 401, body: { error: 'unauthorized' } });
  await settle();
  assert.deepEqual(h.events, ['connecting', 'token gone']);
  assert.equal(h.pending(), 0);
  assert.equal(h.sockets.length, 0);
});

test('after stop nothing reconnects, and a late ticket opens nothing', async () => {
  const h = harness();
  h.stream.open('token');
  const socket = await h.grant();
  socket.accept();
  h.stream.stop();
  assert.ok(socket.closed);
  socket.drop(1000);
  assert.equal(h.pending(), 0);
  assert.ok(!h.events.some((event) => event.startsWith('reconnecting')));

  // Stopped while the ticket request is out.
  h.stream.open('token');
  h.stream.stop();
  await h.grant();
  assert.equal(h.sockets.length, 1);
  assert.equal(h.pending(), 0);

  // Opened again while an attempt is under way: one socket only, for the new token.
  h.stream.open('old');
  h.stream.open('new');
  h.tickets.at(-2).resolve({ status: 200, body: { ticket: 'x' } });
  const fresh = await h.grant('y');
  assert.equal(h.sockets.length, 2);
  assert.equal(fresh.url, 'ws://host/ws?ticket=y');
  assert.equal(h.tickets.at(-1).token, 'new');
});

// A picture of part of the portal follows the host's word on which part; the word holds for
// that picture alone, also when it waited behind another decode, and not across connections.
test('a picture shows the part the message before it names, and only that picture', async () => {
  const h = harness();
  h.stream.open('token');
  const socket = await h.grant();
  socket.accept();
  const part = { x: 0.25, y: 0.5, width: 0.5, height: 0.25 };
  socket.text({ type: 'view', ...part });
  socket.picture('zoomed');
  socket.text({ type: 'view', x: 0.5, y: 0, width: 0.6, height: 1 }); // beyond the portal: ignored
  socket.picture('whole');
  h.decodes[0].resolve({ name: 'zoomed' });
  await settle();
  h.decodes[1].resolve({ name: 'whole' });
  await settle();
  socket.text({ type: 'view', ...part });
  socket.drop(1006);
  await h.advance(500);
  const next = await h.grant();
  next.accept();
  next.picture('fresh');
  h.decodes[2].resolve({ name: 'fresh' });
  await settle();
  assert.deepEqual(h.events.filter((e) => e.startsWith('picture')), [
    `picture zoomed of ${JSON.stringify(part)}`, 'picture whole', 'picture fresh',
  ]);
  assert.equal(h.opened.count, 2, 'each connection tells the page it opened, to say what it shows');
});
