// The web front end at the HTTP level: requests that another web page could
// send (foreign Host or Origin) are refused, malformed requests get 400, and
// none of it stops or blocks the emulator.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import { after, before, test } from 'node:test';
import { spawn } from 'node:child_process';
import os from 'node:os';
import path from 'node:path';
import { buildDir, makeTemplate, startEmulator, stop, until } from './harness.mjs';

let emulator, template;

// Sends raw bytes and resolves with the status code of the answer (0 when the
// connection closes without one).
function raw(bytes, { keepOpen = false } = {}) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(emulator.port, '127.0.0.1');
    let reply = '';
    socket.setTimeout(10000, () => { socket.destroy(); reject(new Error('no answer to ' + JSON.stringify(bytes.slice(0, 60)))); });
    socket.on('data', (d) => {
      reply += d;
      const m = reply.match(/^HTTP\/1\.[01] (\d{3})/);
      if (m) { socket.destroy(); resolve(Number(m[1])); }
    });
    socket.on('error', () => resolve(0));
    socket.on('close', () => resolve(0));
    socket.write(bytes);
    if (keepOpen) resolve(socket);
  });
}

const host = () => `127.0.0.1:${emulator.port}`;
const request = (line, headers = {}) =>
  raw(`${line}\r\n${Object.entries({ Host: host(), Connection: 'close', ...headers }).map(([k, v]) => `${k}: ${v}\r\n`).join('')}\r\n`);
const keysTaken = async () => (await (await fetch(emulator.url + 'api/state')).json()).keys;

before(async () => {
  // No channel plays here: a template whose channel 1 points at a closed port.
  template = makeTemplate('http://127.0.0.1:9/none.m3u8');
  emulator = await startEmulator(template);
});

after(async () => {
  const code = await stop(emulator);
  fs.rmSync(template, { recursive: true, force: true });
  assert.equal(code, 0, 'Ctrl-C ends the emulator cleanly\n' + emulator.output.slice(-1500));
});

test('only this front end\'s own names are served', async () => {
  const port = emulator.port;
  for (const good of [`127.0.0.1:${port}`, `localhost:${port}`, `LOCALHOST:${port}`])
    assert.equal(await request('GET /api/state HTTP/1.1', { Host: good }), 200, good);
  // A site whose name points at 127.0.0.1, another port, a look-alike name.
  for (const bad of [`evil.example:${port}`, `127.0.0.1:${port + 1}`, `127.0.0.1.evil.example:${port}`, '127.0.0.1', `localhost.:${port}`])
    assert.equal(await request('GET / HTTP/1.1', { Host: bad }), 403, bad);
  assert.equal(await raw('GET / HTTP/1.0\r\n\r\n'), 400, 'a request without Host');
});

test('another page cannot press keys, stop the TAP or read the state', async () => {
  const before = await keysTaken();
  for (const origin of ['http://evil.example', `http://evil.example:${emulator.port}`, `https://127.0.0.1:${emulator.port}`, 'null']) {
    const headers = { Origin: origin, 'Content-Type': 'application/x-www-form-urlencoded', 'Content-Length': '5' };
    assert.equal(await raw(`POST /api/key HTTP/1.1\r\n${Object.entries({ Host: host(), ...headers }).map(([k, v]) => `${k}: ${v}\r\n`).join('')}\r\nkey=1`), 403, origin);
    assert.equal(await request('POST /api/tap/stop HTTP/1.1', { Origin: origin, 'Content-Length': '0' }), 403, origin);
    assert.equal(await request('GET /api/state HTTP/1.1', { Origin: origin }), 403, origin);
  }
  const state = await (await fetch(emulator.url + 'api/state')).json();
  assert.equal(state.keys, before, 'no refused key reached the TAP');
  assert.equal(state.tap, 'running');
  // The page's own origin is fine; keys go only by POST.
  const own = await fetch(emulator.url + 'api/key', { method: 'POST', headers: { Origin: `http://127.0.0.1:${emulator.port}` }, body: new URLSearchParams({ key: 'ok' }) });
  assert.equal(own.status, 200);
  assert.equal(await request('GET /api/key?key=1 HTTP/1.1'), 404);
});

test('the live picture sends nothing while the screen stands still', async () => {
  await until('a still screen', async () => (await (await fetch(emulator.url + 'api/state')).json()).fps === 0, 15000, 250);
  const ctl = new AbortController();
  const res = await fetch(emulator.url + 'stream.mjpg', { signal: ctl.signal });
  assert.match(res.headers.get('content-type'), /^multipart\/x-mixed-replace; boundary=/);
  const reader = res.body.getReader();
  let text = '';
  const end = Date.now() + 1500;
  while (Date.now() < end) {
    const chunk = await Promise.race([reader.read(), new Promise((r) => setTimeout(() => r(null), end - Date.now()))]);
    if (!chunk || chunk.done) break;
    text += Buffer.from(chunk.value).toString('latin1');
  }
  ctl.abort();
  assert.equal(text.match(/\r\nX-Frame: /g)?.length, 1, 'only the picture as it stands');
});

test('malformed requests are refused and the emulator goes on', async () => {
  const slow = await raw(`GET /api/state HTTP/1.1\r\nHost: ${host()}\r\n`, { keepOpen: true });  // never finished
  // Bytes that are no request at all: an answer of 400, or the connection
  // closed (at the latest when the gate's time for a request is up).
  for (const junk of ['\x00\x01\x02 garbage\r\n\r\n', 'GET\r\n\r\n'])
    assert.ok([0, 400].includes(await raw(junk)), JSON.stringify(junk));
  const h = `Host: ${host()}\r\n`;
  for (const [bad, codes] of [
    [`GET / HTTP/9.9\r\n${h}\r\n`, [400, 505]], [`FROB / HTTP/1.1\r\n${h}\r\n`, [400, 501]],
    [`GET / HTTP/1.1\r\n${h}Host: evil.example\r\n\r\n`, [400]],
    [`POST /api/key HTTP/1.1\r\n${h}Origin: http://${host()}\r\nOrigin: http://evil.example\r\nContent-Length: 5\r\n\r\nkey=1`, [400]],
    [`POST /api/key HTTP/1.1\r\n${h}Content-Length: abc\r\n\r\nkey=1`, [400]],
    [`POST /api/key HTTP/1.1\r\n${h}Transfer-Encoding: chunked\r\n\r\nzz\r\nkey=1\r\n0\r\n\r\n`, [400]],
    [`GET / HTTP/1.1\r\n${h}X-Long: ${'a'.repeat(20000)}\r\n\r\n`, [400, 431]],
    [`GET /api/state?since=%zz HTTP/1.1\r\n${h}\r\n`, [400]],
  ]) assert.ok(codes.includes(await raw(bad)), JSON.stringify(bad.slice(0, 80)));
  assert.equal(await raw(`GET /${'a'.repeat(20000)} HTTP/1.1\r\nHost: ${host()}\r\n\r\n`) >= 400, true, 'a huge request line');
  assert.equal(await request('GET /api/state?since=-1 HTTP/1.1'), 400);
  assert.equal(await request('GET /api/state?since=12x HTTP/1.1'), 400);
  // A POST without a length is not waited for.
  const t0 = Date.now();
  assert.equal(await request('POST /api/key HTTP/1.1'), 411);
  assert.ok(Date.now() - t0 < 1000, `411 after ${Date.now() - t0} ms`);
  for (const body of ['', 'key=', 'key=launch', 'key=' + 'x'.repeat(300), 'key=%zz', 'key=0x1FFFFFFFF']) {
    const res = await fetch(emulator.url + 'api/key', { method: 'POST', body, headers: { 'Content-Type': 'application/x-www-form-urlencoded' } });
    assert.equal(res.status, 400, JSON.stringify(body));
  }
  const big = await fetch(emulator.url + 'api/key', { method: 'POST', body: 'key=1&' + 'p'.repeat(200000), headers: { 'Content-Type': 'application/x-www-form-urlencoded' } }).then((r) => r.status, () => 413);
  assert.ok(big >= 400, 'an oversized body is refused');

  // Still running, still taking keys, while the unfinished request waits.
  const before = await keysTaken();
  const res = await fetch(emulator.url + 'api/key', { method: 'POST', body: new URLSearchParams({ key: '5' }) });
  assert.equal(res.status, 200);
  const state = await until('the key at the TAP', async () => {
    const s = await (await fetch(emulator.url + 'api/state')).json();
    return s.console.lines.some((l) => /key 0x10005 .*\(5\)$/.test(l)) && s;
  }, 5000);
  assert.equal(state.tap, 'running');
  assert.ok(state.keys > before);
  slow.destroy();
});

test('a second emulator on the same port is refused with status 1', async () => {
  const second = spawn(path.join(buildDir, 'orvado-emu'),
    ['--template', template, '--web', `127.0.0.1:${emulator.port}`, path.join(buildDir, 'Orvado.tap')], { stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  second.stdout.on('data', (d) => { output += d; });
  second.stderr.on('data', (d) => { output += d; });
  const code = await new Promise((resolve) => {
    const timer = setTimeout(() => { second.kill('SIGKILL'); resolve('still running'); }, 15000);
    second.on('exit', (c) => { clearTimeout(timer); resolve(c); });
  });
  assert.equal(code, 1, output);
  assert.match(output, new RegExp(`cannot listen on 127\\.0\\.0\\.1:${emulator.port} \\(in use`), output);
  // Every request still reaches the first one.
  for (let i = 0; i < 6; i++) assert.equal((await fetch(emulator.url + 'api/state')).status, 200);
});

test('the browser\'s own request for an icon gets an answer', async () => {
  const res = await fetch(emulator.url + 'favicon.ico');
  assert.ok(res.status === 204 || (res.status === 200 && /^image\//.test(res.headers.get('content-type'))), String(res.status));
});

test('a failing channel\'s shell command shows with its status and error output', async () => {
  // Exit first: an earlier digit may have left the TAP streaming.
  for (const key of ['exit', '1']) {
    const res = await fetch(emulator.url + 'api/key', { method: 'POST', body: new URLSearchParams({ key }) });
    assert.equal(res.status, 200);
  }
  let last;
  const failed = await until('the failed playlist fetch in the state', async () => {
    const s = last = await (await fetch(emulator.url + 'api/state')).json();
    return s.shell.find((c) => /wget .*127\.0\.0\.1:9\/none\.m3u8/.test(c.command) && c.done);
  }, 15000).catch((e) => { throw new Error(e.message + '\n' + JSON.stringify(last?.shell) + JSON.stringify(last?.console.lines.slice(-10))); });
  assert.equal(failed.ok, false);
  assert.equal(failed.result, 'exit 4', 'wget\'s network failure');
  assert.match(failed.errorTail, /Connection refused/);
});

test('a TAP that crashes leaves the page serving and says so', async () => {
  const crashing = await startEmulator(template, [], path.join(buildDir, 'tests/crashing_tap.tap'));
  try {
    const key = await fetch(crashing.url + 'api/key', { method: 'POST', body: new URLSearchParams({ key: 'red' }) });
    assert.equal(key.status, 200);
    const state = await until('the crashed state', async () => {
      const s = await (await fetch(crashing.url + 'api/state')).json();
      return s.tap === 'crashed' && s;
    }, 10000);
    assert.match(state.tapDetail, /Segmentation fault in its event handler .*Restart TAP/);
    const refused = await fetch(crashing.url + 'api/key', { method: 'POST', body: new URLSearchParams({ key: 'ok' }) });
    assert.equal(refused.status, 409, 'no keys for a crashed TAP');
    await fetch(crashing.url + 'api/tap/restart', { method: 'POST' });
    await until('the TAP running again', async () => (await (await fetch(crashing.url + 'api/state')).json()).tap === 'running', 10000);
  } finally {
    assert.equal(await stop(crashing), 0, crashing.output.slice(-1500));
  }
});

test('a TAP that hangs is reported, and Stop and Restart work', async () => {
  const hanging = await startEmulator(template, ['--watchdog', '1s'], path.join(buildDir, 'tests/crashing_tap.tap'));
  try {
    const state = async () => (await fetch(hanging.url + 'api/state')).json();
    assert.equal((await fetch(hanging.url + 'api/key', { method: 'POST', body: new URLSearchParams({ key: 'green' }) })).status, 200);
    const hangs = await until('the hung state', async () => { const s = await state(); return s.tap === 'hangs' && s; }, 10000);
    assert.match(hangs.tapDetail, /Crashing \(crashing_tap\.tap\) has not returned from its event handler \(event 0x100, 0x10024, key green\)/);
    assert.ok(hangs.console.lines.some((l) => /spinForEver/.test(l)), 'the stack on the console');
    const refused = await fetch(hanging.url + 'api/key', { method: 'POST', body: new URLSearchParams({ key: 'ok' }) });
    assert.equal(refused.status, 409, 'no keys for a hung TAP');
    assert.equal((await fetch(hanging.url + 'api/tap/stop', { method: 'POST' })).status, 200);
    const stopped = await until('the TAP ended', async () => { const s = await state(); return s.tap === 'hung' && s; }, 10000);
    assert.match(stopped.tapDetail, /Restart TAP starts it afresh on a fresh receiver in a new process/);
    // The process that answers may end before its answer is out: the fresh
    // TAP below is what counts.
    await fetch(hanging.url + 'api/tap/restart', { method: 'POST' }).catch(() => {});
    const fresh = await until('the TAP running again', async () => {
      try { const s = await state(); return s.tap === 'running' && s; } catch { return false; }  // the new process starts
    }, 15000);
    assert.ok(fresh.console.lines.some((l) => /a fresh receiver in a new process/.test(l)), JSON.stringify(fresh.console.lines));
  } catch (e) {
    // A failed stop below must not hide why.
    await stop(hanging);
    throw e;
  }
  assert.equal(await stop(hanging), 0, hanging.output.slice(-1500));
});

test('Ctrl-C as a hung TAP restarts ends the emulator, not the restart', async () => {
  // The signal lands while one sandbox ends and the next begins; a few tries
  // hit that moment.
  for (let round = 0; round < 3; round++) {
    const emu = await startEmulator(template, ['--watchdog', '1s'], path.join(buildDir, 'tests/crashing_tap.tap'));
    await fetch(emu.url + 'api/key', { method: 'POST', body: new URLSearchParams({ key: 'green' }) });
    await until('the hung state', async () => (await (await fetch(emu.url + 'api/state')).json()).tap === 'hangs', 10000);
    fetch(emu.url + 'api/tap/restart', { method: 'POST' }).catch(() => {});
    const ended = await stop(emu, 'SIGINT', 8000);
    assert.ok(!String(ended).startsWith('still running'), `round ${round}: ${ended}`);
  }
});

test('a TAP file overwritten in place restarts as the new one', async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'orvado-tap-'));
  const tap = path.join(dir, 'dev.tap');
  fs.copyFileSync(path.join(buildDir, 'tests/crashing_tap.tap'), tap);
  const emu = await startEmulator(template, [], tap);
  try {
    // The page's address comes before the TAP is loaded.
    await until('the first TAP running', async () => (await (await fetch(emu.url + 'api/state')).json()).tap === 'running', 10000);
    // In place, as `cp new.tap dev.tap` does: the same file, new bytes.
    fs.writeFileSync(tap, fs.readFileSync(path.join(buildDir, 'tests/needy_tap.tap')));
    await fetch(emu.url + 'api/tap/restart', { method: 'POST' });
    const s = await until('the new TAP running', async () => {
      const s = await (await fetch(emu.url + 'api/state')).json();
      return s.tap === 'running' && s.console.lines.some((l) => /needy_tap|dev\.tap needs .*libstdc\+\+/.test(l)) && s;
    }, 10000);
    assert.ok(s);
  } finally {
    assert.equal(await stop(emu), 0, emu.output.slice(-1500));
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('the state is valid UTF-8 when the receiver\'s console carries 8-bit text', async () => {
  const latin = makeTemplate('http://127.0.0.1:9/caf\u00e9.m3u8');
  // The channel list in the receiver's 8-bit text: é is the byte 0xE9.
  const ini = path.join(latin, 'ProgramFiles/orvado.ini');
  fs.writeFileSync(ini, Buffer.from(fs.readFileSync(ini, 'utf8'), 'latin1'));
  const emu = await startEmulator(latin);
  try {
    assert.equal((await fetch(emu.url + 'api/key', { method: 'POST', body: new URLSearchParams({ key: '1' }) })).status, 200);
    const line = await until('the failed fetch on the console', async () => {
      const bytes = Buffer.from(await (await fetch(emu.url + 'api/state')).arrayBuffer());
      const text = new TextDecoder('utf-8', { fatal: true }).decode(bytes);  // throws on invalid UTF-8
      return JSON.parse(text).console.lines.find((l) => /fetch failed: http:\/\/127\.0\.0\.1:9\/caf/.test(l));
    }, 15000);
    assert.match(line, /caf\u00e9\.m3u8/);
  } finally {
    assert.equal(await stop(emu), 0, emu.output.slice(-1500));
    fs.rmSync(latin, { recursive: true, force: true });
  }
});
