// Tests of the page's container reading (web/containers.mjs): the rate,
// channels and kind of each container from a table of small headers made
// byte by byte, the refusals that say why, and the float WAV file the
// decoded channels are handed over in.
// Run: node --test web/test/containers.test.mjs
import assert from 'node:assert/strict';
import test from 'node:test';

import { floatWav, sniffContainer, undoAsymmetricScale } from '../containers.mjs';

// Bytes from pieces: strings as ASCII, arrays of numbers as bytes,
// Uint8Arrays as they are.
function bytes(...pieces) {
  const parts = pieces.map((p) => (typeof p === 'string' ? Uint8Array.from(p, (c) => c.charCodeAt(0)) : Uint8Array.from(p)));
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let at = 0;
  for (const p of parts) {
    out.set(p, at);
    at += p.length;
  }
  return out;
}
const le32 = (v) => [v & 255, (v >> 8) & 255, (v >> 16) & 255, (v >>> 24) & 255];
const le16 = (v) => [v & 255, v >> 8];
const be32 = (v) => [v >>> 24, (v >> 16) & 255, (v >> 8) & 255, v & 255];
const zeros = (n) => new Array(n).fill(0);

function wav(id, tag, channels, rateHz, before = []) {
  const fmt = bytes('fmt ', le32(16), le16(tag), le16(channels), le32(rateHz), le32(0), le16(0), le16(16));
  return bytes(id, le32(0), 'WAVE', ...before, fmt, 'data', le32(0));
}
// An MP4 box.
const box = (type, ...content) => {
  const inner = bytes(...content);
  return bytes(be32(8 + inner.length), type, inner);
};
const mdhd0 = (timescale) => box('mdhd', [0, 0, 0, 0], be32(0), be32(0), be32(timescale), be32(0), zeros(4));
const mdhd1 = (timescale) => box('mdhd', [1, 0, 0, 0], zeros(16), be32(timescale), zeros(8), zeros(4));
const hdlr = (handler) => box('hdlr', zeros(4), zeros(4), handler, zeros(12), [0]);
// A sample entry of `codec` with `channels` and a 16.16 rate.
const stsd = (codec, channels, rateHz) =>
  box('stsd', zeros(4), be32(1), box(codec, zeros(6), [0, 1], zeros(8), [0, channels], [0, 16], zeros(4), [rateHz >> 8, rateHz & 255], [0, 0]));
const track = (handler, mdhd, entry) => box('trak', box('mdia', mdhd, hdlr(handler), box('minf', box('stbl', entry))));
const mp4 = (...tracks) => bytes(box('ftyp', 'M4A ', zeros(4)), box('mdat', zeros(10)), box('moov', ...tracks));
// An Ogg page holding one packet.
const ogg = (...packet) => {
  const p = bytes(...packet);
  return bytes('OggS', [0, 2], zeros(8), zeros(4), zeros(4), zeros(4), [1, p.length], p);
};
// FLAC's STREAMINFO: 44100 Hz, 2 channels, 16 bits; 96000 Hz, 1 channel, 24 bits.
const streamInfo44100Stereo = [0x10, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0x0a, 0xc4, 0x42, 0xf0, ...zeros(20)];
const streamInfo96000Mono = [0x10, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0x17, 0x70, 0x01, 0x70, ...zeros(20)];
const id3 = bytes('ID3', [4, 0, 0], [0, 0, 1, 0], zeros(128));  // a tag of 128 bytes after its header
// MPEG audio frames: their header, then zeros to the frame's length.
const frame = (header, length) => bytes(header, zeros(length - header.length));
const mp3Frame = frame([0xff, 0xfb, 0x90, 0x64], 417);  // MPEG-1 layer III, 128 kbit/s, 44100 Hz, joint stereo
const mpeg2Frame = frame([0xff, 0xf3, 0x80, 0xc4], 208);  // MPEG-2 layer III, 64 kbit/s, 22050 Hz, mono
const mpeg25Frame = frame([0xff, 0xe3, 0x48, 0xc4], 288);  // MPEG-2.5 layer III, 32 kbit/s, 8000 Hz, mono
const mp2Frame = frame([0xff, 0xfd, 0x80, 0xc4], 417);  // MPEG-1 layer II, 128 kbit/s, 44100 Hz, mono
const adtsFrame = frame([0xff, 0xf1, 0x50, 0x80, 0x02, 0x1f, 0xfc], 16);  // AAC LC, 44100 Hz, 2 channels, 16 bytes
const aiff = (form, codec) =>
  bytes('FORM', be32(0), form, 'COMM', be32(codec ? 22 : 18), [0, 2], be32(0), [0, 16], [0x40, 0x0e, 0xac, 0x44, 0, 0, 0, 0, 0, 0], codec ?? [], 'SSND', be32(0));

test('each container gives its rate, channels, kind and whether its codec is lossy', () => {
  // [what, bytes, kind, rate Hz, channels, lossy]
  const table = [
    ['WAV', wav('RIFF', 1, 1, 44100), 'WAV', 44100, 1, false],
    ['WAV with an odd chunk before "fmt "', wav('RIFF', 3, 2, 22050, [bytes('LIST', le32(3), 'abc', [0])]), 'WAV', 22050, 2, false],
    ['WAV holding MP3 frames', wav('RIFF', 0x55, 2, 32000), 'WAV', 32000, 2, true],
    ['RF64', wav('RF64', 1, 6, 96000, [bytes('ds64', le32(4), zeros(4))]), 'WAV', 96000, 6, false],
    ['AIFF', aiff('AIFF'), 'AIFF', 44100, 2, false],
    ['AIFF-C of 16-bit samples', aiff('AIFC', 'sowt'), 'AIFF-C', 44100, 2, false],
    ['AIFF-C of u-law', aiff('AIFC', 'ulaw'), 'AIFF-C', 44100, 2, true],
    ['FLAC', bytes('fLaC', [0x80, 0, 0, 34], streamInfo44100Stereo), 'FLAC', 44100, 2, false],
    ['FLAC after an ID3 tag', bytes(id3, 'fLaC', [0, 0, 0, 34], streamInfo96000Mono), 'FLAC', 96000, 1, false],
    ['Ogg Vorbis', ogg('\x01vorbis', zeros(4), [2], le32(48000), zeros(12)), 'Ogg Vorbis', 48000, 2, true],
    ['Ogg Opus (decoded at 48000 Hz, whatever the original was)', ogg('OpusHead', [1, 1], [0x38, 1], le32(44100), zeros(3)), 'Ogg Opus', 48000, 1, true],
    ['Ogg FLAC', ogg('\x7fFLAC', [1, 0], [0, 1], 'fLaC', [0x80, 0, 0, 34], streamInfo96000Mono), 'Ogg FLAC', 96000, 1, false],
    ['M4A (AAC)', mp4(track('soun', mdhd0(44100), stsd('mp4a', 2, 44100))), 'MP4 (mp4a)', 44100, 2, true],
    ['M4A (ALAC) with a version 1 media header', mp4(track('soun', mdhd1(96000), stsd('alac', 2, 0))), 'MP4 (alac)', 96000, 2, false],
    ['MP4 whose first track is video', mp4(track('vide', mdhd0(600), stsd('avc1', 0, 0)), track('soun', mdhd0(22050), stsd('mp4a', 1, 22050))), 'MP4 (mp4a)', 22050, 1, true],
    ['MP4 of a time scale that is no rate: the sample entry\'s', mp4(track('soun', mdhd0(1000), stsd('mp4a', 2, 48000))), 'MP4 (mp4a)', 48000, 2, true],
    ['MP4 of Opus', mp4(track('soun', mdhd0(48000), stsd('Opus', 2, 48000))), 'MP4 (Opus)', 48000, 2, true],
    ['MP3 after an ID3 tag', bytes(id3, mp3Frame, mp3Frame), 'MP3', 44100, 2, true],
    ['MP3, MPEG-2', bytes(mpeg2Frame, mpeg2Frame), 'MP3', 22050, 1, true],
    ['MP3, MPEG-2.5, one frame alone', mpeg25Frame, 'MP3', 8000, 1, true],
    ['MP3 after junk holding a false frame header', bytes(zeros(5), [0xff, 0xfb, 0x90, 0x64], zeros(30), mp3Frame, mp3Frame), 'MP3', 44100, 2, true],
    ['MPEG-1 layer II', bytes(mp2Frame, mp2Frame), 'MPEG audio', 44100, 1, true],
    ['AAC in ADTS frames', bytes(adtsFrame, adtsFrame), 'AAC (ADTS)', 44100, 2, true],
  ];
  for (const [what, data, kind, rateHz, channels, lossy] of table) {
    const got = sniffContainer(data);
    assert.deepEqual(got, { kind, rateHz, channels, lossy, why: null }, what);
  }
});

test('a header that does not say the rate is said so, and why', () => {
  // [what, bytes, kind, a word of the reason]
  const table = [
    ['FLAC cut off', bytes('fLaC', [0x80, 0, 0, 34], zeros(6)), 'FLAC', /cut off/],
    ['FLAC without STREAMINFO first', bytes('fLaC', [0x84, 0, 0, 34], streamInfo44100Stereo), 'FLAC', /STREAMINFO/],
    ['Ogg Speex', ogg('Speex   ', zeros(40)), 'Ogg', /Vorbis, Opus and FLAC/],
    ['MP4 without sound', mp4(track('vide', mdhd0(600), stsd('avc1', 0, 0))), 'MP4', /no sound track/],
    ['WAV without "fmt "', bytes('RIFF', le32(0), 'WAVE', 'data', le32(0)), 'WAV', /fmt/],
  ];
  for (const [what, data, kind, why] of table) {
    const got = sniffContainer(data);
    assert.equal(got.kind, kind, what);
    assert.equal(got.rateHz, null, what);
    assert.match(got.why, why, what);
  }
  // Nothing known: no container, no frame that another follows.
  for (const data of [bytes('hello, world'), bytes(zeros(3), [0xff, 0xfb, 0x90, 0x64], zeros(500)), new Uint8Array(0)]) {
    assert.equal(sniffContainer(data), null);
  }
});

test('the decoded channels become a 32-bit float WAV file, interleaved', () => {
  const file = floatWav([Float32Array.from([0.5, -1, 1 / 3]), Float32Array.from([0, 2, -0.25])], 44100);
  const view = new DataView(file.buffer);
  // The sizes, tag 3, 2 channels, the rate, the byte rate, the block size, 32 bits.
  const fields = [[4, 4], [20, 2], [22, 2], [24, 4], [28, 4], [32, 2], [34, 2], [40, 4]];
  assert.deepEqual(fields.map(([at, n]) => (n === 2 ? view.getUint16(at, true) : view.getUint32(at, true))), [60, 3, 2, 44100, 44100 * 8, 8, 32, 24]);
  assert.deepEqual(Array.from({ length: 6 }, (_, i) => view.getFloat32(44 + 4 * i, true)), [0.5, 0, -1, 2, Math.fround(1 / 3), -0.25]);
  assert.equal(file.length, 44 + 24);
});

test('16-bit samples scaled by 1/32767 above zero are set to s / 32768; others are left alone', () => {
  const s = [0, 1, -1, 32767, -32768, 1698, -1698, 12345];
  // Rounded once, and as Chromium makes it (times 1 / 32767 in single precision).
  const asymmetric = (v) => Math.fround(v < 0 ? v / 32768 : v / 32767);
  const chromium = (v) => Math.fround(v < 0 ? v / 32768 : v * Math.fround(1 / 32767));
  // [what, channels, changed, after]
  const table = [
    ['asymmetric 16-bit', [s.map(asymmetric), s.map((v) => asymmetric(-v < 32768 ? -v : 0))], true,
      [s.map((v) => v / 32768), s.map((v) => (-v < 32768 ? -v : 0) / 32768)]],
    ['asymmetric 16-bit, single precision', [s.map(chromium)], true, [s.map((v) => v / 32768)]],
    ['16-bit over 32768', [s.map((v) => v / 32768)], false, [s.map((v) => v / 32768)]],
    ['24-bit over 2^23', [[1 / 8388608, 0.5 + 3 / 8388608, -7 / 8388608]], false, [[1 / 8388608, 0.5 + 3 / 8388608, -7 / 8388608]]],
    ['a lossy decoder\'s', [[0.123, -0.5, asymmetric(5)]], false, [[0.123, -0.5, asymmetric(5)]]],
  ];
  for (const [what, values, changed, after] of table) {
    const channels = values.map((c) => Float32Array.from(c));
    assert.equal(undoAsymmetricScale(channels), changed, what);
    assert.deepEqual(channels, after.map((c) => Float32Array.from(c)), what);
  }
});
