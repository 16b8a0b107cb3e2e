// Tests of pcmtaper.mjs under Node: the module loads its WebAssembly from
// beside itself, converts as the native program does (bytes, texts, exit
// codes), with the input stage's options too, survives callbacks that throw,
// and takes names and options as data.
// Run after web/build.sh build-web and the native build in build/:
//   node --test web/test/module.test.mjs
// (PCMTAPER_WEB_SITE and PCMTAPER_BUILD name other folders.)
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import test from 'node:test';

import { floatWav } from '../containers.mjs';

const root = fileURLToPath(new URL('../..', import.meta.url));
const site = path.resolve(root, process.env.PCMTAPER_WEB_SITE ?? 'build-web');
const build = path.resolve(root, process.env.PCMTAPER_BUILD ?? 'build');
const { createPcmtaper } = await import(pathToFileURL(path.join(site, 'pcmtaper.mjs')).href);
const converter = await createPcmtaper();

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'pcmtaper-module-'));
process.on('exit', () => fs.rmSync(work, { recursive: true, force: true }));
execFileSync(path.join(build, 'make_example'), ['music', '11025', '1', path.join(work, 'music.wav')]);
const music = new Uint8Array(fs.readFileSync(path.join(work, 'music.wav')));
// A short input whose end the look-ahead cuts audibly, and a stereo one.
const short = music.slice(0, 44 + 2 * 2000);
new DataView(short.buffer).setUint32(40, 2 * 2000, true);
new DataView(short.buffer).setUint32(4, 36 + 2 * 2000, true);
const stereo = music.slice();
new DataView(stereo.buffer).setUint16(22, 2, true);

// The native program on `bytes` saved as `name` in a folder of its own:
// exit code, output bytes, standard output after the two name lines, standard error.
function native(bytes, name, args = []) {
  const dir = fs.mkdtempSync(path.join(work, 'native-'));
  fs.mkdirSync(path.join(dir, 'sub'));
  const cwd = path.join(dir, 'sub');  // so that ../x.wav is a name like any other
  fs.writeFileSync(path.resolve(cwd, name), bytes);
  const outputName = converter.outputName(name, args.find((a) => a.startsWith('--format='))?.slice(9) ?? 'wav');
  const run = spawnSync(path.join(build, 'pcmtaper'), [...args, '--', name, outputName], { cwd });
  const out = path.resolve(cwd, outputName);
  const stdout = run.stdout.toString('latin1').split('\r\n').slice(2).join('\r\n');
  return { exitCode: run.status, output: fs.existsSync(out) ? new Uint8Array(fs.readFileSync(out)) : null, stdout, stderr: run.stderr.toString('latin1') };
}

function assertSameAsNative(result, want, what) {
  assert.equal(result.exitCode, want.exitCode, `${what}: exit code`);
  assert.deepEqual(result.output, want.output, `${what}: output bytes`);
  assert.equal(result.stdout, want.stdout, `${what}: standard output`);
  assert.equal(result.stderr, want.stderr, `${what}: standard error`);
}

test('under Node it converts as the native program does, in every format', () => {
  const table = [
    [{}, []],
    [{ align: true, zeroDc: true }, ['--align', '--zero-dc']],
    [{ keepMetadata: true }, ['--keep-metadata']],
    [{ format: 'u8' }, ['--format=u8']],
    [{ format: 's8' }, ['--format=s8']],
    [{ format: 'c', cAttribute: 'PROGMEM' }, ['--format=c', '--c-attribute=PROGMEM']],
    [{ format: 'c-s8', cName: 'blip' }, ['--format=c-s8', '--c-name=blip']],
    [{ cName: 'blip' }, ['--c-name=blip']],  // a usage error: no C format
  ];
  const wavSamples = converter.convertWav(music, { name: 'music.wav' }).samples;
  for (const [options, args] of table) {
    const result = converter.convertWav(music, { ...options, name: 'music.wav' });
    const want = native(music, 'music.wav', args);
    // The page shows a usage error's first line; the program adds its usage lines.
    if (want.exitCode === 12) want.stderr = want.stderr.split('\n')[0] + '\n';
    assertSameAsNative(result, want, args.join(' ') || 'no options');
    // The samples the plots take are the output's in every format.
    if (result.exitCode === 0 && !options.align) assert.deepEqual(result.samples, wavSamples, `${args}: samples`);
  }
  const result = converter.convertWav(music, { name: 'music.wav' });
  assert.equal(result.outputName, 'music.8b.wav');
  // The shaper's input of a 16-bit mono file at its rate: its samples.
  const musicSamples = new Int16Array(music.buffer.slice(44));
  assert.deepEqual(result.input, { rateHz: 11025, samples: Float32Array.from(musicSamples) });
  assert.deepEqual(result.inputFormat, { rateHz: 11025, channels: 1, sampleType: 's16', bits: 16, validBits: 16 });
  assert.ok(result.reports.length > 0 && result.reports.every((r) => r.maskingDb.length === 16 && r.stepLowest.length === 22));
  assert.deepEqual(result.texts.map((t) => t.kind).slice(0, 3), ['counts', 'counts', 'report']);
});

test('a progress callback that throws ends its conversion alone, 600 times over', async () => {
  const converter = await createPcmtaper();
  const bytes = music.subarray(0, 44 + 4096);
  for (let i = 0; i < 600; ++i) {
    const thrown = new Error(`callback ${i}`);
    assert.throws(() => converter.convertWav(bytes, { onProgress() { throw thrown; } }), (e) => e === thrown);
  }
  const result = converter.convertWav(music, { name: 'music.wav', onProgress() {} });
  assertSameAsNative(result, native(music, 'music.wav'), 'after 600 throwing callbacks');
});

test('names and options are data: a NUL inside one splits nothing', () => {
  // The name is a name: no --align taken from it.
  const named = converter.convertWav(music, { name: 'a\0--align.wav' });
  assert.equal(named.outputName, 'a\0--align.8b.wav');
  assert.deepEqual(named.output, native(music, 'music.wav').output);
  // An option's value is one value, refused whole as the program refuses it.
  const cName = converter.convertWav(music, { format: 'c', cName: 'ok\0--force' });
  assert.equal(cName.exitCode, 12);
  // Not printable, so not echoed back.
  assert.match(cName.stderr, /^pcmtaper: --c-name is not a C identifier/);
  const attribute = converter.convertWav(music, { format: 'c', cAttribute: 'PROGMEM\0--zero-dc' });
  assert.deepEqual([attribute.exitCode, attribute.output], [12, null]);
});

test('a name such as ../x.wav stays as given in the messages and the output name', () => {
  for (const [bytes, options] of [[stereo, {}], [short, {}], [short, { format: 'c' }]]) {
    const result = converter.convertWav(bytes, { ...options, name: '../x.wav' });
    const want = native(bytes, '../x.wav', options.format ? [`--format=${options.format}`] : []);
    assertSameAsNative(result, want, `../x.wav ${JSON.stringify(options)}`);
    assert.match(result.stderr, /\.\.\/x\.wav/);
  }
  assert.equal(converter.outputName('../x.wav', 'c'), '../x.h');
  // The page names a download even where the program derives no name.
  assert.equal(converter.outputName('take1', 'wav'), 'take1.8b.wav');
});

// A WAV file of signed integer samples (`bits` 16, 24 or 32; values on
// that scale) or of floats (`bits` 'f32'), from channels of equal length:
// the float file's header with the integer format put in.
function pcmWav(channels, bits, rateHz) {
  if (bits === 'f32') return floatWav(channels.map((c) => Float32Array.from(c)), rateHz);
  const size = bits / 8;
  const data = Buffer.alloc(channels[0].length * channels.length * size);
  channels.forEach((c, k) => c.forEach((v, i) => data.writeIntLE(v, (i * channels.length + k) * size, size)));
  const h = Buffer.from(floatWav(channels.map(() => new Float32Array(0)), rateHz));
  h.writeUInt16LE(1, 20);
  h.writeUInt32LE(rateHz * channels.length * size, 28);
  h.writeUInt16LE(channels.length * size, 32);
  h.writeUInt16LE(bits, 34);
  h.writeUInt32LE(36 + data.length, 4);
  h.writeUInt32LE(data.length, 40);
  return new Uint8Array(Buffer.concat([h, data]));
}

test('a decoded file\'s float WAV of the 16-bit samples gives the 16-bit file\'s bytes', () => {
  const s = Array.from(new Int16Array(music.buffer.slice(44)));
  const result = converter.convertWav(pcmWav([s.map((v) => v / 32768)], 'f32', 11025), { name: 'music.wav' });
  assert.deepEqual([result.exitCode, result.output], [0, converter.convertWav(music, { name: 'music.wav' }).output]);
});

test('the input stage\'s options give the native program\'s bytes and texts', () => {
  // A stereo 24-bit file whose channels differ, and a float one beyond full scale.
  const s = Array.from(new Int16Array(music.buffer.slice(44)));
  const stereo24 = pcmWav([s.map((v, i) => v * 256 + ((i * 37) & 255)), s.map((v, i) => -v * 200 + (i % 5000))], 24, 11025);
  const float = pcmWav([s.map((v) => v / 20000), s.map((v, i) => Math.sin(i / 9) * 0.7)], 'f32', 11025);
  // [file, options, the program's options]
  const table = [
    [stereo24, { channel: 'mix', rateHz: 8000, gainDb: -3 }, ['--channel=mix', '--rate=8000', '--gain=-3']],
    [stereo24, { channel: 2, normalize: true }, ['--channel=2', '--normalize']],
    [float, { channel: 1, rateHz: 22050, gainDb: 2.5 }, ['--channel=1', '--rate=22050', '--gain=2.5']],
    [float, { channel: 'mix', align: true, format: 'u8' }, ['--channel=mix', '--align', '--format=u8']],
    [stereo24, {}, []],  // refused: no channel chosen
  ];
  for (const [file, options, args] of table) {
    const result = converter.convertWav(file, { ...options, name: 'in.wav' });
    assertSameAsNative(result, native(file, 'in.wav', args), args.join(' ') || 'no options');
  }
  // The shaper's input at the output's rate: round(frames x out / in) samples.
  const resampled = converter.convertWav(stereo24, { channel: 'mix', rateHz: 8000 });
  assert.deepEqual([resampled.input.rateHz, resampled.input.samples.length], [8000, Math.round((s.length * 8000) / 11025)]);
  assert.deepEqual(resampled.inputFormat, { rateHz: 11025, channels: 2, sampleType: 's24', bits: 24, validBits: 24 });
  assert.ok(converter.convertWav(stereo24, { channel: 1, normalize: true }).normalizeGainDb > 0);
});

test('input options the program refuses are usage errors with its message', () => {
  // [options, the start of the message]
  const table = [
    [{ channel: 0 }, "invalid channel '0'"],
    [{ channel: 65 }, "invalid channel '65'"],
    [{ rateHz: 999 }, "invalid rate '999'"],
    [{ rateHz: 8000.5 }, "invalid rate '8000.5'"],
    [{ gainDb: 1e6 }, "gain '1000000' out of range"],
  ];
  for (const [options, message] of table) {
    const result = converter.convertWav(music, options);
    assert.deepEqual([result.exitCode, result.output], [12, null], message);
    assert.ok(result.stderr.startsWith(`pcmtaper: ${message}`), result.stderr);
  }
  assert.throws(() => converter.convertWav(music, { channel: 'left' }), TypeError);
  assert.throws(() => converter.convertWav(music, { gainDb: '-3' }), TypeError);
});
