// The speed of pcmtaper.mjs: the best of a few conversions of one file, in
// seconds, shown as JSON in #result (and in document.body.dataset.result).
// ?input=URL&rounds=N converts the file at URL on load; otherwise a file is chosen.
import { createPcmtaper } from '../pcmtaper.mjs';

const result = document.getElementById('result');

async function measure(bytes, rounds) {
  const started = performance.now();
  const converter = await createPcmtaper();
  const loadSeconds = (performance.now() - started) / 1000;
  const seconds = [];
  let exitCode = null;
  let outputBytes = 0;
  for (let r = 0; r < rounds; ++r) {
    const t = performance.now();
    const out = converter.convertWav(bytes, {});
    seconds.push((performance.now() - t) / 1000);
    exitCode = out.exitCode;
    outputBytes = out.output ? out.output.length : 0;
  }
  const report = { exitCode, outputBytes, inputBytes: bytes.length, loadSeconds, seconds, bestSeconds: Math.min(...seconds) };
  result.textContent = JSON.stringify(report, null, 1);
  document.body.dataset.result = JSON.stringify(report);
}

const params = new URLSearchParams(location.search);
const rounds = () => Number(params.get('rounds') ?? document.getElementById('rounds').value);
if (params.has('input')) {
  result.textContent = 'converting…';
  fetch(params.get('input'))
    .then((r) => r.arrayBuffer())
    .then((b) => measure(new Uint8Array(b), rounds()));
}
document.getElementById('file').addEventListener('change', async (event) => {
  result.textContent = 'converting…';
  await measure(new Uint8Array(await event.target.files[0].arrayBuffer()), rounds());
});
