// The browser test of the web page: headless Chromium (the system's, driven
// through playwright-core) converts generated inputs through pcmtaper.mjs and
// through the page itself, and every result must be the native program's:
// exit code, SHA-256 of the output file, and standard output; so must a
// stereo 24-bit and a float WAV file converted with a chosen rate, channel
// and gain or normalising, and FLAC files of the 24-bit one and of a 16-bit
// one, which this browser decodes to the same samples. A stereo file must be mixed by
// default, no card may name other tools, an A-law WAV file, which the
// converter refuses, must be decoded by the browser to the samples of its
// 16-bit copy, an MP3 file must be decoded at its
// own rate and say that its samples are the browser's, a file whose rate the
// page cannot read must say so, a cut-off file must show the program's
// remark, the page must make no network request
// after it has loaded, must label every control, must show its figures beside
// those of plain rounding, TPDF dither and fixed shaping, and must say plainly
// that it needs a server when opened as a file; the page made as one file
// (pcmtaper.html) must convert from file:// with the native program's bytes.
//
// Usage: node web/test/browser_test.mjs --site OUT --build BUILD
//          [--seconds 3] [--browser /usr/bin/chromium] [--screenshot FILE.png]
// (OUT from web/build.sh OUT; BUILD holds the native pcmtaper and make_example.)
// Prints one line per check and "N passed, M failed"; exits 1 on a failure.
import { execFileSync, spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const args = Object.fromEntries(
  process.argv.slice(2).reduce((pairs, a, i, all) => (a.startsWith('--') ? [...pairs, [a.slice(2), all[i + 1]]] : pairs), []),
);
const site = path.resolve(args.site ?? 'out');
const build = path.resolve(args.build ?? 'build');
const seconds = args.seconds ?? '3';
const browserPath = args.browser ?? '/usr/bin/chromium';

// The inputs of .ci/cross: every example kind at six rates.
const kinds = ['tone', 'chirp', 'noise', 'bursts', 'music'];
const rates = [8000, 11025, 16000, 22050, 44100, 88200];

let passed = 0;
let failed = 0;
function check(ok, what, detail = '') {
  if (ok) ++passed;
  else ++failed;
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}${!ok && detail ? `: ${detail}` : ''}`);
}

const sha256 = (bytes) => createHash('sha256').update(bytes).digest('hex');

// The text after the two name lines, as pcmtaper.mjs gives it.
function afterNameLines(text) {
  let at = 0;
  for (let line = 0; line < 2; ++line) {
    const end = text.indexOf('\r\n', at);
    if (end < 0) return text.slice(at);
    at = end + 2;
  }
  return text.slice(at);
}

// ---- inputs and the native results ----------------------------------------------

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'pcmtaper-web-'));
const inputs = path.join(work, 'inputs');
fs.mkdirSync(inputs);
const names = [];
for (const kind of kinds) {
  for (const rate of rates) {
    const name = `${kind}_${rate}.wav`;
    execFileSync(path.join(build, 'make_example'), [kind, String(rate), seconds, path.join(inputs, name)]);
    names.push(name);
  }
}

// A canonical WAV header: PCM (tag 1) or float (tag 3).
function wavHeader(channels, rateHz, dataBytes, bits = 16, tag = 1) {
  const h = Buffer.alloc(44);
  h.write('RIFF\0\0\0\0WAVEfmt \x10\0\0\0', 0, 'latin1');
  h.write('data', 36);
  const blockBytes = (channels * bits) / 8;
  // [offset, value, bytes]
  const fields = [[4, 36 + dataBytes, 4], [20, tag, 2], [22, channels, 2], [24, rateHz, 4], [28, rateHz * blockBytes, 4], [32, blockBytes, 2], [34, bits, 2], [40, dataBytes, 4]];
  for (const [at, value, size] of fields) h.writeUIntLE(value, at, size);
  return h;
}
// A stereo file: two channels and a little data.
fs.writeFileSync(path.join(inputs, 'stereo.wav'), Buffer.concat([wavHeader(2, 44100, 4000), Buffer.alloc(4000, 7)]));
// A cut-off file: the first part of a generated one, its header unchanged.
fs.writeFileSync(path.join(inputs, 'cut-off.wav'), fs.readFileSync(path.join(inputs, 'music_22050.wav')).subarray(0, 44 + 20000));
// A stereo 24-bit file whose channels differ and use all 24 bits, and a
// stereo float one that goes beyond full scale, from a generated 16-bit one.
{
  const music = fs.readFileSync(path.join(inputs, 'music_44100.wav')).subarray(44);
  const frames = music.length / 2;
  const s = (i) => music.readInt16LE(2 * i);
  const pcm24 = Buffer.alloc(frames * 6);
  const float = Buffer.alloc(frames * 8);
  for (let i = 0; i < frames; ++i) {
    pcm24.writeIntLE(s(i) * 256 + ((i * 37) & 255), 6 * i, 3);
    pcm24.writeIntLE(Math.round(8e6 * Math.sin(i / 11)) , 6 * i + 3, 3);
    float.writeFloatLE(s(i) / 16384, 8 * i);  // twice full scale at the peaks
    float.writeFloatLE(0.5 * Math.sin(i / 5), 8 * i + 4);
  }
  fs.writeFileSync(path.join(inputs, 'stereo24.wav'), Buffer.concat([wavHeader(2, 44100, pcm24.length, 24), pcm24]));
  fs.writeFileSync(path.join(inputs, 'float.wav'), Buffer.concat([wavHeader(2, 44100, float.length, 32, 3), float]));
}
// Other containers, made by ffmpeg: a FLAC file of the 24-bit one (lossless:
// the browser decodes it to the same samples), an MP3 file at 22050 Hz
// (lossy), and an Ogg file of a codec whose rate the page does not read.
const ffmpeg = (...a) => execFileSync('ffmpeg', ['-v', 'error', '-y', ...a]);
ffmpeg('-i', path.join(inputs, 'stereo24.wav'), '-c:a', 'flac', path.join(inputs, 'stereo24.flac'));
ffmpeg('-i', path.join(inputs, 'music_22050.wav'), '-c:a', 'flac', path.join(inputs, 'music_22050.flac'));
ffmpeg('-i', path.join(inputs, 'music_22050.wav'), '-c:a', 'libmp3lame', '-b:a', '64k', path.join(inputs, 'music.mp3'));
// An A-law WAV file, which the converter refuses and the browser decodes
// exactly, and the 16-bit WAV file of its samples.
ffmpeg('-i', path.join(inputs, 'music_22050.wav'), '-c:a', 'pcm_alaw', '-bitexact', path.join(inputs, 'alaw.wav'));
ffmpeg('-i', path.join(inputs, 'alaw.wav'), '-c:a', 'pcm_s16le', '-bitexact', path.join(inputs, 'alaw16.wav'));
fs.writeFileSync(path.join(inputs, 'speex.ogg'), Buffer.concat([Buffer.from('OggS\0\x02'), Buffer.alloc(20), Buffer.from([1, 48]), Buffer.from('Speex   '), Buffer.alloc(40)]));

// Conversions: the 30 inputs with the default options, then one input with
// each combination of --zero-dc and --align, the other output formats, and
// an option the format has no use for (a usage error), the refused and
// remarked files, and the input stage's options on the stereo and float
// files. `controls` are what is set on the page (default: mix, the file's
// rate, no gain); `args` the program's options, written out here as the page
// shows them (a mono file's without the channel); `options` the same for
// pcmtaper.mjs; `output` the output's name (the program's derived name).
// A decoded file (`decoded`) is compared with the program on `same` (the WAV
// file of its samples), or not at all (null).
const cases = names.map((name) => ({ name, options: {}, args: [], output: name.replace(/\.wav$/, '.8b.wav') }));
cases.push(
  { name: 'music_11025.wav', options: { zeroDc: true }, args: ['--zero-dc'], output: 'music_11025.8b.wav' },
  { name: 'music_11025.wav', options: { align: true }, args: ['--align'], output: 'music_11025.8b.wav' },
  { name: 'music_11025.wav', options: { zeroDc: true, align: true }, args: ['--zero-dc', '--align'], output: 'music_11025.8b.wav' },
  { name: 'music_8000.wav', options: { format: 'u8' }, args: ['--format=u8'], output: 'music_8000.u8' },
  { name: 'music_8000.wav', options: { format: 's8', align: true }, args: ['--align', '--format=s8'], output: 'music_8000.s8' },
  { name: 'music_8000.wav', options: { format: 'c', cAttribute: 'PROGMEM' }, args: ['--format=c', '--c-attribute=PROGMEM'], output: 'music_8000.h' },
  { name: 'music_8000.wav', options: { format: 'c-s8', cName: 'blip_snd' }, args: ['--format=c-s8', '--c-name=blip_snd'], output: 'music_8000.h' },
  { name: 'music_8000.wav', options: { keepMetadata: true }, args: ['--keep-metadata'], output: 'music_8000.8b.wav' },
  { name: 'music_8000.wav', options: { format: 'u8', keepMetadata: true }, args: ['--format=u8', '--keep-metadata'], output: 'music_8000.u8' },
  { name: 'stereo.wav', options: { channel: 'mix' }, args: ['--channel=mix'], output: 'stereo.8b.wav' },
  { name: 'cut-off.wav', options: {}, args: [], output: 'cut-off.8b.wav' },
  {
    name: 'stereo24.wav', controls: { rate: '11025', gain: '-3' },
    options: { channel: 'mix', gainDb: -3, rateHz: 11025 }, args: ['--channel=mix', '--gain=-3', '--rate=11025'], output: 'stereo24.8b.wav',
  },
  {
    name: 'float.wav', controls: { rate: 'other', rateOther: '12000', channel: '1', normalize: true },
    options: { channel: 1, normalize: true, rateHz: 12000 }, args: ['--channel=1', '--normalize', '--rate=12000'], output: 'float.8b.wav',
  },
  {
    name: 'float.wav', controls: { channel: 'other', channelOther: '2', gain: '2.5', zeroDc: true },
    options: { channel: 2, gainDb: 2.5, zeroDc: true }, args: ['--channel=2', '--gain=2.5', '--zero-dc'], output: 'float.8b.wav',
  },
  {
    name: 'stereo24.flac', decoded: true, same: 'stereo24.wav', controls: { rate: '11025', gain: '-3' },
    args: ['--channel=mix', '--gain=-3', '--rate=11025'], output: 'stereo24.8b.wav',
  },
  {
    name: 'music_22050.flac', decoded: true, same: 'music_22050.wav', controls: { rate: '8000' },
    args: ['--rate=8000'], output: 'music_22050.8b.wav',
  },
  { name: 'alaw.wav', decoded: true, same: 'alaw16.wav', args: [], output: 'alaw.8b.wav' },
  { name: 'music.mp3', decoded: true, same: null, args: [], output: 'music.8b.wav' },
  { name: 'speex.ogg', decoded: true, same: null, args: [], output: null },
);
const caseKey = (c) => [c.name, ...c.args].join(' ');

const native = new Map();
for (const c of cases) {
  if (c.decoded && !c.same) continue;
  const dir = fs.mkdtempSync(path.join(work, 'native-'));
  const run = spawnSync(path.join(build, 'pcmtaper'), [...c.args, '--', path.join(inputs, c.same ?? c.name), c.output], { cwd: dir });
  const outPath = path.join(dir, c.output);
  native.set(caseKey(c), {
    exitCode: run.status,
    sha: fs.existsSync(outPath) ? sha256(fs.readFileSync(outPath)) : null,
    stdout: afterNameLines(run.stdout.toString('utf8')),
  });
}

// ---- a static server on the loopback ----------------------------------------------

const types = { '.html': 'text/html', '.mjs': 'text/javascript', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm', '.wav': 'audio/wav' };
const server = http.createServer((request, response) => {
  const url = new URL(request.url, 'http://localhost');
  let file;
  if (url.pathname === '/module-test.html') {
    response.writeHead(200, { 'content-type': 'text/html' });
    response.end('<!doctype html><title>pcmtaper.mjs test</title>');
    return;
  }
  if (url.pathname.startsWith('/inputs/')) file = path.join(inputs, path.basename(url.pathname));
  else file = path.join(site, url.pathname === '/' ? 'index.html' : path.normalize(url.pathname).replace(/^\/+/, ''));
  if (!file.startsWith(site) && !file.startsWith(inputs)) file = '';
  fs.readFile(file, (error, data) => {
    if (error) {
      response.writeHead(404);
      response.end();
      return;
    }
    response.writeHead(200, { 'content-type': types[path.extname(file)] ?? 'application/octet-stream' });
    response.end(data);
  });
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const base = `http://127.0.0.1:${server.address().port}`;

const browser = await chromium.launch({
  executablePath: browserPath,
  chromiumSandbox: false,
  args: ['--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});

function compare(what, got, want) {
  const differences = [];
  if (got.exitCode !== want.exitCode) differences.push(`exit code ${got.exitCode}, native ${want.exitCode}`);
  if (got.sha !== want.sha) differences.push(`output ${got.sha ? got.sha.slice(0, 12) : 'none'}, native ${want.sha ? want.sha.slice(0, 12) : 'none'}`);
  if (got.stdout !== undefined && got.stdout !== want.stdout) differences.push('standard output differs');
  check(differences.length === 0, what, differences.join('; '));
}

try {
  // ---- through pcmtaper.mjs -----------------------------------------------------------
  {
    const page = await browser.newPage();
    page.on('pageerror', (error) => check(false, 'pcmtaper.mjs: no error on the test page', String(error)));
    await page.goto(`${base}/module-test.html`);
    const wavCases = cases.filter((c) => !c.decoded);
    const results = await page.evaluate(async (cases) => {
      const { createPcmtaper } = await import('/pcmtaper.mjs');
      const converter = await createPcmtaper();
      const hex = (buffer) => Array.from(new Uint8Array(buffer), (b) => b.toString(16).padStart(2, '0')).join('');
      const out = [];
      for (const c of cases) {
        const bytes = new Uint8Array(await (await fetch(`/inputs/${c.name}`)).arrayBuffer());
        const r = converter.convertWav(bytes, { ...c.options, name: c.name });
        out.push({ exitCode: r.exitCode, sha: r.output ? hex(await crypto.subtle.digest('SHA-256', r.output)) : null, stdout: r.stdout, outputName: r.outputName });
      }
      return out;
    }, wavCases);
    wavCases.forEach((c, i) => {
      compare(`pcmtaper.mjs: ${caseKey(c)}`, results[i], native.get(caseKey(c)));
      if (results[i].exitCode === 0) check(results[i].outputName === c.output, `pcmtaper.mjs: ${caseKey(c)} is named ${c.output}`, results[i].outputName);
    });
    await page.close();
  }

  // ---- through the page ------------------------------------------------------------
  {
    const context = await browser.newContext({ acceptDownloads: true, viewport: { width: 1100, height: 900 } });
    const requests = [];
    context.on('request', (r) => requests.push(r.url()));
    const page = await context.newPage();
    page.on('pageerror', (error) => check(false, 'page: no script error', String(error)));
    await page.goto(`${base}/`);
    await page.waitForSelector('body[data-ready=true]', { timeout: 30000 });
    const loadedWith = requests.length;
    check(requests.some((u) => u.endsWith('/pcmtaper-wasm.wasm')), 'page: the requests of the page and its worker are seen while it loads');

    const unlabelled = await page.evaluate(() =>
      Array.from(document.querySelectorAll('input, select, button, progress, canvas, a[download]'))
        .filter((e) => !(e.labels && e.labels.length > 0) && !e.getAttribute('aria-label') && !e.textContent.trim())
        .map((e) => e.outerHTML.slice(0, 80)),
    );
    check(unlabelled.length === 0, 'page: every control is labelled (before converting)', unlabelled.join(', '));

    // One batch of files per combination of options, chosen as a person would.
    const groups = new Map();
    for (const c of cases) {
      const key = JSON.stringify([c.controls, c.options]);
      if (!groups.has(key)) groups.set(key, []);
      groups.get(key).push(c);
    }
    for (const group of groups.values()) {
      const o = group[0].options ?? {};
      const k = group[0].controls ?? {};
      await page.selectOption('#rate', k.rate ?? '');
      if (k.rateOther) await page.fill('#rate-other', k.rateOther);
      await page.selectOption('#channel', k.channel ?? 'mix');
      if (k.channelOther) await page.fill('#channel-other', k.channelOther);
      await page.setChecked('#normalize', Boolean(k.normalize));
      if (!k.normalize) await page.fill('#gain', k.gain ?? '0');
      await page.setChecked('#zero-dc', Boolean(o.zeroDc ?? k.zeroDc));
      await page.setChecked('#align', Boolean(o.align));
      await page.selectOption('#format', o.format ?? 'wav');
      await page.setChecked('#keep-metadata', Boolean(o.keepMetadata));
      await page.fill('#c-name', o.cName ?? '');
      await page.fill('#c-attribute', o.cAttribute ?? '');
      await page.setInputFiles('#files', group.map((c) => path.join(inputs, c.name)));
    }
    await page.waitForFunction(
      (count) => {
        const cards = document.querySelectorAll('article.card');
        return cards.length === count && Array.from(cards).every((c) => ['done', 'refused', 'failed'].includes(c.dataset.state));
      },
      cases.length,
      { timeout: 300000, polling: 250 },
    );

    // The bytes each card offers for download, read through its link; one
    // of them is downloaded for real, as a click does.
    const downloads = path.join(work, 'downloads');
    let downloadedForReal = false;
    for (const c of cases) {
      const title = c.args.length > 0 ? `${c.name} (${c.args.join(' ')})` : c.name;
      const card = page.locator('article.card').filter({ has: page.getByRole('heading', { name: title, exact: true }) });
      const exitCode = Number(await card.getAttribute('data-exit-code'));
      const link = card.locator('a[download]');
      let sha = null;
      let downloadName = null;
      if ((await link.count()) > 0) {
        downloadName = await link.getAttribute('download');
        sha = await link.evaluate(async (a) => {
          const bytes = await (await fetch(a.href)).arrayBuffer();
          return Array.from(new Uint8Array(await crypto.subtle.digest('SHA-256', bytes)), (b) => b.toString(16).padStart(2, '0')).join('');
        });
        if (!downloadedForReal) {
          downloadedForReal = true;
          const [download] = await Promise.all([page.waitForEvent('download'), link.click()]);
          const saved = path.join(downloads, `${caseKey(c)}.wav`);
          await download.saveAs(saved);
          check(download.suggestedFilename() === downloadName && sha256(fs.readFileSync(saved)) === sha, `page: a click downloads ${downloadName} with the bytes of its link`);
        }
      }
      const text = await card.locator('pre.messages').textContent();
      const decodedNote = (await card.locator('p.decoded').count()) > 0 ? await card.locator('p.decoded').textContent() : '';
      check(!/\b(sox|ffmpeg)\b/.test(text), `page: ${caseKey(c)} names no other tool`, text);
      if (c.decoded && !c.same) {
        if (c.name === 'music.mp3') {
          check(exitCode === 0 && sha !== null && text.includes('SAMPLE RATE: 22050'), 'page: an MP3 file is decoded at its own rate, 22050 Hz, and converted', text);
          check(/Decoded by this browser from MP3 at 22050 Hz.*this browser's MP3 decoder's/.test(decodedNote), 'page: the MP3 file\'s card says its samples are this browser\'s decoder\'s', decodedNote);
        } else {
          check((await card.getAttribute('data-state')) === 'failed' && /cannot tell this Ogg file's sample rate/.test(text) && sha === null,
            'page: a file whose rate the page cannot read says so and is not converted', text);
        }
        continue;
      }
      if (c.name === 'alaw.wav') {
        check(/^The converter does not read this WAV file's samples \(This is not a linear PCM\.\)\. Decoded by this browser from WAV at 22050 Hz, 1 channel: a format this browser decodes exactly/.test(decodedNote),
          'page: a WAV file the converter refuses is decoded by the browser, exactly', decodedNote);
      } else if (c.decoded) check(/Decoded by this browser from FLAC at (44100 Hz, 2 channels|22050 Hz, 1 channel): a format this browser decodes exactly/.test(decodedNote), `page: ${c.name} is decoded by the browser, exactly`, decodedNote);
      const want = native.get(caseKey(c));
      compare(`page: ${caseKey(c)}`, { exitCode, sha }, want);
      if (sha !== null) {
        check(downloadName === c.output, `page: ${caseKey(c)} downloads as ${c.output}`, downloadName);
        const plotted = (await card.locator('canvas.waveform').count()) + (await card.locator('canvas.spectrum').count()) + (await card.locator('table.figures').count());
        check(plotted === 3, `page: ${caseKey(c)} shows its waveform, spectrum and figures`);
        const methods = await card.locator('table.figures tbody th').allTextContents();
        const compared = ['pcmtaper', 'plain rounding', 'TPDF dither', 'fixed shaping'];
        check(
          methods.length === 4 && compared.every((m, i) => methods[i].startsWith(m)) && (await card.locator('p.reading').count()) === 1,
          `page: ${caseKey(c)} compares with rounding, TPDF dither and fixed shaping, and says how to read them`,
          methods.join(', '),
        );
      }
      // The program's own text on the card: everything but the report.
      const programLines = want.stdout.split('\r\n').filter((l) => l && !/^ *(feedback|masking|noise|start|end):/.test(l));
      const missing = programLines.filter((l) => !text.includes(l));
      check(missing.length === 0, `page: ${caseKey(c)} shows the program's text`, missing.join(' | '));
      if (c.name === 'stereo.wav') check(sha !== null, 'page: a stereo file is mixed by default');
      if (c.args.some((a) => a.startsWith('--rate') || a.startsWith('--gain') || a === '--normalize')) {
        const choices = (await card.locator('p.choices').count()) > 0 ? await card.locator('p.choices').textContent() : '(none)';
        const channelShown = !c.args.some((a) => a.startsWith('--channel')) || /→ (their mean|channel \d) →/.test(choices);
        check(/^(mono|2 channels), [^→]+, \d+ Hz → .*8-bit at \d+ Hz$/.test(choices) && channelShown, `page: ${caseKey(c)} shows its choices beside the result`, choices);
      }
      if (c.name === 'cut-off.wav') {
        check(/The data chunk claims \d+ bytes; the file holds 20000 after the header\./.test(text), 'page: the cut-off file shows its remark');
      }
    }

    const unlabelledAfter = await page.evaluate(() =>
      Array.from(document.querySelectorAll('input, select, button, progress, canvas, a[download]'))
        .filter((e) => !(e.labels && e.labels.length > 0) && !e.getAttribute('aria-label') && !e.textContent.trim())
        .map((e) => e.outerHTML.slice(0, 80)),
    );
    check(unlabelledAfter.length === 0, 'page: every control is labelled (with results)', unlabelledAfter.join(', '));

    // The A/B switch by keyboard: focus a player's switch, press B.
    const player = page.locator('article.card', { has: page.getByRole('heading', { name: 'music_44100.wav', exact: true }) }).locator('.player');
    await player.locator('button.ab').focus();
    await page.keyboard.press('b');
    check((await player.locator('button.ab').getAttribute('aria-pressed')) === 'true', 'page: B switches the player to the 8-bit result');

    if (args.screenshot) {
      const card = page.locator('article.card', { has: page.getByRole('heading', { name: 'music_44100.wav', exact: true }) });
      await page.selectOption('#rate', '');
      await page.selectOption('#channel', 'mix');
      await page.setChecked('#normalize', false);
      await page.fill('#gain', '0');
      await page.setChecked('#zero-dc', false);
      await page.setChecked('#align', false);
      await page.selectOption('#format', 'wav');
      await page.setChecked('#keep-metadata', false);
      await page.fill('#c-attribute', '');
      await player.locator('button.ab').click();
      await page.evaluate(() => {
        // The help, the controls and one file's card, as a person sees them.
        for (const c of document.querySelectorAll('article.card')) {
          if (c.dataset.file !== 'music_44100.wav' || c.querySelector('h3').textContent.includes('(')) c.remove();
        }
      });
      await card.scrollIntoViewIfNeeded();
      await page.screenshot({ path: args.screenshot, fullPage: true });
      console.log(`screenshot: ${args.screenshot}`);
    }

    const later = requests.slice(loadedWith).filter((u) => !u.startsWith('blob:') && !u.startsWith('data:'));
    check(later.length === 0, 'page: no network request after it has loaded', later.join(', '));
    await context.close();
  }

  // ---- opened as a file --------------------------------------------------------------
  {
    const page = await browser.newPage();
    await page.goto(`file://${path.join(site, 'index.html')}`);
    const warning = page.locator('#blocked');
    await warning.waitFor({ state: 'visible', timeout: 5000 }).catch(() => {});
    const text = (await warning.isVisible()) ? await warning.textContent() : '';
    check(/opened as a file \(file:\/\/\).*web server/.test(text), 'page: opened as a file, it says it needs a web server', text);
    await page.close();
  }

  // ---- the page as one file, opened from disk --------------------------------------
  {
    const single = cases.find((c) => c.name === 'music_22050.wav');
    const context = await browser.newContext({ acceptDownloads: true });
    const requests = [];
    context.on('request', (r) => requests.push(r.url()));
    const page = await context.newPage();
    page.on('pageerror', (error) => check(false, 'pcmtaper.html: no script error', String(error)));
    await page.goto(`file://${path.join(site, 'pcmtaper.html')}`);
    const ready = await page.waitForSelector('body[data-ready=true]', { timeout: 30000 }).then(() => true, () => false);
    check(ready, 'pcmtaper.html: opened from file://, the converter loads', await page.locator('#blocked').textContent());
    if (ready) {
      await page.setInputFiles('#files', path.join(inputs, single.name));
      const card = page.locator('article.card');
      await page.waitForFunction(() => ['done', 'refused', 'failed'].includes(document.querySelector('article.card')?.dataset.state), null, { timeout: 60000 });
      const link = card.locator('a[download]');
      const [download] = await Promise.all([page.waitForEvent('download'), link.click()]);
      const saved = path.join(work, 'single-file-download');
      await download.saveAs(saved);
      compare(`pcmtaper.html from file://: ${single.name}`, { exitCode: Number(await card.getAttribute('data-exit-code')), sha: sha256(fs.readFileSync(saved)) }, native.get(caseKey(single)));
      check((await card.locator('table.figures').count()) === 1, 'pcmtaper.html from file://: the figures are shown');
    }
    const fetched = requests.filter((u) => !u.startsWith('blob:') && !u.startsWith('data:') && !u.endsWith('/pcmtaper.html'));
    check(fetched.length === 0, 'pcmtaper.html: nothing fetched but the file itself', fetched.join(', '));
    await context.close();
  }
} finally {
  await browser.close();
  server.close();
  fs.rmSync(work, { recursive: true, force: true });
}

console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
