// The noise cost of 8 tap sets at once and the resampler's inner product and transforms, 8 lanes (AVX-512F vectors).
#include <immintrin.h>

#include "kernels/vector_stages.h"
#include "resample/resampler.h"
#include "kernels/x86/x86_kernels.h"

namespace pcmtaper {
namespace {

constexpr int lanes = 8;
using vd = double __attribute__((vector_size(lanes * 8)));

// The zero-masking form: the plain one trips a false uninitialised-value warning in GCC 12.
inline vd lanes_sqrt(vd x) {
    return reinterpret_cast<vd>(_mm512_maskz_sqrt_pd(__mmask8(0xFF), reinterpret_cast<__m512d>(x)));
}

#include "kernels/cost_lanes.inc"
#include "resample/resample_dot_lanes.inc"

}  // namespace

cost_kernel costs_avx512() { return {cost_lanes, lanes}; }

void fill_resample_avx512(kernel_table* table) {
    table->resample_dot = resample_dot_lanes;
    table->resample_halve = resample_halve_lanes;
    table->resample_convolve = resample_convolve_lanes;
}

}  // namespace pcmtaper
