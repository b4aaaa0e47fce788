// Opens a report page ROUNDS times in headless chromium (a fresh tab each
// time) and prints, for each, the time from navigation to the load event,
// the page script's own time, and the time to the first frame after load;
// then the medians.
//
//   node page_render.mjs NODE_MODULES_DIR PAGE ROUNDS
import { createRequire } from 'node:module';
import path from 'node:path';

const [modules, page, rounds] = process.argv.slice(2);
const puppeteer = createRequire(path.resolve(modules, 'package.json'))('puppeteer-core');
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true,
  args: [...(process.getuid() === 0 ? ['--no-sandbox'] : []), '--disable-gpu'],
});
const runs = [];
for (let i = 0; i < Number(rounds); i++) {
  const tab = await browser.newPage();
  await tab.setViewport({ width: 1400, height: 900 });
  await tab.goto('file://' + path.resolve(page), { waitUntil: 'load' });
  const r = await tab.evaluate(() => new Promise((done) => {
    const root = document.documentElement;
    requestAnimationFrame(() => requestAnimationFrame(() => done({
      load: performance.getEntriesByType('navigation')[0].loadEventEnd,
      script: Number(root.getAttribute('data-render-ms')),
      frame: performance.now(),
      steps: root.getAttribute('data-render-steps'),
    })));
  }));
  runs.push(r);
  console.log(`round ${i + 1}: load ${r.load.toFixed(0)} ms, script ${r.script.toFixed(0)} ms, first frame after load ${r.frame.toFixed(0)} ms (${r.steps})`);
  await tab.close();
}
await browser.close();
const median = (k) => runs.map((r) => r[k]).sort((a, b) => a - b)[Math.floor(runs.length / 2)].toFixed(0);
console.log(`median: load ${median('load')} ms, script ${median('script')} ms, first frame ${median('frame')} ms`);
