// Table-driven forward transforms, bit-identical to fft1 (see fft.h).
#include <cmath>

#include "dsp/fft.h"
#include "dsp/fft256_steps.h"

namespace {

constexpr double pi = 3.141592653589793;
constexpr int analysis_len = 256;

}  // namespace

void fill_forward_twiddles(int n, forward_twiddles* t) {
    double theta = -pi / n;  // as fft1 forms it for the forward direction
    int offset = 0;
    for (int span = n; span >= 2; span /= 2) {
        theta = 2.0 * theta;
        for (int j = 0; j < span / 2; ++j) {
            const double phi = j * theta;
            t->wr[offset + j] = std::cos(phi);
            t->wi[offset + j] = std::sin(phi);
        }
        offset += span / 2;
    }
}

const forward_twiddles& twiddles_32() {
    static const forward_twiddles table = [] {
        forward_twiddles t{};
        fill_forward_twiddles(32, &t);
        return t;
    }();
    return table;
}

const forward_twiddles& twiddles_256() {
    static const forward_twiddles table = [] {
        forward_twiddles t{};
        fill_forward_twiddles(analysis_len, &t);
        return t;
    }();
    return table;
}

namespace {

// Compiled for each vector width; the loader picks the widest the machine has.
// Every lane performs the scalar operations, so every width gives the same bits.
// (Kept local: a function with clones is called through a plain one, which
// every compiler links alike.)
__attribute__((target_clones("avx2", "default")))
void lower_magnitudes(const double* x, double* magnitude) {
    const forward_twiddles& tw = twiddles_256();
    fft256_work w;
    fft256_first_stage(x, &w, tw);
    for (int span = fft256_len / 2; span >= 8; span /= 2) fft256_middle_stage(&w, span, tw);
    fft256_tail(&w, 0, fft256_len, tw, magnitude);
}

}  // namespace

void fft256_real_lower_magnitudes(const double* x, double* magnitude) { lower_magnitudes(x, magnitude); }
