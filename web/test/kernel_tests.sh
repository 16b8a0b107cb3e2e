#!/usr/bin/env bash
# The kernel tests at the simd128 level: tests/test_kernels.cpp built as
# WebAssembly (in the build folder of web/build.sh) and run under node, so
# that the level the page uses is checked against the reference as every
# level is. The test that runs the program is left out (no program there).
#
# Usage: web/test/kernel_tests.sh      (after web/build.sh, or on its own)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${PCMTAPER_WASM_BUILD:-$root/build-wasm}
for folder in /usr/share/nodejs /usr/lib/nodejs; do
    [ -d "$folder/acorn" ] && export NODE_PATH=$folder${NODE_PATH:+:$NODE_PATH}
done
emcmake cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPCMTAPER_BUILD_TESTS=OFF \
    -DPCMTAPER_BUILD_BENCH=OFF -DPCMTAPER_BUILD_SHARED=OFF -DPCMTAPER_WASM_TESTS=ON >/dev/null 2>&1
cmake --build "$build" -j2 --target pcmtaper_wasm_kernel_tests >/dev/null
node "$build/web/pcmtaper_wasm_kernel_tests.js" --gtest_brief=1 \
    --gtest_filter='Kernel*:-KernelChoice.EnvironmentForcesALevelOrIsRefused'
