// Table-driven forward transforms, bit-identical to fft1 (see fft.h).
#include <cmath>

#include "dsp/fft.h"

namespace {

constexpr double pi = 3.141592653589793;
constexpr int analysis_len = 256;
constexpr int analysis_stages = 8;

// Bit reversal of an 8-bit index: where fft1's stages leave bin m.
constexpr int reverse8(int m) {
    int r = 0;
    for (int b = 0; b < analysis_stages; ++b) r |= ((m >> b) & 1) << (analysis_stages - 1 - b);
    return r;
}

struct bit_reversal_256 {
    int position[analysis_len / 2];
    constexpr bit_reversal_256() : position() {
        for (int m = 0; m < analysis_len / 2; ++m) position[m] = reverse8(m);
    }
};
constexpr bit_reversal_256 lower_bin_position;

// One decimation-in-frequency stage over the whole array, the butterflies in
// any order (they are independent), each exactly as fft1 computes it.
__attribute__((always_inline)) inline void full_stage(double* __restrict re, double* __restrict im,
                                                      int span, const double* __restrict wr,
                                                      const double* __restrict wi) {
    const int half = span / 2;
    for (int q = 0; q < analysis_len; q += span) {
        for (int j = 0; j < half; ++j) {
            const int a = q + j;
            const int b = a + half;
            const double dr = re[a] - re[b];
            const double di = im[a] - im[b];
            re[a] = re[a] + re[b];
            im[a] = im[a] + im[b];
            re[b] = dr * wr[j] - di * wi[j];
            im[b] = di * wr[j] + dr * wi[j];
        }
    }
}

}  // namespace

void fill_forward_twiddles(int n, forward_twiddles* t) {
    t->n = n;
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

// Compiled for each vector width; the loader picks the widest the machine has.
// Every lane performs the scalar operations, so every width gives the same bits.
__attribute__((target_clones("avx512f", "avx2", "default")))
void fft256_real_lower_bins(const double* x, double* bins_re, double* bins_im) {
    const forward_twiddles& tw = twiddles_256();
    alignas(64) double re[analysis_len];
    alignas(64) double im[analysis_len];

    // First stage. The imaginary input is zero: di is +0, so dr*wr - di*wi is
    // dr*wr and di*wr + dr*wi is dr*wi, and the upper sums stay zero.
    constexpr int half = analysis_len / 2;
    for (int j = 0; j < half; ++j) {
        const double dr = x[j] - x[j + half];
        re[j] = x[j] + x[j + half];
        im[j] = 0.0;
        re[j + half] = dr * tw.wr[j];
        im[j + half] = dr * tw.wi[j];
    }
    // Middle stages, spans 128 down to 4, in full.
    int offset = half;
    for (int span = half; span >= 4; span /= 2) {
        full_stage(re, im, span, tw.wr + offset, tw.wi + offset);
        offset += span / 2;
    }
    // Last stage (span 2): only the sums are wanted. The differences land on
    // odd positions, which hold bins 128..255.
    for (int a = 0; a < analysis_len; a += 2) {
        re[a] = re[a] + re[a + 1];
        im[a] = im[a] + im[a + 1];
    }
    for (int m = 0; m < half; ++m) {
        bins_re[m] = re[lower_bin_position.position[m]];
        bins_im[m] = im[lower_bin_position.position[m]];
    }
}
