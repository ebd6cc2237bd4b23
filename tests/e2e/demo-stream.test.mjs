// The demo host end to end, with a real third-party WebSocket client.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { DemoHost, api, ask, freePort, nextMessage, openStream } from './demo-host.mjs';

test('a phone pairs, streams paced pictures, sends input and switches portals', async () => {
  const host = await DemoHost.start({ port: freePort(), requireApproval: false, targetFps: 30 });
  try {
    const paired = await api(host, 'POST', '/api/pair', { body: { pin: host.pin, deviceName: 'Node phone' } });
    assert.equal(paired.status, 200);
    await host.waitFor((l) => l === `PAIRED ${paired.body.deviceId} Node phone`);

    const { socket, portals, state } = await openStream(host, paired.body.token);
    await host.waitFor((l) => l === `CONNECTED ${paired.body.deviceId}`);
    assert.equal(portals.items.length, 2);
    assert.equal(portals.currentPortalId, portals.items[0].id);
    assert.equal(state.state, 'capturing');
    assert.equal(state.streaming, true);
    assert.equal(state.portalId, portals.items[0].id);

    // Acknowledged pictures keep coming; each is one whole JPEG.
    let pictures = 0;
    await new Promise((resolve) => {
      socket.on('message', (data, isBinary) => {
        if (!isBinary) return;
        assert.equal(data[0], 0xff);
        assert.equal(data[1], 0xd8);
        assert.equal(data.at(-2), 0xff);
        assert.equal(data.at(-1), 0xd9);
        socket.send(JSON.stringify({ type: 'ack' }));
        if (++pictures === 10) resolve();
      });
    });

    socket.send(JSON.stringify({ type: 'tap', x: 0.25, y: 0.5 }));
    const input = await host.waitFor((l) => l.startsWith('INPUT '));
    assert.deepEqual(JSON.parse(input.slice(6)), { type: 'tap', x: 0.25, y: 0.5, dx: 0, dy: 0 });
    // Replayed at the mapped point of the 1280 x 720 demo portal.
    await host.waitFor((l) => l === 'EVENT mouse 1 b0 c1 @320,360');
    await host.waitFor((l) => l === 'EVENT mouse 2 b0 c1 @320,360');
    assert.ok(!host.lines.some((l) => l.includes('"ack"')), 'acks never reach the host');

    const second = portals.items[1].id;
    const switched = nextMessage(socket, (m, binary) => !binary && m.type === 'state' && m.portalId === second);
    socket.send(JSON.stringify({ type: 'selectportal', portalId: second }));
    assert.equal((await switched).portalName, 'Demo clock');

    socket.close();
    await host.waitFor((l) => l === `DISCONNECTED ${paired.body.deviceId}`);

    // Back again: the phone returns to the portal it watched last.
    const again = await openStream(host, paired.body.token);
    assert.equal(again.portals.currentPortalId, second);
    assert.equal(again.state.portalId, second);
    again.socket.close();
  } finally {
    assert.deepEqual(await host.stop(), { code: 0, signal: null });
  }
});

test('with approval required the host user allows or denies each phone', async () => {
  const host = await DemoHost.start({ port: freePort(), requireApproval: true });
  try {
    const asked = await api(host, 'POST', '/api/pair', { body: { pin: host.pin, deviceName: 'Tablet\u0007' } });
    assert.equal(asked.status, 202);
    assert.equal(asked.body.status, 'pending');
    const request = await host.waitFor((l) => l.startsWith('REQUEST '));
    assert.equal(request, `REQUEST ${asked.body.requestId} Tablet`);
    assert.equal((await api(host, 'GET', `/api/pair-status?requestId=${asked.body.requestId}`)).body.status, 'pending');

    host.command(`allow ${asked.body.requestId}`);
    let status;
    for (let i = 0; i < 50; i++) {
      status = (await api(host, 'GET', `/api/pair-status?requestId=${asked.body.requestId}`)).body;
      if (status.status !== 'pending') break;
      await new Promise((resolve) => setTimeout(resolve, 100));
    }
    assert.equal(status.status, 'approved');
    assert.equal(status.deviceName, 'Tablet');
    const { socket } = await openStream(host, status.token);
    socket.close();

    const refused = await api(host, 'POST', '/api/pair', { body: { pin: host.pin, deviceName: 'Stranger' } });
    const line = await host.waitFor((l) => l.startsWith('REQUEST ') && l.endsWith('Stranger'));
    host.command(`deny ${line.split(' ')[1]}`);
    for (let i = 0; i < 50; i++) {
      status = (await api(host, 'GET', `/api/pair-status?requestId=${refused.body.requestId}`)).body;
      if (status.status !== 'pending') break;
      await new Promise((resolve) => setTimeout(resolve, 100));
    }
    assert.equal(status.status, 'denied');

    const before = host.pin;
    host.command('pin');
    await host.waitFor((l) => l.startsWith('PIN ') && l !== `PIN ${before}`);
  } finally {
    host.process.kill('SIGTERM');
    assert.deepEqual(await host.stop(), { code: 0, signal: null });
  }
});

test('a stopped portal is no longer streamed, listed or chosen until it is started again', async () => {
  const host = await DemoHost.start({ port: freePort(), requireApproval: false, targetFps: 30 });
  try {
    const paired = await api(host, 'POST', '/api/pair', { body: { pin: host.pin, deviceName: 'Node phone' } });
    const { socket, portals } = await openStream(host, paired.body.token);
    const [watched, other] = portals.items.map((item) => item.id);
    let pictures = 0;
    socket.on('message', (data, isBinary) => {
      if (!isBinary) return;
      pictures++;
      socket.send(JSON.stringify({ type: 'ack' }));
    });
    assert.deepEqual((await ask(host, 'portals')).slice(1).map((l) => l.split(' ').at(-1)), ['(shared)', '(shared)']);

    const told = nextMessage(socket, (m, binary) => !binary && m.type === 'state' && m.portalId === watched && !m.shared);
    const listed = nextMessage(socket, (m, binary) => !binary && m.type === 'portals');
    assert.deepEqual(await ask(host, `stop ${watched}`), ['OK']);
    assert.equal((await told).statusText, 'Not shared');
    const list = await listed;
    assert.deepEqual(list.items.map((item) => item.id), [other]);
    assert.equal(list.currentPortalId, undefined);
    // Nothing of it comes after: an acknowledgement would release a waiting picture before the
    // pong to the ping that follows it.
    const before = pictures;
    socket.send(JSON.stringify({ type: 'ack' }));
    await new Promise((resolve) => {
      socket.once('pong', resolve);
      socket.ping();
    });
    assert.equal(pictures, before);

    // Asked for anyway: a clear answer and the list, never pictures.
    const refused = nextMessage(socket, (m, binary) => !binary && m.type === 'state' && m.portalId === watched);
    socket.send(JSON.stringify({ type: 'selectportal', portalId: watched }));
    assert.equal((await refused).shared, false);
    assert.equal(pictures, before);

    assert.deepEqual(await ask(host, `start ${watched}`), ['OK']);
    const back = nextMessage(socket, (m, binary) => !binary && m.type === 'state' && m.portalId === watched && m.streaming);
    socket.send(JSON.stringify({ type: 'selectportal', portalId: watched }));
    await back;

    const nothing = nextMessage(socket, (m, binary) => !binary && m.type === 'portals' && m.items.length === 0);
    assert.deepEqual(await ask(host, 'stop all'), ['OK']);
    await nothing;
    assert.match((await ask(host, 'stop 5A1D0C4E-0000-4000-8000-00000000dead'))[0], /^ERROR no portal/);
    assert.match((await ask(host, 'start nothing'))[0], /^ERROR no portal nothing/);
    socket.close();
  } finally {
    assert.deepEqual(await host.stop(), { code: 0, signal: null });
  }
});

test('a second host on the same data folder refuses to start and says why', async () => {
  const host = await DemoHost.start({ port: freePort(), requireApproval: false });
  try {
    const second = new DemoHost({ port: freePort() }, host.dataHome);
    await second.waitFor((l) => l.startsWith(`LOG [Host] Cannot start: another Tavelin host (process ${host.process.pid}) is using `));
    assert.deepEqual(await second.exited, { code: 1, signal: null });
    // The first one goes on undisturbed.
    assert.equal((await api(host, 'POST', '/api/pair', { body: { pin: host.pin, deviceName: 'Still' } })).status, 200);
  } finally {
    assert.deepEqual(await host.stop(), { code: 0, signal: null });
  }
});
