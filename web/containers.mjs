// The page's reading of files that are not the WAV files the converter
// reads: what container and codec a file holds and, above all, its sample
// rate, read from the container's header. The browser's decoder
// (decodeAudioData) resamples to its audio context's rate, so the page
// decodes in an OfflineAudioContext of the file's own rate, which it must
// know first; the decoded channels then go to the converter as a 32-bit
// float WAV file made here, so that the resampler and everything after it
// are the converter's own. No DOM here: node runs its tests.
//
// Usage: const found = sniffContainer(bytes);
//          // null: not a container read here; else { kind, rateHz, channels, lossy, why }
//          // (rateHz null, with why, when the header does not say)
//        undoAsymmetricScale(channels);  // 16-bit samples scaled by 1/32767 above zero
//        const wav = floatWav([left, right], 44100);  // Float32Arrays of equal length

const ascii = (bytes, at, length) => String.fromCharCode(...bytes.subarray(at, at + length));
const u16be = (b, at) => (b[at] << 8) | b[at + 1];
const u32be = (b, at) => ((b[at] << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3]) >>> 0;
const u16le = (b, at) => b[at] | (b[at + 1] << 8);
const u32le = (b, at) => (b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (b[at + 3] << 24)) >>> 0;

// Opus always decodes at 48000 Hz, whatever rate its header names as the
// original's.
const opusDecodeRateHz = 48000;

function found(kind, rateHz, channels, lossy) {
  return { kind, rateHz, channels, lossy, why: null };
}
function unknownRate(kind, lossy, why) {
  return { kind, rateHz: null, channels: null, lossy, why };
}

// ---- WAV and AIFF ---------------------------------------------------------------

// Format tags of WAV files that hold a lossy codec's frames.
const lossyWavTags = new Set([0x50, 0x55, 0xff, 0x1610]);

function sniffWav(b) {
  for (let at = 12; at + 8 <= b.length; ) {
    const size = u32le(b, at + 4);
    if (ascii(b, at, 4) === 'fmt ') {
      if (at + 16 > b.length) break;
      const tag = u16le(b, at + 8);
      return found('WAV', u32le(b, at + 12), u16le(b, at + 10), lossyWavTags.has(tag));
    }
    if (size === 0xffffffff) break;  // an RF64 size in "ds64": "fmt " comes before any such chunk
    at += 8 + size + (size & 1);
  }
  return unknownRate('WAV', false, 'its "fmt " chunk was not found');
}

// An 80-bit IEEE extended number (AIFF's rate), big-endian.
function extended80(b, at) {
  const exponent = (((b[at] & 0x7f) << 8) | b[at + 1]) - 16383;
  const mantissa = u32be(b, at + 2) * 2 ** 32 + u32be(b, at + 6);
  const magnitude = mantissa * 2 ** (exponent - 63);
  return b[at] & 0x80 ? -magnitude : magnitude;
}

function sniffAiff(b) {
  const compressed = ascii(b, 8, 4) === 'AIFC';
  for (let at = 12; at + 8 <= b.length; ) {
    const size = u32be(b, at + 4);
    if (ascii(b, at, 4) === 'COMM' && at + 26 <= b.length) {
      // An AIFC file names its codec after the rate: 'NONE', 'sowt' and the
      // float types are plain samples.
      const codec = compressed && at + 30 <= b.length ? ascii(b, at + 26, 4) : 'NONE';
      const lossy = !['NONE', 'sowt', 'twos', 'fl32', 'FL32', 'fl64', 'FL64', 'in24', 'in32', 'raw '].includes(codec);
      return found(compressed ? 'AIFF-C' : 'AIFF', Math.round(extended80(b, at + 16)), u16be(b, at + 8), lossy);
    }
    at += 8 + size + (size & 1);
  }
  return unknownRate('AIFF', false, 'its "COMM" chunk was not found');
}

// ---- FLAC -----------------------------------------------------------------------

// STREAMINFO's rate (20 bits) and channels (3 bits, less one), at the start
// of its 34 bytes.
function streamInfo(b, at, kind) {
  if (at + 18 > b.length) return unknownRate(kind, false, 'its STREAMINFO block is cut off');
  const rateHz = (b[at + 10] << 12) | (b[at + 11] << 4) | (b[at + 12] >> 4);
  const channels = ((b[at + 12] >> 1) & 7) + 1;
  if (rateHz === 0) return unknownRate(kind, false, 'its STREAMINFO block states no rate');
  return found(kind, rateHz, channels, false);
}

function sniffFlac(b, at) {
  // The first metadata block is STREAMINFO (type 0).
  if (at + 8 > b.length || (b[at + 4] & 0x7f) !== 0) return unknownRate('FLAC', false, 'its first block is not STREAMINFO');
  return streamInfo(b, at + 8, 'FLAC');
}

// ---- Ogg ------------------------------------------------------------------------

function sniffOgg(b) {
  if (b.length < 27) return unknownRate('Ogg', false, 'its first page is cut off');
  const packet = 27 + b[26];  // after the header and its segment table
  const starts = (text) => ascii(b, packet, text.length) === text;
  if (starts('\x01vorbis')) {
    if (packet + 16 > b.length) return unknownRate('Ogg Vorbis', true, 'its identification header is cut off');
    return found('Ogg Vorbis', u32le(b, packet + 12), b[packet + 11], true);
  }
  if (starts('OpusHead')) {
    if (packet + 10 > b.length) return unknownRate('Ogg Opus', true, 'its identification header is cut off');
    return found('Ogg Opus', opusDecodeRateHz, b[packet + 9], true);
  }
  if (starts('\x7fFLAC') && ascii(b, packet + 9, 4) === 'fLaC') return streamInfo(b, packet + 17, 'Ogg FLAC');
  return unknownRate('Ogg', false, 'its codec is none of Vorbis, Opus and FLAC');
}

// ---- MP4 (M4A) ------------------------------------------------------------------

// The boxes inside b[from..to): [type, content start, end].
function* boxes(b, from, to) {
  for (let at = from; at + 8 <= to; ) {
    let size = u32be(b, at);
    let header = 8;
    if (size === 1) {
      if (at + 16 > to) return;
      size = u32be(b, at + 8) * 2 ** 32 + u32be(b, at + 12);
      header = 16;
    } else if (size === 0) {
      size = to - at;
    }
    if (size < header) return;
    const end = Math.min(to, at + size);
    yield [ascii(b, at + 4, 4), at + header, end];
    at += size;
  }
}

const child = (b, from, to, type) => {
  for (const box of boxes(b, from, to)) if (box[0] === type) return box;
  return null;
};

// Sample entries of audio decoded at a rate of their own, and the lossless ones.
const losslessEntries = new Set(['alac', 'fLaC', 'lpcm', 'sowt', 'twos', 'ipcm', 'fpcm']);

// The first sound track's rate: its media header's time scale, which is
// the sample rate in the files audio programs write, else its sample
// entry's (a 16.16 number, so below 65536 Hz).
function sniffMp4(b) {
  const moov = child(b, 0, b.length, 'moov');
  if (!moov) return unknownRate('MP4', true, 'its "moov" box was not found');
  for (const [type, from, to] of boxes(b, moov[1], moov[2])) {
    if (type !== 'trak') continue;
    const mdia = child(b, from, to, 'mdia');
    const hdlr = mdia && child(b, mdia[1], mdia[2], 'hdlr');
    if (!hdlr || ascii(b, hdlr[1] + 8, 4) !== 'soun') continue;
    const mdhd = child(b, mdia[1], mdia[2], 'mdhd');
    const minf = child(b, mdia[1], mdia[2], 'minf');
    const stbl = minf && child(b, minf[1], minf[2], 'stbl');
    const stsd = stbl && child(b, stbl[1], stbl[2], 'stsd');
    const entry = stsd && stsd[1] + 8 + 36 <= stsd[2] ? stsd[1] + 8 : null;  // its first sample entry
    const codec = entry === null ? '' : ascii(b, entry + 4, 4);
    const channels = entry === null ? null : u16be(b, entry + 24);
    const lossy = !losslessEntries.has(codec);
    const kind = codec ? `MP4 (${codec.trim()})` : 'MP4';
    if (codec === 'Opus') return found(kind, opusDecodeRateHz, channels, true);
    let rateHz = 0;
    if (mdhd) rateHz = b[mdhd[1]] === 1 ? u32be(b, mdhd[1] + 20) : u32be(b, mdhd[1] + 12);
    // A time scale that is no audio rate (a video-like 600 or 1000).
    if (rateHz < 3000 && entry !== null) rateHz = u16be(b, entry + 32);
    if (rateHz === 0) return unknownRate(kind, lossy, 'its sound track states no rate');
    return found(kind, rateHz, channels, lossy);
  }
  return unknownRate('MP4', true, 'it has no sound track');
}

// ---- MPEG audio frames (MP3) and ADTS (AAC) ---------------------------------------

const mpegRatesHz = { 3: [44100, 48000, 32000], 2: [22050, 24000, 16000], 0: [11025, 12000, 8000] };
// Bit rates in kbit/s by [MPEG-1?][layer I, II, III] and index 1..14.
const mpegBitRates = {
  true: [
    [32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448],
    [32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384],
    [32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320],
  ],
  false: [
    [32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256],
    [8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160],
    [8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160],
  ],
};

// The MPEG audio frame header at `at`: { rateHz, channels, length, key }
// (key: what every frame of the stream shares), or null.
function mpegFrame(b, at) {
  if (at + 4 > b.length || b[at] !== 0xff || (b[at + 1] & 0xe0) !== 0xe0) return null;
  const version = (b[at + 1] >> 3) & 3;
  const layerBits = (b[at + 1] >> 1) & 3;
  const bitRateIndex = b[at + 2] >> 4;
  const rateIndex = (b[at + 2] >> 2) & 3;
  if (version === 1 || layerBits === 0 || bitRateIndex === 0 || bitRateIndex === 15 || rateIndex === 3) return null;
  const layer = 4 - layerBits;  // 1, 2 or 3
  const mpeg1 = version === 3;
  const rateHz = mpegRatesHz[version][rateIndex];
  const bitRate = mpegBitRates[mpeg1][layer - 1][bitRateIndex - 1] * 1000;
  const padding = (b[at + 2] >> 1) & 1;
  const length =
    layer === 1 ? (Math.floor((12 * bitRate) / rateHz) + padding) * 4
      : Math.floor(((layer === 3 && !mpeg1 ? 72 : 144) * bitRate) / rateHz) + padding;
  return { rateHz, channels: b[at + 3] >> 6 === 3 ? 1 : 2, length, key: `mpeg ${version} ${layer} ${rateIndex}` };
}

const adtsRatesHz = [96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350];

function adtsFrame(b, at) {
  if (at + 7 > b.length || b[at] !== 0xff || (b[at + 1] & 0xf6) !== 0xf0) return null;
  const rateIndex = (b[at + 2] >> 2) & 0xf;
  const length = ((b[at + 3] & 3) << 11) | (b[at + 4] << 3) | (b[at + 5] >> 5);
  if (rateIndex >= adtsRatesHz.length || length < 7) return null;
  const channels = ((b[at + 2] & 1) << 2) | (b[at + 3] >> 6);
  return { rateHz: adtsRatesHz[rateIndex], channels: channels || null, length, key: `adts ${rateIndex}` };
}

// How far into a file the first frame is looked for (past junk before it).
const frameSearchBytes = 65536;

// The first frame that is the file's last or is followed by one of the same
// stream; null when none is found.
function firstFrame(b, from, header) {
  for (let at = from; at < Math.min(b.length, from + frameSearchBytes); ++at) {
    const frame = header(b, at);
    if (!frame) continue;
    const next = at + frame.length;
    if (next === b.length || header(b, next)?.key === frame.key) return frame;
  }
  return null;
}

// Past the ID3v2 tags at the start of MP3 (and some FLAC and AAC) files.
function afterId3(b) {
  let at = 0;
  while (at + 10 <= b.length && ascii(b, at, 3) === 'ID3') {
    const size = ((b[at + 6] & 0x7f) << 21) | ((b[at + 7] & 0x7f) << 14) | ((b[at + 8] & 0x7f) << 7) | (b[at + 9] & 0x7f);
    at += 10 + size + (b[at + 5] & 0x10 ? 10 : 0);
  }
  return at;
}

// ---- the file -------------------------------------------------------------------

// What `bytes` (a Uint8Array, the whole file or its start) holds: null when
// no container read here is recognised.
export function sniffContainer(bytes) {
  const b = bytes;
  const id = ascii(b, 0, 4);
  if (['RIFF', 'RF64', 'BW64'].includes(id) && ascii(b, 8, 4) === 'WAVE') return sniffWav(b);
  if (id === 'FORM' && ['AIFF', 'AIFC'].includes(ascii(b, 8, 4))) return sniffAiff(b);
  if (id === 'OggS') return sniffOgg(b);
  if (ascii(b, 4, 4) === 'ftyp') return sniffMp4(b);
  const start = afterId3(b);
  if (ascii(b, start, 4) === 'fLaC') return sniffFlac(b, start);
  const adts = firstFrame(b, start, adtsFrame);
  if (adts) return found('AAC (ADTS)', adts.rateHz, adts.channels, true);
  const mpeg = firstFrame(b, start, mpegFrame);
  if (mpeg) return found(mpeg.key.split(' ')[2] === '3' ? 'MP3' : 'MPEG audio', mpeg.rateHz, mpeg.channels, true);
  return null;
}

// ---- the decoded samples as a WAV file ----------------------------------------------

// Some browsers (Chromium) hand 16-bit samples s as floats s / 32767 above
// zero and s / 32768 below, so that 32767 is 1.0: full scale by the decoder's
// reckoning, but not exactly the 16-bit value the converter reads from a WAV
// file (s / 32768). Where every sample of `channels` (Float32Arrays) is such
// a 16-bit value, the positive ones are set to s / 32768, in place, and true
// is returned; else (a decoder of more bits, a lossy one, a browser that
// scales by 32768 throughout) nothing changes and false is returned. Above
// zero, the float is s / 32767 rounded once, or s times 1 / 32767 in single
// precision (Chromium's).
const inverse32767 = Math.fround(1 / 32767);
const isScaled16 = (v) => {
  if (v < 0) return Number.isInteger(v * 32768);
  const s = Math.round(v * 32767);
  return s <= 32767 && (Math.fround(s / 32767) === v || Math.fround(s * inverse32767) === v);
};
export function undoAsymmetricScale(channels) {
  for (const channel of channels) {
    for (const v of channel) if (!isScaled16(v)) return false;
  }
  for (const channel of channels) {
    for (let i = 0; i < channel.length; ++i) if (channel[i] > 0) channel[i] = Math.round(channel[i] * 32767) / 32768;
  }
  return true;
}


// A WAV file (format tag 3, IEEE float, 32 bits) of `channels` (Float32Arrays
// of one length, the browser's full scale 1.0) at rateHz, interleaved.
export function floatWav(channels, rateHz) {
  const count = channels.length;
  const frames = count === 0 ? 0 : channels[0].length;
  const dataBytes = frames * count * 4;
  if (44 + dataBytes > 0xffffffff) throw new RangeError('the decoded samples are too long for a WAV file');
  const bytes = new Uint8Array(44 + dataBytes);
  const view = new DataView(bytes.buffer);
  const text = (at, s) => [...s].forEach((c, i) => view.setUint8(at + i, c.charCodeAt(0)));
  text(0, 'RIFF');
  view.setUint32(4, 36 + dataBytes, true);
  text(8, 'WAVEfmt ');
  view.setUint32(16, 16, true);
  view.setUint16(20, 3, true);
  view.setUint16(22, count, true);
  view.setUint32(24, rateHz, true);
  view.setUint32(28, rateHz * count * 4, true);
  view.setUint16(32, count * 4, true);
  view.setUint16(34, 32, true);
  text(36, 'data');
  view.setUint32(40, dataBytes, true);
  for (let c = 0; c < count; ++c) {
    const channel = channels[c];
    for (let i = 0, at = 44 + 4 * c; i < frames; ++i, at += 4 * count) view.setFloat32(at, channel[i], true);
  }
  return bytes;
}
