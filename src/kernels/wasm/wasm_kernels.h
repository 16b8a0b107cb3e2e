// The WebAssembly kernel level, called only on WebAssembly builds (wasm_levels.cpp).
#pragma once

#include "internal/kernel_table.h"

namespace pcmtaper {

// The analysis and quantiser stages and the 2-lane costs (SIMD128).
void fill_simd128(kernel_table* table);

}  // namespace pcmtaper
