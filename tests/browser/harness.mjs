// What the browser tests share: the robot program (tests/browser/robot.py under the interpreter
// VELTO_PYTHON, against the build VELTO_BUILD), headless Chromium, and helpers to read the
// controller page's test hook.
import {spawn} from 'node:child_process';
import {once} from 'node:events';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import {createInterface} from 'node:readline';
import {fileURLToPath} from 'node:url';
import puppeteer from 'puppeteer-core';

export const HERE = path.dirname(fileURLToPath(import.meta.url));
export const ROOT = path.resolve(HERE, '..', '..');
export const PYTHON = process.env.VELTO_PYTHON || '/usr/bin/python3';
export const BUILD = path.resolve(process.env.VELTO_BUILD || path.join(ROOT, 'build'));
export const CHROMIUM = process.env.VELTO_CHROMIUM || '/usr/bin/chromium';
// The upper bound of every wait, ms (VELTO_WAIT_FACTOR stretches it on a slow machine).
export const WAIT = 10000 * Number(process.env.VELTO_WAIT_FACTOR || 1);
// How long "nothing more arrives" is watched for, ms.
export const QUIET = 300;

// The frames of tests/vectors/wire.txt by name: {name: hex}.
export const VECTORS = Object.fromEntries(
  fs.readFileSync(path.join(ROOT, 'tests', 'vectors', 'wire.txt'), 'utf8').split('\n')
    .filter(line => /^(frame|reply) /.test(line))
    .map(line => { const parts = line.split(' = '); return [parts[0].split(' ')[1], parts[parts.length - 1].trim()]; }));

export const sleep = ms => new Promise(resolve => setTimeout(resolve, ms));

export async function freePort() {
  const server = net.createServer();
  server.listen(0, '127.0.0.1');
  await once(server, 'listening');
  const {port} = server.address();
  server.close();
  await once(server, 'close');
  return port;
}

// Polls `probe` (async, returns a value or something falsy) until it gives a truthy value.
export async function until(probe, what, timeout = WAIT) {
  const end = Date.now() + timeout;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await sleep(20);
  }
}

// The robot program, with the events it writes on its descriptor 3.
export class Robot {
  static async start() {
    const port = await freePort();
    const proc = spawn(PYTHON, [path.join(HERE, 'robot.py'), String(port)], {
      env: {...process.env, VELTO_BUILD: BUILD},
      stdio: ['pipe', 'pipe', 'pipe', 'pipe'],
    });
    const robot = new Robot(proc, port);
    const ready = await robot.event('ready');
    robot.url = ready.url;
    robot.token = ready.token;
    robot.origin = new URL(ready.url).origin;
    return robot;
  }

  constructor(proc, port) {
    this.proc = proc;
    this.port = port;
    this.events = [];   // every event, in order
    this.read = 0;      // frames before this index of `frames` were taken
    this.frames = [];
    this.output = '';   // standard output and error, for failure messages
    this.exited = null;
    proc.stdout.on('data', d => { this.output = (this.output + d).slice(-20000); });
    proc.stderr.on('data', d => { this.output = (this.output + d).slice(-20000); });
    proc.on('exit', code => { this.exited = code; });
    createInterface({input: proc.stdio[3]}).on('line', line => {
      const event = JSON.parse(line);
      this.events.push(event);
      if (event.event === 'frame') this.frames.push(event);
    });
    this.seen = 0;      // events before this index were looked at by event()
  }

  // The next event named `name` after those already looked at.
  async event(name, timeout = WAIT) {
    return until(() => {
      if (this.exited !== null) throw new Error(`robot exited (${this.exited}):\n${this.output}`);
      const i = this.events.findIndex((e, j) => j >= this.seen && e.event === name);
      if (i < 0) return null;
      this.seen = i + 1;
      return this.events[i];
    }, `the robot's "${name}" event`, timeout);
  }

  // The next `n` frames the handlers received.
  async take(n, timeout = WAIT) {
    await until(() => this.frames.length >= this.read + n || null,
      `${n} frame(s) at the robot (got ${this.frames.slice(this.read).map(f => f.kind + ' ' + f.id).join(', ') || 'none'})`,
      timeout);
    const got = this.frames.slice(this.read, this.read + n);
    this.read += n;
    return got;
  }

  // The frames that arrive within `ms` (the tests expect none).
  async quiet(ms = QUIET) {
    await sleep(ms);
    const got = this.frames.slice(this.read);
    this.read = this.frames.length;
    return got;
  }

  // Takes frames until one matches `last`; returns them all.
  async takeUntil(last, what, timeout = WAIT) {
    const got = [];
    const end = Date.now() + timeout;
    for (;;) {
      const [frame] = await this.take(1, Math.max(1, end - Date.now())).catch(e => {
        const last = got.slice(-3).map(f => JSON.stringify(f.fields)).join(', ');
        throw new Error(`${e.message}; waiting for ${what} after ${got.length} frame(s)${got.length ? ', the last ' + last : ''}`);
      });
      got.push(frame);
      if (last(frame)) return got;
    }
  }

  async command(command) {
    this.proc.stdin.write(JSON.stringify(command) + '\n');
    return this.event('done');
  }

  async stop() {
    if (this.exited !== null) return;
    this.proc.stdin.end();
    const timer = setTimeout(() => this.proc.kill('SIGKILL'), WAIT);
    await once(this.proc, 'exit').catch(() => {});
    clearTimeout(timer);
  }
}

export async function launch(args = []) {
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ['--no-sandbox', '--disable-dev-shm-usage', ...args],
  });
  // Closing waits a bounded time, then ends the browser's process.
  const close = browser.close.bind(browser);
  browser.close = async () => {
    let timer;
    const late = new Promise(resolve => { timer = setTimeout(resolve, WAIT, 'late'); });
    if (await Promise.race([close(), late]) === 'late') browser.process()?.kill('SIGKILL');
    clearTimeout(timer);
  };
  return browser;
}

export const MOBILE = {width: 400, height: 700, isMobile: true, hasTouch: true, deviceScaleFactor: 1};

// A new tab on `url`, before anything in `setup(page)` ran; waits for the connected state
// unless told otherwise.
export async function openPage(browser, url, {setup, connected = true, viewport = MOBILE} = {}) {
  const page = await browser.newPage();
  await page.setViewport(viewport);
  if (setup) await setup(page);
  await page.goto(url);
  if (connected) await waitState(page, 'connected');
  return page;
}

export async function waitState(page, state, timeout = WAIT) {
  await until(() => page.evaluate(s => window.__velto.state === s, state),
    `the page's state "${state}"`, timeout).catch(async e => {
    throw new Error(`${e.message}; it shows "${await page.$eval('#conn', n => n.textContent)}"`);
  });
}

// What the page has sent so far (hex), and a mark to slice later sends from.
export const sent = page => page.evaluate(() => window.__velto.sent.slice());
export const sentCount = page => page.evaluate(() => window.__velto.sent.length);

// The centre of an element, and its box.
export async function box(page, selector) {
  const b = await (await page.$(selector)).boundingBox();
  return {...b, cx: b.x + b.width / 2, cy: b.y + b.height / 2};
}

// The joystick's value for a point `(dx, dy)` pixels off the centre of a pad of radius `r`:
// x right, y up, clamped to the unit circle, intensity the length; as float 32.
export function stickValue(dx, dy, r) {
  let x = dx / r, y = -dy / r;
  const d = Math.hypot(x, y);
  if (d > 1) { x /= d; y /= d; }
  return [[Math.fround(x), Math.fround(y)], Math.fround(Math.min(d, 1))];
}
export const ZERO = [[0, 0], 0];
