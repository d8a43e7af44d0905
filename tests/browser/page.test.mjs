// The receiver in a real browser: Debian's chromium opens the page, sees the
// menu, starts the live channel with the remote control, watches the picture
// move, stops it with the keyboard, and stops and restarts the TAP. It writes
// the page's screenshots and its figures (key-to-picture latency, frames per
// second during playback) into out/.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { launchBrowser, makeTemplate, outDir, sleep, startEmulator, startSource, stop, until } from './harness.mjs';

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
  figures.playbackFps = fps;
  assert.ok(fps >= 10, `the moving picture reaches the page at ${fps} frames a second`);
  await page.screenshot({ path: path.join(outDir, 'web-playing.png'), fullPage: true });

  const keysBefore = await page.evaluate(() => window.orvado.latencies.length);
  await page.keyboard.press('Escape');
  await until('the menu back after Escape', async () => isMenu(await look()), 15000);
  figures.escapeLatencyMs = await until('the latency of Escape',
    () => page.evaluate((n) => window.orvado.latencies[n], keysBefore));
  await page.screenshot({ path: path.join(outDir, 'web-page.png'), fullPage: true });
});

test('the page stops the TAP and starts it again', async () => {
  await page.click('#tap-stop');
  await until('the TAP stopped', async () => (await page.textContent('#tap-state')) === 'TAP stopped');
  const refused = await page.evaluate(() => fetch('/api/key', { method: 'POST', body: new URLSearchParams({ key: '1' }) }).then((r) => r.status));
  assert.equal(refused, 409, 'no keys while no TAP runs');
  await page.click('#tap-restart');
  await until('the TAP running again', async () => (await page.textContent('#tap-state')) === 'TAP running');
  await until('the menu of the restarted TAP', async () => isMenu(await look()), 15000);
  // Exit in the menu ends the TAP itself; the page stays and can start it again.
  await page.click('button[data-key="exit"]');
  await until('the TAP ended', async () => (await page.textContent('#tap-state')) === 'TAP ended');
  await page.click('#tap-restart');
  await until('the TAP running once more', async () => (await page.textContent('#tap-state')) === 'TAP running');
  await until('the menu once more', async () => isMenu(await look()), 15000);
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
