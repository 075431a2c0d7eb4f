// Each widget kind driven by touch, mouse and keyboard: the page sends exactly the canonical
// frame bytes and the Python handler gets the same values; replies show on the page.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {after, before, describe, test} from 'node:test';
import {BUILD, QUIET, Robot, VECTORS, ZERO, launch, openPage, sentCount, sent, stickValue, until} from './harness.mjs';

let robot, browser, page;
before(async () => {
  robot = await Robot.start();
  browser = await launch();
  page = await openPage(browser, robot.url);
});
after(async () => {
  await browser?.close();
  await robot?.stop();
});

const card = (kind, id) => `.card[data-kind=${kind}][data-id="${id}"]`;
const control = (kind, id) => card(kind, id) + (kind === 'Joystick' ? ' .stick-pad' : ' button');
const arrow = (id, d) => `${card('DirectionalButton', id)} .arrow[data-d="${d}"]`;

// The element's box as the page sees it, scrolled into view first.
async function rect(selector) {
  return page.$eval(selector, e => {
    e.scrollIntoView({block: 'center'});
    const r = e.getBoundingClientRect();
    return {x: r.left, y: r.top, width: r.width, height: r.height, cx: r.left + r.width / 2, cy: r.top + r.height / 2};
  });
}

// One input device: press and let go of an element, hold it, move a held pointer.
const touch = {
  async tap(sel) { const r = await rect(sel); await page.touchscreen.tap(r.cx, r.cy); },
  async down(sel, dx = 0, dy = 0) { const r = await rect(sel); this.handle = await page.touchscreen.touchStart(r.cx + dx, r.cy + dy); return r; },
  async move(x, y) { await this.handle.move(x, y); },
  async up() { await this.handle.end(); },
};
const mouse = {
  async tap(sel) { const r = await rect(sel); await page.mouse.click(r.cx, r.cy); },
  async down(sel, dx = 0, dy = 0) { const r = await rect(sel); await page.mouse.move(r.cx + dx, r.cy + dy); await page.mouse.down(); return r; },
  async move(x, y) { await page.mouse.move(x, y); },
  async up() { await page.mouse.up(); },
};
const keyboard = {
  async tap(sel) { await page.focus(sel); await page.keyboard.press('Enter'); },
  async down(sel) { await page.focus(sel); await page.keyboard.down('Space'); },
  async up() { await page.keyboard.up('Space'); },
};
const DEVICES = {touch, mouse, keyboard};

// Runs `act(step)`, then takes frames at the robot until `done(frame)`; `act` may take frames
// on the way with `step(until, what)`. Checks that the page sent exactly the canonical bytes
// of what the handler received, and nothing more; returns the frames.
async function exchange(act, done, what) {
  const mark = await sentCount(page);
  const frames = [];
  const step = async (last, about) => { frames.push(...await robot.takeUntil(last, about)); };
  await act(step);
  await step(done, what);
  assert.deepEqual(await robot.quiet(), [], 'no frame after ' + what);
  assert.deepEqual((await sent(page)).slice(mark), frames.map(f => f.wire), 'page bytes == canonical bytes of what the handler got');
  return frames;
}
const only = (kind, id, fields) => f => f.kind === kind && f.id === id && JSON.stringify(f.fields) === JSON.stringify(fields);
const values = frames => frames.map(f => [f.kind, f.id, f.fields]);
// Consecutive equal values as one: a held joystick repeats its value.
const runs = frames => values(frames).filter((v, i, all) => i === 0 || JSON.stringify(v) !== JSON.stringify(all[i - 1]));

for (const [name, device] of Object.entries(DEVICES)) {
  describe(`by ${name}`, () => {
    test('ClickButton: one frame per press', async () => {
      const frames = await exchange(() => device.tap(control('ClickButton', 0)), only('ClickButton', 0, []), 'the click');
      assert.deepEqual(values(frames), [['ClickButton', 0, []]]);
      assert.equal(frames[0].wire, VECTORS.click);
    });

    test('ToggleButton: on, then off (ids below and above 127)', async () => {
      for (const [id, offVector] of [[1, null], [200, 'id-200']]) {
        const on = await exchange(() => device.tap(control('ToggleButton', id)), only('ToggleButton', id, [true]), 'toggle on');
        assert.deepEqual(values(on), [['ToggleButton', id, [true]]]);
        assert.equal(await page.$eval(control('ToggleButton', id), b => b.getAttribute('aria-pressed')), 'true');
        const off = await exchange(() => device.tap(control('ToggleButton', id)), only('ToggleButton', id, [false]), 'toggle off');
        assert.deepEqual(values(off), [['ToggleButton', id, [false]]]);
        if (id === 1) assert.equal(on[0].wire, VECTORS.toggle);
        if (offVector) assert.equal(off[0].wire, VECTORS[offVector]);
      }
    });

    test('ConfirmButton: sends, then waits for the answer', async () => {
      const frames = await exchange(() => device.tap(control('ConfirmButton', 2)), only('ConfirmButton', 2, []), 'the confirm');
      assert.deepEqual(values(frames), [['ConfirmButton', 2, []]]);
      assert.equal(frames[0].wire, VECTORS.confirm);
      assert.equal(await page.$eval(card('ConfirmButton', 2) + ' .result', e => e.textContent), 'waiting...');
    });

    test('PressButton: pressed while held, released on letting go', async () => {
      const sel = control('PressButton', 3);
      const down = await exchange(() => device.down(sel), only('PressButton', 3, [true]), 'the press');
      assert.deepEqual(values(down), [['PressButton', 3, [true]]]);
      const up = await exchange(() => device.up(), only('PressButton', 3, [false]), 'the release');
      assert.deepEqual(values(up), [['PressButton', 3, [false]]]);
      assert.equal(up[0].wire, VECTORS.press);
    });

    test('DirectionalButton: one frame per arrow, 0 up to 3 left', async () => {
      const keys = ['ArrowUp', 'ArrowRight', 'ArrowDown', 'ArrowLeft'];
      for (let d = 0; d < 4; d++) {
        const act = device === keyboard
          ? async () => { await page.focus(arrow(7, 0)); await page.keyboard.press(keys[d]); }
          : () => device.tap(arrow(7, d));
        const frames = await exchange(act, only('DirectionalButton', 7, [d]), 'direction ' + d);
        assert.deepEqual(values(frames), [['DirectionalButton', 7, [d]]]);
        if (d === 2) assert.equal(frames[0].wire, VECTORS.direction);
      }
    });

    test('Joystick: x right, y up, clamped to the circle; (0, 0, 0) on release', async () => {
      const sel = control('Joystick', 5);
      const stick = fields => only('Joystick', 5, fields);
      let expected;
      const frames = await exchange(async step => {
        if (device === keyboard) {
          // W, then W+D (the diagonal, on the circle), then D alone, then nothing.
          const diagonal = [[Math.fround(Math.SQRT1_2), Math.fround(Math.SQRT1_2)], 1];
          await page.focus(sel);
          await page.keyboard.down('w');
          await step(stick([[0, 1], 1]), 'w');
          await page.keyboard.down('d');
          await step(stick(diagonal), 'w+d');
          await page.keyboard.up('w');
          await step(stick([[1, 0], 1]), 'd');
          await page.keyboard.up('d');
          expected = [[[0, 1], 1], diagonal, [[1, 0], 1], ZERO];
          return;
        }
        // Down up and to the right inside the pad, then dragged far out to the right and
        // below: the value stays on the unit circle.
        const r = await rect(sel);
        const half = r.width / 2;
        const a = [Math.round(r.cx + 0.6 * half), Math.round(r.cy - 0.3 * half)];
        const b = [Math.round(r.cx + 2 * half), Math.round(r.cy + half)];
        const va = stickValue(a[0] - r.cx, a[1] - r.cy, half), vb = stickValue(b[0] - r.cx, b[1] - r.cy, half);
        await device.down(sel, a[0] - r.cx, a[1] - r.cy);
        await step(stick(va), 'the first position');
        await device.move(b[0], b[1]);
        await step(stick(vb), 'the clamped position');
        await device.up();
        expected = [va, vb, ZERO];
        assert.ok(va[0][0] > 0.55 && va[0][1] > 0.25, 'right is +x, up is +y: ' + JSON.stringify(va));
        assert.ok(Math.abs(Math.hypot(...vb[0]) - 1) < 1e-6 && vb[0][1] < 0, 'clamped to the circle: ' + JSON.stringify(vb));
      }, stick(ZERO), 'the release');
      assert.deepEqual(runs(frames).map(v => v[2]), expected);
    });
  });
}

test('a press dragged off a button before letting go sends nothing', async () => {
  for (const [kind, id] of [['ClickButton', 0], ['ToggleButton', 1], ['ConfirmButton', 2]]) {
    const mark = await sentCount(page);
    const r = await mouse.down(control(kind, id));
    await page.mouse.move(r.cx, r.y + r.height + 40);
    await page.mouse.up();
    assert.deepEqual(await robot.quiet(), [], kind);
    assert.equal(await sentCount(page), mark, kind);
  }
});

test('Joystick: at most one frame per animation frame, only on change, repeated while held', async () => {
  const sel = control('Joystick', 5);
  const up = [[0, 1], 1];
  const mark = await sentCount(page);
  // Twenty presses and releases of D and A within one task, W left held: only W's value
  // may go out (a page that sent on every change would send the others and their releases).
  await page.$eval(sel, pad => {
    const key = (type, k) => pad.dispatchEvent(new KeyboardEvent(type, {key: k, bubbles: true, cancelable: true}));
    for (let i = 0; i < 20; i++) { key('keydown', i % 2 ? 'a' : 'd'); key('keyup', i % 2 ? 'a' : 'd'); }
    key('keydown', 'w');
  });
  const first = await robot.take(1);
  const repeats = await robot.take(2);  // held and unchanged: the value again, every 100 ms
  assert.deepEqual([...first, ...repeats].map(f => f.fields), [up, up, up]);
  const start = Date.now();
  await new Promise(resolve => setTimeout(resolve, 400));
  const more = await robot.quiet(0);
  const elapsed = Date.now() - start;
  assert.ok(more.length <= elapsed / 100 + 2, `${more.length} repeats in ${elapsed} ms: not every animation frame`);
  assert.ok(more.every(f => JSON.stringify(f.fields) === JSON.stringify(up)));
  await page.$eval(sel, pad => pad.dispatchEvent(new KeyboardEvent('keyup', {key: 'w', bubbles: true})));
  const last = await robot.takeUntil(only('Joystick', 5, ZERO), 'the release');
  const all = [...first, ...repeats, ...more, ...last];
  assert.deepEqual(runs(all).map(v => v[2]), [up, ZERO]);
  assert.deepEqual((await sent(page)).slice(mark), all.map(f => f.wire));
});

describe('replies', () => {
  // The vectors' replies: [vector, reply, the widget it lands on, badge, result shown].
  const REPLIES = [
    ['idle-confirm', [1, 'Idle', {ConfirmResult: true}], ['ToggleButton', 1], 'confirmed'],
    ['error-text', [2, 'Error', {ErrorResult: 'bad input'}], ['ConfirmButton', 2], 'bad input'],
    ['busy-decline', [200, 'Busy', {ConfirmResult: false}], ['ToggleButton', 200], 'declined'],
    ['notinit-error', [0, 'NotInit', {ErrorResult: 'starting'}], ['ClickButton', 0], 'starting'],
  ];

  test('each shows on its widget (status badge and result) and first in the log with its hex', async () => {
    for (const [vector, reply, [kind, id], shown] of REPLIES) {
      const count = await page.evaluate(() => window.__velto.replies.length);
      await robot.command({reply});
      const got = await until(() => page.evaluate(n => window.__velto.replies[n], count), 'the reply ' + vector);
      assert.equal(got.hex, VECTORS[vector]);
      assert.deepEqual([got.id, got.status, got.result], reply);
      const [badge, result] = await page.$eval(card(kind, id), c => [c.querySelector('.badge'), c.querySelector('.result')].map(e => e.textContent));
      assert.deepEqual([badge, result], [reply[1], shown]);
      const [line, hex] = await page.$eval('#log li', li => [li.firstChild.textContent, li.querySelector('code').textContent]);
      assert.match(line, new RegExp(`#${id} ${reply[1]} ${shown}$`));
      assert.equal(hex, VECTORS[vector]);
    }
  });

  test('the log keeps the last 20, newest first', async () => {
    for (let i = 0; i < 23; i++) await robot.command({reply: [9, 'Idle', {ErrorResult: 'n' + i}]});
    await until(() => page.evaluate(() => window.__velto.replies.at(-1).result.ErrorResult === 'n22'), 'the last reply');
    const lines = await page.$$eval('#log li', lis => lis.map(li => li.firstChild.textContent.split(' ').pop()));
    assert.deepEqual(lines, Array.from({length: 20}, (_, i) => 'n' + (22 - i)));
  });

  test('ConfirmButton: waiting..., then confirmed, declined or the error text', async () => {
    const state = () => page.$eval(card('ConfirmButton', 2) + ' .result', e => e.textContent);
    for (const [result, shown] of [[{ConfirmResult: true}, 'confirmed'], [{ConfirmResult: false}, 'declined'], [{ErrorResult: 'x'}, 'x']]) {
      await mouse.tap(control('ConfirmButton', 2));
      await robot.take(1);
      assert.equal(await state(), 'waiting...');
      await robot.command({reply: [2, 'Idle', result]});
      await until(async () => (await state()) === shown, `"${shown}" (it shows "${await state()}")`);
    }
  });
});

test('screenshots for a person: portrait 400x700 and landscape', async t => {
  const dir = path.join(BUILD, 'browser');
  fs.mkdirSync(dir, {recursive: true});
  await page.evaluate(() => { window.scrollTo(0, 0); document.activeElement?.blur(); });
  // A moment of use: the toggle on, a few answers shown, a thumb on the first joystick.
  if (await page.$eval(control('ToggleButton', 1), b => b.getAttribute('aria-pressed')) !== 'true') {
    await touch.tap(control('ToggleButton', 1));
    await robot.take(1);
  }
  const answers = [[0, 'Idle', {ConfirmResult: true}], [1, 'Idle', {ConfirmResult: true}],
    [2, 'Idle', {ConfirmResult: true}], [3, 'Busy', {ErrorResult: 'motor warming up'}]];
  const count = await page.evaluate(() => window.__velto.replies.length);
  for (const reply of answers) await robot.command({reply});
  await until(() => page.evaluate(n => window.__velto.replies.length >= n, count + answers.length), 'the answers');
  await page.evaluate(() => window.scrollTo(0, 0));
  const s = await page.$eval(control('Joystick', 5), e => { const b = e.getBoundingClientRect(); return {cx: b.left + b.width / 2, cy: b.top + b.height / 2, half: b.width / 2}; });
  const handle = await page.touchscreen.touchStart(s.cx + 0.45 * s.half, s.cy - 0.55 * s.half);
  await robot.take(1);
  const portrait = path.join(dir, 'controller.png');
  await page.screenshot({path: portrait});
  await handle.end();
  await robot.takeUntil(only('Joystick', 5, ZERO), 'the release');
  await page.setViewport({width: 700, height: 400, isMobile: true, hasTouch: true});
  const landscape = path.join(dir, 'controller-landscape.png');
  await page.screenshot({path: landscape});
  for (const file of [portrait, landscape]) assert.ok(fs.statSync(file).size > 10000, file);
  t.diagnostic('screenshots: ' + portrait + ' ' + landscape);
});
