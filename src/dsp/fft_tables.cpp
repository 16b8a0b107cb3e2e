// Table-driven forward transforms, bit-identical to fft1 (see fft.h).
#include <cmath>

#include "dsp/fft.h"

namespace {

constexpr double pi = 3.141592653589793;
constexpr int analysis_len = 256;
constexpr int analysis_stages = 8;

// Bit reversal of an 8-bit index.
constexpr int reverse8(int m) {
    int r = 0;
    for (int b = 0; b < analysis_stages; ++b) r |= ((m >> b) & 1) << (analysis_stages - 1 - b);
    return r;
}

// The bin that fft1's stages leave at each position (bit reversal).
struct bit_reversal_256 {
    int bin[analysis_len];
    constexpr bit_reversal_256() : bin() {
        for (int p = 0; p < analysis_len; ++p) bin[p] = reverse8(p);
    }
};
constexpr bit_reversal_256 bin_at_position;

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

namespace {

// Four doubles; every operation is done lane by lane, as the scalar one.
using v4 = double __attribute__((vector_size(32)));
using v4_index = long long __attribute__((vector_size(32)));

inline v4 load4(const double* p) {
    v4 v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline void store4(double* p, v4 v) { __builtin_memcpy(p, &v, sizeof v); }

inline v4 sqrt4(v4 v) {
    for (int l = 0; l < 4; ++l) v[l] = __builtin_sqrt(v[l]);
    return v;
}

}  // namespace

// Compiled for each vector width; the loader picks the widest the machine has.
// Every lane performs the scalar operations, so every width gives the same bits.
__attribute__((target_clones("avx2", "default")))
void fft256_real_lower_magnitudes(const double* x, double* magnitude) {
    const forward_twiddles& tw = twiddles_256();
    alignas(64) double re[analysis_len];
    alignas(64) double im[analysis_len];
    constexpr int half = analysis_len / 2;

    // First stage. The imaginary input is zero: di is +0, so dr*wr - di*wi is
    // dr*wr and di*wr + dr*wi is dr*wi, and the upper sums stay zero.
    for (int j = 0; j < half; j += 4) {
        const v4 xa = load4(x + j), xb = load4(x + j + half);
        const v4 dr = xa - xb;
        store4(re + j, xa + xb);
        store4(im + j, v4{});
        store4(re + j + half, dr * load4(tw.wr + j));
        store4(im + j + half, dr * load4(tw.wi + j));
    }
    // Spans 128 down to 8: four neighbouring butterflies at a time.
    int offset = half;
    for (int span = half; span >= 8; span /= 2) {
        const int stage_half = span / 2;
        for (int q = 0; q < analysis_len; q += span) {
            for (int j = 0; j < stage_half; j += 4) {
                const int a = q + j, b = a + stage_half;
                const v4 ra = load4(re + a), rb = load4(re + b);
                const v4 ia = load4(im + a), ib = load4(im + b);
                const v4 wr = load4(tw.wr + offset + j), wi = load4(tw.wi + offset + j);
                const v4 dr = ra - rb, di = ia - ib;
                store4(re + a, ra + rb);
                store4(im + a, ia + ib);
                store4(re + b, dr * wr - di * wi);
                store4(im + b, di * wr + dr * wi);
            }
        }
        offset += stage_half;
    }
    // Span 4 on two blocks at once, then span 2, of which only the sums are
    // wanted (the differences land on odd positions: bins 128..255), and the
    // magnitude of each sum, stored at its bin.
    const v4 wr = {tw.wr[offset], tw.wr[offset + 1], tw.wr[offset], tw.wr[offset + 1]};
    const v4 wi = {tw.wi[offset], tw.wi[offset + 1], tw.wi[offset], tw.wi[offset + 1]};
    for (int q = 0; q < analysis_len; q += 8) {
        const v4 r0 = load4(re + q), r1 = load4(re + q + 4);
        const v4 i0 = load4(im + q), i1 = load4(im + q + 4);
        // Butterflies (q, q+2), (q+1, q+3), (q+4, q+6), (q+5, q+7).
        const v4 ra = __builtin_shuffle(r0, r1, v4_index{0, 1, 4, 5});
        const v4 rb = __builtin_shuffle(r0, r1, v4_index{2, 3, 6, 7});
        const v4 ia = __builtin_shuffle(i0, i1, v4_index{0, 1, 4, 5});
        const v4 ib = __builtin_shuffle(i0, i1, v4_index{2, 3, 6, 7});
        const v4 dr = ra - rb, di = ia - ib;
        const v4 sa_r = ra + rb, sa_i = ia + ib;        // positions q, q+1, q+4, q+5
        const v4 sb_r = dr * wr - di * wi;              // positions q+2, q+3, q+6, q+7
        const v4 sb_i = di * wr + dr * wi;
        // Span 2: position p (even) + position p + 1, for p = q, q+4, q+2, q+6.
        const v4 even_r = __builtin_shuffle(sa_r, sb_r, v4_index{0, 2, 4, 6});
        const v4 odd_r = __builtin_shuffle(sa_r, sb_r, v4_index{1, 3, 5, 7});
        const v4 even_i = __builtin_shuffle(sa_i, sb_i, v4_index{0, 2, 4, 6});
        const v4 odd_i = __builtin_shuffle(sa_i, sb_i, v4_index{1, 3, 5, 7});
        const v4 sum_r = even_r + odd_r, sum_i = even_i + odd_i;
        const v4 m = sqrt4(sum_r * sum_r + sum_i * sum_i);
        magnitude[bin_at_position.bin[q]] = m[0];
        magnitude[bin_at_position.bin[q + 4]] = m[1];
        magnitude[bin_at_position.bin[q + 2]] = m[2];
        magnitude[bin_at_position.bin[q + 6]] = m[3];
    }
}
