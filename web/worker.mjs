// The page's worker: converts the files it is sent with the WebAssembly
// converter, one at a time, and measures each result, so that the page stays
// responsive. Messages in: { id, name, bytes, options } (convertWav's options). Messages out:
// { type: 'ready' } once the converter is loaded (or { type: 'failed', message }),
// then per file { id, type: 'progress', fraction }, { id, type: 'converted',
// exitCode, output, stdout, stderr } and { id, type: 'analysed', ... } (or
// { id, type: 'failed', message }).
import { createPcmtaper } from './pcmtaper.mjs';
import * as analysis from './analysis.mjs';
import { outputSamples, readWav } from './wav.mjs';

const envelopeColumns = 1200;

let converter = null;
const waiting = [];

createPcmtaper().then(
  (c) => {
    converter = c;
    self.postMessage({ type: 'ready' });
    while (waiting.length > 0) handle(waiting.shift());
  },
  (error) => self.postMessage({ type: 'failed', message: String(error) }),
);

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
    return;
  }
  self.postMessage({ id, type: 'converted', ...result });
  if (result.output === null) return;
  try {
    self.postMessage({ id, type: 'analysed', ...analyse(bytes, outputSamples(result.output, options.format), options.align, result.stdout) });
  } catch (error) {
    self.postMessage({ id, type: 'failed', message: `the plots could not be made: ${error}` });
  }
}

// What the page shows of a conversion: the samples for the players, the
// waveforms, the spectra and the figures of the output and of plain rounding.
function analyse(inputBytes, outputBytes, aligned, stdout) {
  const input = readWav(inputBytes);
  if (!input || !outputBytes || input.channels !== 1 || input.bitsPerSample !== 16) return { plotted: false };
  const rateHz = input.rateHz;
  const delay = aligned ? 0 : analysis.lookaheadSamples;
  const x = analysis.fullScale16(input.samples);
  const y = analysis.fullScale8(outputBytes);
  const rounded = analysis.fullScale8(analysis.plainRounding(input.samples));
  const cache = {};
  const converted = analysis.figures(x, y, delay, rateHz, cache);
  const rounding = analysis.figures(x, rounded, 0, rateHz, cache);
  const spectrum = (samples) => {
    if (samples.length < 16) return null;
    const { frequencyHz, density } = analysis.welch(samples, rateHz);
    return { frequencyHz, db: analysis.toDecibels(density) };
  };
  const compared = x.subarray(0, converted.figures.comparedSamples);
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
      input: spectrum(compared),
      error: spectrum(converted.error),
      rounding: spectrum(rounding.error),
    },
    figures: { converted: converted.figures, rounding: rounding.figures },
    reports: analysis.parseReport(stdout),
  };
}
