// Streaming load check: N phones (ws clients that acknowledge every picture at once) watch the
// demo host's portal at the highest rate the pacing allows. Reports delivered pictures per
// second per phone, the host's CPU time per delivered picture and its memory per session.
// Figures only, no assertions.
//
//   TAVELIN_DEMO=build/release/TavelinHost/tavelin-demo node tests/bench/stream-bench.mjs [seconds]
import { readFileSync } from 'node:fs';
import WebSocket from 'ws';
import { DemoHost, api, freePort } from '../e2e/demo-host.mjs';

const seconds = Number(process.argv[2] ?? 5);
const ticksPerSecond = 100; // USER_HZ on Linux

function hostUsage(pid) {
  const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  const cpu = (Number(fields[11]) + Number(fields[12])) / ticksPerSecond; // utime + stime
  const rss = Number(/VmRSS:\s+(\d+)/.exec(readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);
  return { cpu, rss };
}

async function phone(host, token, index) {
  const { body } = await api(host, 'POST', '/api/ws-ticket', { token });
  // Eight connections per address at most: spread the phones over loopback addresses.
  const socket = new WebSocket(`${host.url.replace('http', 'ws')}/ws?ticket=${body.ticket}`, {
    localAddress: `127.0.0.${2 + Math.floor(index / 8)}`,
  });
  const counter = { pictures: 0, bytes: 0, socket };
  socket.on('message', (data, isBinary) => {
    if (!isBinary) return;
    counter.pictures++;
    counter.bytes += data.length;
    socket.send('{"type":"ack"}');
  });
  await new Promise((resolve, reject) => {
    socket.once('open', resolve);
    socket.once('error', reject);
  });
  return counter;
}

const host = await DemoHost.start({ port: freePort(), requireApproval: false, targetFps: 60 });
try {
  const paired = await api(host, 'POST', '/api/pair', { body: { pin: host.pin, deviceName: 'Bench' } });
  const token = paired.body.token;
  console.log(`tavelin-demo streaming 1280x720 JPEG at up to 60 pictures/s, ${seconds} s per run`);
  for (const n of [1, 4, 16]) {
    const idle = hostUsage(host.process.pid);
    const phones = [];
    for (let i = 0; i < n; i++) phones.push(await phone(host, token, i));
    await new Promise((resolve) => setTimeout(resolve, 500)); // settle
    for (const p of phones) p.pictures = p.bytes = 0;
    const before = hostUsage(host.process.pid);
    await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
    const after = hostUsage(host.process.pid);
    const delivered = phones.reduce((sum, p) => sum + p.pictures, 0);
    const bytes = phones.reduce((sum, p) => sum + p.bytes, 0);
    const perPhone = phones.map((p) => p.pictures / seconds);
    console.log(
      `N=${String(n).padStart(2)}: ${(delivered / seconds / n).toFixed(1)} pictures/s per phone ` +
        `(min ${Math.min(...perPhone).toFixed(1)}), ${(bytes / delivered / 1024).toFixed(0)} KiB each, ` +
        `host CPU ${(((after.cpu - before.cpu) * 1e3) / delivered).toFixed(2)} ms per delivered picture ` +
        `(${(((after.cpu - before.cpu) / seconds) * 100).toFixed(0)}% of a core), ` +
        `memory ${((before.rss - idle.rss) / n).toFixed(0)} KiB per session`,
    );
    for (const p of phones) p.socket.close();
    await new Promise((resolve) => setTimeout(resolve, 500));
  }
} finally {
  await host.stop();
}
