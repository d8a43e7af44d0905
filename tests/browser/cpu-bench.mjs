// The web front end's CPU cost while the picture moves: the same run of
// Orvado playing the live test channel (real video with sound), without
// --web, with a chromium page watching the live picture, and with the page's
// sound on as well. It samples the emulator's own processes (not wget) and
// the browser's over the same 20 s of playback and prints them as a share of
// one core.
import fs from 'node:fs';
import path from 'node:path';
import { spawn } from 'node:child_process';
import { buildDir, launchBrowser, makeTemplate, sleep, startSource, startUntil, stop } from './harness.mjs';

const ticksPerSecond = 100;  // USER_HZ on Linux

// CPU ticks so far of every process whose command line has all of `parts`.
function cpuTicks(...parts) {
  let total = 0;
  for (const pid of fs.readdirSync('/proc').filter((n) => /^\d+$/.test(n))) {
    try {
      const cmdline = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8');
      if (!parts.every((p) => cmdline.includes(p))) continue;
      const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
      const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
      total += Number(fields[11]) + Number(fields[12]);  // utime, stime
    } catch { /* ended meanwhile */ }
  }
  return total;
}

// CPU ticks so far of this program's descendants that are chromium (other
// browsers on the machine are not ours).
function browserTicks() {
  const parent = new Map(), ticks = new Map(), isChromium = new Set();
  for (const pid of fs.readdirSync('/proc').filter((n) => /^\d+$/.test(n))) {
    try {
      const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
      const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
      parent.set(pid, fields[1]);
      ticks.set(pid, Number(fields[11]) + Number(fields[12]));
      if (fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes('chromium')) isChromium.add(pid);
    } catch { /* ended meanwhile */ }
  }
  let total = 0;
  for (const pid of isChromium) {
    for (let p = parent.get(pid); p && p !== '0'; p = parent.get(p)) {
      if (p === String(process.pid)) {
        total += ticks.get(pid);
        break;
      }
    }
  }
  return total;
}

async function measure(source, web, sound = false) {
  const template = makeTemplate(source.url + 'index.m3u8');
  const args = ['--template', template, '--keys', '2s:1', '--run', '60s'];
  if (web) args.push('--web', '127.0.0.1:0');
  args.push(path.join(buildDir, 'Orvado.tap'));
  const started = Date.now();
  let emulator, browser, page;
  if (web) {
    emulator = await startUntil(path.join(buildDir, 'orvado-emu'), args, /web front end: (http:\S+)/);
    browser = await launchBrowser();
    page = await browser.newPage({ viewport: { width: 1600, height: 900 } });
    await page.goto(emulator.match[1]);
    if (sound) await page.click('#sound');
  } else {
    emulator = spawn(path.join(buildDir, 'orvado-emu'), args, { stdio: 'ignore' });
  }
  // The player starts some 10 to 20 s after the key (7 MB of real video);
  // measure from 30 s to 50 s.
  await sleep(30000 - (Date.now() - started));
  const published = async () => (web ? (await (await fetch(emulator.match[1] + 'api/state')).json()).frame : 0);
  const b0 = browserTicks();
  const t0 = cpuTicks('orvado-emu', template), f0 = page ? await page.evaluate(() => window.orvado.frames) : 0, p0 = await published();
  await sleep(20000);
  const b1 = browserTicks();
  const t1 = cpuTicks('orvado-emu', template), f1 = page ? await page.evaluate(() => window.orvado.frames) : 0, p1 = await published();
  await browser?.close();
  await stop(emulator, 'SIGINT', 20000);
  fs.rmSync(template, { recursive: true, force: true });
  return {
    core: (t1 - t0) / ticksPerSecond / 20, page: (b1 - b0) / ticksPerSecond / 20, fps: (f1 - f0) / 20,
    published: (p1 - p0) / 20,
  };
}

const source = await startSource(['--video', 'real']);
try {
  const plain = await measure(source, false);
  const web = await measure(source, true);
  const loud = await measure(source, true, true);
  const pct = (x) => (100 * x).toFixed(1) + '%';
  console.log(`emulator CPU while the picture moves, share of one core over 20 s of playback:`);
  console.log(`  without --web:              ${pct(plain.core)}`);
  console.log(`  with --web, a page watching: ${pct(web.core)} (${web.published.toFixed(1)} frames/s made, ${web.fps.toFixed(1)} drawn by the page)`);
  console.log(`  the web front end's cost:    ${pct(web.core - plain.core)} of one core` +
    (plain.core > 0 ? ` (ratio ${(web.core / plain.core).toFixed(2)}x)` : ''));
  console.log(`  with --web and the page's sound on: ${pct(loud.core)} (${loud.fps.toFixed(1)} frames/s drawn)`);
  console.log(`the browser (all chromium processes), share of one core: sound off ${pct(web.page)}, sound on ${pct(loud.page)}`);
} finally {
  await stop(source, 'SIGTERM');
}
