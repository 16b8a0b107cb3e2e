// Tests of pcmtaper.mjs under Node: the module loads its WebAssembly from
// beside itself, converts as the native program does (bytes, texts, exit
// codes), survives callbacks that throw, and takes names and options as data.
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
  assert.deepEqual(result.input.samples.length, (music.length - 44) / 2);
  assert.ok(result.reports.length > 0 && result.reports.every((r) => r.maskingDb.length === 16 && r.stepStart.length === 22));
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
