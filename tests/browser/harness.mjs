// What the browser tests, HTTP tests and the benchmark share: the local HLS
// test source, a disk template naming its live stream as channel 1, the
// emulator with its web front end, and Debian's chromium.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const sourceDir = process.env.ORVADO_SOURCE_DIR || path.resolve(here, '../..');
export const buildDir = process.env.ORVADO_BINARY_DIR || path.join(sourceDir, 'build');
export const outDir = path.join(sourceDir, 'out');
// The Python that the build chose for the tests (tests/CMakeLists.txt).
const python = process.env.ORVADO_PYTHON || 'python3';

// Starts a program and resolves with it once a line of its standard output
// matches `ready`; rejects when it ends first or after `timeoutMs`.
export function startUntil(command, args, ready, timeoutMs = 30000) {
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  child.output = '';
  child.stderr.on('data', (d) => { child.output += d; });
  return new Promise((resolve, reject) => {
    let text = '';
    const timer = setTimeout(() => { child.kill('SIGKILL'); reject(new Error(`${command} not ready:\n${text}${child.output}`)); }, timeoutMs);
    child.stdout.on('data', (d) => {
      text += d;
      child.output += d;
      const m = text.match(ready);
      if (m && !child.match) {
        child.match = m;
        clearTimeout(timer);
        resolve(child);
      }
    });
    child.on('exit', (code) => {
      clearTimeout(timer);
      if (!child.match) reject(new Error(`${command} ended (${code}) before it was ready:\n${child.output}`));
    });
  });
}

// Ends a child with `signal` and resolves with its exit code; with the name
// of the signal that ended it instead, or, when it outlives `graceMs`, kills
// it and says so: a failed check then tells which.
export function stop(child, signal = 'SIGINT', graceMs = 15000) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return Promise.resolve(child?.exitCode ?? null);
  return new Promise((resolve) => {
    // Not a status: the signal that ended it, or that it outlived the grace.
    const timer = setTimeout(() => { child.kill('SIGKILL'); resolve(`still running after ${graceMs} ms`); }, graceMs);
    child.once('exit', (code, ended) => { clearTimeout(timer); resolve(code ?? ended); });
    child.kill(signal);
  });
}

// The HLS test source in live mode; extra options such as slow segments.
export async function startSource(extra = []) {
  const child = await startUntil(python, [path.join(sourceDir, 'tools/hlssource/hlssource.py'), '--port', '0',
    '--mode', 'live', '--segment-seconds', '2', '--segment-bytes', '2500000', '--stop-after', '600', ...extra],
  /serving (http:\/\/127\.0\.0\.1:\d+\/)/, 120000);
  child.url = child.match[1];
  return child;
}

// A copy of the built disk template whose settings name `playlist` as channel 1.
export function makeTemplate(playlist) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'orvado-web-'));
  fs.cpSync(path.join(buildDir, 'disk'), dir, { recursive: true });
  const ini = fs.readFileSync(path.join(sourceDir, 'scripts/sample-orvado.ini'), 'utf8').replace('@LIVE@', playlist);
  fs.writeFileSync(path.join(dir, 'ProgramFiles/orvado.ini'), ini);
  return dir;
}

// orvado-emu with --web on a free loopback port running `tap` (Orvado by
// default); resolves with the child and its page's URL.
export async function startEmulator(template, extra = [], tap = path.join(buildDir, 'Orvado.tap')) {
  const child = await startUntil(path.join(buildDir, 'orvado-emu'),
    ['--template', template, '--web', '127.0.0.1:0', ...extra, tap],
    /web front end: (http:\/\/127\.0\.0\.1:\d+\/)/);
  child.url = child.match[1];
  child.port = Number(new URL(child.url).port);
  // The page answers before the TAP is loaded, and a key sent then is refused
  // (409); under a sanitizer the load takes long enough for a test to hit that.
  try {
    await until('the TAP loaded', async () => (await (await fetch(child.url + 'api/state')).json()).tap !== 'starting', 20000, 50);
  } catch (e) {
    child.kill('SIGKILL');
    throw e;
  }
  return child;
}

export function chromiumPath() {
  for (const p of ['/usr/lib/chromium/chromium', '/usr/bin/chromium']) if (fs.existsSync(p)) return p;
  throw new Error('Debian\'s chromium is not installed (scripts/setup.sh installs it)');
}

export async function launchBrowser() {
  const { chromium } = await import('playwright-core');
  return chromium.launch({ executablePath: chromiumPath(), args: ['--no-sandbox', '--disable-gpu'] });
}

export function sleep(ms) { return new Promise((r) => setTimeout(r, ms)); }

// Polls `probe` until it returns a truthy value; throws `what` after `timeoutMs`.
export async function until(what, probe, timeoutMs = 20000, everyMs = 200) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(everyMs);
  }
}
