// Two thumbs at once, the released state sent whenever the page loses the user, and the
// gamepad mapping (through a scripted navigator.getGamepads: Chromium emulates no gamepad).
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';
import {Robot, ZERO, launch, openPage, sent, sentCount, stickValue, until} from './harness.mjs';

let robot, browser, page, cdp;
before(async () => {
  robot = await Robot.start();
  browser = await launch();
  page = await openPage(browser, robot.url, {
    setup: p => p.evaluateOnNewDocument(() => {
      // One standard gamepad, all at rest, until a test moves it.
      const pad = {id: 'scripted pad', index: 0, mapping: 'standard', connected: true, timestamp: 0,
        axes: [0, 0, 0, 0], buttons: Array.from({length: 17}, () => ({pressed: false, touched: false, value: 0}))};
      window.__pad = pad;
      Object.defineProperty(navigator, 'getGamepads', {value: () => [pad, null, null, null], configurable: true});
    }),
  });
  cdp = await page.createCDPSession();
});
after(async () => {
  await browser?.close();
  await robot?.stop();
});

const card = (kind, id) => `.card[data-kind=${kind}][data-id="${id}"]`;
const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);
const only = (kind, id, fields) => f => f.kind === kind && f.id === id && same(f.fields, fields);
const values = frames => frames.map(f => [f.kind, f.id, f.fields]);
const runs = list => list.filter((v, i) => i === 0 || !same(v, list[i - 1]));

// Every frame from `mark` on reached the handler as the canonical bytes of its values.
async function sameBytes(mark, frames) {
  assert.deepEqual((await sent(page)).slice(mark), frames.map(f => f.wire));
}

async function centre(selector) {
  return page.$eval(selector, e => {
    const r = e.getBoundingClientRect();
    return {x: r.left + r.width / 2, y: r.top + r.height / 2, half: r.width / 2};
  });
}

// Touch points through CDP: for touchStart and touchMove the fingers on the screen after the
// event, for touchEnd the fingers lifted.
const touches = (type, points) => cdp.send('Input.dispatchTouchEvent',
  {type, touchPoints: points.map(([x, y, id]) => ({x, y, id, radiusX: 2, radiusY: 2, force: 1}))});

test('two thumbs: a joystick held by one touch and a PressButton by another, each released on its own', async () => {
  await page.evaluate(() => window.scrollTo(0, 0));
  await page.$eval(card('Joystick', 5), e => e.scrollIntoView({block: 'center'}));
  const stick = await centre(card('Joystick', 5) + ' .stick-pad');
  const press = await centre(card('PressButton', 3) + ' button');
  const a = [Math.round(stick.x - 0.5 * stick.half), Math.round(stick.y + 0.4 * stick.half)];
  const b = [Math.round(stick.x + 0.3 * stick.half), Math.round(stick.y - 0.7 * stick.half)];
  const va = stickValue(a[0] - stick.x, a[1] - stick.y, stick.half);
  const vb = stickValue(b[0] - stick.x, b[1] - stick.y, stick.half);
  const p = [Math.round(press.x), Math.round(press.y)];
  const mark = await sentCount(page);
  const got = [];
  const step = async (last, what) => { got.push(...await robot.takeUntil(last, what)); };

  await touches('touchStart', [[...a, 1]]);
  await step(only('Joystick', 5, va), 'the stick at its first point');
  await touches('touchStart', [[...a, 1], [...p, 2]]);
  await step(only('PressButton', 3, [true]), 'the press by the second finger');
  await touches('touchMove', [[...b, 1], [...p, 2]]);
  await step(only('Joystick', 5, vb), 'the stick moved while the button is held');
  await touches('touchEnd', [[...p, 2]]);
  await step(only('PressButton', 3, [false]), 'the button let go');
  // The stick is still held: it goes on repeating its value.
  await step(only('Joystick', 5, vb), 'the stick still held');
  await touches('touchEnd', [[...b, 1]]);
  await step(only('Joystick', 5, ZERO), 'the stick let go');
  got.push(...await robot.quiet());

  const stickRuns = runs(got.filter(f => f.kind === 'Joystick').map(f => f.fields));
  assert.deepEqual(stickRuns, [va, vb, ZERO]);
  assert.deepEqual(values(got.filter(f => f.kind === 'PressButton')), [['PressButton', 3, [true]], ['PressButton', 3, [false]]]);
  // The button's release came while the stick was held, before the stick's release.
  const order = got.map(f => f.kind + ' ' + JSON.stringify(f.fields));
  assert.ok(order.indexOf('PressButton [false]') < order.indexOf('Joystick ' + JSON.stringify(ZERO)), order.join('\n'));
  await sameBytes(mark, got);
});

describe('release safety: a held control is let go when the page loses the user', () => {
  const EVENTS = {
    'window blur': () => page.evaluate(() => window.dispatchEvent(new Event('blur'))),
    'visibilitychange to hidden': () => page.evaluate(() => {
      Object.defineProperty(document, 'visibilityState', {value: 'hidden', configurable: true});
      document.dispatchEvent(new Event('visibilitychange'));
      delete document.visibilityState;
    }),
    'pagehide': () => page.evaluate(() => window.dispatchEvent(new Event('pagehide'))),
    'pointercancel (touch cancelled)': () => touches('touchCancel', []),
  };
  const HELD = {
    PressButton: {selector: card('PressButton', 3) + ' button', down: ['PressButton', 3, [true]], up: ['PressButton', 3, [false]]},
    Joystick: {selector: card('Joystick', 6) + ' .stick-pad', offset: [0.5, 0], down: ['Joystick', 6, [[0.5, 0], 0.5]], up: ['Joystick', 6, ZERO]},
  };
  for (const [kind, held] of Object.entries(HELD)) {
    for (const [name, fire] of Object.entries(EVENTS)) {
      test(`${kind} held by a touch, then ${name}`, async () => {
        await page.$eval(held.selector, e => e.scrollIntoView({block: 'center'}));
        const c = await centre(held.selector);
        const [ox, oy] = held.offset || [0, 0];
        const mark = await sentCount(page);
        const finger = [c.x + ox * c.half, c.y + oy * c.half, 7];
        await touches('touchStart', [finger]);
        const down = await robot.takeUntil(only(...held.down), 'the hold');
        await fire();
        const up = await robot.takeUntil(only(...held.up), 'the released state');
        // The finger is lifted afterwards (or was cancelled): nothing more is sent.
        if (!name.startsWith('pointercancel')) await touches('touchEnd', [finger]);
        const rest = await robot.quiet();
        assert.deepEqual(rest, []);
        assert.deepEqual(runs(values([...down, ...up])), [held.down, held.up]);
        await sameBytes(mark, [...down, ...up]);
      });
    }
  }
});

describe('gamepad (standard mapping)', () => {
  const setPad = (axes, pressed = []) => page.evaluate((axes, pressed) => {
    const pad = window.__pad;
    pad.axes = axes;
    pad.buttons.forEach((b, i) => { b.pressed = pressed.includes(i); b.value = b.pressed ? 1 : 0; });
    pad.timestamp++;
  }, axes, pressed);

  before(async () => {
    await page.evaluate(() => window.dispatchEvent(Object.assign(new Event('gamepadconnected'), {gamepad: window.__pad})));
    await until(() => page.$eval('#gamepad', e => e.textContent.includes('scripted pad')), 'the gamepad shown');
  });

  test('the mapping is shown on the page', async () => {
    const items = await page.$$eval('#gamepad-map li', lis => lis.map(li => li.textContent));
    assert.deepEqual(items, ['left stick: Joystick 5', 'right stick: Joystick 6', 'd-pad: Directional 7',
      'A: Click 0', 'B: Toggle 1', 'X: Confirm 2', 'Y: Press 3']);
  });

  // [what, axes, buttons, the frames it sends, then at rest again the frames that follows]
  const CASES = [
    ['left stick (y inverted)', [0.5, -1, 0, 0], [], [['Joystick', 5, [[0.5, 1], 1]]], [['Joystick', 5, ZERO]]],
    ['right stick', [0, 0, -0.25, 0.5], [], [['Joystick', 6, [[-0.25, -0.5], Math.fround(Math.hypot(0.25, 0.5))]]], [['Joystick', 6, ZERO]]],
    ['both sticks inside the dead zone', [0.08, -0.08, 0, 0.11], [], [], []],
    ['d-pad up', [0, 0, 0, 0], [12], [['DirectionalButton', 7, [0]]], []],
    ['d-pad down', [0, 0, 0, 0], [13], [['DirectionalButton', 7, [2]]], []],
    ['d-pad left', [0, 0, 0, 0], [14], [['DirectionalButton', 7, [3]]], []],
    ['d-pad right', [0, 0, 0, 0], [15], [['DirectionalButton', 7, [1]]], []],
    ['A', [0, 0, 0, 0], [0], [['ClickButton', 0, []]], []],
    ['B', [0, 0, 0, 0], [1], [['ToggleButton', 1, [true]]], []],
    ['X', [0, 0, 0, 0], [2], [['ConfirmButton', 2, []]], []],
    ['Y held', [0, 0, 0, 0], [3], [['PressButton', 3, [true]]], [['PressButton', 3, [false]]]],
  ];
  for (const [what, axes, pressed, frames, atRest] of CASES) {
    test(what, async () => {
      const mark = await sentCount(page);
      await setPad(axes, pressed);
      const got = frames.length ? await robot.takeUntil(only(...frames.at(-1)), what) : [];
      got.push(...await robot.quiet());
      await setPad([0, 0, 0, 0]);
      const after = atRest.length ? await robot.takeUntil(only(...atRest.at(-1)), what + ' at rest') : [];
      after.push(...await robot.quiet());
      assert.deepEqual(runs(values(got)), frames);
      assert.deepEqual(runs(values(after)), atRest);
      await sameBytes(mark, [...got, ...after]);
    });
  }
});
