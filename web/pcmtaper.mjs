// pcmtaper as an ES module: the converter, compiled to WebAssembly, for this
// page and any other.
//
//   import { createPcmtaper } from './pcmtaper.mjs';
//   const converter = await createPcmtaper();
//   const { exitCode, output, stdout } = converter.convertWav(wavBytes, { zeroDc: false, align: true });
//
// convertWav(bytes, options) converts the WAV file in `bytes` (a Uint8Array)
// as the program `pcmtaper [--zero-dc] [--align] in.wav out.wav` would, and
// returns
//   exitCode  the program's exit code (0: converted; see the README's table),
//   output    the bytes of the 8-bit WAV file it writes (a Uint8Array), or
//             null when it writes none,
//   stdout    the text it prints on standard output after the two name lines
//             (remarks, counts, report, or its refusal), with its "\r\n",
//   stderr    the text it prints on standard error.
// options.name is the input's name in the program's messages (default
// in.wav; a name with "/" is taken as in.wav). options.onProgress(bytesRead,
// bytesTotal), when given, is called as the converter reads its input. Conversions run one at a time, synchronously:
// run them in a Web Worker to keep a page responsive (worker.mjs does).
import createPcmtaperWasm from './pcmtaper-wasm.mjs';

// The folder and files of one conversion (glue.cpp uses the same names).
const folder = '/conversion';
const outputPath = `${folder}/out.wav`;
const stdoutPath = `${folder}/stdout.txt`;
const stderrPath = `${folder}/stderr.txt`;

const flagZeroDc = 1;
const flagAlign = 2;

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

function removeIfExists(FS, path) {
  try {
    FS.unlink(path);
  } catch {
    // absent: nothing to remove
  }
}

export async function createPcmtaper(moduleOptions = {}) {
  const wasm = await createPcmtaperWasm(moduleOptions);
  const { FS } = wasm;
  FS.mkdir(folder);
  const decoder = new TextDecoder('utf-8');

  function convertWav(bytes, { zeroDc = false, align = false, name = 'in.wav', onProgress = null } = {}) {
    if (!(bytes instanceof Uint8Array)) throw new TypeError('convertWav: bytes must be a Uint8Array');
    // The input under its own name, beside the output and the texts.
    const inputName = name && !name.includes('/') && ![outputPath, stdoutPath, stderrPath].includes(`${folder}/${name}`) && name !== '.' && name !== '..' ? name : 'in.wav';
    const inputPath = `${folder}/${inputName}`;
    for (const path of [inputPath, outputPath, stdoutPath, stderrPath]) removeIfExists(FS, path);
    FS.writeFile(inputPath, bytes);
    if (onProgress) {
      // The input stays a regular file (the program reads a file and a
      // stream differently); only its reads are watched.
      const node = FS.lookupPath(inputPath).node;
      const fileOps = node.stream_ops;
      const total = bytes.length;
      node.stream_ops = Object.assign({}, fileOps, {
        read(stream, buffer, offset, length, position) {
          const count = fileOps.read(stream, buffer, offset, length, position);
          onProgress(Math.min(position + count, total), total);
          return count;
        },
      });
    }
    const nameSize = wasm.lengthBytesUTF8(inputName) + 1;
    const namePointer = wasm._malloc(nameSize);
    wasm.stringToUTF8(inputName, namePointer, nameSize);
    let exitCode;
    try {
      exitCode = wasm._pcmtaper_web_convert((zeroDc ? flagZeroDc : 0) | (align ? flagAlign : 0), namePointer);
    } finally {
      wasm._free(namePointer);
    }
    if (exitCode < 0) throw new Error('pcmtaper: the in-memory file system refused the conversion folder');
    const output = readIfExists(FS, outputPath);
    const stdoutBytes = readIfExists(FS, stdoutPath) ?? new Uint8Array(0);
    const stderrBytes = readIfExists(FS, stderrPath) ?? new Uint8Array(0);
    for (const path of [inputPath, outputPath, stdoutPath, stderrPath]) removeIfExists(FS, path);
    return {
      exitCode,
      output: output ? new Uint8Array(output) : null,
      stdout: afterNameLines(decoder.decode(stdoutBytes)),
      stderr: decoder.decode(stderrBytes),
    };
  }

  return { convertWav };
}
