// The page's plots, drawn on canvases: the waveforms of a file's input and
// result, and the long-term spectra with a reported block's masking.

const colours = {
  axis: '#555',
  grid: '#e4e4e4',
  text: '#222',
  input: '#7a7a7a',
  output: '#1f5fbf',
  error: '#1f5fbf',
  rounding: '#d9730d',
  shaped: '#9a9a2e',
  masking: '#2e8b3a',
  noise: '#8e3bb5',
};

// A canvas sized for the screen's pixel density; returns its 2D context in
// CSS pixels with its width and height.
function prepare(canvas) {
  const ratio = globalThis.devicePixelRatio || 1;
  const width = canvas.clientWidth || Number(canvas.getAttribute('width')) || 600;
  const height = canvas.clientHeight || Number(canvas.getAttribute('height')) || 240;
  canvas.width = Math.round(width * ratio);
  canvas.height = Math.round(height * ratio);
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, width, height);
  g.font = '12px system-ui, sans-serif';
  g.textBaseline = 'middle';
  return { g, width, height };
}

function legend(g, x, y, entries) {
  let at = x;
  for (const { label, colour, dashed } of entries) {
    g.strokeStyle = colour;
    g.lineWidth = 2;
    g.setLineDash(dashed ? [5, 3] : []);
    g.beginPath();
    g.moveTo(at, y);
    g.lineTo(at + 18, y);
    g.stroke();
    g.setLineDash([]);
    g.fillStyle = colours.text;
    g.textAlign = 'left';
    g.fillText(label, at + 22, y);
    at += 30 + g.measureText(label).width;
  }
}

function formatSeconds(s) {
  return s >= 60 ? `${Math.floor(s / 60)}:${String(Math.floor(s % 60)).padStart(2, '0')}` : `${+s.toFixed(2)} s`;
}

// The input (upper half) and the 8-bit result (lower half), each from -1 to
// 1 of full scale, over the input's time in seconds.
export function drawWaveform(canvas, waveform, rateHz) {
  const { g, width, height } = prepare(canvas);
  const left = 44;
  const right = width - 10;
  const rows = [
    { name: 'input', env: waveform.input, length: waveform.inputLength, colour: colours.input },
    { name: '8-bit result', env: waveform.output, length: waveform.outputLength, colour: colours.output },
  ];
  const rowHeight = (height - 24) / 2;
  rows.forEach((row, r) => {
    const top = 4 + r * rowHeight;
    const mid = top + rowHeight / 2;
    const half = rowHeight / 2 - 9;
    g.strokeStyle = colours.grid;
    g.beginPath();
    g.moveTo(left, mid);
    g.lineTo(right, mid);
    g.stroke();
    g.fillStyle = colours.text;
    g.textAlign = 'left';
    g.fillText(row.name, left + 4, top + 10);
    g.textAlign = 'right';
    g.fillText('+1', left - 6, mid - half);
    g.fillText('-1', left - 6, mid + half);
    const columns = row.env.low.length;
    const span = row.length / Math.max(waveform.inputLength, 1);
    g.strokeStyle = row.colour;
    g.lineWidth = 1;
    g.beginPath();
    for (let c = 0; c < columns; ++c) {
      const px = left + ((right - left) * span * (c + 0.5)) / columns;
      g.moveTo(px, mid - half * row.env.high[c]);
      g.lineTo(px, mid - half * row.env.low[c] + 0.5);
    }
    g.stroke();
  });
  // Time axis.
  const seconds = waveform.inputLength / rateHz;
  g.fillStyle = colours.text;
  g.textAlign = 'center';
  for (let i = 0; i <= 4; ++i) {
    g.fillText(formatSeconds((seconds * i) / 4), left + ((right - left) * i) / 4, height - 10);
  }
}

const frequencyTicksHz = [10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000, 50000, 100000];

function formatHz(f) {
  return f >= 1000 ? `${f / 1000} kHz` : `${f} Hz`;
}

// The spectra (dB per Hz, left axis) over frequency in Hz (logarithmic), with
// the masking and noise-filter gain of `report` (one block of the report, or
// null) in dB on the right axis, each band drawn over its span of frequencies.
export function drawSpectrum(canvas, spectra, rateHz, report) {
  const { g, width, height } = prepare(canvas);
  const left = 56;
  const right = width - 50;
  const top = 28;
  const bottom = height - 28;
  const nyquist = rateHz / 2;
  const curves = [
    { key: 'input', label: 'input', colour: colours.input },
    { key: 'rounding', label: 'error of plain rounding', colour: colours.rounding },
    { key: 'shaped', label: 'error of fixed shaping', colour: colours.shaped },
    { key: 'error', label: '8-bit error', colour: colours.error },
  ].filter((c) => spectra[c.key]);
  if (curves.length === 0) return;
  // From 20 Hz (or the first bin above 0 Hz, or 1/1000 of the top at low rates).
  const lowHz = Math.max(spectra[curves[0].key].frequencyHz[1] || 1, Math.min(20, nyquist / 1000));
  const logLow = Math.log10(lowHz);
  const logHigh = Math.log10(nyquist);
  const xOf = (f) => left + ((right - left) * (Math.log10(Math.max(f, lowHz)) - logLow)) / (logHigh - logLow);
  let maxDb = -Infinity;
  let minDb = Infinity;
  for (const c of curves) {
    for (const v of spectra[c.key].db.subarray(1)) {
      if (v > maxDb) maxDb = v;
      if (v < minDb && v > -250) minDb = v;
    }
  }
  const yTop = Math.ceil((maxDb + 5) / 10) * 10;
  const yBottom = Math.max(Math.floor((minDb - 5) / 10) * 10, yTop - 120);
  const yOf = (db) => top + ((bottom - top) * (yTop - Math.min(Math.max(db, yBottom), yTop))) / (yTop - yBottom);

  // Grid and axes.
  g.lineWidth = 1;
  g.strokeStyle = colours.grid;
  g.fillStyle = colours.text;
  g.textAlign = 'center';
  for (const f of frequencyTicksHz) {
    if (f < lowHz || f > nyquist) continue;
    g.beginPath();
    g.moveTo(xOf(f), top);
    g.lineTo(xOf(f), bottom);
    g.stroke();
    g.fillText(formatHz(f), xOf(f), bottom + 12);
  }
  g.textAlign = 'right';
  for (let db = yTop; db >= yBottom; db -= 20) {
    g.beginPath();
    g.moveTo(left, yOf(db));
    g.lineTo(right, yOf(db));
    g.stroke();
    g.fillText(String(db), left - 6, yOf(db));
  }
  g.save();
  g.translate(14, (top + bottom) / 2);
  g.rotate(-Math.PI / 2);
  g.textAlign = 'center';
  g.fillText('dB per Hz (full scale)', 0, 0);
  g.restore();

  for (const c of curves) {
    const { frequencyHz, db } = spectra[c.key];
    g.strokeStyle = c.colour;
    g.lineWidth = 1.5;
    g.beginPath();
    for (let k = 1; k < db.length; ++k) {
      const x = xOf(frequencyHz[k]);
      if (k === 1) g.moveTo(x, yOf(db[k]));
      else g.lineTo(x, yOf(db[k]));
    }
    g.stroke();
  }

  const entries = curves.map((c) => ({ label: c.label, colour: c.colour }));
  if (report) {
    // Right axis: the report's masking and noise in dB.
    const values = report.maskingDb.concat(report.noiseDb).filter((v) => Math.abs(v) < 1000);
    const rTop = Math.ceil((Math.max(...values) + 5) / 10) * 10;
    const rBottom = Math.floor((Math.min(...values) - 5) / 10) * 10;
    const rOf = (v) => top + ((bottom - top) * (rTop - Math.min(Math.max(v, rBottom), rTop))) / (rTop - rBottom);
    g.fillStyle = colours.masking;
    g.textAlign = 'left';
    for (let v = rBottom; v <= rTop; v += 10) g.fillText(String(v), right + 6, rOf(v));
    g.save();
    g.translate(width - 10, (top + bottom) / 2);
    g.rotate(Math.PI / 2);
    g.textAlign = 'center';
    g.fillText(`block ${report.block}, dB`, 0, 0);
    g.restore();
    const band = (values, colour, dashed) => {
      g.strokeStyle = colour;
      g.lineWidth = 2;
      g.setLineDash(dashed ? [5, 3] : []);
      g.beginPath();
      values.forEach((v, i) => {
        const from = xOf(Math.max((i * rateHz) / 32, lowHz));
        const to = xOf(((i + 1) * rateHz) / 32);
        if (i === 0) g.moveTo(from, rOf(v));
        else g.lineTo(from, rOf(v));
        g.lineTo(to, rOf(v));
      });
      g.stroke();
      g.setLineDash([]);
    };
    band(report.maskingDb, colours.masking, false);
    band(report.noiseDb, colours.noise, true);
    entries.push({ label: `masking, block ${report.block}`, colour: colours.masking });
    entries.push({ label: 'noise filter gain', colour: colours.noise, dashed: true });
  }
  legend(g, left, 12, entries);
}
