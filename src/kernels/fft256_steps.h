// The table-driven transform of the analysis (256 points) of a real block, in
// steps, for code that interleaves it with other work. Written with the
// compiler's generic vectors, no instruction set named: every function is
// static and always inlined, so each kernel level's file compiles it for its
// own instruction set. Each value is formed by exactly the operations of
// fft1 (see dsp/fft.h for what is left out and why).
//
// Usage: fft256_work w; fft256_first_stage(x, &w, tw);
//        for (int span = 128; span >= 8; span /= 2) fft256_middle_stage(&w, span, tw);
//        fft256_tail(&w, 0, 256, tw, magnitude);
#pragma once

#include "dsp/fft.h"

namespace pcmtaper {

inline constexpr int fft256_len = analysis_len;

struct fft256_work {
    alignas(64) double re[fft256_len];
    alignas(64) double im[fft256_len];
};

namespace fft256_detail {

// Four doubles; every operation is done lane by lane, as the scalar one. They
// are moved to and from memory by memcpy (any alignment, no aliasing
// questions), never passed to or returned from a function: passing 32-byte
// vectors by value depends on AVX being enabled, which the baseline versions
// of the callers are not.
using v4 = double __attribute__((vector_size(32)));

#define FFT256_LOAD4(p)                                   \
    (__extension__({                                      \
        fft256_detail::v4 loaded_;                        \
        __builtin_memcpy(&loaded_, (p), sizeof loaded_);  \
        loaded_;                                          \
    }))
#define FFT256_STORE4(p, v)                               \
    do {                                                  \
        const fft256_detail::v4 stored_ = (v);            \
        __builtin_memcpy((p), &stored_, sizeof stored_);  \
    } while (0)

// Bit reversal of an 8-bit position: the bin that fft1's stages leave there,
// as a table (the tail's positions are not known at compile time).
struct bit_reversal {
    unsigned char bin[fft256_len];
};
constexpr bit_reversal make_bit_reversal() {
    bit_reversal t{};
    for (int p = 0; p < fft256_len; ++p) {
        int r = 0;
        for (int b = 0; b < 8; ++b) r |= ((p >> b) & 1) << (7 - b);
        t.bin[p] = static_cast<unsigned char>(r);
    }
    return t;
}
inline constexpr bit_reversal bin_at = make_bit_reversal();
static_assert(fft256_len == 256 && bin_at.bin[1] == 128 && bin_at.bin[6] == 96);

}  // namespace fft256_detail

// First stage (span 256). The imaginary input is zero: di is +0, so dr*wr -
// di*wi is dr*wr and di*wr + dr*wi is dr*wi, and the upper sums stay zero.
// The one difference from fft1 is the sign of a zero: where dr*wi is -0,
// fft1's +0*wr + -0 is +0 and this stage stores -0. That is exact only
// because every consumer of the transform squares the imaginary part (the
// magnitudes of fft256_tail); a consumer that did not would have to restore it.
__attribute__((always_inline)) static inline void fft256_first_stage(const double* x, fft256_work* w,
                                                                     const forward_twiddles& tw) {
    using namespace fft256_detail;
    constexpr int half = fft256_len / 2;
    for (int j = 0; j < half; j += 4) {
        const v4 xa = FFT256_LOAD4(x + j), xb = FFT256_LOAD4(x + j + half);
        const v4 dr = xa - xb;
        FFT256_STORE4(w->re + j, xa + xb);
        FFT256_STORE4(w->im + j, v4{});
        FFT256_STORE4(w->re + j + half, dr * FFT256_LOAD4(tw.wr + j));
        FFT256_STORE4(w->im + j + half, dr * FFT256_LOAD4(tw.wi + j));
    }
}

namespace fft256_detail {

// One stage of span 128, 64, 32, 16 or 8, its span known at compile time so
// that the short loops of the narrow spans unroll: four neighbouring
// butterflies at a time. Positions 0..span-1 are still real (their imaginary
// parts are the zeros the first stage stored): there di is zero, so
// dr*wr - di*wi is dr*wr and di*wr + dr*wi is dr*wi but for the sign of a
// zero, which only the squares of fft256_tail read (see fft256_first_stage);
// the sums of the zeros are the zeros already stored.
template <int span>
__attribute__((always_inline)) static inline void middle_stage(fft256_work* w, const forward_twiddles& tw) {
    constexpr int half = span / 2;
    const double* wr = tw.wr + (fft256_len - span);  // the stage's twiddles
    const double* wi = tw.wi + (fft256_len - span);
    for (int j = 0; j < half; j += 4) {
        const int a = j, b = a + half;
        const v4 ra = FFT256_LOAD4(w->re + a), rb = FFT256_LOAD4(w->re + b);
        const v4 dr = ra - rb;
        FFT256_STORE4(w->re + a, ra + rb);
        FFT256_STORE4(w->re + b, dr * FFT256_LOAD4(wr + j));
        FFT256_STORE4(w->im + b, dr * FFT256_LOAD4(wi + j));
    }
    for (int q = span; q < fft256_len; q += span) {
        for (int j = 0; j < half; j += 4) {
            const int a = q + j, b = a + half;
            const v4 ra = FFT256_LOAD4(w->re + a), rb = FFT256_LOAD4(w->re + b);
            const v4 ia = FFT256_LOAD4(w->im + a), ib = FFT256_LOAD4(w->im + b);
            const v4 w_r = FFT256_LOAD4(wr + j), w_i = FFT256_LOAD4(wi + j);
            const v4 dr = ra - rb, di = ia - ib;
            FFT256_STORE4(w->re + a, ra + rb);
            FFT256_STORE4(w->im + a, ia + ib);
            FFT256_STORE4(w->re + b, dr * w_r - di * w_i);
            FFT256_STORE4(w->im + b, di * w_r + dr * w_i);
        }
    }
}

}  // namespace fft256_detail

// One stage of span 128, 64, 32, 16 or 8, after the first stage and each
// stage of twice the span.
__attribute__((always_inline)) static inline void fft256_middle_stage(fft256_work* w, int span,
                                                                      const forward_twiddles& tw) {
    using namespace fft256_detail;
    switch (span) {
        case 128: middle_stage<128>(w, tw); break;
        case 64: middle_stage<64>(w, tw); break;
        case 32: middle_stage<32>(w, tw); break;
        case 16: middle_stage<16>(w, tw); break;
        case 8: middle_stage<8>(w, tw); break;
        default: __builtin_unreachable();
    }
}

// Spans 4 and 2 on positions q_begin..q_end-1 (multiples of 8), and the
// magnitude sqrt(re*re + im*im) of each bin below 128 found there. Of span 2
// only the sums are wanted: the differences land on odd positions, which hold
// bins 128..255.
__attribute__((always_inline)) static inline void fft256_tail(fft256_work* w, int q_begin, int q_end,
                                                              const forward_twiddles& tw,
                                                              double* magnitude) {
    using namespace fft256_detail;
    constexpr int offset = fft256_len - 4;  // the span-4 twiddles
    const v4 wr = {tw.wr[offset], tw.wr[offset + 1], tw.wr[offset], tw.wr[offset + 1]};
    const v4 wi = {tw.wi[offset], tw.wi[offset + 1], tw.wi[offset], tw.wi[offset + 1]};
    for (int q = q_begin; q < q_end; q += 8) {
        const v4 r0 = FFT256_LOAD4(w->re + q), r1 = FFT256_LOAD4(w->re + q + 4);
        const v4 i0 = FFT256_LOAD4(w->im + q), i1 = FFT256_LOAD4(w->im + q + 4);
        // Butterflies (q, q+2), (q+1, q+3), (q+4, q+6), (q+5, q+7).
        const v4 ra = __builtin_shufflevector(r0, r1, 0, 1, 4, 5);
        const v4 rb = __builtin_shufflevector(r0, r1, 2, 3, 6, 7);
        const v4 ia = __builtin_shufflevector(i0, i1, 0, 1, 4, 5);
        const v4 ib = __builtin_shufflevector(i0, i1, 2, 3, 6, 7);
        const v4 dr = ra - rb, di = ia - ib;
        const v4 sa_r = ra + rb, sa_i = ia + ib;  // positions q, q+1, q+4, q+5
        const v4 sb_r = dr * wr - di * wi;        // positions q+2, q+3, q+6, q+7
        const v4 sb_i = di * wr + dr * wi;
        // Span 2: position p (even) + position p + 1, for p = q, q+4, q+2, q+6.
        const v4 even_r = __builtin_shufflevector(sa_r, sb_r, 0, 2, 4, 6);
        const v4 odd_r = __builtin_shufflevector(sa_r, sb_r, 1, 3, 5, 7);
        const v4 even_i = __builtin_shufflevector(sa_i, sb_i, 0, 2, 4, 6);
        const v4 odd_i = __builtin_shufflevector(sa_i, sb_i, 1, 3, 5, 7);
        const v4 sum_r = even_r + odd_r, sum_i = even_i + odd_i;
        v4 m = sum_r * sum_r + sum_i * sum_i;
        for (int l = 0; l < 4; ++l) m[l] = __builtin_sqrt(m[l]);
        magnitude[bin_at.bin[q]] = m[0];
        magnitude[bin_at.bin[q + 4]] = m[1];
        magnitude[bin_at.bin[q + 2]] = m[2];
        magnitude[bin_at.bin[q + 6]] = m[3];
    }
}

}  // namespace pcmtaper
