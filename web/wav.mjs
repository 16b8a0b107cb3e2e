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

// The name the program gives the output of `inputName`: when the fourth byte
// from the end of its UTF-8 name is a full stop, the last four bytes become
// ".8b.wav" (take1.wav gives take1.8b.wav; the cut is at the full stop, so on
// a character's boundary). The program refuses a name without one (the
// output would be the input itself); a page only names a download, so it
// appends ".8b.wav" then.
export function derivedOutputName(inputName) {
  const bytes = new TextEncoder().encode(inputName);
  if (bytes.length >= 4 && bytes[bytes.length - 4] === 0x2e) {
    return new TextDecoder().decode(bytes.subarray(0, bytes.length - 4)) + '.8b.wav';
  }
  return `${inputName}.8b.wav`;
}
