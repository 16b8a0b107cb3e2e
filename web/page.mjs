// The page: files in, one card per file with its progress, the program's
// texts, an A/B player, the download, the plots and the figures. The
// conversion and the measurements run in worker.mjs.
import { drawSpectrum, drawWaveform } from './plots.mjs';

window.pcmtaperPageStarted = true;

const statusLine = document.getElementById('status');
const results = document.getElementById('results');
const fileInput = document.getElementById('files');
const control = (id) => document.getElementById(id);

// The options set on the page, as convertWav takes them (an empty field is
// an option not given).
function chosenOptions() {
  const text = (id) => control(id).value.trim() || undefined;
  return {
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
  if (o.zeroDc) words.push('--zero-dc');
  if (o.align) words.push('--align');
  if (o.format !== 'wav') words.push(`--format=${o.format}`);
  if (o.keepMetadata) words.push('--keep-metadata');
  if (o.cName !== undefined) words.push(`--c-name=${o.cName}`);
  if (o.cAttribute !== undefined) words.push(`--c-attribute=${o.cAttribute}`);
  return words.join(' ');
}

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
    statusLine.textContent = 'Ready. Choose or drop WAV files; they are converted here, in this page.';
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
      (buffer) => worker.postMessage({ id, name: file.name, bytes: new Uint8Array(buffer), options: card.options }),
      (error) => card.fail(`The file could not be read: ${error}`),
    );
  }
  if (!ready) statusLine.textContent = 'Loading the converter; the files wait for it…';
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

class FileCard {
  constructor(id, file, options) {
    this.id = id;
    this.file = file;
    this.options = options;
    const shown = optionText(options);
    this.root = element('article', { class: 'card', 'data-file': file.name, 'aria-labelledby': `title-${id}` });
    this.root.append(element('h3', { id: `title-${id}`, text: file.name + (shown ? ` (${shown})` : '') }));
    this.progress = element('progress', { max: '1', value: '0', 'aria-label': `Conversion of ${file.name}` });
    this.state = element('span', { class: 'state', text: 'waiting' });
    this.root.append(element('div', { class: 'progress-row' }, this.progress, this.state));
    this.messages = element('pre', { class: 'messages', hidden: '' });
    this.root.append(this.messages);
    this.body = element('div', { class: 'card-body' });
    this.root.append(this.body);
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

  converted({ exitCode, output, outputName, texts, stderr }) {
    this.progress.value = 1;
    this.root.dataset.exitCode = String(exitCode);
    const text = [programText(texts), stderr.trim()].filter(Boolean).join('\n');
    if (output === null || exitCode !== 0) {
      this.state.textContent = `refused (exit code ${exitCode})`;
      this.root.dataset.state = 'refused';
      // The program's refusal on standard output, and on standard error
      // what to do about it.
      this.showText(text, 'refusal');
      return;
    }
    this.state.textContent = 'converted; measuring…';
    this.root.dataset.state = 'converted';
    this.showText(text, 'remarks');
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
