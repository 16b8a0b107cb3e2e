// The SIMD128 level (WebAssembly with 128-bit vectors): the vector stages
// compiled for v128, and the noise cost of 2 tap sets at once, one double per
// lane. Every lane performs the scalar operations in the same order
// (WebAssembly has no fused multiply-add in SIMD128, and -ffp-contract=off
// keeps the compiler from forming one elsewhere), and f64x2.sqrt is the
// correctly rounded square root of each lane, so the bits are the reference's.
// A build without -msimd128 (only for measuring what SIMD128 gains) compiles
// the same code with each vector operation split into scalar ones.
#ifdef __wasm_simd128__
#include <wasm_simd128.h>
#endif

#include "kernels/vector_stages.h"
#include "resample/resampler.h"
#include "kernels/wasm/wasm_kernels.h"

namespace pcmtaper {
namespace {

constexpr int lanes = 2;
using vd = double __attribute__((vector_size(lanes * 8)));

#ifdef __wasm_simd128__
inline vd lanes_sqrt(vd x) { return reinterpret_cast<vd>(wasm_f64x2_sqrt(reinterpret_cast<v128_t>(x))); }
#else
inline vd lanes_sqrt(vd x) { return vd{__builtin_sqrt(x[0]), __builtin_sqrt(x[1])}; }
#endif

#include "kernels/cost_lanes.inc"
#include "resample/resample_dot_lanes.inc"

}  // namespace

namespace {

#include "kernels/vector_stage_entries.inc"

}  // namespace

void fill_simd128(kernel_table* table) {
    fill_vector_stages(table);
    table->cost_narrow = {cost_lanes, lanes};
    table->resample_dot = resample_dot_lanes;
    table->resample_halve = resample_halve_lanes;
    table->resample_convolve = resample_convolve_lanes;
}

}  // namespace pcmtaper
