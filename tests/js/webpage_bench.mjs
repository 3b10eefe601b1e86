// Page load and push latency of the board's web page in Debian's chromium.
// Prints "RESULT name value" lines for bench/bench_webpage.py.
//   node webpage_bench.mjs BASE_URL CHANGES
import { chromium } from 'playwright-core';

const [base, changesArg] = process.argv.slice(2);
const changes = +changesArg || 300;
const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],  // playwright gives each launch a fresh profile directory
});
const context = await browser.newContext({ viewport: { width: 390, height: 844 } });
const loads = [], rendered = [], bytes = [];
for (let i = 0; i < 5; i++) {
  const page = await context.newPage();
  await page.route('**/*', (r) => r.continue({ headers: { ...r.request().headers(), 'cache-control': 'no-cache' } }));
  await page.goto(base + '/ui/', { waitUntil: 'domcontentloaded' });
  await page.waitForFunction(() => document.getElementById('st-status').textContent !== '–');
  const t = await page.evaluate(() => {
    const nav = performance.getEntriesByType('navigation')[0];
    const res = performance.getEntriesByType('resource').filter((r) => !r.name.includes('/ui/events'));
    return { dcl: nav.domContentLoadedEventEnd, done: performance.now(),
      bytes: nav.transferSize + res.reduce((a, r) => a + r.transferSize, 0) };
  });
  if (i > 0) { loads.push(t.dcl); rendered.push(t.done); bytes.push(t.bytes); }  // the first one warms chromium
  await page.close();
}
const med = (a) => [...a].sort((x, y) => x - y)[Math.floor(a.length / 2)];
console.log(`RESULT dcl_ms ${med(loads).toFixed(1)}`);
console.log(`RESULT rendered_ms ${med(rendered).toFixed(1)}`);
console.log(`RESULT bytes ${med(bytes)}`);

// Push latency: a volume change made through the API, until the status
// event that carries it reaches the page.
const page = await context.newPage();
await page.goto(base + '/ui/', { waitUntil: 'domcontentloaded' });
const lat = await page.evaluate(async (n) => {
  const es = new EventSource('/ui/events');
  let waiting = null;
  es.addEventListener('status', (e) => {
    const v = JSON.parse(e.data).volume;
    if (waiting && v === waiting.v) { waiting.resolve(performance.now()); waiting = null; }
  });
  await new Promise((r) => es.addEventListener('open', r, { once: true }));
  const out = [];
  for (let i = 0; i < n; i++) {
    const v = 20 + (i % 2) * 10 + (i % 7);
    const arrived = new Promise((resolve) => { waiting = { v, resolve }; });
    const t0 = performance.now();
    await fetch(`/lyrd/volume/${v}`, { method: 'POST' });
    const t1 = await arrived;
    out.push(t1 - t0);
    await new Promise((r) => setTimeout(r, 30 + Math.random() * 40));
  }
  es.close();
  return out;
}, changes);
lat.sort((a, b) => a - b);
console.log(`RESULT push_p50_ms ${lat[Math.floor(lat.length * 0.5)].toFixed(1)}`);
console.log(`RESULT push_p99_ms ${lat[Math.min(lat.length - 1, Math.floor(lat.length * 0.99))].toFixed(1)}`);
console.log(`RESULT push_max_ms ${lat[lat.length - 1].toFixed(1)}`);
await browser.close();
