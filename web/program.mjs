// The program's own rules that the page and pcmtaper.mjs follow outside the
// converter: the output's derived name and the command line of the options.

// The suffix of each output format's derived name.
export const formatSuffixes = { wav: '.8b.wav', u8: '.u8', s8: '.s8', c: '.h', 'c-s8': '.h' };

// The name the program gives the output of `inputName` in `format`: when the
// fourth byte from the end of its UTF-8 name is a full stop, the last four
// bytes become the format's suffix (take1.wav gives take1.8b.wav, take1.h
// with -F c; the cut is at the full stop, so on a character's boundary). The
// program refuses a name without one (the output would be the input itself);
// a page only names a download, so it appends the suffix then.
export function derivedOutputName(inputName, format = 'wav') {
  const suffix = formatSuffixes[format] ?? formatSuffixes.wav;
  const bytes = new TextEncoder().encode(inputName);
  if (bytes.length >= 4 && bytes[bytes.length - 4] === 0x2e) {
    return new TextDecoder().decode(bytes.subarray(0, bytes.length - 4)) + suffix;
  }
  return inputName + suffix;
}

// The program's arguments for the options and the two names.
export function argumentsFor(inputName, outputName, options = {}) {
  const { zeroDc = false, align = false, format = 'wav', keepMetadata = false, cName = null, cAttribute = null } = options;
  const args = [];
  if (zeroDc) args.push('--zero-dc');
  if (align) args.push('--align');
  if (format !== 'wav') args.push(`--format=${format}`);
  if (keepMetadata) args.push('--keep-metadata');
  if (cName !== null && cName !== '') args.push(`--c-name=${cName}`);
  if (cAttribute !== null && cAttribute !== '') args.push(`--c-attribute=${cAttribute}`);
  args.push('--', inputName, outputName);
  return args;
}

