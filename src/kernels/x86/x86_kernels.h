// The x86-64 kernel levels, one file each, compiled with the level's
// instruction-set flags (CMakeLists.txt) and called only on machines that
// have it (x86_levels.cpp).
#pragma once

#include "internal/kernel_table.h"

namespace pcmtaper {

// The analysis and quantiser stages and the 2-lane costs (SSE2, every x86-64).
void fill_sse2(kernel_table* table);
// The stages and the 4-lane costs compiled for AVX2.
void fill_avx2(kernel_table* table);
// The 4-lane costs with AVX-512VL's 32 registers and embedded broadcasts.
cost_kernel costs_avx512vl();
// The 8-lane costs (AVX-512F).
cost_kernel costs_avx512();
// The resampler's inner product and transforms in 8 lanes (AVX-512F).
void fill_resample_avx512(kernel_table* table);

}  // namespace pcmtaper
