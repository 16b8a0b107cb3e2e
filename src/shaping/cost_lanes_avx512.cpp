// The noise cost of 8 tap sets at once (AVX-512 vectors). Compiled with the
// instruction set's flags; called only where the machine has it.
#include <immintrin.h>

#include "dsp/fft.h"
#include "shaping/shaping.h"

namespace {

constexpr int lanes = 8;
using vd = double __attribute__((vector_size(lanes * 8)));

inline vd lanes_sqrt(vd x) {
    // The zero-masking form: the plain one trips a false uninitialised-value warning in GCC 12.
    return reinterpret_cast<vd>(_mm512_maskz_sqrt_pd(__mmask8(0xFF), reinterpret_cast<__m512d>(x)));
}

#include "shaping/cost_kernel.inc"

}  // namespace

void noise_cost_lanes_avx512(const double* weights, const double* taps_by_tap, int stride,
                             double* costs) {
    cost_lanes(weights, taps_by_tap, stride, costs);
}
