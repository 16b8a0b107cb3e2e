// The vector forms of the analysis and the quantiser, written with the
// compiler's generic vectors and no instruction set named. Every function is
// static and always inlined: each kernel level's file (src/kernels/<architecture>/)
// includes this header and compiles the stages for its own instruction set.
// Every value is formed by the operations of the reference (model/analysis.cpp,
// quant/quantiser.cpp) in the same order; nothing here calls the reference.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "internal/constants.h"
#include "internal/math_calls.h"
#include "kernels/fft256_steps.h"
#include "kernels/vector_tables.h"
#include "model/model.h"
#include "quant/quant.h"

#define PCMTAPER_INLINE __attribute__((always_inline)) static inline

// Everything here has internal linkage (the unnamed namespace, static
// functions), so that each level's file has its own copy, compiled with its
// instruction set: an unoptimised build leaves inline functions out of line,
// and of the copies of one with external linkage the linker keeps one,
// whichever level's it is.
namespace pcmtaper::vector_stages {
namespace {

// ---- analysis -------------------------------------------------------------------

// From the magnitudes of bins 0..127 on: spreading up and down, the block's
// threshold, the smoothed mask and the band weights, in pieces over ranges of
// bins so that quantise_and_analyse can interleave them with the quantiser.
// Every value is formed by the same operations in the same order as in one
// pass; the work that does not chain from bin to bin (mask, reciprocals, band
// sums) runs in loops of its own so that it is done a vector at a time.
struct spreading {
    alignas(64) double spread_sum[bin_count];
    alignas(64) double reciprocal[bin_count];
    double acc = 0.0;
};

// Upward spreading over bins first..last-1 (ascending, from bin 0).
PCMTAPER_INLINE void spread_up(const rate_tables& rates, const double* magnitude, spreading* s, int first,
                               int last) {
    double acc = s->acc;
    for (int i = first; i < last; ++i) {
        acc = magnitude[i] + acc;
        s->spread_sum[i] = acc;
        acc = acc * rates.spread_decay[i];
    }
    s->acc = last == bin_count ? 0.0 : acc;  // the downward pass starts afresh
}

// Downward spreading over bins last-1 down to first (from bin 127), twice the
// decay per bin, then the block's threshold.
PCMTAPER_INLINE void spread_down(const rate_tables& rates, spreading* s, int first, int last) {
    double acc = s->acc;
    for (int i = last - 1; i >= first; --i) {
        acc = s->spread_sum[i] + acc;
        s->spread_sum[i] = acc * rates.spread_norm[i] + rates.quiet[i];
        acc = acc * rates.spread_decay[i];
        acc = acc * rates.spread_decay[i];
    }
    s->acc = acc;
}

// Smoothing into the mask over bins first..last-1, and the reciprocals of the
// mask just stored.
PCMTAPER_INLINE void smooth_mask(analysis_state* analysis, spreading* s, int first, int last) {
    for (int i = first; i < last; ++i) {
        analysis->mask[i] = analysis->mask[i] * mask_keep + s->spread_sum[i] * mask_update;
        s->reciprocal[i] = 1 / analysis->mask[i];
    }
}

// Band weights: the reciprocals of each band's bins, summed in ascending
// order onto a cleared weight.
PCMTAPER_INLINE void sum_bands(analysis_state* analysis, const spreading* s) {
    for (int b = 0; b < band_count; ++b) analysis->band_weight[b] = 0.0;
    for (int k = 0; k < bins_per_band; ++k)
        for (int b = 0; b < band_count; ++b)
            analysis->band_weight[b] = s->reciprocal[b * bins_per_band + k] + analysis->band_weight[b];
}

PCMTAPER_INLINE void window_history(const double* history, double* windowed) {
    const double* w = analysis_window().w;
    for (int i = 0; i < history_len; ++i) windowed[i] = history[i] * w[i] * w[i];
}

// The spread spectrum of a history: window, transform, magnitudes, spreading
// up and down. Everything of the analysis before the smoothing, which
// carries the mask from block to block.
PCMTAPER_INLINE void spread_history(const rate_tables& rates, const double* history, spreading* s) {
    const forward_twiddles& tw = analysis_twiddles();
    alignas(64) double windowed[history_len];
    alignas(64) double magnitude[bin_count];
    fft256_work transform;
    window_history(history, windowed);
    fft256_first_stage(windowed, &transform, tw);
    for (int span = fft256_len / 2; span >= 8; span /= 2) fft256_middle_stage(&transform, span, tw);
    fft256_tail(&transform, 0, fft256_len, tw, magnitude);
    spread_up(rates, magnitude, s, 0, bin_count);
    spread_down(rates, s, 0, bin_count);
}

PCMTAPER_INLINE void analyse(const rate_tables& rates, analysis_state* analysis) {
    spreading s;
    spread_history(rates, analysis->history, &s);
    smooth_mask(analysis, &s, 0, bin_count);
    sum_bands(analysis, &s);
}

// The block's threshold alone, from a history that need not be the state's:
// the same operations as analyse up to the smoothing, which the caller runs
// in block order (smooth_mask_and_weigh).
PCMTAPER_INLINE void block_threshold(const rate_tables& rates, const double* history, double* threshold) {
    spreading s;
    spread_history(rates, history, &s);
    std::memcpy(threshold, s.spread_sum, sizeof s.spread_sum);
}

// ---- quantiser ------------------------------------------------------------------

// The step count of target + dither in double arithmetic, or not_sure when
// it cannot be sure of it.
//
// Why it is right: with S = target + offset exactly, the dithered value of the
// extended-precision sum, v = double(target + offset), and the quick one,
// v' = target + double(offset), both lie within 2^-52 |S| + 2^-52 |offset| of
// S, so for |256 v'| < 1000 (|S| < 4) the two differ by less than 8 * 2^-52
// and 256 v and 256 v' by less than 5e-13. The step count is floor(256 v + 0.5)
// (before the clamp; the extended sum 256 v + 128.5 is exact wherever it is
// near a whole number). So when 256 v' + 0.5 is more than 1e-9 from a whole
// number, both round to the same step. Everything else (about one sample in
// a billion, and values far past the clamp or not numbers) takes the exact
// path. The sum z + 0.5 below errs by at most 2^-53 * 1000.5, far inside the
// margin, so its floor is that of the exact sum.
inline constexpr double quick_range = 1000.0;    // |256 v'| below this, in steps
inline constexpr double boundary_margin = 1e-9;  // of a step, around each rounding boundary
inline constexpr int not_sure = -1000;

PCMTAPER_INLINE int quick_step(double target, double rounded_offset) {
    const double z = (target + rounded_offset) * steps_per_unit;
    if (!(std::fabs(z) < quick_range)) return not_sure;
    const double y = z + 0.5;
    double whole = static_cast<double>(static_cast<int>(y));  // toward zero
    if (whole > y) whole = whole - 1.0;                        // floor
    const double fraction = y - whole;                         // exact
    if (!(fraction > boundary_margin && fraction < 1.0 - boundary_margin)) return not_sure;
    int q = static_cast<int>(whole);
    if (q > step_limit) q = step_limit;
    if (q < -step_limit) q = -step_limit;
    return q;
}

// The exact path: target plus the exact dither rounded once to a double, then
// 256 v + 128.5 in extended precision, truncated, clamped.
static inline int exact_step(double target, const extended& offset) {
    const double v = xmath::add_extended_dither(target, offset);
    if (v != v) return 0;  // not a number, which finite taps never produce
    const extended shifted = xmath::shifted_step_value(v);
    if (xmath::extended_less(shifted, xmath::extended_from_double(2.0))) return -step_limit;
    if (!xmath::extended_less(shifted, xmath::extended_from_double(255.0))) return step_limit;
    return static_cast<int>(xmath::extended_truncate(shifted)) - zero_level_byte;
}

// A draw's table entry is filled on its first use (see dither_table): until
// then its rounded offset is a NaN, on which quick_step never decides.
PCMTAPER_INLINE int step_from_table(dither_table& t, double target, int r, bool zero_dc) {
    const double rounded = rounded_dither(t, r);
    const int q = quick_step(target, rounded);
    if (q != not_sure) return q;
    if (rounded != rounded) {
        const extended exact = fill_dither_entry(&t, r, zero_dc);
        const int filled = quick_step(target, xmath::extended_to_double(exact));
        return filled != not_sure ? filled : exact_step(target, exact);
    }
    return exact_step(target, t.exact[r]);
}

PCMTAPER_INLINE int next_draw(std::uint32_t* generator_state) {
    *generator_state = *generator_state * 22695477u + 1u;
    return static_cast<int>((*generator_state >> 16) & 0x7FFFu);
}

// One sample j of the job. The loop over k reads delay_line[order], which no
// sample writes: it stays 0 (the delay line's end), so the oldest entry in
// use takes only the new error.
static_assert(filter_order < max_taps, "the delay line needs its zero end entry");
PCMTAPER_INLINE void quantise_sample(const quantiser_job& job, dither_table& dither, int j) {
    double* err = job.delay_line;
    const double target = job.samples[j] - err[1];
    const int q = step_from_table(dither, target, next_draw(job.dither_state), job.zero_dc);
    double e = target - q / steps_per_unit;
    if (e < -error_limit) e = -error_limit;
    if (e > error_limit) e = error_limit;
    if (job.order == filter_order) {  // the program's order: the loop unrolls
        for (int k = 1; k < filter_order; ++k) err[k] = err[k + 1] + e * job.taps[k];
    } else {
        for (int k = 1; k < job.order; ++k) err[k] = err[k + 1] + e * job.taps[k];
    }
    job.out_bytes[j] = static_cast<std::uint8_t>(q + zero_level_byte);
}

// Both take a copy of the job: a local copy that nothing points at cannot be
// changed by the stores to the output bytes, so its fields stay in registers.
PCMTAPER_INLINE void quantise(const quantiser_job& job_in) {
    const quantiser_job job = job_in;
    dither_table& dither = dither_offsets(job.zero_dc);
    for (int j = 0; j < block_len; ++j) quantise_sample(job, dither, j);
}

// The quantiser interleaved with the analysis, sample by sample with a slice
// of the analysis between: the quantiser is one long chain of dependent steps
// (each sample's error feeds the next), which leaves most of the machine idle;
// the analysis is independent of it and fills that idle time.
inline constexpr int spread_slice = bin_count / 8;  // bins per quantised sample in the spreading
// Samples quantised between slices: one before the first stage, one before
// each middle stage (spans 128..8) and each tail quarter, one per slice of
// upward and downward spreading, one per two slices of smoothing. The rest
// of the block follows; there must be no more slices than samples.
inline constexpr int interleaved_samples = 1 + 5 + 4 + bin_count / spread_slice + bin_count / spread_slice +
                                           bin_count / (2 * spread_slice);
static_assert(interleaved_samples <= block_len, "more slices of analysis than samples in a block");

// The quantiser interleaved with the spread spectrum of `history` (window,
// transform, spreading up and down); returns the samples quantised so far.
PCMTAPER_INLINE int quantise_and_spread(const quantiser_job& job, dither_table& dither, const rate_tables& rates,
                                        const double* history, spreading* s) {
    const forward_twiddles& tw = analysis_twiddles();
    alignas(64) double windowed[history_len];
    alignas(64) double magnitude[bin_count];
    fft256_work transform;
    window_history(history, windowed);

    int j = 0;
    quantise_sample(job, dither, j++);
    fft256_first_stage(windowed, &transform, tw);
    for (int span = fft256_len / 2; span >= 8; span /= 2) {
        quantise_sample(job, dither, j++);
        fft256_middle_stage(&transform, span, tw);
    }
    for (int q = 0; q < fft256_len; q += fft256_len / 4) {
        quantise_sample(job, dither, j++);
        fft256_tail(&transform, q, q + fft256_len / 4, tw, magnitude);
    }
    for (int first = 0; first < bin_count; first += spread_slice) {
        quantise_sample(job, dither, j++);
        spread_up(rates, magnitude, s, first, first + spread_slice);
    }
    for (int last = bin_count; last > 0; last -= spread_slice) {
        quantise_sample(job, dither, j++);
        spread_down(rates, s, last - spread_slice, last);
    }
    return j;
}

PCMTAPER_INLINE void quantise_and_analyse(const quantiser_job& job_in, const rate_tables& rates,
                                          const double* history, analysis_state* analysis) {
    const quantiser_job job = job_in;
    dither_table& dither = dither_offsets(job.zero_dc);
    spreading s;
    int j = quantise_and_spread(job, dither, rates, history, &s);
    for (int first = 0; first < bin_count; first += 2 * spread_slice) {
        quantise_sample(job, dither, j++);
        smooth_mask(analysis, &s, first, first + 2 * spread_slice);
    }
    sum_bands(analysis, &s);
    while (j < block_len) quantise_sample(job, dither, j++);
}

}  // namespace
}  // namespace pcmtaper::vector_stages

#undef PCMTAPER_INLINE
