// pcmtaper as an ES module: the converter, compiled to WebAssembly, for this
// page and any other.
//
//   import { createPcmtaper } from './pcmtaper.mjs';
//   const converter = await createPcmtaper();
//   const { exitCode, output, stdout } = converter.convertWav(wavBytes, { zeroDc: false, align: true });
//
// convertWav(bytes, options) converts the WAV file in `bytes` (a Uint8Array)
// as the program would with the same options, and returns
//   exitCode    the program's exit code (0: converted; see the README's table),
//   output      the bytes of the output file it writes (a Uint8Array), or null
//               when it writes none,
//   outputName  the output's name (the program's derived name, see below),
//   stdout      the text it prints on standard output after the two name
//               lines (remarks, counts, report, or its refusal), with its "\r\n",
//   stderr      the text it prints on standard error (such as what to do
//               about a refusal).
// Options, each the program's own: zeroDc (--zero-dc), align (--align),
// format ('wav', 'u8', 's8', 'c' or 'c-s8': -F), keepMetadata (-m), cName
// (--c-name), cAttribute (--c-attribute). name is the input's file name,
// which the program's messages and the output's name are made from (default
// in.wav). onProgress(bytesRead, bytesTotal), when given, is called as the
// converter reads its input. Conversions run one at a time, synchronously:
// run them in a Web Worker to keep a page responsive (worker.mjs does).
import createPcmtaperWasm from './pcmtaper-wasm.mjs';
import { argumentsFor, derivedOutputName } from './program.mjs';

export { argumentsFor, derivedOutputName };

// The folder of one conversion and its text files (glue.cpp uses the same names).
const folder = '/conversion';
const stdoutName = 'stdout.txt';
const stderrName = 'stderr.txt';

// The text after the first two lines (the input's and the output's names).
export function afterNameLines(text) {
  let at = 0;
  for (let line = 0; line < 2; ++line) {
    const end = text.indexOf('\r\n', at);
    if (end < 0) return text.slice(at);
    at = end + 2;
  }
  return text.slice(at);
}

function readIfExists(FS, path) {
  try {
    // The program gives a new output file 0666 less the umask, and the
    // module's umask may leave no read permission: the page may read it.
    FS.chmod(path, 0o644);
    return FS.readFile(path);
  } catch {
    return null;
  }
}

function clearFolder(FS) {
  for (const entry of FS.readdir(folder)) {
    if (entry !== '.' && entry !== '..') FS.unlink(`${folder}/${entry}`);
  }
}

// A name the in-memory folder can hold, other than the text files' names.
function safeName(name, fallback) {
  if (!name || name.includes('/') || name === '.' || name === '..' || name === stdoutName || name === stderrName) return fallback;
  return name;
}

export async function createPcmtaper(moduleOptions = {}) {
  const wasm = await createPcmtaperWasm(moduleOptions);
  const { FS } = wasm;
  FS.mkdir(folder);
  const decoder = new TextDecoder('utf-8');
  const encoder = new TextEncoder();

  function convertWav(bytes, options = {}) {
    if (!(bytes instanceof Uint8Array)) throw new TypeError('convertWav: bytes must be a Uint8Array');
    const inputName = safeName(options.name, 'in.wav');
    const outputName = safeName(derivedOutputName(inputName, options.format ?? 'wav'), 'out.8b.wav');
    clearFolder(FS);
    FS.writeFile(`${folder}/${inputName}`, bytes);
    if (options.onProgress) {
      // The input stays a regular file (the program reads a file and a
      // stream differently); only its reads are watched.
      const node = FS.lookupPath(`${folder}/${inputName}`).node;
      const fileOps = node.stream_ops;
      const total = bytes.length;
      node.stream_ops = Object.assign({}, fileOps, {
        read(stream, buffer, offset, length, position) {
          const count = fileOps.read(stream, buffer, offset, length, position);
          options.onProgress(Math.min(position + count, total), total);
          return count;
        },
      });
    }
    const args = argumentsFor(inputName, outputName, options);
    const packed = encoder.encode(args.map((a) => `${a}\0`).join(''));
    const pointer = wasm._malloc(packed.length);
    let exitCode;
    try {
      wasm.HEAPU8.set(packed, pointer);
      exitCode = wasm._pcmtaper_web_run(pointer, args.length);
    } finally {
      wasm._free(pointer);
    }
    if (exitCode < 0) throw new Error('pcmtaper: the in-memory file system refused the conversion folder');
    const output = readIfExists(FS, `${folder}/${outputName}`);
    const stdoutBytes = readIfExists(FS, `${folder}/${stdoutName}`) ?? new Uint8Array(0);
    const stderrBytes = readIfExists(FS, `${folder}/${stderrName}`) ?? new Uint8Array(0);
    clearFolder(FS);
    return {
      exitCode,
      output: output ? new Uint8Array(output) : null,
      outputName,
      stdout: afterNameLines(decoder.decode(stdoutBytes)),
      stderr: decoder.decode(stderrBytes),
    };
  }

  return { convertWav };
}
