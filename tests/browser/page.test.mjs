// The receiver in a real browser: Debian's chromium opens the page, sees the
// menu, starts the live channel with the remote control, watches the picture
// move, stops it with the keyboard, and stops and restarts the TAP. It writes
// the page's screenshots and its figures (key-to-picture latency, frames per
// second during playback) into out/.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { buildDir, launchBrowser, makeTemplate, outDir, sleep, startEmulator, startSource, stop, until } from './harness.mjs';

let source, emulator, browser, page, template;
const figures = {};

// What the canvas shows, from its pixels: the menu's grey rows and their
// text, the status box in the top-left corner, the picture on the right, and
// a hash to tell frames apart.
function look() {
  return page.evaluate(() => {
    const d = document.getElementById('screen').getContext('2d').getImageData(0, 0, 720, 576).data;
    const lum = (x, y) => { const i = (y * 720 + x) * 4; return (d[i] * 299 + d[i + 1] * 587 + d[i + 2] * 114) / 1000; };
    const share = (x0, y0, x1, y1, test) => {
      let n = 0, t = 0;
      for (let y = y0; y < y1; y += 2) for (let x = x0; x < x1; x += 2) { t++; if (test(lum(x, y))) n++; }
      return n / t;
    };
    let hash = 0;
    for (let i = 0; i < d.length; i += 4 * 97) hash = (hash * 31 + d[i] + d[i + 1] * 3 + d[i + 2] * 7) >>> 0;
    return {
      menuRows: share(22, 124, 248, 306, (l) => l > 8 && l < 45),
      menuText: share(22, 124, 248, 306, (l) => l > 150),
      status: share(20, 4, 120, 24, (l) => l > 20),
      picture: share(300, 60, 700, 540, (l) => l > 30),
      hash,
      frames: window.orvado.frames,
    };
  });
}

const isMenu = (v) => v.menuRows > 0.5 && v.menuText > 0.01 && v.picture < 0.02;
// The texts of the page's status column, which mirrors the TAP's.
const statusTexts = () => page.$$eval('#status li', (items) => items.map((item) => item.textContent));

before(async () => {
  fs.mkdirSync(outDir, { recursive: true });
  // Later segments come slowly, so the downloads panel has wget at work to show.
  const slow = [];
  for (let n = 4; n < 60; n++) slow.push('--slow', `${n}:1.2`);
  // The browser starts while the source and the emulator come up.
  // Whatever fails, the browser is kept, so that after() closes it.
  const starting = launchBrowser();
  try {
    source = await startSource(['--video', 'real', ...slow]);
    template = makeTemplate(source.url + 'index.m3u8');
    emulator = await startEmulator(template);
  } finally {
    browser = await starting;
  }
  page = await browser.newPage({ viewport: { width: 1600, height: 900 } });
});

after(async () => {
  await browser?.close();
  const stopping = Date.now();
  const code = await stop(emulator);
  figures.quitMs = Date.now() - stopping;
  await stop(source, 'SIGTERM');
  if (template) fs.rmSync(template, { recursive: true, force: true });
  fs.writeFileSync(path.join(outDir, 'web-figures.json'), JSON.stringify(figures, null, 2) + '\n');
  fs.writeFileSync(path.join(outDir, 'web-test-emulator.log'), emulator?.output ?? '');
  console.log('web front end figures:', JSON.stringify(figures));
  assert.equal(code, 0, 'Ctrl-C ends the emulator cleanly\n' + (emulator?.output ?? '').slice(-2000));
});

test('the page shows the menu, plays the channel on 1 and comes back on Escape', async () => {
  await page.goto(emulator.url);
  await until('the menu on the page', async () => isMenu(await look()));

  await page.click('button[data-key="1"]');
  await until('the status messages instead of the menu', async () => {
    const v = await look();
    return v.status > 0.3 && v.menuRows < 0.2;
  });
  figures.clickLatencyMs = await until('the latency of the click', () => page.evaluate(() => window.orvado.latencies[0]));

  await until('the player to start', async () => (await page.textContent('#play')).includes('Stream.ts'), 40000);
  // While the player runs, side by side: the picture moves, frame after
  // frame, at a held rate; wget's download shows in the downloads panel;
  // the player's line shows in the console panel.
  const watchPicture = async () => {
    const hashes = new Set();
    let since = 0;
    await until('a moving picture', async () => {
      const v = await look();
      if (v.picture > 0.3) {
        hashes.add(v.hash);
        since ||= await page.evaluate(() => performance.now());
      }
      return hashes.size >= 5;
    }, 20000, 100);
    // The frame rate over the 2 s from the first picture (some 40 frames at
    // the usual rate: enough to tell a held rate from a stall).
    return page.evaluate(async (from) => {
      await new Promise((r) => setTimeout(r, Math.max(0, from + 2000 - performance.now())));
      const recent = window.orvado.frameLog.filter((f) => f.t > from && f.t <= from + 2000);
      return recent.length > 1 ? Math.round((10000 * (recent.length - 1)) / (recent.at(-1).t - recent[0].t)) / 10 : 0;
    }, since);
  };
  const [fps] = await Promise.all([
    watchPicture(),
    until('a download in the downloads panel', async () => /tmp\d+\.ts/.test(await page.textContent('#downloads')), 20000),
    until('the player\'s line in the console panel',
      async () => /Appl_StartPlaybackMedia: playing \S*Stream\.ts/.test(await page.textContent('#console'))),
  ]);
  // The rate itself is a figure for the benchmark: on a busy machine it may
  // be low, but the picture must move.
  figures.playbackFps = fps;
  assert.match(await page.textContent('#shell'), /exit 0\S*\s*[\d.]+ s\s*\(?timeout \d+ \S*wget /, 'the shell panel');
  assert.ok(fps > 0, 'the moving picture reaches the page');
  await page.screenshot({ path: path.join(outDir, 'web-playing.png'), fullPage: true });

  // Sound stays off until asked for; then it plays in step with the picture:
  // the sound heard now and the picture shown now are within 100 ms of each
  // other on the stream's own clock (the clock of its frame counter).
  assert.equal(await page.evaluate(() => window.orvado.sound.chunks), 0, 'no sound before it is turned on');
  await page.click('#sound');
  await until('sound playing', () => page.evaluate(() => window.orvado.sound.chunks > 50 && window.orvado.sound.ctx.state === 'running'), 15000);
  // The offset as each picture appears: between two pictures the one shown
  // ages by a frame's time, which is the frame rate, not the sync.
  const since = await page.evaluate(() => performance.now());
  await sleep(3000);
  const offsets = await page.evaluate((from) => window.orvado.syncLog.filter((s) => s.t >= from).map((s) => s.ms), since);
  offsets.sort((a, b) => a - b);
  assert.ok(offsets.length >= 20, `too few looks at the sound: ${offsets}`);
  figures.audioSyncMedianMs = offsets[offsets.length >> 1];
  figures.audioSyncWorstMs = Math.max(-offsets[0], offsets.at(-1));
  assert.ok(Math.abs(figures.audioSyncMedianMs) <= 100, `sound ${figures.audioSyncMedianMs} ms from the picture: ${offsets}`);
  await page.click('#sound');
  assert.equal(await page.evaluate(() => window.orvado.sound.ctx), null, 'the sound turns off');

  const keysBefore = await page.evaluate(() => window.orvado.latencies.length);
  const escapedAt = Date.now();
  await page.keyboard.press('Escape');
  await until('the menu back after Escape', async () => isMenu(await look()), 15000);
  figures.escapeLatencyMs = await until('the latency of Escape',
    () => page.evaluate((n) => window.orvado.latencies[n], keysBefore));
  await until('the Player card empty once playback stops', async () => (await page.textContent('#play')) === 'nothing plays');

  // A key that changes nothing on the screen is not timed; the remote's
  // keys take no focus, so Space presses nothing again.
  const state = async () => (await (await fetch(emulator.url + 'api/state')).json());
  // A still screen first: the stream's timed messages gone (they stay up to
  // 10 s, so one may still go after a still moment), then no frame for two
  // seconds.
  await sleep(Math.max(0, escapedAt + 11000 - Date.now()));
  await until('a still screen', async () => {
    const frame = (await state()).frame;
    await sleep(2000);
    return (await state()).frame === frame;
  }, 30000, 0);
  const timed = await page.evaluate(() => window.orvado.latencies.length);
  const keys = (await state()).keys;
  await page.click('button[data-key="volup"]');
  await until('the key at the TAP', async () => (await state()).keys === keys + 1, 5000);
  assert.equal(await page.evaluate(() => document.activeElement?.closest('.remote')), null, 'a remote key has the focus');
  await page.keyboard.press('Space');
  await sleep(1500);
  assert.equal((await state()).keys, keys + 1, 'Space pressed the key again');
  assert.equal(await page.evaluate(() => window.orvado.latencies.length), timed, 'a key without effect was timed');
  await page.screenshot({ path: path.join(outDir, 'web-page.png'), fullPage: true });
});

test('the page stops the TAP and starts it again', async () => {
  // Stopped while the channel plays: the picture, the status column and the
  // Player card clear, and the keys that would go nowhere are disabled.
  await page.click('button[data-key="1"]');
  await until('the player to start again', async () => (await page.textContent('#play')).includes('Stream.ts'), 40000);
  await page.click('#tap-stop');
  await until('the TAP stopped', async () => (await page.textContent('#tap-state')) === 'TAP stopped');
  await until('a black screen, no status texts and no player', async () => {
    const v = await look();
    return v.picture < 0.01 && v.status < 0.01 && (await statusTexts()).length === 0 &&
      (await page.textContent('#play')) === 'nothing plays';
  }, 5000);
  assert.ok(await page.isDisabled('#tap-stop'), 'Stop TAP disabled once stopped');
  assert.ok(await page.isDisabled('button[data-key="1"]'), 'the remote disabled once stopped');
  assert.match(await page.textContent('#tap-hint'), /Restart TAP/);
  const refused = await page.evaluate(() => fetch('/api/key', { method: 'POST', body: new URLSearchParams({ key: '1' }) }).then((r) => r.status));
  assert.equal(refused, 409, 'no keys while no TAP runs');
  await page.click('#tap-restart');
  await until('the TAP running again', async () => (await page.textContent('#tap-state')) === 'TAP running');
  await until('the menu of the restarted TAP', async () => isMenu(await look()), 15000);
  // A dead channel: its wget, exit status and error output in the shell
  // panel, and the TAP's word for it in the status column beside the picture.
  await page.click('button[data-key="2"]');
  await Promise.all([
    until('the failed fetch in the shell panel', async () => {
      const text = await page.textContent('#shell');
      return /exit 4.*testbild\/index\.m3u8/s.test(text) && /Connection refused/.test(text);
    }, 15000),
    until('the failed fetch in the status column', async () => (await statusTexts()).includes('Pl 2\tError'), 15000),
  ]);
  await page.click('button[data-key="exit"]');
  await until('the menu after the dead channel', async () => isMenu(await look()), 15000);
  // Exit in the menu ends the TAP itself; the page stays and can start it again.
  await page.click('button[data-key="exit"]');
  await until('the TAP ended', async () => (await page.textContent('#tap-state')) === 'TAP ended');
  assert.match(await page.textContent('#tap-hint'), /ended itself/);
  await page.click('#tap-restart');
  await until('the TAP running once more', async () => (await page.textContent('#tap-state')) === 'TAP running');
  await until('the menu once more', async () => isMenu(await look()), 15000);
});

// Nothing sticks out at a desktop size or at a phone's. The status column
// stands beside the screen; on the phone it and the remote stack under it.
test('the page fits 1280 × 900 and 390 × 844', async () => {
  for (const [width, height] of [[1280, 900], [390, 844]]) {
    await page.setViewportSize({ width, height });
    await sleep(300);
    const fit = await page.evaluate(() => {
      const out = [];
      for (const e of document.querySelectorAll('body *')) {
        const r = e.getBoundingClientRect();
        if (r.width && (r.right > window.innerWidth + 0.5 || r.left < -0.5)) out.push(`${e.tagName}#${e.id}.${e.className} ${Math.round(r.left)}..${Math.round(r.right)}`);
      }
      const screen = document.getElementById('screen').getBoundingClientRect();
      const remote = document.querySelector('.remote').getBoundingClientRect();
      const status = document.getElementById('status').getBoundingClientRect();
      const digits = [...document.querySelectorAll('.digits button')].map((b) => b.getBoundingClientRect());
      window.scrollTo(0, 0);
      return {
        short: [...document.querySelectorAll('.remote button')].filter((b) => b.getBoundingClientRect().height < 40).map((b) => b.dataset.key),
        oneScreen: screen.top >= 0 && Math.max(screen.bottom, ...digits.map((d) => d.bottom)) <= window.innerHeight,
        out, page: document.documentElement.scrollWidth, stacked: remote.top >= screen.bottom,
        statusBeside: status.left >= screen.right && status.top < screen.bottom, statusUnder: status.top >= screen.bottom,
      };
    });
    assert.deepEqual(fit.out, [], `cut off at ${width} px`);
    assert.ok(fit.page <= width, `the page is ${fit.page} px wide at ${width} px`);
    assert.deepEqual(fit.short, [], `keys under 40 px tall at ${width} px`);
    assert.ok(fit.oneScreen, `the picture and the digits on one screen at ${width} × ${height}`);
    if (width < 700) assert.ok(fit.stacked && fit.statusUnder, 'the remote and the status column under the screen');
    else assert.ok(fit.statusBeside, 'the status column beside the screen');
    await page.screenshot({ path: path.join(outDir, `web-page-${width}.png`), fullPage: true });
  }
  await page.setViewportSize({ width: 1600, height: 900 });
});

test('the screenshot button gives the screen as PNG', async () => {
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#shot')]);
  const file = path.join(outDir, 'web-screenshot.png');
  await download.saveAs(file);
  const png = fs.readFileSync(file);
  assert.equal(png.subarray(1, 4).toString(), 'PNG');
  assert.equal(png.readUInt32BE(16), 720);
  assert.equal(png.readUInt32BE(20), 576);
});

// In a page of its own: the browser's window stays as fullscreen left it.
test('the fullscreen button shows the TV picture alone', async () => {
  const other = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  await other.goto(emulator.url);
  await other.click('#fullscreen');
  await until('the picture in fullscreen', () => other.evaluate(() => document.fullscreenElement?.id === 'screen'), 5000);
  await other.close();
});

test('after the emulator ends, the page says so and offers nothing that cannot work', async () => {
  const other = await startEmulator(template, [], path.join(buildDir, 'tests/crashing_tap.tap'));
  const tab = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  try {
    await tab.goto(other.url);
    await until('the TAP running', async () => (await tab.textContent('#tap-state')) === 'TAP running');
    assert.equal(await stop(other), 0);
    await until('the end on the page', async () => (await tab.textContent('#tap-state')) === 'emulator ended', 5000);
    assert.match(await tab.textContent('#tap-hint'), /The emulator has ended/);
    assert.equal(await tab.textContent('#screen-note'), 'the emulator has ended');
    for (const id of ['#tap-stop', '#tap-restart', '#sound', 'button[data-key="1"]']) assert.ok(await tab.isDisabled(id), id);
    const lit = await tab.evaluate(() => {
      const c = document.getElementById('screen');
      const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      let n = 0;
      for (let i = 0; i < d.length; i += 4) if (d[i] + d[i + 1] + d[i + 2] > 30) n++;
      return n;
    });
    assert.equal(lit, 0, 'the picture cleared');
  } finally {
    await tab.close();
    await stop(other);
  }
});

test('closing the browser leaves the emulator running', async () => {
  await browser.close();
  browser = null;
  await sleep(500);
  const res = await fetch(emulator.url + 'api/state');
  const state = await res.json();
  assert.equal(state.tap, 'running');
  const key = await fetch(emulator.url + 'api/key', { method: 'POST', body: new URLSearchParams({ key: '2' }) });
  assert.equal(key.status, 200);
});
