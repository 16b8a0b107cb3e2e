// The page's worker: converts the files it is sent with the WebAssembly
// converter, one at a time, and measures each result, so that the page stays
// responsive. Messages in: { id, name, bytes, options } (convertWav's options). Messages out:
// { type: 'ready' } once the converter is loaded (or { type: 'failed', message }),
// then per file { id, type: 'progress', fraction }, { id, type: 'converted',
// exitCode, output, outputName, texts, stderr, advice, inputFormat,
// normalizeGainDb, outputRateHz } and { id, type: 'analysed', ... }
// (or { id, type: 'failed', message }).
import { createPcmtaper } from './pcmtaper.mjs';
import * as analysis from './analysis.mjs';

const envelopeColumns = 1200;

let converter = null;
const waiting = [];

// Loads a converter; the files that came meanwhile wait for it.
function load(first) {
  createPcmtaper().then(
    (c) => {
      converter = c;
      if (first) self.postMessage({ type: 'ready' });
      while (converter && waiting.length > 0) handle(waiting.shift());
    },
    (error) => self.postMessage({ type: 'failed', message: String(error) }),
  );
}
load(true);

self.onmessage = (event) => {
  if (converter) handle(event.data);
  else waiting.push(event.data);
};

function handle({ id, name, bytes, options }) {
  let result;
  try {
    let lastReported = -1;
    result = converter.convertWav(bytes, {
      ...options,
      name,
      onProgress(done, total) {
        const percent = Math.floor((100 * done) / Math.max(total, 1));
        if (percent !== lastReported) {
          lastReported = percent;
          self.postMessage({ id, type: 'progress', fraction: done / Math.max(total, 1) });
        }
      },
    });
  } catch (error) {
    self.postMessage({ id, type: 'failed', message: String(error) });
    // A module stopped by a failure inside it is not used again.
    converter = null;
    load(false);
    return;
  }
  const { exitCode, output, outputName, texts, stderr, advice, inputFormat, normalizeGainDb } = result;
  const outputRateHz = result.input?.rateHz ?? 0;
  self.postMessage({ id, type: 'converted', exitCode, output, outputName, texts, stderr, advice, inputFormat, normalizeGainDb, outputRateHz });
  if (output === null) return;
  try {
    self.postMessage({ id, type: 'analysed', ...analyse(result) });
  } catch (error) {
    self.postMessage({ id, type: 'failed', message: `the plots could not be made: ${error}` });
  }
}

// What the page shows of a conversion: the samples for the players, the
// waveforms, the spectra, and the figures of the output beside those of
// what people use instead (plain rounding, TPDF dither, fixed shaping),
// all against the signal the shaper took (at the output's rate, in 16-bit
// steps).
function analyse({ input, samples, latencySamples, reports }) {
  if (!input || !samples || input.samples.length === 0) return { plotted: false };
  const rateHz = input.rateHz;
  const delay = latencySamples;
  const x = analysis.fullScale16(input.samples);
  const y = analysis.fullScale8(samples);
  const cache = {};
  const converted = analysis.figures(x, y, delay, rateHz, cache);
  const others = {
    rounding: analysis.plainRounding(input.samples),
    tpdf: analysis.tpdfDither(input.samples),
    shaped: analysis.fixedShaping(input.samples),
  };
  const compared = {};
  for (const [key, bytes] of Object.entries(others)) compared[key] = analysis.figures(x, analysis.fullScale8(bytes), 0, rateHz, cache);
  const spectrum = (values) => {
    if (values.length < 16) return null;
    const { frequencyHz, density } = analysis.welch(values, rateHz);
    return { frequencyHz, db: analysis.toDecibels(density) };
  };
  return {
    plotted: true,
    rateHz,
    delay,
    input: Float32Array.from(x),
    output: Float32Array.from(y),
    waveform: {
      input: analysis.envelope(x, envelopeColumns),
      // The output drawn under the input it follows.
      output: analysis.envelope(y.subarray(delay), envelopeColumns),
      inputLength: x.length,
      outputLength: Math.max(0, y.length - delay),
    },
    spectra: {
      input: spectrum(x.subarray(0, converted.figures.comparedSamples)),
      error: spectrum(converted.error),
      rounding: spectrum(compared.rounding.error),
      shaped: spectrum(compared.shaped.error),
    },
    figures: {
      converted: converted.figures,
      rounding: compared.rounding.figures,
      tpdf: compared.tpdf.figures,
      shaped: compared.shaped.figures,
    },
    reports: reports.map(({ block, maskingDb, noiseDb }) => ({ block, maskingDb, noiseDb })),
  };
}
