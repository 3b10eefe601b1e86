// Drives the board's web page in Debian's chromium (never a downloaded
// browser) and reports one line per check: "CHECK <name> ok|FAIL <detail>".
// Run inside the daemon's network namespace by tests/system/test_webpage.py:
//   node webpage_check.mjs BASE_URL SCREENSHOT_DIR UPLOAD_FILE DAEMON_PID
import { chromium } from 'playwright-core';
import { readFileSync, mkdirSync } from 'node:fs';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';

const [base, shots, uploadFile, daemonPid] = process.argv.slice(2);
const here = dirname(fileURLToPath(import.meta.url));
const axeSource = readFileSync(join(here, 'node_modules/axe-core/axe.min.js'), 'utf8');
mkdirSync(shots, { recursive: true });
let failures = 0;
function check(name, ok, detail = '') {
  if (!ok) failures++;
  console.log(`CHECK ${name} ${ok ? 'ok' : 'FAIL'} ${detail}`.trim());
}
async function step(name, f) {
  try { await f(); } catch (e) { check(name, false, String(e.message || e).split('\n')[0]); }
}

const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],  // playwright gives each launch a fresh profile directory
});
const context = await browser.newContext({ viewport: { width: 390, height: 844 }, deviceScaleFactor: 1 });
const page = await context.newPage();
const consoleErrors = [];
page.on('pageerror', (e) => consoleErrors.push(String(e)));
const T = 10000;

async function axe(name) {
  await page.addScriptTag({ content: axeSource });
  const r = await page.evaluate(async () => (await window.axe.run(document, { resultTypes: ['violations'] })).violations
    .filter((v) => v.impact === 'serious' || v.impact === 'critical').map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).slice(0, 3).join(', ')}`));
  check(`axe ${name}`, r.length === 0, r.join('; '));
}
async function visit(section) {
  await page.click(`nav a[href="#${section}"]`);
  await page.waitForSelector(`#${section}:not([hidden])`, { timeout: T });
}
async function shot(name) { await page.screenshot({ path: join(shots, `${name}.png`), fullPage: true }); }

await step('open', async () => {
  await page.goto(base + '/', { waitUntil: 'domcontentloaded', timeout: T });
  check('redirect to /ui/', page.url().endsWith('/ui/'), page.url());
  await page.waitForFunction(() => document.getElementById('conn').textContent === 'Live', null, { timeout: T });
  check('live stream', true);
  await page.waitForFunction(() => document.getElementById('st-status').textContent === 'idle', null, { timeout: T });
  await page.evaluate(() => { window.__sameDocument = true; });
  await shot('now-idle');
  await axe('now');
});

await step('playlist start', async () => {
  await visit('playlists');
  await page.waitForSelector('#pl-list article', { timeout: T });
  await page.waitForFunction(() => document.querySelector('#pl-list').textContent.includes('sequence: yard.lseq'), null, { timeout: T });
  await shot('playlists');
  await axe('playlists');
  await page.click('button[aria-label="Play once: yard"]');
  await page.waitForFunction(() => document.getElementById('st-status').textContent === 'playing' &&
    document.getElementById('st-playlist').textContent === 'yard', null, { timeout: T });
  check('status playing without reload', await page.evaluate(() => window.__sameDocument === true));
  await page.waitForFunction(() => document.getElementById('st-progress').value > 0, null, { timeout: T });
  await shot('now-playing');
});

await step('volume', async () => {
  const box = await page.locator('#volume').boundingBox();
  await page.mouse.move(box.x + 2, box.y + box.height / 2);
  await page.mouse.down();
  await page.mouse.move(box.x + box.width * 0.3, box.y + box.height / 2, { steps: 5 });
  await page.mouse.up();
  const shown = +(await page.locator('#volume').inputValue());
  let got = -1;
  for (let i = 0; i < 50 && got !== shown; i++) {
    got = await page.evaluate(async () => (await (await fetch('/lyrd/volume')).json()).volume);
    await page.waitForTimeout(100);
  }
  check('volume drag reaches the daemon', got === shown && shown > 10 && shown < 50, `slider ${shown} daemon ${got}`);
});

await step('log follows', async () => {
  await visit('log');
  await page.waitForFunction(() => document.getElementById('lo-text').textContent.includes("Manually starting non-repeating playlist 'yard'"), null, { timeout: T });
  const before = await page.locator('#lo-text').textContent();
  await page.evaluate(() => fetch('/command', { method: 'POST', body: JSON.stringify({ command: 'Stop Now' }) }));
  await page.waitForFunction((n) => document.getElementById('lo-text').textContent.length > n, before.length, { timeout: T });
  check('log line pushed live', true);
  await shot('log');
  await axe('log');
});

await step('schedule', async () => {
  await visit('schedule');
  await page.waitForFunction(() => document.getElementById('sc-enabled').textContent.includes('scheduler'), null, { timeout: T });
  await shot('schedule');
  await axe('schedule');
});

await step('upload', async () => {
  await visit('files');
  await page.selectOption('#up-folder', 'sequences');
  await page.setInputFiles('#up-file', uploadFile);
  await page.click('#upload button[type=submit]');
  await page.waitForFunction(() => document.getElementById('up-msg').textContent.startsWith('Stored'), null, { timeout: 30000 });
  check('progress bar full', (await page.locator('#up-progress').evaluate((e) => e.value)) === 1);
  await page.waitForFunction(() => document.getElementById('fi-list').textContent.includes('big.lseq'), null, { timeout: T });
  await shot('files');
  await axe('files');
  await page.evaluate(() => fetch('/command', { method: 'POST', body: JSON.stringify({ command: 'Start Playlist', args: ['uploaded', 'false'] }) }));
  await visit('now');
  await page.waitForFunction(() => document.getElementById('st-sequence').textContent === 'big.lseq', null, { timeout: T });
  check('uploaded sequence plays', true);
  await page.click('#now button[data-cmd="Stop Now"]');
  await page.waitForFunction(() => document.getElementById('st-status').textContent === 'idle', null, { timeout: T });
});

await step('broken upload', async () => {
  await visit('files');
  await page.route('**/ui/api/files/sequences/**', (r) => r.abort('connectionreset'));
  await page.setInputFiles('#up-file', { name: 'broken.lseq', mimeType: 'application/octet-stream', buffer: Buffer.alloc(200000, 7) });
  await page.click('#upload button[type=submit]');
  await page.waitForFunction(() => document.getElementById('up-msg').textContent.includes('broke off'), null, { timeout: T });
  check('broken upload message', true, await page.locator('#up-msg').textContent());
  await page.unroute('**/ui/api/files/sequences/**');
});

await step('refused upload', async () => {
  await page.evaluate(() => fetch('/ui/api/settings', { method: 'POST', body: JSON.stringify({ values: { uploadSizeLimitMB: '1' } }) }));
  await page.setInputFiles('#up-file', uploadFile);
  await page.click('#upload button[type=submit]');
  await page.waitForFunction(() => document.getElementById('up-msg').textContent.includes('over the upload limit'), null, { timeout: T });
  check('refused upload message', true, await page.locator('#up-msg').textContent());
  await page.evaluate(() => fetch('/ui/api/settings', { method: 'POST', body: JSON.stringify({ values: { uploadSizeLimitMB: '2048' } }) }));
});

await step('outputs', async () => {
  await visit('outputs');
  await page.waitForFunction(() => document.getElementById('ou-enabled').textContent === 'enabled', null, { timeout: T });
  await page.fill('#t-set', '1-64');
  await page.click('#test-form button[type=submit]');
  await page.waitForFunction(() => [...document.querySelectorAll('#ch-grid span')].some((s) => s.textContent === '255'), null, { timeout: T });
  check('channel tester values live', true);
  await shot('outputs');
  await axe('outputs');
  await page.click('#t-stop');
});

await step('remotes and overlays', async () => {
  await visit('remotes');
  await page.waitForSelector('#re-systems tbody tr, #re-systems caption', { timeout: T });
  await shot('remotes');
  await axe('remotes');
  await visit('overlays');
  await page.waitForSelector('#ov-list article', { timeout: T });
  await page.fill('#ov-list input[type=text]', 'Hi');
  await page.click('#ov-list button:has-text("Fill")');
  await page.waitForFunction(() => document.querySelector('#ov-list p.ok'), null, { timeout: T });
  check('fill sets the state shown', (await page.locator('#ov-list select').inputValue()) === 'Enabled');
  await page.evaluate(() => { document.querySelector('#ov-list p[role=status]').className = ''; });
  await page.click('#ov-list button:has-text("Show text")');
  await page.waitForFunction(() => /ok|error/.test(document.querySelector('#ov-list p[role=status]').className), null, { timeout: T });
  check('overlay text runs', (await page.locator('#ov-list p[role=status]').getAttribute('class')) === 'ok',
    await page.locator('#ov-list p[role=status]').textContent());
  await shot('overlays');
  await axe('overlays');
});

await step('settings', async () => {
  await visit('settings');
  await page.waitForSelector('#set-HostDescription', { timeout: T });
  await page.fill('#set-HostDescription', 'Front yard');
  await page.fill('#set-uploadSizeLimitMB', 'lots');
  await page.click('#se-form button[type=submit]');
  await page.waitForFunction(() => document.getElementById('se-msg').textContent.includes('need fixing'), null, { timeout: T });
  check('bad setting message', (await page.locator('#set-uploadSizeLimitMB-e').textContent()).includes('must be a number'));
  await shot('settings-error');
  await page.fill('#set-uploadSizeLimitMB', '2048');
  await page.click('#se-form button[type=submit]');
  await page.waitForFunction(() => document.getElementById('se-msg').textContent.startsWith('Saved'), null, { timeout: T });
  check('setting saved with restart word', (await page.locator('#se-msg').textContent()).includes('Restart lyrd for HostDescription'),
    await page.locator('#se-msg').textContent());
  check('no access control shown', (await page.locator('#se-access').textContent()) === 'no access control set');
  await axe('settings');
});

await step('dark', async () => {
  await page.click('#theme');
  await visit('now');
  await shot('now-dark');
  await axe('now dark');
  await page.setViewportSize({ width: 1280, height: 800 });
  await shot('now-desktop-dark');
});

await step('vanished daemon', async () => {
  process.kill(+daemonPid, 'SIGTERM');
  await page.waitForFunction(() => document.getElementById('conn').textContent === 'Board not answering' &&
    !document.getElementById('banner').hidden, null, { timeout: 20000 });
  check('vanished daemon message', true, await page.locator('#banner').textContent());
  await shot('daemon-gone');
});

check('no script errors', consoleErrors.length === 0, consoleErrors.join('; '));
await browser.close();
console.log(`CHECKS DONE ${failures} failed`);
process.exit(failures ? 1 : 0);
