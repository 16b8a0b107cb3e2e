// Tests of the page's own logic (web/analysis.mjs, web/wav.mjs): the aligned
// error, the transform, the spectra and the figures against numpy (the
// quality script's own functions), plain rounding, the report and the names.
// Run: node --test web/test/analysis.test.mjs  (needs Debian's /usr/bin/python3 with
// python3-numpy for the comparisons; PYTHON names another)
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { fileURLToPath } from 'node:url';
import test from 'node:test';

import * as a from '../analysis.mjs';
import { derivedOutputName } from '../program.mjs';
import { outputSamples, readWav } from '../wav.mjs';

const here = fileURLToPath(new URL('.', import.meta.url));

// A reproducible signal: two tones and a little noise from a fixed generator.
function knownSignal(length, rateHz, seed = 1) {
  let state = seed;
  const random = () => {
    state = (Math.imul(state, 1103515245) + 12345) >>> 0;
    return state / 2 ** 32 - 0.5;
  };
  const x = new Int16Array(length);
  for (let n = 0; n < length; ++n) {
    const v = 9000 * Math.sin((2 * Math.PI * 440 * n) / rateHz) + 3000 * Math.sin((2 * Math.PI * 5100 * n) / rateHz) + 400 * random();
    x[n] = Math.round(v);
  }
  return x;
}

function close(got, want, tolerance, what) {
  assert.ok(Math.abs(got - want) <= tolerance * Math.max(1, Math.abs(want)), `${what}: ${got}, want ${want}`);
}

test('the aligned error takes the delay and the least-squares gain off', () => {
  for (const delay of [0, 224]) {
    for (const gain of [1, 0.5]) {
      const x = Float64Array.from({ length: 2000 }, (_, n) => Math.sin(n / 7));
      const noise = Float64Array.from({ length: 2000 - 224 }, (_, n) => ((n * 37) % 11) / 1000 - 0.005);
      const y = new Float64Array(delay + 1900);
      for (let n = 0; n < y.length - delay; ++n) y[delay + n] = gain * x[n] + (n < noise.length ? noise[n] : 0);
      const r = a.alignedError(x, y, delay);
      // Every result is compared over the input's samples but the last 224, or fewer.
      assert.equal(r.length, Math.min(2000 - 224, 1900));
      // The noise is nearly orthogonal to the signal: the fitted gain is the true one, the error the noise.
      close(r.gain, gain, 1e-3, `gain at delay ${delay}`);
      let mismatch = 0;
      for (let n = 0; n < r.length; ++n) mismatch = Math.max(mismatch, Math.abs(r.error[n] - (noise[n] - (r.gain - gain) * x[n])));
      assert.ok(mismatch < 1e-12, `error at delay ${delay}, gain ${gain}: off by ${mismatch}`);
    }
  }
});

test('fft gives the plain transform at every length it takes', () => {
  for (const n of [1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 16, 25, 30, 49, 60, 64, 210, 343, 1000]) {
    const re = Float64Array.from({ length: n }, (_, i) => Math.cos(i * 1.3) + i / n);
    const im = Float64Array.from({ length: n }, (_, i) => Math.sin(i * 0.7));
    const [fr, fi] = a.fft(re, im);
    for (let k = 0; k < n; ++k) {
      let sr = 0;
      let si = 0;
      for (let j = 0; j < n; ++j) {
        const angle = (-2 * Math.PI * ((j * k) % n)) / n;
        sr += re[j] * Math.cos(angle) - im[j] * Math.sin(angle);
        si += re[j] * Math.sin(angle) + im[j] * Math.cos(angle);
      }
      assert.ok(Math.abs(fr[k] - sr) < 1e-9 * n && Math.abs(fi[k] - si) < 1e-9 * n, `length ${n}, bin ${k}`);
    }
  }
  assert.throws(() => a.fft(new Float64Array(11), new Float64Array(11)), RangeError);
  assert.equal(a.smoothLengthAtMost(2645776), 2634240);
  assert.ok(a.isSmooth(a.smoothLengthAtMost(1021)) && a.smoothLengthAtMost(1021) === 1008);
});

test('the figures and the spectrum are numpy\'s on a known signal', () => {
  const rateHz = 22050;
  const x16 = knownSignal(20000, rateHz);
  // An 8-bit result: plain rounding, delayed by the look-ahead, the last 224 samples lost.
  const delay = a.lookaheadSamples;
  const rounded = a.plainRounding(x16);
  const y8 = new Uint8Array(x16.length).fill(128);
  y8.set(rounded.subarray(0, x16.length - delay), delay);
  const x = a.fullScale16(x16);
  const y = a.fullScale8(y8);
  const { figures } = a.figures(x, y, delay, rateHz);
  const nperseg = 4096;
  const reference = JSON.parse(
    execFileSync(process.env.PYTHON ?? '/usr/bin/python3', [`${here}numpy_reference.py`], {
      input: JSON.stringify({ rate_hz: rateHz, delay, x16: Array.from(x16), y8: Array.from(y8), measured: figures.measuredSamples, nperseg }),
      maxBuffer: 1 << 26,
    }),
  );
  assert.equal(figures.comparedSamples, reference.length);
  assert.ok(figures.measuredSamples <= figures.comparedSamples && figures.measuredSamples > 0.99 * figures.comparedSamples);
  close(figures.gainDb, reference.gain_db, 1e-9, 'gain dB');
  close(figures.dcSteps, reference.dc_steps, 1e-9, 'DC');
  for (const key of ['snr', 'snrA', 'snr468']) close(figures[key], reference[key], 1e-9, key);
  // Plain rounding's error is about 8 bits' worth: near 6 dB a bit above the signal power.
  assert.ok(figures.snr > 35 && figures.snr < 50, `SNR ${figures.snr}`);
  const { frequencyHz, density } = a.welch(x, rateHz, nperseg);
  assert.equal(density.length, reference.welch_density.length);
  for (let k = 0; k < density.length; ++k) {
    close(frequencyHz[k], reference.welch_hz[k], 1e-12, `frequency of bin ${k}`);
    close(density[k], reference.welch_density[k], 1e-9, `density of bin ${k}`);
  }
});

test('the weighting curves are 0 dB at 1 kHz and the published values elsewhere', () => {
  const db = (g) => 20 * Math.log10(g);
  for (const [f, want] of [[1000, 0], [100, -19.1], [10000, -2.5]]) close(db(a.aWeightingGain(f)), want, 0.06, `A at ${f} Hz`);
  for (const [f, want] of [[1000, 0], [6300, 12.2], [100, -19.8]]) close(db(a.itu468WeightingGain(f)), want, 0.06, `468 at ${f} Hz`);
});

test('plain rounding takes the nearest step, ties away from zero, within 8 bits', () => {
  const table = [[0, 128], [127, 128], [128, 129], [-128, 127], [-129, 127], [383, 129], [384, 130], [-32768, 0], [32767, 255], [32640, 255], [-32640, 0], [-32639, 1]];
  for (const [sample, byte] of table) assert.equal(a.plainRounding(Int16Array.of(sample))[0], byte, `sample ${sample}`);
});

test('the report is read block by block, numbered as the program reports them', () => {
  const block = (i) =>
    [`feedback:1000 ${i} 0 0 0 0 0 0 0 0 0 0 0 0 0 0 `, ` masking:${'25 '.repeat(16)}`, `   noise:${'-3 '.repeat(16)}`, `   start:${'14 '.repeat(22)}`, `     end:${'17 '.repeat(22)}`].join('\r\n');
  const stdout = ['The data chunk claims 9 bytes; the file holds 3 after the header.', 'SAMPLE RATE: 8000', ' FRAMES NUM: 9000', ...[0, 1, 2, 3, 4, 5].map(block), ''].join('\r\n');
  const reports = a.parseReport(stdout);
  assert.deepEqual(reports.map((r) => r.block), [0, 1, 2, 3, 8192, 8193]);
  assert.deepEqual(reports.map((r) => r.feedback[1]), [0, 1, 2, 3, 4, 5]);
  assert.deepEqual([reports[0].masking.length, reports[0].noise.length, reports[0].start.length, reports[0].end.length], [16, 16, 22, 22]);
  assert.equal(reports[5].noise[15], -3);
  assert.deepEqual(a.bandEdgesHz(15, 32000), [15000, 16000]);
});

test('the download has the program\'s derived name in each format', () => {
  const table = [
    ['take1.wav', 'take1.8b.wav'],
    ['C:\\music\\take1.WAV', 'C:\\music\\take1.8b.wav'],
    ['song.aif', 'song.8b.wav'],
    ['a.éx', 'a.8b.wav'],  // the fourth byte from the end (é is two)
    ['wav', 'wav.8b.wav'],
    ['take1', 'take1.8b.wav'],  // the program would refuse: the page appends
  ];
  for (const [input, output] of table) assert.equal(derivedOutputName(input), output, input);
  const formats = [['wav', 'take1.8b.wav'], ['u8', 'take1.u8'], ['s8', 'take1.s8'], ['c', 'take1.h'], ['c-s8', 'take1.h']];
  for (const [format, output] of formats) assert.equal(derivedOutputName('take1.wav', format), output, format);
});

test('the page reads the samples of 16-bit inputs and 8-bit results', () => {
  const wav = (bits, rate, samples, extra = []) => {
    const data = bits === 16 ? new Uint8Array(Int16Array.from(samples).buffer) : Uint8Array.from(samples);
    const chunks = [...extra, ['fmt ', (() => {
      const f = new DataView(new ArrayBuffer(16));
      f.setUint16(0, 1, true);
      f.setUint16(2, 1, true);
      f.setUint32(4, rate, true);
      f.setUint32(8, (rate * bits) / 8, true);
      f.setUint16(12, bits / 8, true);
      f.setUint16(14, bits, true);
      return new Uint8Array(f.buffer);
    })()], ['data', data]];
    const parts = [];
    for (const [id, body] of chunks) {
      const head = new Uint8Array(8);
      head.set(new TextEncoder().encode(id));
      new DataView(head.buffer).setUint32(4, body.length, true);
      parts.push(head, body, body.length % 2 ? new Uint8Array(1) : new Uint8Array(0));
    }
    const size = parts.reduce((s, p) => s + p.length, 4);
    const out = new Uint8Array(8 + size);
    out.set(new TextEncoder().encode('RIFF'));
    new DataView(out.buffer).setUint32(4, size, true);
    out.set(new TextEncoder().encode('WAVE'), 8);
    let at = 12;
    for (const p of parts) {
      out.set(p, at);
      at += p.length;
    }
    return out;
  };
  const w16 = readWav(wav(16, 8000, [1, -2, 32767], [['LIST', Uint8Array.of(1, 2, 3)]]));
  assert.deepEqual([w16.rateHz, w16.channels, w16.bitsPerSample, Array.from(w16.samples)], [8000, 1, 16, [1, -2, 32767]]);
  const w8 = readWav(wav(8, 11025, [128, 2, 254]));
  assert.deepEqual([w8.rateHz, w8.bitsPerSample, Array.from(w8.samples)], [11025, 8, [128, 2, 254]]);
  assert.equal(readWav(new TextEncoder().encode('ID3\x04 not a wave file')), null);
});

test('the plots read the samples of every output format', () => {
  const samples = Uint8Array.of(128, 2, 254, 127, 129);
  const header = (type, values) =>
    new TextEncoder().encode(`/* pcmtaper */\n#define x_LENGTH 5\nstatic const ${type} x[x_LENGTH] PROGMEM = {\n    ${values.join(', ')},\n};\n`);
  const table = [
    ['u8', samples],
    ['s8', samples.map((b) => b ^ 0x80)],
    ['c', header('uint8_t', Array.from(samples, (b) => `0x${b.toString(16).padStart(2, '0')}`))],
    ['c-s8', header('int8_t', Array.from(samples, (b) => String(b - 128).padStart(4)))],
  ];
  for (const [format, bytes] of table) assert.deepEqual(Array.from(outputSamples(bytes, format)), Array.from(samples), format);
  assert.equal(outputSamples(new TextEncoder().encode('not a header'), 'c'), null);
});

test('the powers of a real signal\'s bins are those of its full transform, at even and odd lengths', () => {
  for (const n of [1, 2, 3, 4, 6, 10, 12, 35, 64, 90, 210]) {
    const x = Float64Array.from({ length: n }, (_, i) => Math.sin(i * 0.9) + 0.3 * Math.cos(i * 2.1) + (i % 3) / 7);
    const [re, im] = a.fft(x, new Float64Array(n));
    const power = a.realBinPowers(x);
    assert.equal(power.length, Math.floor(n / 2) + 1);
    for (let k = 0; k < power.length; ++k) close(power[k], re[k] * re[k] + im[k] * im[k], 1e-9, `length ${n}, bin ${k}`);
  }
});
