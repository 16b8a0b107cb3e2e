// Tests of the page's own measurements (web/analysis.mjs): the aligned
// error, the transform, the spectra and the figures against numpy (the
// quality script's own functions), and the methods it compares with: plain
// rounding, TPDF dither and fixed noise shaping.
// Run: node --test web/test/analysis.test.mjs  (needs Debian's /usr/bin/python3 with
// python3-numpy for the comparisons; PYTHON names another)
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { fileURLToPath } from 'node:url';
import test from 'node:test';

import * as a from '../analysis.mjs';

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

test('TPDF dither keeps a signal below one step, with a flat error of a quarter step squared', () => {
  const n = 1 << 16;
  const rateHz = 8000;
  // A 500 Hz tone of 0.4 step: plain rounding loses it whole.
  const x16 = Int16Array.from({ length: n }, (_, i) => Math.round(0.4 * 256 * Math.sin((2 * Math.PI * 500 * i) / rateHz)));
  assert.ok(a.plainRounding(x16).every((b) => b === 128));
  const x = a.fullScale16(x16);
  const y = a.fullScale8(a.tpdfDither(x16, 7));
  const { error, gain } = a.alignedError(x, y, 0);
  close(gain, 1, 0.05, 'gain of the dithered tone');
  const stepsSquared = (a.mean(error.map((e) => e * e)) * 128 * 128);
  close(stepsSquared, 0.25, 0.05, 'error power in steps squared');
  // Flat: as much error power in the lower half of the band as in the upper.
  const power = a.realBinPowers(error.subarray(0, 1 << 15));
  const half = power.length >> 1;
  const lower = power.subarray(1, half).reduce((s, v) => s + v, 0);
  const upper = power.subarray(half).reduce((s, v) => s + v, 0);
  close(lower / upper, 1, 0.1, 'lower over upper half');
  // Seeded: the same file gives the same bytes.
  assert.deepEqual(a.tpdfDither(x16, 7), a.tpdfDither(x16, 7));
});

test('fixed shaping moves the dithered error up in frequency by (1 - 1/z)^2', () => {
  const n = 1 << 16;
  const x16 = Int16Array.from({ length: n }, (_, i) => Math.round(3000 * Math.sin(i / 9) + 700 * Math.sin(i / 2.3)));
  const x = a.fullScale16(x16);
  const bandPowers = (y) => {
    const { error } = a.alignedError(x, a.fullScale8(y), 0);
    const power = a.realBinPowers(error.subarray(0, 1 << 15));
    const sum = (from, to) => power.subarray(from, to).reduce((s, v) => s + v, 0);
    const bins = power.length;
    return { low: sum(1, bins >> 4), high: sum(bins - (bins >> 3), bins), all: sum(0, bins) };
  };
  const flat = bandPowers(a.tpdfDither(x16, 3));
  const shaped = bandPowers(a.fixedShaping(x16, 3));
  // (1 - 1/z)^2 has gain 4 sin^2(w/2): below 1/32 of the rate under 0.16 (-16 dB),
  // near half the rate about 4 (+12 dB); six times the power in all.
  assert.ok(shaped.low < flat.low / 30, `low band: ${shaped.low} against ${flat.low}`);
  assert.ok(shaped.high > 10 * flat.high, `high band: ${shaped.high} against ${flat.high}`);
  close(shaped.all / flat.all, 6, 0.15, 'total error power');
  // Clipped at full scale, the loop stays stable: the output keeps within a
  // few steps of the rails (the shaped noise's reach) instead of running away.
  const loud = Int16Array.from({ length: 4096 }, (_, i) => (i % 64 < 32 ? 32767 : -32768));
  const y = a.fixedShaping(loud, 1);
  assert.ok(y.every((b, i) => (i % 64 < 32 ? b >= 247 : b <= 8)), 'a full-scale square stays at the rails');
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
