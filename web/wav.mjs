// What the page reads of WAV files for its plots and players: the rate, the
// layout and the samples of the data chunk. The converter itself reads the
// input (with every oddity it handles); this small walker only has to follow
// the files that the converter accepted and the 8-bit files it wrote, and
// gives null for anything else (the plots are then left out).

function id(view, at) {
  return String.fromCharCode(view.getUint8(at), view.getUint8(at + 1), view.getUint8(at + 2), view.getUint8(at + 3));
}

// { rateHz, channels, bitsPerSample, samples } with samples an Int16Array
// (16-bit) or a Uint8Array (8-bit) of the data present, or null.
export function readWav(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  if (bytes.length < 12 || !['RIFF', 'RF64', 'BW64'].includes(id(view, 0)) || id(view, 8) !== 'WAVE') return null;
  let format = null;
  let dataSize64 = null;
  for (let at = 12; at + 8 <= bytes.length; ) {
    const chunk = id(view, at);
    let size = view.getUint32(at + 4, true);
    const body = at + 8;
    if (chunk === 'ds64' && body + 16 <= bytes.length) {
      dataSize64 = view.getUint32(body + 8, true) + view.getUint32(body + 12, true) * 2 ** 32;
    } else if (chunk === 'fmt ' && body + 16 <= bytes.length) {
      format = {
        channels: view.getUint16(body + 2, true),
        rateHz: view.getUint32(body + 4, true),
        bitsPerSample: view.getUint16(body + 14, true),
      };
    } else if (chunk === 'data') {
      if (format === null) return null;
      if (size === 0xffffffff && dataSize64 !== null) size = dataSize64;
      const length = Math.min(size, bytes.length - body);
      const frameBytes = (format.bitsPerSample / 8) * format.channels;
      if (![8, 16].includes(format.bitsPerSample) || format.channels < 1) return null;
      const frames = Math.floor(length / frameBytes);
      let samples;
      if (format.bitsPerSample === 16) {
        samples = new Int16Array(frames * format.channels);
        for (let i = 0; i < samples.length; ++i) samples[i] = view.getInt16(body + 2 * i, true);
      } else {
        samples = bytes.slice(body, body + frames * format.channels);
      }
      return { ...format, samples };
    }
    at = body + size + (size & 1);
  }
  return null;
}

// The unsigned 8-bit samples of an output in `format` (the WAV output's data
// chunk in every format), or null.
export function outputSamples(bytes, format = 'wav') {
  if (format === 'wav') {
    const wav = readWav(bytes);
    return wav && wav.bitsPerSample === 8 && wav.channels === 1 ? wav.samples : null;
  }
  if (format === 'u8') return bytes;
  if (format === 's8') return bytes.map((b) => b ^ 0x80);
  if (format === 'c' || format === 'c-s8') {
    // The values between the array's braces: 0x.. (unsigned) or decimal (signed).
    const text = new TextDecoder().decode(bytes);
    const open = text.indexOf('= {');
    const close = text.indexOf('};', open);
    if (open < 0 || close < 0) return null;
    const values = text.slice(open + 3, close).match(/-?(0x[0-9a-fA-F]+|\d+)/g) ?? [];
    return Uint8Array.from(values, (v) => (format === 'c' ? Number(v) : Number(v) + 128));
  }
  return null;
}
