// The page: files in, one card per file with its progress, the program's
// texts, an A/B player, the download, the plots and the figures. The
// conversion and the measurements run in worker.mjs; files that are not WAV
// files the converter reads are decoded here first, by the browser, at
// their own rate (containers.mjs reads it from their headers).
import { floatWav, sniffContainer, undoAsymmetricScale } from './containers.mjs';
import { drawSpectrum, drawWaveform } from './plots.mjs';

window.pcmtaperPageStarted = true;

const statusLine = document.getElementById('status');
const results = document.getElementById('results');
const fileInput = document.getElementById('files');
const control = (id) => document.getElementById(id);

// The fields a select's "other" choice enables.
for (const [select, other] of [['rate', 'rate-other'], ['channel', 'channel-other']]) {
  const update = () => (control(other).disabled = control(select).value !== 'other');
  control(select).addEventListener('change', update);
  update();
}
control('normalize').addEventListener('change', () => (control('gain').disabled = control('normalize').checked));

// The options set on the page, as convertWav takes them (an empty field is
// an option not given). The channel applies to files of more than one.
function chosenOptions() {
  const text = (id) => control(id).value.trim() || undefined;
  const rate = control('rate').value;
  const channel = control('channel').value;
  const normalize = control('normalize').checked;
  const gainDb = normalize ? 0 : Number(control('gain').value.trim() || '0');
  return {
    channel: channel === 'mix' ? 'mix' : channel === 'other' ? control('channel-other').valueAsNumber : Number(channel),
    gainDb: gainDb === 0 ? undefined : gainDb,
    normalize,
    // An empty field is NaN, refused on the card.
    rateHz: rate === '' ? undefined : rate === 'other' ? control('rate-other').valueAsNumber : Number(rate),
    zeroDc: control('zero-dc').checked,
    align: control('align').checked,
    format: control('format').value,
    keepMetadata: control('keep-metadata').checked,
    cName: text('c-name'),
    cAttribute: text('c-attribute'),
  };
}

// The chosen options in the program's spelling, for a card's title ("" for
// none): what the same conversion on the command line would say.
function optionText(o) {
  const words = [];
  if (o.channel !== undefined) words.push(`--channel=${o.channel}`);
  if (o.gainDb !== undefined) words.push(`--gain=${o.gainDb}`);
  if (o.normalize) words.push('--normalize');
  if (o.rateHz !== undefined) words.push(`--rate=${o.rateHz}`);
  if (o.zeroDc) words.push('--zero-dc');
  if (o.align) words.push('--align');
  if (o.format !== 'wav') words.push(`--format=${o.format}`);
  if (o.keepMetadata) words.push('--keep-metadata');
  if (o.cName !== undefined) words.push(`--c-name=${o.cName}`);
  if (o.cAttribute !== undefined) words.push(`--c-attribute=${o.cAttribute}`);
  return words.join(' ');
}

// The program's exit codes for a WAV file whose samples it does not read.
const exitNotLinearPcm = 2;
const exitNot16Bit = 6;

const cards = new Map();
let nextId = 1;
let ready = false;

// The worker module beside this one; in the page made as one file, the
// worker script it holds (a classic script from a blob: URL).
const worker = window.pcmtaperWorkerUrl
  ? new Worker(window.pcmtaperWorkerUrl)
  : new Worker(new URL('./worker.mjs', import.meta.url), { type: 'module' });
worker.onerror = (event) => {
  event.preventDefault();
  window.pcmtaperShowBlocked(`The converter could not be started: ${event.message || 'the browser refused its worker'}.`);
};
worker.onmessage = ({ data }) => {
  if (data.type === 'ready') {
    ready = true;
    statusLine.textContent = 'Ready. Choose or drop sound files; they are converted here, in this page.';
    document.body.dataset.ready = 'true';
    return;
  }
  if (data.type === 'failed' && data.id === undefined) {
    window.pcmtaperShowBlocked(`The converter could not be loaded: ${data.message}`);
    return;
  }
  const card = cards.get(data.id);
  if (card) card.receive(data);
};

fileInput.addEventListener('change', () => {
  addFiles(fileInput.files);
  fileInput.value = '';
});
document.addEventListener('dragover', (event) => {
  event.preventDefault();
  document.body.classList.add('dragging');
});
document.addEventListener('dragleave', (event) => {
  if (event.relatedTarget === null) document.body.classList.remove('dragging');
});
document.addEventListener('drop', (event) => {
  event.preventDefault();
  document.body.classList.remove('dragging');
  addFiles(event.dataTransfer.files);
});

function addFiles(files) {
  for (const file of files) {
    const id = nextId++;
    const card = new FileCard(id, file, chosenOptions());
    cards.set(id, card);
    results.prepend(card.root);
    file.arrayBuffer().then(
      (buffer) => prepare(card, new Uint8Array(buffer)),
      (error) => card.fail(`The file could not be read: ${error}`),
    );
  }
  if (!ready) statusLine.textContent = 'Loading the converter; the files wait for it…';
}

// The options for a file of `channels` channels: the channel choice only
// where there is a choice.
function optionsFor(chosen, channels) {
  const options = { ...chosen };
  if (channels === 1) delete options.channel;
  return options;
}

// A WAV file goes to the converter as it is; another file is decoded here
// first, and so is a WAV file whose samples the converter does not read
// (worker's refusal, then FileCard.converted).
function prepare(card, bytes) {
  const sniffed = sniffContainer(bytes);
  card.sniffed = sniffed;
  card.bytes = bytes;
  if (sniffed === null || sniffed.kind === 'WAV') {
    // Not a container the page knows: the converter says what it finds.
    convert(card, bytes, sniffed?.channels ?? 1, null);
  } else {
    decodeThenConvert(card, bytes);
  }
}

function convert(card, bytes, channels, decoded) {
  const options = optionsFor(card.chosen, channels);
  if (Number.isNaN(options.rateHz)) {
    card.fail('The other target rate is empty: type a rate in Hz, from 1000 to 384000.');
    return;
  }
  if (typeof options.channel === 'number' && !Number.isInteger(options.channel)) {
    card.fail('The channel number is empty or not whole: type one from 1 to 64.');
    return;
  }
  if (typeof options.channel === 'number' && options.channel > channels && options.channel <= 64) {
    card.fail(`This file has ${channels} channels: there is no channel ${options.channel} to take. Choose mix or a channel from 1 to ${channels}.`);
    return;
  }
  card.start(options, decoded);
  // The decoded file's WAV is handed over, not copied.
  worker.postMessage({ id: card.id, name: card.file.name, bytes, options }, decoded ? [bytes.buffer] : []);
}

// The browser's decoder at the file's own rate: decodeAudioData resamples
// to its context's rate, so the context is made at the rate the header
// states. The channels go to the converter as a 32-bit float WAV file.
async function decodeThenConvert(card, bytes, why = '') {
  const sniffed = card.sniffed;
  const refuse = (text) => card.fail(why + text);
  if (sniffed === null || sniffed.rateHz === null) {
    const kind = sniffed ? `${sniffed.kind} file` : 'file';
    refuse(`The page cannot tell this ${kind}'s sample rate${sniffed ? ` (${sniffed.why})` : ''}, and this browser's decoder would resample it to a rate of its own, so it is not converted here. Convert it to a PCM WAV file first.`);
    return;
  }
  const Context = window.OfflineAudioContext || window.webkitOfflineAudioContext;
  let context;
  try {
    context = new Context(1, 1, sniffed.rateHz);
  } catch (error) {
    refuse(`This browser cannot decode at ${sniffed.rateHz} Hz, the rate of this ${sniffed.kind} file, so it is not converted here (${error.message || error}). Convert it to a PCM WAV file first.`);
    return;
  }
  card.state.textContent = `decoding (${sniffed.kind})…`;
  let buffer;
  try {
    // decodeAudioData takes the buffer away: it gets a copy.
    buffer = await context.decodeAudioData(bytes.slice().buffer);
  } catch (error) {
    refuse(`This browser cannot decode this ${sniffed.kind} file (${error?.message || error}). Convert it to a PCM WAV file first.`);
    return;
  }
  if (buffer.sampleRate !== sniffed.rateHz) {
    refuse(`This browser decoded this ${sniffed.kind} file at ${buffer.sampleRate} Hz instead of its rate, ${sniffed.rateHz} Hz, so it is not converted here. Convert it to a PCM WAV file first.`);
    return;
  }
  const channels = Array.from({ length: buffer.numberOfChannels }, (_, c) => buffer.getChannelData(c));
  if (!sniffed.lossy) undoAsymmetricScale(channels);
  let wav;
  try {
    wav = floatWav(channels, buffer.sampleRate);
  } catch (error) {
    refuse(`The decoded sound is too long to convert here (${error.message}).`);
    return;
  }
  convert(card, wav, channels.length, { kind: sniffed.kind, lossy: sniffed.lossy, rateHz: buffer.sampleRate, channels: channels.length, why });
}

function element(tag, attributes = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attributes)) {
    if (k === 'text') e.textContent = v;
    else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c);
  return e;
}

function formatDb(v) {
  return Number.isFinite(v) ? v.toFixed(1) : 'n/a';
}

function formatSigned(v, digits) {
  return (v >= 0 ? '+' : '') + v.toFixed(digits);
}

// What the program prints that a person needs on a card: its remarks and
// counts, not the report (which the plots show).
function programText(texts) {
  return texts
    .filter((t) => t.kind !== 'report')
    .map((t) => t.text.replaceAll('\r\n', '\n'))
    .join('')
    .trim();
}

const sampleTypeNames = { u8: 'unsigned 8-bit', s16: '16-bit', s24: '24-bit', s32: '32-bit', f32: '32-bit float', f64: '64-bit float' };

// What the file held and what was made of it, in words.
function choicesText(inputFormat, options, result) {
  const f = inputFormat;
  const bits = f.sampleType.startsWith('f') || f.validBits === f.bits ? sampleTypeNames[f.sampleType] : `${f.validBits}-bit (in ${f.bits})`;
  const words = [`${f.channels === 1 ? 'mono' : `${f.channels} channels`}, ${bits}, ${f.rateHz} Hz`];
  if (f.channels > 1) words.push(options.channel === 'mix' ? 'their mean' : `channel ${options.channel}`);
  if (options.gainDb !== undefined) words.push(`${formatSigned(options.gainDb, 1)} dB`);
  if (options.normalize) words.push(`normalised (${formatSigned(result.normalizeGainDb, 2)} dB)`);
  if (result.outputRateHz !== f.rateHz) words.push(`resampled to ${result.outputRateHz} Hz`);
  words.push(`8-bit at ${result.outputRateHz} Hz`);
  return words.join(' → ');
}

class FileCard {
  constructor(id, file, chosen) {
    this.id = id;
    this.file = file;
    this.chosen = chosen;  // the page's options when the file came
    this.options = null;  // those that apply to it, once its channels are known
    this.decoded = null;
    this.root = element('article', { class: 'card', 'data-file': file.name, 'aria-labelledby': `title-${id}` });
    this.title = element('h3', { id: `title-${id}`, text: file.name });
    this.root.append(this.title);
    this.progress = element('progress', { max: '1', value: '0', 'aria-label': `Conversion of ${file.name}` });
    this.state = element('span', { class: 'state', text: 'waiting' });
    this.root.append(element('div', { class: 'progress-row' }, this.progress, this.state));
    this.messages = element('pre', { class: 'messages', hidden: '' });
    this.root.append(this.messages);
    this.body = element('div', { class: 'card-body' });
    this.root.append(this.body);
  }

  // The conversion of these options begins: the title shows them as the
  // program's options, and a decoded file says where its samples came from.
  start(options, decoded) {
    this.options = options;
    this.decoded = decoded;
    const shown = optionText(options);
    this.title.textContent = this.file.name + (shown ? ` (${shown})` : '');
    this.progress.value = 0;
    this.state.textContent = 'waiting';
    this.root.dataset.state = 'waiting';
    if (decoded) {
      const source = decoded.lossy
        ? `its samples are this browser's ${decoded.kind} decoder's (a lossy format: another decoder gives slightly other samples, and so other bytes)`
        : 'a format this browser decodes exactly, to the file\'s own samples';
      const note = element('p', {
        class: 'decoded',
        text: `${decoded.why}Decoded by this browser from ${decoded.kind} at ${decoded.rateHz} Hz, ${decoded.channels} channel${decoded.channels === 1 ? '' : 's'}: ${source}; converted from them as a 32-bit float WAV file.`,
      });
      this.root.insertBefore(note, this.root.querySelector('.progress-row'));
    }
  }

  receive(data) {
    if (data.type === 'progress') {
      this.progress.value = data.fraction;
      this.state.textContent = `converting, ${Math.floor(100 * data.fraction)} %`;
    } else if (data.type === 'converted') {
      this.converted(data);
    } else if (data.type === 'analysed') {
      this.analysed(data);
    } else if (data.type === 'failed') {
      this.fail(data.message);
    }
  }

  fail(message) {
    this.state.textContent = 'failed';
    this.root.dataset.state = 'failed';
    this.showText(message, 'refusal');
  }

  showText(text, kind) {
    this.messages.hidden = text === '';
    this.messages.textContent = text;
    this.messages.className = `messages ${kind}`;
  }

  converted(result) {
    const { exitCode, output, outputName, texts, stderr, advice } = result;
    // A WAV file whose samples the converter does not read (not linear PCM,
    // a sample size it lacks): this browser's decoder may read it.
    const unreadWav = exitCode === exitNotLinearPcm || exitCode === exitNot16Bit;
    if (unreadWav && !this.decoded && this.sniffed?.kind === 'WAV') {
      const remark = programText(texts).split('\n').pop();
      decodeThenConvert(this, this.bytes, `The converter does not read this WAV file's samples (${remark.trim()}). `);
      return;
    }
    this.progress.value = 1;
    this.root.dataset.exitCode = String(exitCode);
    // The program's texts; not its advice to make a copy with other tools,
    // which a person using this page has no need of.
    const errors = stderr.split('\n').filter((line) => line && line !== `pcmtaper: ${advice}`);
    const text = [programText(texts), ...errors].filter(Boolean).join('\n');
    if (output === null || exitCode !== 0) {
      this.state.textContent = `refused (exit code ${exitCode})`;
      this.root.dataset.state = 'refused';
      // The program's refusal on standard output, and on standard error
      // what to do about it; for a file of no container the page knows, that.
      const unknown = this.sniffed === null && !this.decoded
        ? '\nThis is neither a WAV file nor a FLAC, MP3, Ogg, AAC, M4A or AIFF file whose rate the page can read.'
        : '';
      this.showText(text + unknown, 'refusal');
      return;
    }
    this.state.textContent = 'converted; measuring…';
    this.root.dataset.state = 'converted';
    this.showText(text, 'remarks');
    if (result.inputFormat) this.body.append(element('p', { class: 'choices', text: choicesText(result.inputFormat, this.options, result) }));
    const type = this.options.format === 'wav' ? 'audio/wav' : this.options.format.startsWith('c') ? 'text/x-c' : 'application/octet-stream';
    const url = URL.createObjectURL(new Blob([output], { type }));
    const link = element('a', { class: 'download', href: url, download: outputName, text: `Download ${outputName}` });
    link.append(element('span', { class: 'size', text: ` (${output.length.toLocaleString('en')} bytes)` }));
    this.body.append(element('p', {}, link));
  }

  analysed(data) {
    this.state.textContent = 'converted';
    this.root.dataset.state = 'done';
    if (!data.plotted) return;
    this.body.append(new Player(this.file.name, data).root);
    this.body.append(figuresTable(data.figures));

    const waveform = element('canvas', {
      class: 'waveform',
      width: '900',
      height: '200',
      role: 'img',
      'aria-label': `Waveform of ${this.file.name}: the input above, the 8-bit result below`,
    });
    const spectrum = element('canvas', {
      class: 'spectrum',
      width: '900',
      height: '320',
      role: 'img',
      'aria-label': `Long-term spectra of ${this.file.name}: input, 8-bit error, plain rounding's and fixed shaping's error, with the chosen block's masking`,
    });
    const figure = (title, canvas, ...extra) => element('figure', {}, element('figcaption', { text: title }), ...extra, canvas);
    this.body.append(figure('Waveform', waveform));
    let select = null;
    if (data.reports.length > 0) {
      const selectId = `block-${this.id}`;
      select = element('select', { id: selectId });
      for (const [i, r] of data.reports.entries()) select.append(element('option', { value: String(i), text: `block ${r.block}` }));
      this.body.append(figure('Spectrum', spectrum, element('label', { for: selectId, text: 'Masking of the reported block ' }), select));
    } else {
      this.body.append(figure('Spectrum', spectrum));
    }
    const draw = () => {
      drawWaveform(waveform, data.waveform, data.rateHz);
      drawSpectrum(spectrum, data.spectra, data.rateHz, select ? data.reports[Number(select.value)] : null);
    };
    if (select) select.addEventListener('change', draw);
    requestAnimationFrame(draw);
    new ResizeObserver(() => requestAnimationFrame(draw)).observe(spectrum);
  }
}

// The output's figures beside those of what people use instead, with how
// to read them.
const comparedMethods = [
  ['converted', 'pcmtaper'],
  ['rounding', 'plain rounding'],
  ['tpdf', 'TPDF dither'],
  ['shaped', 'fixed shaping, (1 − z⁻¹)²'],
];

function figuresTable(figures) {
  const { converted } = figures;
  const table = element('table', { class: 'figures' });
  table.append(element('caption', { text: `Figures over ${converted.comparedSamples.toLocaleString('en')} samples (SNRs over the first ${converted.measuredSamples.toLocaleString('en')})` }));
  const head = element('tr', {}, element('th', { scope: 'col', text: '' }));
  for (const h of ['DC (8-bit steps)', 'SNR dB', 'A-wt SNR dB', '468-wt SNR dB', 'gain dB']) head.append(element('th', { scope: 'col', text: h }));
  table.append(element('thead', {}, head));
  const body = element('tbody');
  for (const [key, name] of comparedMethods) {
    const f = figures[key];
    const row = element('tr', {}, element('th', { scope: 'row', text: name }));
    for (const v of [formatSigned(f.dcSteps, 3), formatDb(f.snr), formatDb(f.snrA), formatDb(f.snr468), formatSigned(f.gainDb, 2)]) {
      row.append(element('td', { text: v }));
    }
    body.append(row);
  }
  table.append(body);
  const reading = element('p', {
    class: 'reading',
    text:
      'How to read them: higher is less noise; compare the weighted SNRs, which count the noise as it is heard. ' +
      'Plain rounding adds no dither, so its error follows the sound as distortion, which no SNR here shows.',
  });
  return element('div', { class: 'figures-block' }, table, reading);
}

// ---- A/B player ----------------------------------------------------------------

let audioContext = null;
let playing = null;  // the player that is playing

// Plays the original and the 8-bit result together, one of them muted, so
// that switching between them keeps the position to the sample. The result
// trails the input by its delay (224 samples, 0 aligned): it is started that
// much further in.
class Player {
  constructor(name, data) {
    this.data = data;
    this.duration = data.input.length / data.rateHz;
    this.position = 0;
    this.listening = 'original';
    this.root = element('div', { class: 'player', role: 'group', 'aria-label': `Player for ${name}`, tabindex: '-1' });
    this.play = element('button', { type: 'button', class: 'play', text: 'Play' });
    this.switch = element('button', { type: 'button', class: 'ab', 'aria-pressed': 'false', text: 'Hearing: original (B switches)' });
    const sliderId = `position-${Math.random().toString(36).slice(2)}`;
    this.slider = element('input', { id: sliderId, type: 'range', min: '0', max: String(this.duration), step: 'any', value: '0' });
    this.time = element('span', { class: 'time', text: this.timeText() });
    this.root.append(this.play, this.switch, element('label', { for: sliderId, text: 'Position' }), this.slider, this.time);
    this.play.addEventListener('click', () => (this.isPlaying() ? this.pause() : this.start()));
    this.switch.addEventListener('click', () => this.toggle());
    this.slider.addEventListener('input', () => this.seek(Number(this.slider.value)));
    this.root.addEventListener('keydown', (event) => {
      if (event.key === 'b' || event.key === 'B') {
        this.toggle();
        event.preventDefault();
      } else if (event.key === ' ' && event.target === this.slider) {
        this.isPlaying() ? this.pause() : this.start();
        event.preventDefault();
      }
    });
  }

  timeText() {
    return `${this.currentPosition().toFixed(1)} / ${this.duration.toFixed(1)} s`;
  }

  isPlaying() {
    return playing === this;
  }

  buffers() {
    if (this.audio) return this.audio;
    const make = (samples) => {
      const buffer = audioContext.createBuffer(1, samples.length, this.data.rateHz);
      buffer.copyToChannel(samples, 0);
      return buffer;
    };
    this.audio = { original: make(this.data.input), converted: make(this.data.output) };
    return this.audio;
  }

  start() {
    try {
      audioContext = audioContext || new AudioContext();
      this.buffers();
    } catch (error) {
      this.time.textContent = `This browser cannot play audio at ${this.data.rateHz} Hz.`;
      this.play.disabled = true;
      return;
    }
    if (playing) playing.pause();
    playing = this;
    if (this.position >= this.duration) this.position = 0;
    const at = audioContext.currentTime + 0.05;
    this.sources = {};
    this.gains = {};
    for (const which of ['original', 'converted']) {
      const source = audioContext.createBufferSource();
      source.buffer = this.audio[which];
      const gain = audioContext.createGain();
      gain.gain.value = which === this.listening ? 1 : 0;
      source.connect(gain).connect(audioContext.destination);
      const offset = this.position + (which === 'converted' ? this.data.delay / this.data.rateHz : 0);
      source.start(at, Math.min(offset, source.buffer.duration));
      this.sources[which] = source;
      this.gains[which] = gain;
    }
    this.sources.original.onended = () => {
      if (playing === this && this.currentPosition() >= this.duration - 0.01) this.pause(true);
    };
    this.startedAt = at;
    this.startPosition = this.position;
    this.play.textContent = 'Pause';
    audioContext.resume();
    const tick = () => {
      if (playing !== this) return;
      this.slider.value = String(this.currentPosition());
      this.time.textContent = this.timeText();
      requestAnimationFrame(tick);
    };
    requestAnimationFrame(tick);
  }

  currentPosition() {
    if (playing !== this || !audioContext) return this.position;
    return Math.min(this.duration, this.startPosition + Math.max(0, audioContext.currentTime - this.startedAt));
  }

  pause(ended = false) {
    if (playing !== this) return;
    this.position = ended ? this.duration : this.currentPosition();
    playing = null;
    for (const s of Object.values(this.sources)) {
      s.onended = null;
      s.stop();
    }
    this.play.textContent = 'Play';
    this.slider.value = String(this.position);
    this.time.textContent = this.timeText();
  }

  seek(seconds) {
    const wasPlaying = this.isPlaying();
    if (wasPlaying) this.pause();
    this.position = seconds;
    this.time.textContent = this.timeText();
    if (wasPlaying) this.start();
  }

  toggle() {
    this.listening = this.listening === 'original' ? 'converted' : 'original';
    this.switch.setAttribute('aria-pressed', String(this.listening === 'converted'));
    this.switch.textContent = `Hearing: ${this.listening === 'original' ? 'original' : '8-bit result'} (B switches)`;
    if (this.isPlaying()) {
      // A few milliseconds of crossfade: no click at the switch.
      const now = audioContext.currentTime;
      for (const [which, gain] of Object.entries(this.gains)) {
        gain.gain.setValueAtTime(gain.gain.value, now);
        gain.gain.linearRampToValueAtTime(which === this.listening ? 1 : 0, now + 0.005);
      }
    }
  }
}
