// Measures pcmtaper.mjs in headless Chromium against the native program on
// the same input: by default 60 s of the generated music at 44.1 kHz, the
// best of a few rounds each (the native program on one core, as always), and
// prints the sizes of the page with its WebAssembly, plain and gzipped.
// A benchmark, not a test: it prints figures and fails only when something
// does not run or the outputs differ.
//
// Usage: node web/bench/run_bench.mjs --site OUT --build BUILD [--seconds 60] [--rounds 3]
import { execFileSync, spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import zlib from 'node:zlib';
import { chromium } from 'playwright-core';

const args = Object.fromEntries(
  process.argv.slice(2).reduce((pairs, a, i, all) => (a.startsWith('--') ? [...pairs, [a.slice(2), all[i + 1]]] : pairs), []),
);
const site = path.resolve(args.site ?? 'build-web');
const build = path.resolve(args.build ?? 'build');
const seconds = args.seconds ?? '60';
const rounds = Number(args.rounds ?? 3);

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'pcmtaper-bench-'));
const input = path.join(work, 'music.wav');
execFileSync(path.join(build, 'make_example'), ['music', '44100', seconds, input]);

// Native: wall time of each run (one thread; nothing else of ours running).
const nativeSeconds = [];
for (let r = 0; r < rounds; ++r) {
  const t = process.hrtime.bigint();
  const run = spawnSync(path.join(build, 'pcmtaper'), ['-q', input, path.join(work, 'native.wav')]);
  nativeSeconds.push(Number(process.hrtime.bigint() - t) / 1e9);
  if (run.status !== 0) throw new Error(`native pcmtaper failed: ${run.stderr}`);
}

const types = { '.html': 'text/html', '.mjs': 'text/javascript', '.wasm': 'application/wasm', '.wav': 'audio/wav' };
const server = http.createServer((request, response) => {
  const url = new URL(request.url, 'http://localhost');
  const file = url.pathname === '/music.wav' ? input : path.join(site, path.normalize(url.pathname));
  fs.readFile(file, (error, data) => {
    response.writeHead(error ? 404 : 200, { 'content-type': types[path.extname(file)] ?? 'application/octet-stream' });
    response.end(error ? undefined : data);
  });
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const browser = await chromium.launch({
  executablePath: args.browser ?? '/usr/bin/chromium',
  chromiumSandbox: false,
  args: ['--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
let browserResult;
try {
  const page = await browser.newPage();
  await page.goto(`http://127.0.0.1:${server.address().port}/bench/bench.html?input=/music.wav&rounds=${rounds}`);
  await page.waitForFunction(() => document.body.dataset.result, null, { timeout: 600000, polling: 500 });
  browserResult = JSON.parse(await page.evaluate(() => document.body.dataset.result));
} finally {
  await browser.close();
  server.close();
}

const native = Math.min(...nativeSeconds);
const wasm = browserResult.bestSeconds;
console.log(`input: ${seconds} s of music at 44100 Hz, best of ${rounds} rounds`);
console.log(`native: ${nativeSeconds.map((s) => s.toFixed(3)).join(' ')} s`);
console.log(`browser: ${browserResult.seconds.map((s) => s.toFixed(3)).join(' ')} s (module loaded in ${browserResult.loadSeconds.toFixed(3)} s)`);
console.log(`browser / native: ${(wasm / native).toFixed(2)}`);
const nativeSize = fs.statSync(path.join(work, 'native.wav')).size;
if (browserResult.exitCode !== 0 || browserResult.outputBytes !== nativeSize) throw new Error(`the browser's conversion differs: ${JSON.stringify(browserResult)}`);

// What a visitor loads: the page, its scripts and the WebAssembly.
const files = ['index.html', 'page.css', 'page.mjs', 'worker.mjs', 'analysis.mjs', 'plots.mjs', 'containers.mjs', 'pcmtaper.mjs', 'pcmtaper-wasm.mjs', 'pcmtaper-wasm.wasm'];
let plain = 0;
let gzipped = 0;
for (const f of files) {
  const data = fs.readFileSync(path.join(site, f));
  plain += data.length;
  gzipped += zlib.gzipSync(data, { level: 9 }).length;
}
console.log(`page with its WebAssembly: ${files.length} files, ${(plain / 1024).toFixed(1)} KiB, ${(gzipped / 1024).toFixed(1)} KiB gzipped`);
const single = fs.readFileSync(path.join(site, 'pcmtaper.html'));
console.log(`the page as one file (pcmtaper.html): ${(single.length / 1024).toFixed(1)} KiB, ${(zlib.gzipSync(single, { level: 9 }).length / 1024).toFixed(1)} KiB gzipped`);
console.log(`sha256 of the native output: ${createHash('sha256').update(fs.readFileSync(path.join(work, 'native.wav'))).digest('hex').slice(0, 16)}`);
fs.rmSync(work, { recursive: true, force: true });
