// Makes the page as one file, pcmtaper.html, from a folder that web/build.sh
// filled: the style sheet, the page's script, the worker and the WebAssembly
// (inside pcmtaper-wasm-inline.mjs, as base64) all inlined, so that the file
// works when opened from disk (file://).
//
// A browser runs no module worker from a page opened so, and a worker there
// imports nothing: the page and the worker are each made one classic script
// from their modules (parsed with acorn, each module wrapped in a function
// that returns its exports; import.meta.url is undefined there, so the
// modules find no file beside them). The worker runs from a blob: URL.
//
// Usage: node web/make_single_file.mjs FOLDER   (writes FOLDER/pcmtaper.html)
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';

const folder = process.argv[2];
if (!folder) {
  console.error('usage: node web/make_single_file.mjs FOLDER');
  process.exit(2);
}
const require = createRequire(import.meta.url);
function loadAcorn() {
  for (const where of ['acorn', '/usr/share/nodejs/acorn', '/usr/lib/nodejs/acorn']) {
    try {
      return require(where);
    } catch {}
  }
  throw new Error('make_single_file: acorn not found (apt-get install node-acorn)');
}
const acorn = loadAcorn();

// The module file each name stands for in the one-file page.
const files = { 'pcmtaper-wasm.mjs': 'pcmtaper-wasm-inline.mjs' };
const read = (name) => fs.readFileSync(path.join(folder, files[name] ?? name), 'utf8');

// Every node under `node` (acorn's tree) with a type.
function* nodes(node) {
  if (node === null || typeof node !== 'object') return;
  if (Array.isArray(node)) {
    for (const n of node) yield* nodes(n);
    return;
  }
  if (typeof node.type === 'string') yield node;
  for (const [key, value] of Object.entries(node)) if (key !== 'type' && typeof value === 'object') yield* nodes(value);
}

// One module as a function of the modules it imports: its text, with its
// imports and exports rewritten, and the names it imports.
function classicModule(name) {
  const source = read(name);
  const tree = acorn.parse(source, { ecmaVersion: 'latest', sourceType: 'module' });
  const edits = [];  // [start, end, text]
  const exported = [];  // [exported name, local name]
  const imports = [];
  const moduleOf = (specifier) => {
    const imported = path.basename(specifier);
    imports.push(imported);
    return `modules[${JSON.stringify(imported)}]`;
  };
  for (const node of tree.body) {
    if (node.type === 'ImportDeclaration') {
      const from = moduleOf(node.source.value);
      const bindings = node.specifiers.map((s) =>
        s.type === 'ImportDefaultSpecifier' ? `const ${s.local.name} = ${from}.default;`
          : s.type === 'ImportNamespaceSpecifier' ? `const ${s.local.name} = ${from};`
            : `const ${s.local.name} = ${from}[${JSON.stringify(s.imported.name)}];`);
      edits.push([node.start, node.end, bindings.join(' ')]);
    } else if (node.type === 'ExportNamedDeclaration' && node.declaration) {
      edits.push([node.start, node.declaration.start, '']);
      const d = node.declaration;
      if (d.type === 'VariableDeclaration') for (const v of d.declarations) exported.push([v.id.name, v.id.name]);
      else exported.push([d.id.name, d.id.name]);
    } else if (node.type === 'ExportNamedDeclaration') {
      if (node.source) throw new Error(`make_single_file: ${name}: export ... from is not handled`);
      edits.push([node.start, node.end, '']);
      for (const s of node.specifiers) exported.push([s.exported.name, s.local.name]);
    } else if (node.type === 'ExportDefaultDeclaration') {
      const d = node.declaration;
      if (d.id) {
        edits.push([node.start, d.start, '']);
        exported.push(['default', d.id.name]);
      } else {
        edits.push([node.start, d.start, 'const moduleDefault = ']);
        exported.push(['default', 'moduleDefault']);
      }
    } else if (node.type === 'ExportAllDeclaration') {
      throw new Error(`make_single_file: ${name}: export * is not handled`);
    }
  }
  for (const node of nodes(tree)) {
    if (node.type === 'MetaProperty' && node.meta.name === 'import') edits.push([node.start, node.end, '({ url: undefined })']);
  }
  edits.sort((a, b) => b[0] - a[0]);
  let text = source;
  for (const [start, end, replacement] of edits) text = text.slice(0, start) + replacement + text.slice(end);
  const exports = exported.map(([e, local]) => `${JSON.stringify(e)}: ${local}`).join(', ');
  return { text: `modules[${JSON.stringify(name)}] = (function () {\n${text}\nreturn { ${exports} };\n})();\n`, imports };
}

// The entry module and those it imports, dependencies first, as one script.
function classicScript(entry) {
  const done = new Map();
  const visit = (name) => {
    if (done.has(name)) return;
    const module = classicModule(name);
    for (const imported of module.imports) visit(imported);
    done.set(name, module.text);
  };
  visit(entry);
  return `(function () {\n'use strict';\nconst modules = {};\n${[...done.values()].join('\n')}})();\n`;
}

// JSON inside <script>: no "</script" nor "<!--" can end or bend the element.
const scripts = JSON.stringify({ worker: classicScript('worker.mjs'), page: classicScript('page.mjs') }).replace(/</g, '\\u003c');
const loader = `<script type="application/json" id="pcmtaper-scripts">${scripts}</script>
<script>
  // The worker from a blob: URL the page makes, then the page's script.
  (function () {
    var scripts = JSON.parse(document.getElementById('pcmtaper-scripts').textContent);
    window.pcmtaperWorkerUrl = URL.createObjectURL(new Blob([scripts.worker], { type: 'text/javascript' }));
    var page = document.createElement('script');
    page.textContent = scripts.page;
    document.body.appendChild(page);
  })();
</script>`;

let html = fs.readFileSync(path.join(folder, 'index.html'), 'utf8');
const replace = (from, to) => {
  if (!html.includes(from)) throw new Error(`make_single_file: index.html has no ${from}`);
  html = html.replace(from, () => to);
};
replace('<html lang="en">', '<html lang="en" data-single-file="">');
replace('<link rel="stylesheet" href="page.css">', `<style>\n${read('page.css')}</style>`);
replace('<script type="module" src="page.mjs"></script>', loader);
// The worker comes from a blob: URL made by the page itself.
html = html.replace(/<meta http-equiv="Content-Security-Policy" content="[^"]*">/, () =>
  `<meta http-equiv="Content-Security-Policy" content="default-src 'none'; script-src 'unsafe-inline' 'wasm-unsafe-eval' blob:; worker-src blob:; connect-src blob: data:; img-src data: blob:; media-src blob:; style-src 'unsafe-inline'">`);
const out = path.join(folder, 'pcmtaper.html');
fs.writeFileSync(out, html);
console.log(`web/make_single_file.mjs: built ${out} (${fs.statSync(out).size} bytes)`);
