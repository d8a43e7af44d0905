// The web front end against slow clients: 200 connections that send their
// request one header line every 4 seconds, for 20 seconds, opened again as
// soon as the front end cuts them, while a normal client asks for
// /api/state every 100 ms; each of its answers must come within 200 ms.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import { after, before, test } from 'node:test';
import { makeTemplate, sleep, startEmulator, stop } from './harness.mjs';

let emulator, template;
const kSlow = 200, kSeconds = 20, kLimitMs = 200;

before(async () => {
  template = makeTemplate('http://127.0.0.1:9/none.m3u8');
  emulator = await startEmulator(template);
});

after(async () => {
  const code = await stop(emulator);
  fs.rmSync(template, { recursive: true, force: true });
  assert.equal(code, 0, 'Ctrl-C ends the emulator cleanly\n' + emulator.output.slice(-1500));
});

// One request over a connection of its own, timed from connect to answer.
function timedState() {
  return new Promise((resolve) => {
    const t0 = performance.now();
    const socket = net.connect(emulator.port, '127.0.0.1');
    let reply = '';
    socket.setTimeout(5000, () => { socket.destroy(); resolve({ ms: performance.now() - t0, status: 0 }); });
    socket.on('error', () => resolve({ ms: performance.now() - t0, status: 0 }));
    socket.on('close', () => resolve({ ms: performance.now() - t0, status: 0 }));
    socket.on('data', (d) => {
      reply += d;
      const m = reply.match(/^HTTP\/1\.1 (\d{3})[^]*?\r\n\r\n/);
      if (m && /"console":/.test(reply)) { socket.destroy(); resolve({ ms: performance.now() - t0, status: Number(m[1]) }); }
    });
    socket.write(`GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:${emulator.port}\r\nConnection: close\r\n\r\n`);
  });
}

test('200 slow clients for 20 s do not hold up a normal client', async () => {
  const end = Date.now() + kSeconds * 1000;
  const stats = { opened: 0, cut: 0, open: 0, maxOpen: 0, answered: 0 };
  const sockets = new Set();
  const slowClient = () => {
    if (Date.now() >= end) return;
    const socket = net.connect(emulator.port, '127.0.0.1');
    stats.opened++;
    sockets.add(socket);
    let line = 0;
    const timer = setInterval(() => socket.write(`X-Slow-${line++}: ${'x'.repeat(10)}\r\n`), 4000);
    let connected = false;
    socket.on('connect', () => {
      connected = true;
      stats.open++;
      stats.maxOpen = Math.max(stats.maxOpen, stats.open);
      socket.write(`GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:${emulator.port}\r\n`);
    });
    socket.on('data', () => { stats.answered++; });
    socket.on('error', () => {});
    socket.on('close', () => {
      clearInterval(timer);
      sockets.delete(socket);
      if (connected) stats.open--;
      stats.cut++;
      setTimeout(slowClient, 50);  // at once again
    });
  };
  for (let i = 0; i < kSlow; i++) slowClient();
  await sleep(500);  // all of them connected

  const times = [];
  let failed = 0;
  while (Date.now() < end) {
    const r = await timedState();
    times.push(r.ms);
    if (r.status !== 200) failed++;
    await sleep(100);
  }
  for (const socket of sockets) socket.destroy();
  times.sort((a, b) => a - b);
  const figures = {
    requests: times.length, failed, medianMs: +times[times.length >> 1].toFixed(1),
    p99Ms: +times[Math.floor(times.length * 0.99)].toFixed(1), maxMs: +times[times.length - 1].toFixed(1),
    slowConnectionsOpened: stats.opened, slowConnectionsCut: stats.cut, slowMostOpenAtOnce: stats.maxOpen,
  };
  console.log('figures: ' + JSON.stringify(figures));
  assert.equal(failed, 0, JSON.stringify(figures));
  assert.ok(figures.maxMs < kLimitMs, JSON.stringify(figures));
  assert.ok(times.length > kSeconds * 3, 'the normal client asked all along');
});
