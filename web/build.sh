#!/usr/bin/env bash
# Builds the web page into the folder OUT: index.html and its scripts,
# pcmtaper.mjs (the converter as an ES module) with the WebAssembly it loads,
# and pcmtaper.html, the whole page as one file that works opened from disk.
# Installs nothing; needs Debian's emscripten and node-acorn (.ci/run installs
# them). The WebAssembly build is kept in build-wasm/ (PCMTAPER_WASM_BUILD).
#
# Usage: web/build.sh OUT
# Environment:
#   PCMTAPER_WASM_BUILD   the build folder (default build-wasm)
#   PCMTAPER_WASM_SIMD=0  the simd128 level in scalar instructions (for measuring)
set -euo pipefail
[ $# = 1 ] || { echo "usage: web/build.sh OUT" >&2; exit 2; }
out=$1
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PCMTAPER_WASM_BUILD:-$root/build-wasm}
simd=$([ "${PCMTAPER_WASM_SIMD:-1}" = 0 ] && echo OFF || echo ON)

# Emscripten's optimiser runs under node and needs acorn, which Debian keeps
# in its own folder of node modules.
for folder in /usr/share/nodejs /usr/lib/nodejs; do
    [ -d "$folder/acorn" ] && export NODE_PATH=$folder${NODE_PATH:+:$NODE_PATH}
done
command -v emcmake >/dev/null || { echo "web/build.sh: emcmake not found (apt-get install emscripten)" >&2; exit 1; }

emcmake cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPCMTAPER_BUILD_TESTS=OFF \
    -DPCMTAPER_BUILD_BENCH=OFF -DPCMTAPER_BUILD_SHARED=OFF -DPCMTAPER_WASM_SIMD="$simd" \
    >/dev/null 2> >(grep -v '^configure:' >&2 || true)
cmake --build "$build" -j2 --target pcmtaper_wasm pcmtaper_wasm_inline >/dev/null

mkdir -p "$out"
cp "$build/web/pcmtaper-wasm.mjs" "$build/web/pcmtaper-wasm.wasm" "$build/web/pcmtaper-wasm-inline.mjs" "$out/"
for file in index.html page.css page.mjs worker.mjs analysis.mjs plots.mjs pcmtaper.mjs containers.mjs; do
    cp "$root/web/$file" "$out/"
done
node "$root/web/make_single_file.mjs" "$out" >/dev/null
# The speed page (web/bench/run_bench.mjs opens it).
mkdir -p "$out/bench"
cp "$root/web/bench/bench.html" "$root/web/bench/bench.mjs" "$out/bench/"
echo "web/build.sh: built $out/index.html and $out/pcmtaper.html"
