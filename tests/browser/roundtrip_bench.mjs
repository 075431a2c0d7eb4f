// Round trips page -> handler -> callback() -> page in headless Chromium: the page sends a
// ClickButton frame (as a key press on the button does), robot.py's handler answers with
// callback(), and the page's clock stops when the reply is decoded. A benchmark, not a test.
//
// Usage: node roundtrip_bench.mjs [PRESSES]   (VELTO_PYTHON and VELTO_BUILD as for the tests)
import {PYTHON, Robot, launch, openPage} from './harness.mjs';

const presses = Number(process.argv[2] || 200);
const robot = await Robot.start();
const browser = await launch();
try {
  const page = await openPage(browser, robot.url);
  await robot.command({echo: true});
  const times = await page.evaluate(async n => {
    const button = document.querySelector('.card[data-kind=ClickButton] button');
    const hook = window.__velto;
    const out = [];
    for (let i = 0; i < n; i++) {
      const replied = new Promise(resolve => { hook.onreply = resolve; });
      const start = performance.now();
      button.dispatchEvent(new KeyboardEvent('keydown', {key: 'Enter', bubbles: true, cancelable: true}));
      await replied;
      out.push(performance.now() - start);
    }
    hook.onreply = null;
    return out;
  }, presses);
  const frames = await robot.take(presses);
  if (frames.some(f => f.kind !== 'ClickButton')) throw new Error('a frame other than the click reached the handler');
  times.sort((a, b) => a - b);
  const at = q => times[Math.min(times.length - 1, Math.floor(q * times.length))];
  console.log(`page round trip (${PYTHON}, ${presses} presses): median ${at(0.5).toFixed(2)} ms, ` +
    `p90 ${at(0.9).toFixed(2)} ms, p99 ${at(0.99).toFixed(2)} ms, max ${times.at(-1).toFixed(2)} ms`);
} finally {
  await browser.close();
  await robot.stop();
}
