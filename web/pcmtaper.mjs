// pcmtaper as an ES module: the converter's library, compiled to WebAssembly,
// for this page, any other, and Node.
//
//   import { createPcmtaper } from './pcmtaper.mjs';
//   const converter = await createPcmtaper();
//   const result = converter.convertWav(wavBytes, { name: 'take1.wav', align: true });
//
// convertWav(bytes, options) converts the WAV file in `bytes` (a Uint8Array)
// as the program would with the same options, and returns
//   exitCode     the program's exit code (0: converted; see doc/web-page.md),
//   output       the bytes of the output file (a Uint8Array), or null,
//   outputName   the output's name: the program's derived name for `name`
//                (a name it derives none from gets the format's suffix appended),
//   samples      the output's unsigned 8-bit samples (128 is silence) in every
//                format, or null,
//   input        { rateHz, samples }: the signal the shaper took, after the
//                channel choice, the gain, the resampler and the normalising
//                gain, at the output's rate, in 16-bit steps (a Float32Array,
//                32768 is full scale; a 16-bit mono file at its own rate gives
//                exactly its samples), or null when nothing was converted,
//   inputFormat  { rateHz, channels, sampleType, bits, validBits }: the
//                file's format as its header states it (sampleType 's16',
//                'u8', 's24', 's32', 'f32' or 'f64'), or null when refused,
//   normalizeGainDb  the gain that normalize added (0 without it),
//   latencySamples  by how many samples the output trails the input,
//   texts        what the program prints on standard output after the two
//                name lines, as [{ kind, text }] with kind 'remark', 'counts'
//                or 'report' (each text with its "\r\n"),
//   stdout       those texts joined: the program's standard output after the
//                name lines,
//   remarks      [{ code, text }]: each remark with the library's code,
//   reports      [{ block, taps, bandWeight, maskingDb, noiseDb, stepLowest,
//                stepHighest }]: the block reports as numbers (dB as doubles),
//   stderr       the program's lines on standard error (what to do about a
//                refusal, a usage error), each ending in "\n",
//   advice       the line of stderr that says what to do about a refusal
//                (without "pcmtaper: " and "\n"), or "".
// Options, each the program's own: zeroDc (--zero-dc), align (--align),
// format ('wav', 'u8', 's8', 'c' or 'c-s8': -F), keepMetadata (-m), cName
// (--c-name), cAttribute (--c-attribute), channel ('mix' or a channel
// number from 1: -c), gainDb (a number of decibels: -g), normalize (-n),
// rateHz (the output's rate, 1000 to 384000: -r); null or undefined is an
// option not given. `name` is the input's name, for the messages and the output's name
// (default in.wav); names and options are data, taken as they are, never
// split into arguments. onProgress(blocksDone, blocksTotal) is called as the
// conversion goes (at most once per percent); if it throws, that conversion
// ends and convertWav throws what it threw, and the converter stays usable.
// Conversions run one at a time, synchronously: run them in a Web Worker to
// keep a page responsive (worker.mjs does).
//
// converter.outputName(name, format) is the output's name alone.
//
// The WebAssembly is loaded from beside this module: fetched in a browser,
// read from disk under Node. createPcmtaper(moduleOptions) passes its options
// to Emscripten's loader (wasmBinary: the bytes themselves).
import createPcmtaperWasm from './pcmtaper-wasm.mjs';

const textKinds = ['remark', 'counts', 'report'];
// pcmtaper_sample_type's values, by name.
const sampleTypes = ['s16', 'u8', 's24', 's32', 'f32', 'f64'];
// How the channel option is given to the glue: not, as mix, as a number.
const channelNotGiven = 0;
const channelMix = 1;
const channelNumber = 2;
// The report's fields as the glue numbers them, with their arrays' types.
const reportFields = [
  ['taps', Float64Array],
  ['bandWeight', Float64Array],
  ['maskingDb', Float64Array],
  ['noiseDb', Float64Array],
  ['stepLowest', Int32Array],
  ['stepHighest', Int32Array],
];

// The WebAssembly file's URL beside this module, or null where this module
// has no URL to resolve against (a page made as one file inlines it).
function besideThisModule(file) {
  try {
    return new URL(file, import.meta.url);
  } catch {
    return null;
  }
}

async function loaderOptions(moduleOptions) {
  const options = { ...moduleOptions };
  if (options.wasmBinary || options.locateFile) return options;
  const url = besideThisModule('./pcmtaper-wasm.wasm');
  if (url === null) return options;
  const isNode = typeof process === 'object' && typeof process.versions?.node === 'string';
  if (isNode && url.protocol === 'file:') {
    const { readFile } = await import('node:fs/promises');
    options.wasmBinary = await readFile(url);
  } else {
    options.locateFile = (file) => (file.endsWith('.wasm') ? url.href : file);
  }
  return options;
}

export async function createPcmtaper(moduleOptions = {}) {
  const wasm = await createPcmtaperWasm(await loaderOptions(moduleOptions));
  const encoder = new TextEncoder();
  const decoder = new TextDecoder('utf-8');
  let busy = false;
  let broken = null;  // what stopped the module, after which it is not used again

  // Copies of wasm memory (whose buffer moves when it grows).
  const bytesAt = (pointer, size) => wasm.HEAPU8.slice(pointer, pointer + size);
  const stringAt = (pointer) => decoder.decode(bytesAt(wasm._pcmtaper_web_string_data(pointer), wasm._pcmtaper_web_string_size(pointer)));

  // The strings and the input copied into wasm memory, freed by release().
  function allocate(pieces) {
    const pointers = [];
    const release = () => pointers.forEach((p) => wasm._free(p));
    for (const bytes of pieces) {
      const pointer = wasm._malloc(Math.max(bytes.length, 1));
      if (pointer === 0) {
        release();
        throw new RangeError('pcmtaper: not enough memory for the input');
      }
      wasm.HEAPU8.set(bytes, pointer);
      pointers.push(pointer);
    }
    return { pointers, release };
  }

  function optionBytes(value, what) {
    if (value === null || value === undefined) return null;
    if (typeof value !== 'string') throw new TypeError(`convertWav: ${what} must be a string`);
    return encoder.encode(value);
  }

  function readResult(r) {
    const exitCode = wasm._pcmtaper_web_exit_code(r);
    const texts = [];
    for (let i = 0, n = wasm._pcmtaper_web_text_count(r); i < n; ++i) {
      texts.push({ kind: textKinds[wasm._pcmtaper_web_text_kind(r, i)] ?? 'remark', text: stringAt(wasm._pcmtaper_web_text(r, i)) });
    }
    const remarks = [];
    for (let i = 0, n = wasm._pcmtaper_web_remark_count(r); i < n; ++i) {
      const at = wasm._pcmtaper_web_remark_text(r, i);
      remarks.push({ code: wasm._pcmtaper_web_remark_code(r, i), text: decoder.decode(bytesAt(at, wasm.HEAPU8.indexOf(0, at) - at)) });
    }
    const reports = [];
    for (let i = 0, n = wasm._pcmtaper_web_report_count(r); i < n; ++i) {
      const report = { block: wasm._pcmtaper_web_report_block(r, i) };
      reportFields.forEach(([key, Type], field) => {
        const at = wasm._pcmtaper_web_report_field(r, i, field);
        const length = wasm._pcmtaper_web_report_field_length(field);
        report[key] = Array.from(new Type(wasm.HEAPU8.buffer, at, length));
      });
      reports.push(report);
    }
    const outputSize = wasm._pcmtaper_web_output_size(r);
    const sampleCount = wasm._pcmtaper_web_sample_count(r);
    const format = (field) => wasm._pcmtaper_web_input_format(r, field);
    const shaperInputCount = wasm._pcmtaper_web_shaper_input_count(r);
    const shaperInputAt = wasm._pcmtaper_web_shaper_input(r);
    return {
      exitCode,
      output: exitCode === 0 ? bytesAt(wasm._pcmtaper_web_output(r), outputSize) : null,
      outputName: stringAt(wasm._pcmtaper_web_name(r)),
      samples: exitCode === 0 ? bytesAt(wasm._pcmtaper_web_samples(r), sampleCount) : null,
      latencySamples: wasm._pcmtaper_web_latency_samples(r),
      texts,
      stdout: texts.map((t) => t.text).join(''),
      remarks,
      reports,
      stderr: stringAt(wasm._pcmtaper_web_errors(r)),
      advice: stringAt(wasm._pcmtaper_web_advice(r)),
      input:
        exitCode === 0
          ? { rateHz: wasm._pcmtaper_web_output_rate_hz(r), samples: new Float32Array(wasm.HEAPU8.buffer, shaperInputAt, shaperInputCount).slice() }
          : null,
      inputFormat:
        format(0) === 0
          ? null
          : { rateHz: format(0), channels: format(1), sampleType: sampleTypes[format(2)], bits: format(3), validBits: format(4) },
      normalizeGainDb: exitCode === 0 ? wasm._pcmtaper_web_normalize_gain_db(r) : 0,
    };
  }

  // [how, number]; a number that is no channel's is refused by the glue,
  // as the program refuses it.
  function channelValue(channel) {
    if (channel === null || channel === undefined) return [channelNotGiven, 0];
    if (channel === 'mix') return [channelMix, 0];
    if (!Number.isInteger(channel)) throw new TypeError("convertWav: channel must be 'mix' or a channel number");
    return [channelNumber, Math.max(-1, Math.min(channel, 1000))];
  }

  function numberValue(value, what) {
    if (value === null || value === undefined) return 0;
    if (typeof value !== 'number') throw new TypeError(`convertWav: ${what} must be a number`);
    return value;
  }

  function convertWav(bytes, options = {}) {
    if (!(bytes instanceof Uint8Array)) throw new TypeError('convertWav: bytes must be a Uint8Array');
    if (broken) throw new Error(`pcmtaper: this converter stopped after a failure (${broken}); make a new one with createPcmtaper()`);
    if (busy) throw new Error('pcmtaper: convertWav was called during a conversion (from its onProgress); conversions run one at a time');
    const name = optionBytes(options.name ?? 'in.wav', 'name');
    const format = optionBytes(options.format, 'format');
    const cName = optionBytes(options.cName, 'cName');
    const cAttribute = optionBytes(options.cAttribute, 'cAttribute');
    const channel = channelValue(options.channel);
    const gainDb = numberValue(options.gainDb, 'gainDb');
    const rateHz = numberValue(options.rateHz, 'rateHz');
    const { pointers, release } = allocate([bytes, name, format ?? [], cName ?? [], cAttribute ?? []]);
    const [inputAt, nameAt, formatAt, cNameAt, cAttributeAt] = pointers;
    let thrown = null;
    const onProgress = options.onProgress;
    wasm.pcmtaperProgress = onProgress
      ? (done, total) => {
          try {
            onProgress(done, total);
            return 0;
          } catch (error) {
            thrown = { error };
            return 1;
          }
        }
      : null;
    busy = true;
    let r = 0;
    try {
      r = wasm._pcmtaper_web_convert(
        inputAt, bytes.length, nameAt, name.length,
        options.zeroDc ? 1 : 0, options.align ? 1 : 0, options.keepMetadata ? 1 : 0,
        formatAt, format ? format.length : -1, cNameAt, cName ? cName.length : -1, cAttributeAt, cAttribute ? cAttribute.length : -1,
        ...channel, gainDb, options.normalize ? 1 : 0, rateHz,
      );
    } catch (error) {
      // A trap or an abort inside the module: its state is unknown now.
      broken = String(error);
      throw error;
    } finally {
      busy = false;
      wasm.pcmtaperProgress = null;
      if (!broken) release();
    }
    if (r === 0) throw new RangeError('pcmtaper: not enough memory for the conversion');
    try {
      if (thrown) throw thrown.error;
      return readResult(r);
    } finally {
      wasm._pcmtaper_web_release(r);
    }
  }

  function outputName(name, format = 'wav') {
    const nameBytes = optionBytes(name, 'name');
    const formatBytes = optionBytes(format, 'format');
    const { pointers, release } = allocate([nameBytes, formatBytes]);
    try {
      const s = wasm._pcmtaper_web_output_name(pointers[0], nameBytes.length, pointers[1], formatBytes.length);
      if (s === 0) throw new RangeError('pcmtaper: not enough memory');
      try {
        return stringAt(s);
      } finally {
        wasm._pcmtaper_web_free_string(s);
      }
    } finally {
      release();
    }
  }

  return { convertWav, outputName };
}
