// The page and its key, what the server refuses (a wrong key, a foreign page), and a session
// closed by the program: the page says so and reconnects by itself, without a reload.
import assert from 'node:assert/strict';
import {once} from 'node:events';
import http from 'node:http';
import {after, before, test} from 'node:test';
import fs from 'node:fs';
import path from 'node:path';
import {ROOT, Robot, freePort, launch, openPage, until, waitState} from './harness.mjs';

const PAGE = fs.readFileSync(path.join(ROOT, 'src', 'web', 'controller.html'), 'utf8');

// robot.py's registrations, in id order.
const WIDGETS = [['ClickButton', 0], ['ToggleButton', 1], ['ConfirmButton', 2], ['PressButton', 3],
  ['Joystick', 5], ['Joystick', 6], ['DirectionalButton', 7], ['ToggleButton', 200]];

let robot, browser, foreign, foreignUrl;
before(async () => {
  robot = await Robot.start();
  // robot.test: a name for the loopback address, so that the page also runs on an origin
  // that is no secure context, as on a robot's network address.
  browser = await launch(['--host-resolver-rules=MAP robot.test 127.0.0.1']);
  // A page of another origin (another port on the same host).
  foreign = http.createServer((req, res) => res.end('<!doctype html><title>elsewhere</title>'));
  foreign.listen(await freePort(), '127.0.0.1');
  await once(foreign, 'listening');
  foreignUrl = `http://127.0.0.1:${foreign.address().port}/`;
});
after(async () => {
  await browser?.close();
  await robot?.stop();
  foreign?.close();
});

const click = async page => {
  await page.$eval('.card[data-kind=ClickButton] button', b => b.scrollIntoView({block: 'center'}));
  await page.click('.card[data-kind=ClickButton] button');
};

// A WebSocket opened from `page` to the robot: "open" (then it sends a click frame) or
// "closed CODE".
const tryWebSocket = (page, key) => page.evaluate((port, key) => new Promise(resolve => {
  const ws = new WebSocket(`ws://127.0.0.1:${port}/ws?k=${encodeURIComponent(key)}`);
  ws.binaryType = 'arraybuffer';
  ws.onopen = () => { ws.send(new Uint8Array([0x92, 0x00, 0x81, 0xab, ...new TextEncoder().encode('ClickButton'), 0x90])); resolve('open'); };
  ws.onclose = e => resolve('closed ' + e.code);
}), robot.port, key);

const connectedEvents = () => robot.events.filter(e => e.event === 'connected').length;

test('a wrong key: "wrong key" shown, the WebSocket refused, no handler runs', async () => {
  const page = await openPage(browser, robot.origin + '/#k=not-the-key-0123456789', {connected: false});
  await waitState(page, 'wrongkey');
  assert.equal(await page.$eval('#conn', e => e.textContent), 'wrong key');
  assert.equal(await tryWebSocket(page, 'not-the-key-0123456789'), 'closed 1006');
  assert.equal(await page.evaluate(() => fetch('/widgets?k=not-the-key-0123456789').then(r => r.status)), 403);
  // The key is kept for the tab: the same tab without it in the address still uses it.
  await page.goto(robot.origin + '/');
  await waitState(page, 'wrongkey');
  // A new tab without a key has none.
  const fresh = await openPage(browser, robot.origin + '/', {connected: false});
  await waitState(fresh, 'nokey');
  assert.match(await fresh.$eval('#conn', e => e.textContent), /^no key/);
  await Promise.all([page.close(), fresh.close()]);
  assert.deepEqual(await robot.quiet(), []);
  assert.equal(connectedEvents(), 0);
});

test('a page of another origin cannot open the WebSocket, even with the key', async () => {
  const page = await browser.newPage();
  await page.goto(foreignUrl);
  assert.equal(await tryWebSocket(page, robot.token), 'closed 1006');
  await page.close();
  assert.deepEqual(await robot.quiet(), []);
  assert.equal(connectedEvents(), 0);
});

let page;
test('the page: one control per registration, nothing loaded from elsewhere, connected', async t => {
  const requests = [];
  page = await openPage(browser, robot.url, {setup: p => p.on('request', r => requests.push(r.url()))});
  await robot.event('connected');
  const cards = await page.$$eval('#widgets .card', cs => cs.map(c => [c.dataset.kind, Number(c.dataset.id)]));
  assert.deepEqual(cards.slice().sort((a, b) => a[1] - b[1] || a[0].localeCompare(b[0])), WIDGETS);
  const elsewhere = requests.filter(u => !u.startsWith(robot.origin + '/'));
  assert.deepEqual(elsewhere, []);
  assert.deepEqual(requests.map(u => new URL(u).pathname).sort(), ['/', '/check', '/widgets']);
  await click(page);
  assert.deepEqual((await robot.take(1)).map(f => [f.kind, f.id]), [['ClickButton', 0]]);
  const ms = await page.evaluate(() => window.__velto.connectedAt);
  t.diagnostic(`from navigation start to connected: ${ms.toFixed(1)} ms`);
});

test('close(): "robot stopped serving (1001)", then connected again by itself without a reload', async () => {
  await page.evaluate(() => { window.__sameDocument = true; });
  await robot.command({close: true});
  await waitState(page, 'closed');
  assert.equal(await page.$eval('#conn', e => e.textContent), 'robot stopped serving (1001)');
  await robot.event('disconnected');
  await robot.event('connected');
  await waitState(page, 'connected');
  assert.deepEqual(await page.evaluate(() => [window.__sameDocument, window.__velto.connects]), [true, 2]);
  await click(page);
  assert.deepEqual((await robot.take(1)).map(f => [f.kind, f.id]), [['ClickButton', 0]]);
});

test('the page retries with a growing wait while nobody listens', async () => {
  // A second tab: its page comes from the file (the robot listens no more while it serves
  // the first), and every request of its own to the robot is refused.
  const other = await browser.newPage();
  await other.setRequestInterception(true);
  other.on('request', r => {
    if (new URL(r.url()).pathname === '/') r.respond({contentType: 'text/html', body: PAGE});
    else r.abort('connectionrefused');
  });
  await other.goto(robot.url);
  await waitState(other, 'refused');
  const shown = [];
  await until(async () => {
    const text = await other.$eval('#retry', e => e.textContent);
    if (text && shown.at(-1) !== text) shown.push(text);
    return shown.length >= 3;
  }, 'three retries');
  assert.equal(await other.$eval('#conn', e => e.textContent), 'robot busy or not listening');
  assert.deepEqual(shown, ['retrying in 0.5 s', 'retrying in 1 s', 'retrying in 2 s']);
  await other.close();
  assert.equal(await page.evaluate(() => window.__velto.state), 'connected');
});

test('on a network name (no secure context): connected, the keep-the-screen-on hint shown', async () => {
  await page.close();
  await robot.event('disconnected');
  const url = robot.url.replace('127.0.0.1', 'robot.test');
  const lan = await openPage(browser, url);
  await robot.event('connected');
  assert.deepEqual(await lan.evaluate(() => [window.isSecureContext, !!navigator.wakeLock]), [false, false]);
  assert.equal(await lan.$eval('#hint-screen', e => e.hidden), false);
  await click(lan);
  assert.deepEqual((await robot.take(1)).map(f => [f.kind, f.id]), [['ClickButton', 0]]);
});
