// Times the page (web/) as a visitor on a phone network meets it: Chromium's "Fast 4G"
// emulation (about 1 MB/s down, 165 ms of latency), an empty cache each time, served as
// GitHub Pages serves it (compressed) and uncompressed. For each load it notes when the page
// was ready to start a run (it says "to start": a click then starts one), clicks at once,
// and notes when the title was on the screen; then prints the medians and ranges, and the
// bytes transferred. A measurement, not a test: it fails only if a load did not get there.
// Usage: node bench/page.mjs SITE [LOADS] (SITE: the build's site/ folder; 5 loads)
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import zlib from 'node:zlib';
import { createRequire } from 'node:module';

const here = path.dirname(new URL(import.meta.url).pathname);
const site = path.resolve(process.argv[2] ?? 'build-web/site');
const loads = Number(process.argv[3] ?? 5);
const puppeteer = createRequire(path.join(here, '../web/package.json'))('puppeteer-core');

function serve(folder) {
  const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css',
                  '.wasm': 'application/wasm' };
  const server = http.createServer((request, response) => {
    const name = new URL(request.url, 'http://host').pathname.replace(/\/$/, '/index.html');
    fs.readFile(path.join(folder, name), (error, data) => {
      const headers = { 'content-type': types[path.extname(name)] ?? 'text/plain' };
      if (!error && server.compress && /gzip/.test(request.headers['accept-encoding'])) {
        headers['content-encoding'] = 'gzip';
        data = zlib.gzipSync(data);
      }
      response.writeHead(error ? 404 : 200, headers);
      response.end(error ? undefined : data);
    });
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// In the page from its first moment: when the status line first says "to start", and when
// the terminal first shows the title, in ms since the navigation began.
function watch() {
  window.bench = {};
  new MutationObserver(() => {
    const status = document.getElementById('status')?.textContent ?? '';
    if (status.includes('to start')) window.bench.ready ??= performance.now();
    const terminal = document.getElementById('terminal')?.textContent ?? '';
    if (terminal.includes('Demo bit-field')) window.bench.title ??= performance.now();
  }).observe(document, { subtree: true, childList: true, characterData: true });
}

async function load(browser, url) {
  const context = await browser.createBrowserContext(); // an empty cache
  const page = await context.newPage();
  await page.emulateNetworkConditions(puppeteer.PredefinedNetworkConditions['Fast 4G']);
  await page.evaluateOnNewDocument(watch);
  page.goto(url).catch(() => {});
  await page.waitForFunction(() => window.bench?.ready, { timeout: 10000, polling: 'mutation' });
  const clicked = await page.evaluate(() => {
    document.getElementById('terminal').click();
    return performance.now();
  });
  await page.waitForFunction(() => window.bench.title, { timeout: 10000, polling: 'mutation' });
  const figures = await page.evaluate(() => ({
    ...window.bench,
    bytes: performance.getEntriesByType('navigation').concat(performance.getEntriesByType('resource'))
      .reduce((sum, entry) => sum + entry.transferSize, 0),
  }));
  await context.close();
  return { ready: figures.ready, title: figures.title - clicked, kb: figures.bytes / 1024 };
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const summary = (values) => `${median(values).toFixed(0)} (${Math.min(...values).toFixed(0)}-` +
  `${Math.max(...values).toFixed(0)})`;

const server = await serve(site);
const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'bench-page-'));
let browser = null;
const give_up = setTimeout(() => {
  console.error('bench/page: no result within 120 s');
  const pid = browser?.process()?.pid;
  if (pid) process.kill(-pid, 'SIGKILL');
  process.exit(1);
}, 120000);
try {
  browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true, timeout: 10000,
    userDataDir: profile,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const url = `http://127.0.0.1:${server.address().port}/`;
  console.log(`Fast 4G, ${loads} loads each: median (range)`);
  console.log('served         ready after navigation (target 700 ms)   title after the click (target 300 ms)   transferred');
  for (const compress of [true, false]) {
    server.compress = compress;
    const results = [];
    for (let i = 0; i < loads; i++) results.push(await load(browser, url));
    const column = (name) => summary(results.map((result) => result[name]));
    console.log(`${compress ? 'compressed  ' : 'uncompressed'}   ${column('ready').padEnd(39)}` +
                ` ${column('title').padEnd(39)} ${median(results.map((r) => r.kb)).toFixed(1)} KB`);
  }
} catch (error) {
  console.error(`bench/page: ${error.stack}`);
  process.exitCode = 1;
} finally {
  clearTimeout(give_up);
  await browser?.close();
  server.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
