// The noise cost of 4 tap sets at once (AVX2 vectors). Compiled with the
// instruction set's flags; called only where the machine has it.
#include <immintrin.h>

#include "dsp/fft.h"
#include "shaping/shaping.h"

namespace {

constexpr int lanes = 4;
using vd = double __attribute__((vector_size(lanes * 8)));

inline vd lanes_sqrt(vd x) { return reinterpret_cast<vd>(_mm256_sqrt_pd(reinterpret_cast<__m256d>(x))); }

#include "shaping/cost_kernel.inc"

}  // namespace

void noise_cost_lanes_avx2(const double* weights, const double* taps_by_tap, int stride,
                           double* costs) {
    cost_lanes(weights, taps_by_tap, stride, costs);
}
