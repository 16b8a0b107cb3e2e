// The noise cost of 4 tap sets at once with 256-bit vectors and the 32 registers and embedded broadcasts of AVX-512VL.
#include <immintrin.h>

#include "kernels/vector_stages.h"
#include "kernels/x86/x86_kernels.h"

namespace pcmtaper {
namespace {

constexpr int lanes = 4;
using vd = double __attribute__((vector_size(lanes * 8)));

inline vd lanes_sqrt(vd x) { return reinterpret_cast<vd>(_mm256_sqrt_pd(reinterpret_cast<__m256d>(x))); }

#include "kernels/cost_lanes.inc"

}  // namespace

cost_kernel costs_avx512vl() { return {cost_lanes, lanes}; }

}  // namespace pcmtaper
