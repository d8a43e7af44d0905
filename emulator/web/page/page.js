// The receiver's page: the live picture from /stream.mjpg drawn on a canvas,
// the remote control, and the state panels from /api/state.
'use strict';

// What tests and curious users can read: frames drawn, and the time from
// each key press to the frame that shows its effect. A key whose effect no
// frame shows (the server marks a frame taken within 300 ms of a key) is not
// counted.
const orvado = window.orvado = { frames: 0, frame: 0, keysInFrame: 0, keyEffect: 0, frameLog: [], latencies: [], syncLog: [], tap: '' };
const pending = [];  // keys sent and not yet seen: {number, t0}

const canvas = document.getElementById('screen');
const ctx = canvas.getContext('2d');
const $ = (id) => document.getElementById(id);

function sleep(ms) { return new Promise((r) => setTimeout(r, ms)); }

function indexOf(buf, pattern, from) {
  outer: for (let i = from; i + pattern.length <= buf.length; i++) {
    for (let j = 0; j < pattern.length; j++) if (buf[i + j] !== pattern[j]) continue outer;
    return i;
  }
  return -1;
}

function settle(now) {
  for (let i = pending.length - 1; i >= 0; i--) {
    const p = pending[i];
    if (p.number && orvado.keyEffect >= p.number) {
      const ms = Math.round(now - p.t0);
      orvado.latencies.push(ms);
      $('latency').textContent = ms + ' ms';
      pending.splice(i, 1);
    } else if ((p.number && orvado.keysInFrame >= p.number) || now - p.t0 > 5000) {
      pending.splice(i, 1);  // the screen moved on without showing this key
    }
  }
}

async function draw(part, headers) {
  const bitmap = await createImageBitmap(new Blob([part], { type: 'image/jpeg' }));
  // With sound on, the sound's clock leads: a picture waits until the sound
  // heard has reached its time (the decoder hands out pictures a little
  // before they are due, and the sound plays a little after it comes).
  const due = Number(headers['x-due'] ?? -1);
  const heard = due >= 0 ? soundHeardMs() : null;
  if (heard !== null && due > heard && due - heard < 1000) await sleep(due - heard);
  ctx.drawImage(bitmap, 0, 0, canvas.width, canvas.height);
  bitmap.close();
  const now = performance.now();
  // Lip sync as a viewer judges it: the sound heard as each picture appears.
  const heardNow = due >= 0 ? soundHeardMs() : null;
  if (heardNow !== null) {
    orvado.syncLog.push({ t: now, ms: Math.round(heardNow - due) });
    if (orvado.syncLog.length > 500) orvado.syncLog.shift();
  }
  orvado.frames++;
  orvado.frame = Number(headers['x-frame'] || 0);
  orvado.keysInFrame = Number(headers['x-key'] || 0);
  orvado.keyEffect = Number(headers['x-key-effect'] || 0);
  orvado.frameLog.push({ frame: orvado.frame, keys: orvado.keysInFrame, effect: orvado.keyEffect, t: now });
  if (orvado.frameLog.length > 500) orvado.frameLog.shift();
  $('screen-note').classList.add('hidden');
  settle(now);
}

// Reads the multipart stream part by part; each part carries its length.
async function stream() {
  const crlf2 = new TextEncoder().encode('\r\n\r\n');
  for (;;) {
    try {
      const res = await fetch('/stream.mjpg', { cache: 'no-store' });
      if (!res.ok) throw new Error('HTTP ' + res.status);
      const reader = res.body.getReader();
      let buf = new Uint8Array(0);
      for (;;) {
        const end = indexOf(buf, crlf2, 0);
        if (end >= 0) {
          const headers = {};
          for (const line of new TextDecoder().decode(buf.subarray(0, end)).split('\r\n')) {
            const colon = line.indexOf(':');
            if (colon > 0) headers[line.slice(0, colon).trim().toLowerCase()] = line.slice(colon + 1).trim();
          }
          const length = Number(headers['content-length']);
          if (!(length > 0)) throw new Error('a part without length');
          if (buf.length >= end + 4 + length) {
            const part = buf.slice(end + 4, end + 4 + length);
            buf = buf.slice(end + 4 + length);
            await draw(part, headers);
            continue;
          }
        }
        const { value, done } = await reader.read();
        if (done) break;
        const grown = new Uint8Array(buf.length + value.length);
        grown.set(buf);
        grown.set(value, buf.length);
        buf = grown;
      }
    } catch (e) {
      console.warn('picture stream:', e);
    }
    if (orvado.tap !== 'offline') $('screen-note').textContent = 'reconnecting…';
    $('screen-note').classList.remove('hidden');
    await sleep(1000);
  }
}

async function post(path, body) {
  const res = await fetch(path, {
    method: 'POST', body,
    headers: body ? { 'Content-Type': 'application/x-www-form-urlencoded' } : {},
  });
  return res;
}

async function press(key) {
  const entry = { number: 0, t0: performance.now() };
  pending.push(entry);
  const button = document.querySelector(`.remote button[data-key="${key}"]`);
  if (button) {
    button.classList.add('pressed');
    setTimeout(() => button.classList.remove('pressed'), 150);
  }
  try {
    const res = await post('/api/key', 'key=' + encodeURIComponent(key));
    if (res.status === 409) showHint('No TAP is running: the key went nowhere. Restart TAP starts it.', 'failed');
    if (!res.ok) throw new Error(await res.text());
    entry.number = (await res.json()).key;
    // The frame may have come before this answer.
    const seen = orvado.frameLog.find((f) => f.effect >= entry.number && f.t >= entry.t0);
    if (seen) {
      const ms = Math.round(seen.t - entry.t0);
      orvado.latencies.push(ms);
      $('latency').textContent = ms + ' ms';
      pending.splice(pending.indexOf(entry), 1);
    }
  } catch (e) {
    pending.splice(pending.indexOf(entry), 1);
    console.warn('key', key, e);
  }
}

for (const button of document.querySelectorAll('.remote button')) {
  button.addEventListener('click', () => press(button.dataset.key));
  // No focus for the keys: Space or Enter would press the last one again.
  button.addEventListener('mousedown', (e) => e.preventDefault());
}

function showHint(text, kind) {
  const bar = $('tap-hint');
  bar.textContent = text;
  bar.className = 'hint-bar ' + (kind || '');
  bar.hidden = !text;
}

// The state's words on the page, and the buttons that can do something in it.
function showTap(state) {
  const pill = $('tap-state');
  pill.textContent = 'TAP ' + state.tap;
  pill.title = state.tapDetail || '';
  pill.className = 'pill ' + state.tap;
  const running = state.tap === 'running';
  if (orvado.tap === 'offline') {
    // Back after an end: what showGone took away works again.
    for (const id of ['tap-restart', 'sound']) $(id).disabled = false;
    $('shot').classList.remove('disabled');
    $('shot').removeAttribute('aria-disabled');
    $('shot').setAttribute('href', '/screenshot.png');
  }
  if (state.tap !== orvado.tap) {
    orvado.tap = state.tap;
    showHint(running ? '' : state.tapDetail, state.tap);
    // A TAP that hangs takes no keys, but Stop TAP ends it.
    $('tap-stop').disabled = !running && state.tap !== 'hangs';
    for (const button of document.querySelectorAll('.remote button')) button.disabled = !running;
  }
}

// The emulator has ended (or cannot be reached): no stale picture, a plain
// word, and nothing enabled that cannot work. It comes back by itself when
// the emulator does (a restart in a new process).
function showGone() {
  if (orvado.tap === 'offline') return;
  orvado.tap = 'offline';
  const pill = $('tap-state');
  pill.textContent = 'emulator ended';
  pill.className = 'pill offline';
  pill.title = '';
  showHint('The emulator has ended or cannot be reached: nothing on this page works until it runs again. Start orvado-emu again; the page comes back by itself.', 'offline');
  ctx.fillStyle = '#000';
  ctx.fillRect(0, 0, canvas.width, canvas.height);
  $('screen-note').textContent = 'the emulator has ended';
  $('screen-note').classList.remove('hidden');
  $('fps').textContent = '–';
  $('latency').textContent = '–';
  for (const id of ['tap-stop', 'tap-restart', 'sound']) $(id).disabled = true;
  $('shot').classList.add('disabled');
  $('shot').setAttribute('aria-disabled', 'true');
  $('shot').removeAttribute('href');
  for (const button of document.querySelectorAll('.remote button')) button.disabled = true;
  showStatus([]);
  showPlay({ playing: false });
}

const keyboard = { Escape: 'exit', Enter: 'ok', ArrowUp: 'up', ArrowDown: 'down', ArrowLeft: 'left', ArrowRight: 'right' };
document.addEventListener('keydown', (e) => {
  if (e.ctrlKey || e.altKey || e.metaKey || e.repeat) return;
  const key = /^[0-9]$/.test(e.key) ? e.key : keyboard[e.key];
  if (!key || orvado.tap === 'offline') return;
  e.preventDefault();
  press(key);
});

$('tap-stop').addEventListener('click', () => post('/api/tap/stop'));
$('tap-restart').addEventListener('click', () => post('/api/tap/restart'));

function kb(bytes) { return bytes < 0 ? '–' : (bytes / 1024).toFixed(0) + ' kB'; }
function mb(bytes) { return (bytes / 1048576).toFixed(1) + ' MB'; }
function base(path) { return path.slice(path.lastIndexOf('/') + 1); }

function showPlay(play) {
  const box = $('play');
  if (!play.playing) {
    box.textContent = 'nothing plays';
    $('play-bar').style.width = '0';
    return;
  }
  box.replaceChildren();
  const rows = [['file', play.file], ['position', mb(play.position) + ' of ' + mb(play.size)], ['streams', play.codec || 'unknown']];
  for (const [k, v] of rows) {
    const line = document.createElement('div');
    const key = document.createElement('span');
    key.className = 'k';
    key.textContent = k;
    line.append(key, v);
    box.append(line);
  }
  $('play-bar').style.width = (play.size ? (100 * play.position) / play.size : 0).toFixed(1) + '%';
}

function showDownloads(list) {
  const body = $('downloads').tBodies[0];
  body.replaceChildren();
  for (const d of list) {
    const files = d.files.length ? d.files : [{ name: '', size: -1 }];
    for (const f of files) {
      const row = body.insertRow();
      row.insertCell().textContent = d.pid;
      row.insertCell().textContent = base(f.name) || '(no file)';
      const size = row.insertCell();
      size.className = 'size';
      size.textContent = kb(f.size);
      const url = row.insertCell();
      url.className = 'url';
      url.textContent = d.url;
      url.title = d.url;
    }
  }
  $('download-count').textContent = list.length;
  $('no-downloads').style.display = list.length ? 'none' : '';
}

// The TAP's last shell commands, newest first, with the end of their error
// output when they failed.
function showShell(list) {
  const box = $('shell');
  box.replaceChildren();
  for (const c of [...list].reverse()) {
    const item = document.createElement('li');
    const result = document.createElement('span');
    result.className = 'result ' + (!c.done ? '' : c.ok ? 'ok' : 'bad');
    result.textContent = c.done ? c.result : 'running';
    const time = document.createElement('span');
    time.className = 'time';
    time.textContent = c.done ? c.seconds.toFixed(2) + ' s' : '';
    const cmd = document.createElement('span');
    cmd.className = 'cmd';
    cmd.textContent = c.command;
    item.append(result, time, cmd);
    const tail = c.errorTail.trimEnd().split('\n').slice(-6).join('\n');
    if (tail && !c.ok) {
      const pre = document.createElement('pre');
      pre.textContent = tail;
      item.append(pre);
    }
    box.append(item);
  }
  $('no-shell').style.display = list.length ? 'none' : '';
}

// The TAP's status column, oldest first, as its console lines report it;
// empty while no TAP runs.
function showStatus(texts) {
  const box = $('status');
  const shown = [...box.children].map((item) => item.textContent);
  if (shown.length === texts.length && shown.every((text, i) => text === texts[i])) return;
  box.replaceChildren(...texts.map((text) => {
    const item = document.createElement('li');
    item.textContent = text;
    return item;
  }));
}

let consoleNext = 0;
function showConsole(c) {
  const box = $('console');
  const atEnd = box.scrollTop + box.clientHeight >= box.scrollHeight - 4;
  for (const text of c.lines) {
    const line = document.createElement('div');
    line.textContent = text;
    if (text.startsWith('receiver:')) line.className = 'receiver';
    box.append(line);
  }
  while (box.childElementCount > 2000) box.firstElementChild.remove();
  consoleNext = c.next;
  if (atEnd) box.scrollTop = box.scrollHeight;
}

async function poll() {
  for (;;) {
    try {
      const res = await fetch('/api/state?since=' + consoleNext, { cache: 'no-store' });
      const state = await res.json();
      showTap(state);
      $('fps').textContent = state.fps;
      showPlay(state.play);
      showDownloads(state.downloads);
      showShell(state.shell);
      showStatus(state.tap === 'running' ? state.status : []);
      showConsole(state.console);
    } catch (e) {
      showGone();
    }
    await sleep(400);
  }
}

// The player's sound, off until the user turns it on (browsers allow sound
// only after a gesture). Each record of /audio.pcm is played as it comes,
// a little ahead (kLead) to ride over the gaps between records; the picture
// comes as soon as it is taken, so both keep the stream's own timing.
const kLead = 0.1;  // seconds: room for a picture that comes late
const sound = orvado.sound = { ctx: null, abort: null, next: 0, played: [], chunks: 0, dropped: 0 };

async function listen() {
  const ctl = new AbortController();
  sound.abort = ctl;
  const res = await fetch('/audio.pcm', { cache: 'no-store', signal: ctl.signal });
  const reader = res.body.getReader();
  let buf = new Uint8Array(0);
  for (;;) {
    const { value, done } = await reader.read();
    if (done) break;
    const grown = new Uint8Array(buf.length + value.length);
    grown.set(buf);
    grown.set(value, buf.length);
    buf = grown;
    while (buf.length >= 12) {
      const view = new DataView(buf.buffer, buf.byteOffset, buf.byteLength);
      const frames = view.getUint32(0, true);
      const due = Number(view.getBigInt64(4, true));
      if (buf.length < 12 + frames * 4) break;
      play(new Int16Array(buf.slice(12, 12 + frames * 4).buffer), frames, due);
      buf = buf.slice(12 + frames * 4);
    }
  }
}

function play(pcm, frames, due) {
  const ctx = sound.ctx;
  if (!ctx || frames === 0) return;
  const buffer = ctx.createBuffer(2, frames, 48000);
  const left = buffer.getChannelData(0), right = buffer.getChannelData(1);
  for (let i = 0; i < frames; i++) {
    left[i] = pcm[2 * i] / 32768;
    right[i] = pcm[2 * i + 1] / 32768;
  }
  const now = ctx.currentTime;
  // Behind (a stall): start anew. Far ahead (sound came faster than it
  // plays): leave this piece out rather than play over what is queued.
  if (sound.next < now + 0.01) sound.next = now + kLead;
  if (sound.next > now + kLead + 0.15) {
    sound.dropped++;
    return;
  }
  const source = ctx.createBufferSource();
  source.buffer = buffer;
  source.connect(ctx.destination);
  source.start(sound.next);
  sound.played.push({ start: sound.next, end: sound.next + frames / 48000, due });
  if (sound.played.length > 200) sound.played.shift();
  sound.next += frames / 48000;
  sound.chunks++;
}

// The stream time (ms of the emulator's clock) of the sound heard now, or
// null while none plays.
function soundHeardMs() {
  const ctx = sound.ctx;
  if (!ctx) return null;
  const t = ctx.currentTime - (ctx.outputLatency || ctx.baseLatency || 0);
  const p = sound.played.find((c) => c.start <= t && t < c.end);
  return p ? p.due + (t - p.start) * 1000 : null;
}

$('sound').addEventListener('click', async () => {
  const button = $('sound');
  if (sound.ctx) {
    sound.abort?.abort();
    await sound.ctx.close();
    sound.ctx = null;
    button.textContent = 'Sound off';
    button.setAttribute('aria-pressed', 'false');
    return;
  }
  sound.ctx = new AudioContext({ sampleRate: 48000, latencyHint: 'interactive' });
  sound.next = 0;
  button.textContent = 'Sound on';
  button.setAttribute('aria-pressed', 'true');
  listen().catch((e) => { if (e.name !== 'AbortError') console.warn('sound:', e); });
});

$('fullscreen').addEventListener('click', () => canvas.requestFullscreen().catch((e) => console.warn('fullscreen:', e)));

stream();
poll();
