// Makes the page as one file, pcmtaper.html, from a folder that web/build.sh
// filled: the style sheet, the modules, the worker and the WebAssembly (inside
// pcmtaper-wasm-inline.mjs, as base64) all inlined, so that the file works
// when opened from disk (file://), where a browser fetches nothing.
//
// The modules are kept as they are, in a JSON block; a small loader gives
// each a blob: URL, with the names it imports ('./x.mjs') replaced by their
// URLs, dependencies first, and starts the page's.
//
// Usage: node web/make_single_file.mjs FOLDER   (writes FOLDER/pcmtaper.html)
import fs from 'node:fs';
import path from 'node:path';

const folder = process.argv[2];
if (!folder) {
  console.error('usage: node web/make_single_file.mjs FOLDER');
  process.exit(2);
}
const read = (name) => fs.readFileSync(path.join(folder, name), 'utf8');

// Each module after those it imports.
const modules = {
  'pcmtaper-wasm.mjs': read('pcmtaper-wasm-inline.mjs'),
  'pcmtaper.mjs': read('pcmtaper.mjs'),
  'analysis.mjs': read('analysis.mjs'),
  'plots.mjs': read('plots.mjs'),
  'worker.mjs': read('worker.mjs'),
  'page.mjs': read('page.mjs'),
};
// JSON inside <script>: no "</script" nor "<!--" can end or bend the element.
const json = JSON.stringify(modules).replace(/</g, '\\u003c');

const loader = `<script type="application/json" id="pcmtaper-modules">${json}</script>
<script type="module">
  // Each module gets a blob: URL, its imports of the others replaced by theirs.
  const sources = JSON.parse(document.getElementById('pcmtaper-modules').textContent);
  const urls = {};
  for (const [name, source] of Object.entries(sources)) {
    const linked = source.replace(/(['"])\\.\\/([\\w.-]+\\.mjs)\\1/g, (text, quote, file) => (urls[file] ? JSON.stringify(urls[file]) : text));
    urls[name] = URL.createObjectURL(new Blob([linked], { type: 'text/javascript' }));
  }
  import(urls['page.mjs']).catch((error) => window.pcmtaperShowBlocked('The page could not start: ' + error));
</script>`;

let html = read('index.html');
const replace = (from, to) => {
  if (!html.includes(from)) throw new Error(`make_single_file: index.html has no ${from}`);
  html = html.replace(from, () => to);
};
replace('<html lang="en">', '<html lang="en" data-single-file="">');
replace('<link rel="stylesheet" href="page.css">', `<style>\n${read('page.css')}</style>`);
replace('<script type="module" src="page.mjs"></script>', loader);
// The modules and the worker come from blob: URLs made by the page itself.
html = html.replace(/<meta http-equiv="Content-Security-Policy" content="[^"]*">/, () =>
  `<meta http-equiv="Content-Security-Policy" content="default-src 'none'; script-src 'unsafe-inline' 'wasm-unsafe-eval' blob:; worker-src blob:; connect-src blob: data:; img-src data: blob:; media-src blob:; style-src 'unsafe-inline'">`);
fs.writeFileSync(path.join(folder, 'pcmtaper.html'), html);
console.log(`web/make_single_file.mjs: built ${path.join(folder, 'pcmtaper.html')} (${fs.statSync(path.join(folder, 'pcmtaper.html')).size} bytes)`);
