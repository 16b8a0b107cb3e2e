// The page's measurements of a conversion: the 8-bit error aligned to the
// input, plain rounding's error for comparison, long-term spectra, the DC
// offset and the weighted SNRs. They follow bench/quality/compare_quality.py
// and bench/quality/weighting.py, so that the page shows the figures of the
// quality tables in doc/quality.md (web/test/analysis.test.mjs compares them with
// numpy). Samples are in full scale: 16-bit x / 32768, 8-bit (b - 128) / 128.
// No DOM here: the worker runs it, and node runs its tests.

// The converter's look-ahead: a plain conversion trails its input by this
// many samples, an aligned one (--align) by none.
export const lookaheadSamples = 224;

// ---- samples -----------------------------------------------------------------

export function fullScale16(samples) {
  const x = new Float64Array(samples.length);
  for (let i = 0; i < samples.length; ++i) x[i] = samples[i] / 32768;
  return x;
}

export function fullScale8(bytes) {
  const y = new Float64Array(bytes.length);
  for (let i = 0; i < bytes.length; ++i) y[i] = (bytes[i] - 128) / 128;
  return y;
}

// The nearest whole number, a tie away from zero.
function roundHalfAway(v) {
  return Math.sign(v) * Math.floor(Math.abs(v) + 0.5);
}

const toUnsigned8 = (step) => Math.min(255, Math.max(0, step + 128));

// Plain rounding of 16-bit samples to unsigned 8-bit ones: the nearest step
// (a tie away from zero), no dither, no shaping; the comparison the quality
// tables call rounding.
export function plainRounding(samples) {
  const out = new Uint8Array(samples.length);
  for (let i = 0; i < samples.length; ++i) out[i] = toUnsigned8(roundHalfAway(samples[i] / 256));
  return out;
}

// What people use instead of adaptive shaping, for the page's comparison.
// Both are seeded, so that a file gives the same figures every time.

// Uniform numbers in [0, 1) from a fixed seed (xorshift32).
export function uniformSource(seed = 0x2545f491) {
  let state = seed >>> 0 || 1;
  return () => {
    state ^= state << 13;
    state >>>= 0;
    state ^= state >>> 17;
    state ^= state << 5;
    state >>>= 0;
    return state / 2 ** 32;
  };
}

// TPDF dither: rounding after adding the difference of two uniform numbers,
// a triangular density over plus and minus one 8-bit step. The error is then
// independent of the signal (no distortion, no noise that pumps with it) and
// flat over frequency, at 1/4 step squared (1/12 of rounding, 1/6 of dither).
export function tpdfDither(samples, seed) {
  const random = uniformSource(seed);
  const out = new Uint8Array(samples.length);
  for (let i = 0; i < samples.length; ++i) out[i] = toUnsigned8(roundHalfAway(samples[i] / 256 + random() - random()));
  return out;
}

// A fixed noise-shaping filter of the kind common converters offer: TPDF
// dither with the quantiser's error fed back through one filter for every
// sound and rate, so that the noise is the error filtered by
// 1 - 2 z^-1 + z^-2 = (1 - z^-1)^2: 12 dB per octave less at low
// frequencies, up to 12 dB more at half the rate, six times the power in all.
export const fixedShapingNoiseFilter = [1, -2, 1];
export function fixedShaping(samples, seed) {
  const random = uniformSource(seed);
  const out = new Uint8Array(samples.length);
  const taps = fixedShapingNoiseFilter;
  const past = new Float64Array(taps.length - 1);  // the quantiser's last errors, newest first
  for (let i = 0; i < samples.length; ++i) {
    let wanted = samples[i] / 256;
    for (let k = 1; k < taps.length; ++k) wanted += taps[k] * past[k - 1];
    const step = roundHalfAway(wanted + random() - random());
    // The error before clipping: fed back, it keeps the loop stable where
    // the output clips.
    past.copyWithin(1, 0);
    past[0] = step - wanted;
    out[i] = toUnsigned8(step);
  }
  return out;
}

// The error of an 8-bit result y (full scale) that trails the input x by
// `delay` samples: y[delay + n] - gain * x[n] over the samples that every
// result reaches (all but the input's last 224, which a plain conversion never
// outputs), with gain the least-squares gain of y on x (a change of level is
// not noise). Returns { error, gain, length }.
export function alignedError(x, y, delay) {
  const length = Math.max(0, Math.min(x.length - lookaheadSamples, y.length - delay));
  let xy = 0;
  let xx = 0;
  for (let n = 0; n < length; ++n) {
    xy += y[delay + n] * x[n];
    xx += x[n] * x[n];
  }
  const gain = xx > 0 ? xy / xx : 1;
  const error = new Float64Array(length);
  for (let n = 0; n < length; ++n) error[n] = y[delay + n] - gain * x[n];
  return { error, gain, length };
}

export function mean(values) {
  let sum = 0;
  for (let i = 0; i < values.length; ++i) sum += values[i];
  return values.length > 0 ? sum / values.length : 0;
}

// ---- Fourier transform ---------------------------------------------------------

// Whether n has no prime factor above 7 (the radices of fft below).
export function isSmooth(n) {
  if (n < 1) return false;
  for (const p of [2, 3, 5, 7]) while (n % p === 0) n /= p;
  return n === 1;
}

// The largest length up to n that fft takes.
export function smoothLengthAtMost(n) {
  while (n > 1 && !isSmooth(n)) --n;
  return n;
}

// The discrete Fourier transform of the complex sequence (re, im), of a
// length whose prime factors are 2, 3, 5 and 7: mixed-radix decimation in
// time, recursive, with a plain transform of each radix and the twiddle
// factors from one table of the n-th roots of unity. Returns [re, im].
export function fft(re, im) {
  const n = re.length;
  if (!isSmooth(n)) throw new RangeError(`fft: length ${n} has a prime factor above 7`);
  const roots = rootsOfUnity(n);
  const outRe = new Float64Array(n);
  const outIm = new Float64Array(n);
  transform(re, im, 0, 1, n, outRe, outIm, 0, roots);
  return [outRe, outIm];
}

// The n-th roots of unity, exp(-2 pi i k / n), kept for the last length
// asked (Welch's segments all have one).
let lastRoots = null;
function rootsOfUnity(n) {
  if (lastRoots && lastRoots.n === n) return lastRoots;
  const roots = { n, cos: new Float64Array(n), sin: new Float64Array(n) };
  for (let k = 0; k < n; ++k) {
    const angle = (-2 * Math.PI * k) / n;
    roots.cos[k] = Math.cos(angle);
    roots.sin[k] = Math.sin(angle);
  }
  lastRoots = roots;
  return roots;
}

// Scratch of one butterfly (radix 7 at most); the butterflies of a level run
// after the sub-transforms they take, so one set serves them all.
const butterflyRe = new Float64Array(8);
const butterflyIm = new Float64Array(8);
const resultRe = new Float64Array(8);
const resultIm = new Float64Array(8);

function transform(re, im, offset, stride, n, outRe, outIm, outOffset, roots) {
  if (n === 1) {
    outRe[outOffset] = re[offset];
    outIm[outOffset] = im[offset];
    return;
  }
  const p = n % 4 === 0 ? 4 : n % 2 === 0 ? 2 : n % 3 === 0 ? 3 : n % 5 === 0 ? 5 : 7;
  const m = n / p;
  // Sub-transform k takes the samples offset + (j p + k) stride and lands at outOffset + k m.
  for (let k = 0; k < p; ++k) transform(re, im, offset + k * stride, stride * p, m, outRe, outIm, outOffset + k * m, roots);
  const rootStep = roots.n / n;  // the n-th roots are every rootStep-th of the table
  const { cos, sin } = roots;
  // The p inputs of butterfly q, each turned by its root (k q)-th of n.
  const twiddleInputs = (q) => {
    for (let k = 0; k < p; ++k) {
      const a = outRe[outOffset + k * m + q];
      const b = outIm[outOffset + k * m + q];
      const t = k * q * rootStep;
      butterflyRe[k] = a * cos[t] - b * sin[t];
      butterflyIm[k] = a * sin[t] + b * cos[t];
    }
  };
  if (p === 2 || p === 4) {
    // The radices of most lengths, written out: their roots are 1, -i, -1, i.
    for (let q = 0; q < m; ++q) {
      twiddleInputs(q);
      if (p === 2) {
        outRe[outOffset + q] = butterflyRe[0] + butterflyRe[1];
        outIm[outOffset + q] = butterflyIm[0] + butterflyIm[1];
        outRe[outOffset + m + q] = butterflyRe[0] - butterflyRe[1];
        outIm[outOffset + m + q] = butterflyIm[0] - butterflyIm[1];
      } else {
        const sumRe02 = butterflyRe[0] + butterflyRe[2];
        const sumIm02 = butterflyIm[0] + butterflyIm[2];
        const difRe02 = butterflyRe[0] - butterflyRe[2];
        const difIm02 = butterflyIm[0] - butterflyIm[2];
        const sumRe13 = butterflyRe[1] + butterflyRe[3];
        const sumIm13 = butterflyIm[1] + butterflyIm[3];
        const difRe13 = butterflyRe[1] - butterflyRe[3];
        const difIm13 = butterflyIm[1] - butterflyIm[3];
        outRe[outOffset + q] = sumRe02 + sumRe13;
        outIm[outOffset + q] = sumIm02 + sumIm13;
        outRe[outOffset + m + q] = difRe02 + difIm13;  // times -i
        outIm[outOffset + m + q] = difIm02 - difRe13;
        outRe[outOffset + 2 * m + q] = sumRe02 - sumRe13;
        outIm[outOffset + 2 * m + q] = sumIm02 - sumIm13;
        outRe[outOffset + 3 * m + q] = difRe02 - difIm13;  // times i
        outIm[outOffset + 3 * m + q] = difIm02 + difRe13;
      }
    }
    return;
  }
  const radixStep = roots.n / p;
  for (let q = 0; q < m; ++q) {
    twiddleInputs(q);
    // A plain transform of size p.
    for (let r = 0; r < p; ++r) {
      let sr = 0;
      let si = 0;
      for (let k = 0; k < p; ++k) {
        const t = ((k * r) % p) * radixStep;
        sr += butterflyRe[k] * cos[t] - butterflyIm[k] * sin[t];
        si += butterflyRe[k] * sin[t] + butterflyIm[k] * cos[t];
      }
      resultRe[r] = sr;
      resultIm[r] = si;
    }
    for (let r = 0; r < p; ++r) {
      outRe[outOffset + r * m + q] = resultRe[r];
      outIm[outOffset + r * m + q] = resultIm[r];
    }
  }
}

// ---- weighting curves (bench/quality/weighting.py) -----------------------------

const aPolesHz = [20.598997, 107.65265, 737.86223, 12194.217];

function aResponse(fHz) {
  const [f1, f2, f3, f4] = aPolesHz;
  const f2Hz2 = fHz * fHz;
  return (
    (f4 ** 2 * f2Hz2 ** 2) /
    ((f2Hz2 + f1 ** 2) * Math.sqrt((f2Hz2 + f2 ** 2) * (f2Hz2 + f3 ** 2)) * (f2Hz2 + f4 ** 2))
  );
}

// Amplitude gain of the A curve, 1 at 1 kHz, 0 at 0 Hz.
export function aWeightingGain(fHz) {
  return aResponse(fHz) / aResponse(1000);
}

function itu468Response(f) {
  const h1 = -4.737338981378384e-24 * f ** 6 + 2.043828333606125e-15 * f ** 4 - 1.363894795463638e-7 * f ** 2 + 1.0;
  const h2 = 1.306612257412824e-19 * f ** 5 - 2.118150887518656e-11 * f ** 3 + 5.559488023498642e-4 * f;
  return (1.246332637532143e-4 * f) / Math.sqrt(h1 ** 2 + h2 ** 2);
}

// Amplitude gain of the ITU-R BS.468 curve, 1 at 1 kHz (+12.2 dB at 6.3 kHz).
export function itu468WeightingGain(fHz) {
  return itu468Response(fHz) / itu468Response(1000);
}

export function flatGain() {
  return 1;
}

// Mean power of `samples` with each frequency weighted by gainOfHz(f), for
// each of the functions in gainsOfHz, from one transform of the whole signal
// (an all-ones gain gives the mean square). The length must be one fft takes
// (smoothLengthAtMost).
export function weightedPowers(samples, rateHz, gainsOfHz) {
  const n = samples.length;
  const binPower = realBinPowers(samples);
  const sums = gainsOfHz.map(() => 0);
  for (let k = 0; k <= Math.floor(n / 2); ++k) {
    // Bins other than 0 and (for an even length) n/2 stand for two bins.
    const power = binPower[k] * (k === 0 || 2 * k === n ? 1 : 2);
    const fHz = (k * rateHz) / n;
    gainsOfHz.forEach((gainOfHz, i) => {
      const g = gainOfHz(fHz);
      sums[i] += power * g * g;
    });
  }
  return sums.map((sum) => sum / (n * n));
}

// |X[k]|^2 for k = 0 .. n/2 of the transform X of the real samples. An even
// length takes one transform of half the length: the samples paired as
// z[j] = x[2j] + i x[2j+1], whose transform Z gives
// X[k] = (Z[k] + conj Z[n/2-k]) / 2 - i e^(-2 pi i k/n) (Z[k] - conj Z[n/2-k]) / 2.
export function realBinPowers(samples) {
  const n = samples.length;
  const bins = Math.floor(n / 2) + 1;
  const power = new Float64Array(bins);
  if (n % 2 !== 0 || n < 4) {
    const [re, im] = fft(Float64Array.from(samples), new Float64Array(n));
    for (let k = 0; k < bins; ++k) power[k] = re[k] * re[k] + im[k] * im[k];
    return power;
  }
  const h = n / 2;
  const zRe = new Float64Array(h);
  const zIm = new Float64Array(h);
  for (let j = 0; j < h; ++j) {
    zRe[j] = samples[2 * j];
    zIm[j] = samples[2 * j + 1];
  }
  const [fr, fi] = fft(zRe, zIm);
  for (let k = 0; k <= h; ++k) {
    const a = k % h;
    const b = (h - k) % h;
    const evenRe = (fr[a] + fr[b]) / 2;
    const evenIm = (fi[a] - fi[b]) / 2;
    const oddRe = (fi[a] + fi[b]) / 2;  // (Z[k] - conj Z[h-k]) / (2i)
    const oddIm = -(fr[a] - fr[b]) / 2;
    const angle = (-2 * Math.PI * k) / n;
    const c = Math.cos(angle);
    const s = Math.sin(angle);
    const xRe = evenRe + oddRe * c - oddIm * s;
    const xIm = evenIm + oddRe * s + oddIm * c;
    power[k] = xRe * xRe + xIm * xIm;
  }
  return power;
}

export function weightedPower(samples, rateHz, gainOfHz) {
  return weightedPowers(samples, rateHz, [gainOfHz])[0];
}

// ---- figures ----------------------------------------------------------------------

export const weightings = [
  { key: 'snr', label: 'SNR', gainOfHz: flatGain },
  { key: 'snrA', label: 'A-weighted SNR', gainOfHz: aWeightingGain },
  { key: 'snr468', label: '468-weighted SNR', gainOfHz: itu468WeightingGain },
];

// The figures of an 8-bit result y trailing the input x by `delay`, at
// rateHz: gain in dB, SNR, A- and 468-weighted SNR in dB, and DC (the mean
// error in 8-bit steps). The SNRs are taken over the first of the compared
// samples, as many as fft takes (at most a few per mille fewer):
// `measuredSamples` says how many. `cache` keeps the input's weighted powers
// for the next result of the same input.
export function figures(x, y, delay, rateHz, cache = {}) {
  const { error, gain, length } = alignedError(x, y, delay);
  const measured = smoothLengthAtMost(length);
  const result = { gainDb: 20 * Math.log10(gain), dcSteps: mean(error) * 128, comparedSamples: length, measuredSamples: measured };
  const xs = x.subarray(0, measured);
  const es = error.subarray(0, measured);
  const gains = weightings.map((w) => w.gainOfHz);
  if (measured > 0 && cache.measured !== measured) Object.assign(cache, { measured, signal: weightedPowers(xs, rateHz, gains) });
  const signal = cache.signal;
  const noise = measured > 0 ? weightedPowers(es, rateHz, gains) : null;
  weightings.forEach((w, i) => {
    result[w.key] = measured > 0 ? 10 * Math.log10(signal[i] / noise[i]) : NaN;
  });
  return { figures: result, error };
}

// ---- long-term spectrum --------------------------------------------------------

// The periodic Hann window of n points (scipy's get_window('hann', n)).
export function hannWindow(n) {
  const w = new Float64Array(n);
  for (let i = 0; i < n; ++i) w[i] = 0.5 - 0.5 * Math.cos((2 * Math.PI * i) / n);
  return w;
}

// Welch's power spectral density, as scipy.signal.welch(samples, fs=rateHz,
// window='hann', nperseg) computes it: segments of nperseg samples overlapping
// by half, each less its mean, windowed; the mean of their periodograms,
// one-sided, per Hz. Returns { frequencyHz, density } (full scale squared per Hz).
export function welch(samples, rateHz, nperseg = Math.min(4096, samples.length)) {
  const window = hannWindow(nperseg);
  let windowPower = 0;
  for (const v of window) windowPower += v * v;
  const step = nperseg - Math.floor(nperseg / 2);
  const bins = Math.floor(nperseg / 2) + 1;
  const density = new Float64Array(bins);
  let segments = 0;
  const re = new Float64Array(nperseg);
  const im = new Float64Array(nperseg);
  const smooth = isSmooth(nperseg);
  for (let start = 0; start + nperseg <= samples.length; start += step) {
    let m = 0;
    for (let i = 0; i < nperseg; ++i) m += samples[start + i];
    m /= nperseg;
    for (let i = 0; i < nperseg; ++i) {
      re[i] = (samples[start + i] - m) * window[i];
      im[i] = 0;
    }
    const [fr, fi] = smooth ? fft(re, im) : slowDft(re, im);
    for (let k = 0; k < bins; ++k) density[k] += fr[k] * fr[k] + fi[k] * fi[k];
    ++segments;
  }
  const scale = 1 / (rateHz * windowPower * Math.max(segments, 1));
  for (let k = 0; k < bins; ++k) {
    const twice = k !== 0 && !(nperseg % 2 === 0 && k === bins - 1);
    density[k] *= scale * (twice ? 2 : 1);
  }
  const frequencyHz = new Float64Array(bins);
  for (let k = 0; k < bins; ++k) frequencyHz[k] = (k * rateHz) / nperseg;
  return { frequencyHz, density };
}

function slowDft(re, im) {
  const n = re.length;
  const outRe = new Float64Array(n);
  const outIm = new Float64Array(n);
  for (let k = 0; k < n; ++k) {
    for (let j = 0; j < n; ++j) {
      const angle = (-2 * Math.PI * ((j * k) % n)) / n;
      outRe[k] += re[j] * Math.cos(angle) - im[j] * Math.sin(angle);
      outIm[k] += re[j] * Math.sin(angle) + im[j] * Math.cos(angle);
    }
  }
  return [outRe, outIm];
}

export function toDecibels(density) {
  return Float64Array.from(density, (v) => 10 * Math.log10(Math.max(v, 1e-30)));
}

// ---- waveform -------------------------------------------------------------------

// The least and greatest sample of each of `columns` equal spans, for drawing
// a waveform: { low, high }.
export function envelope(samples, columns) {
  const low = new Float64Array(columns);
  const high = new Float64Array(columns);
  for (let c = 0; c < columns; ++c) {
    const from = Math.floor((c * samples.length) / columns);
    const to = Math.max(from + 1, Math.floor(((c + 1) * samples.length) / columns));
    let lo = Infinity;
    let hi = -Infinity;
    for (let i = from; i < to && i < samples.length; ++i) {
      if (samples[i] < lo) lo = samples[i];
      if (samples[i] > hi) hi = samples[i];
    }
    low[c] = lo === Infinity ? 0 : lo;
    high[c] = hi === -Infinity ? 0 : hi;
  }
  return { low, high };
}

// ---- the report -------------------------------------------------------------------

// The frequency span of report band i at rateHz: i/32 to (i+1)/32 of the rate.
export function bandEdgesHz(band, rateHz) {
  return [(band * rateHz) / 32, ((band + 1) * rateHz) / 32];
}
