// Per-block masking analysis: window the history, transform it, spread the bin
// magnitudes on the Bark scale, add the threshold in quiet, smooth the result
// from block to block into mask, and fold 1/mask into the 16 band weights.
// Also the per-block step, and its split form that overlaps the quantiser of
// one block with the analysis of the next.
#include <cmath>
#include <cstring>

#include "dsp/fft.h"
#include "dsp/fft256_steps.h"
#include "model/model.h"
#include "quant/quant.h"
#include "quant/quantise_sample.h"
#include "shaping/shaping.h"

namespace {

// The window's half-period constant: deliberately 3.141592653589, not pi
// (bit pattern 0x400921FB5444261E), so that every build windows identically.
constexpr double window_pi = 3.141592653589;
constexpr double mask_keep = 0.75;      // weight of the previous block's mask
constexpr double mask_update = 0.25;    // weight of this block's threshold
constexpr int step_lo_reset = 32;       // above every exponent a fine pass can try
constexpr int step_hi_reset = 0;

// From the magnitudes of bins 0..127 on: spreading up and down, the block's
// threshold, the smoothed mask and the band weights, in pieces over ranges of
// bins so that the fused step below can interleave them with the quantiser.
// Every value is formed by the same operations in the same order as in one
// pass; the work that does not chain from bin to bin (mask, reciprocals, band
// sums) runs in loops of its own so that it is done a vector at a time.
struct spreading {
    alignas(64) double spread_sum[bin_count];
    alignas(64) double reciprocal[bin_count];
    double acc = 0.0;
};

// Upward spreading over bins first..last-1 (ascending, from bin 0): each bin
// passes its accumulated magnitude on to the next, shrunk by the bin's decay.
__attribute__((always_inline)) inline void spread_up(const shaper_state* state, const double* magnitude,
                                                     spreading* s, int first, int last) {
    double acc = s->acc;
    for (int i = first; i < last; ++i) {
        acc = magnitude[i] + acc;
        s->spread_sum[i] = acc;
        acc = acc * state->spread_decay[i];
    }
    s->acc = last == bin_count ? 0.0 : acc;  // the downward pass starts afresh
}

// Downward spreading over bins last-1 down to first (from bin 127), twice the
// decay per bin, then the block's threshold.
__attribute__((always_inline)) inline void spread_down(const shaper_state* state, spreading* s,
                                                       int first, int last) {
    double acc = s->acc;
    for (int i = last - 1; i >= first; --i) {
        acc = s->spread_sum[i] + acc;
        s->spread_sum[i] = acc * state->spread_norm[i] + state->quiet[i];
        acc = acc * state->spread_decay[i];
        acc = acc * state->spread_decay[i];
    }
    s->acc = acc;
}

// Smoothing into mask over bins first..last-1, and the reciprocals of the mask
// just stored.
__attribute__((always_inline)) inline void smooth_mask(shaper_state* state, spreading* s, int first,
                                                       int last) {
    for (int i = first; i < last; ++i) {
        state->mask[i] = state->mask[i] * mask_keep + s->spread_sum[i] * mask_update;
        s->reciprocal[i] = 1 / state->mask[i];
    }
}

// Band weights: the reciprocals of each band's bins, summed in ascending
// order onto a cleared weight.
__attribute__((always_inline)) inline void sum_bands(shaper_state* state, const spreading* s) {
    for (int b = 0; b < band_count; ++b) state->band_weight[b] = 0.0;
    for (int k = 0; k < bins_per_band; ++k)
        for (int b = 0; b < band_count; ++b)
            state->band_weight[b] = s->reciprocal[b * bins_per_band + k] + state->band_weight[b];
}

__attribute__((target_clones("avx512f", "avx2", "default")))
void spread_and_weigh(shaper_state* state, const double* magnitude) {
    spreading s;
    spread_up(state, magnitude, &s, 0, bin_count);
    spread_down(state, &s, 0, bin_count);
    smooth_mask(state, &s, 0, bin_count);
    sum_bands(state, &s);
}

double window_at(int i) { return std::sin((i + 0.5) * window_pi / history_len); }

// The window from the same sin calls, once.
struct window_table {
    alignas(64) double w[history_len];
};

const window_table& analysis_window() {
    static const window_table table = [] {
        window_table t{};
        for (int i = 0; i < history_len; ++i) t.w[i] = window_at(i);
        return t;
    }();
    return table;
}

__attribute__((always_inline)) inline void window_history(const shaper_state* state, double* windowed) {
    const double* w = analysis_window().w;
    for (int i = 0; i < history_len; ++i) windowed[i] = state->history[i] * w[i] * w[i];
}

// Moves history[32..255] down to history[0..223].
void slide_history(shaper_state* state) {
    std::memmove(state->history, state->history + block_len, new_samples_at * sizeof(double));
}

// The quantiser of the block in `block` interleaved with the analysis of the
// history, sample by sample with a slice of the analysis: the quantiser is one
// long chain of dependent steps (each sample's error feeds the next), which
// leaves most of the machine idle; the analysis is independent of it and
// fills that idle time.
__attribute__((target_clones("avx2", "default")))
void quantise_with_analysis(shaper_state* state, const double* block) {
    using namespace quantiser;
    const dither_table& dither = dither_offsets();
    const auto step_of = [&dither](double target, int r) { return step_from_table(dither, target, r); };
    double* err = state->err_state;
    const double* coef = state->coef;
    const int order = state->order;
    std::uint32_t* dither_state = &state->dither_state;
    auto quantise = [&](int j) {
        state->out_bytes[j] = quantise_sample(block[j], err, coef, order, dither_state, step_of);
    };

    const forward_twiddles& tw = twiddles_256();
    alignas(64) double windowed[history_len];
    alignas(64) double magnitude[bin_count];
    fft256_work transform;
    spreading s;
    window_history(state, windowed);

    int j = 0;
    quantise(j++);
    fft256_first_stage(windowed, &transform, tw);
    for (int span = fft256_len / 2; span >= 8; span /= 2) {
        quantise(j++);
        fft256_middle_stage(&transform, span, tw);
    }
    for (int q = 0; q < fft256_len; q += fft256_len / 4) {
        quantise(j++);
        fft256_tail(&transform, q, q + fft256_len / 4, tw, magnitude);
    }
    constexpr int slice = bin_count / 8;  // bins per sample in the passes below
    for (int first = 0; first < bin_count; first += slice) {
        quantise(j++);
        spread_up(state, magnitude, &s, first, first + slice);
    }
    for (int last = bin_count; last > 0; last -= slice) {
        quantise(j++);
        spread_down(state, &s, last - slice, last);
    }
    for (int first = 0; first < bin_count; first += 2 * slice) {
        quantise(j++);
        smooth_mask(state, &s, first, first + 2 * slice);
    }
    sum_bands(state, &s);
    while (j < block_len) quantise(j++);
}

}  // namespace

void analyse_block_plain(shaper_state* state) {
    double spec_re[history_len];
    double spec_im[history_len];
    // Sine-squared window over the whole history.
    for (int i = 0; i < history_len; ++i) {
        const double w = window_at(i);
        spec_re[i] = state->history[i] * w * w;
        spec_im[i] = 0.0;
    }
    fft1(spec_re, spec_im, history_len, 0, 0);
    double magnitude[bin_count];
    for (int i = 0; i < bin_count; ++i)
        magnitude[i] = std::sqrt(spec_re[i] * spec_re[i] + spec_im[i] * spec_im[i]);
    spread_and_weigh(state, magnitude);
}

void analyse_block_fast(shaper_state* state) {
    alignas(64) double windowed[history_len];
    alignas(64) double magnitude[bin_count];
    window_history(state, windowed);
    fft256_real_lower_magnitudes(windowed, magnitude);
    spread_and_weigh(state, magnitude);
}

void analyse_block(shaper_state* state) {
#ifdef PCMTAPER_PLAIN
    analyse_block_plain(state);
#else
    analyse_block_fast(state);
#endif
}

void search_block(shaper_state* state) {
    for (int p = 0; p < fine_pass_max; ++p) {
        state->step_lo[p] = step_lo_reset;
        state->step_hi[p] = step_hi_reset;
    }
    optimize_filter(state);
}

int process_block(shaper_state* state) {
    analyse_block(state);
    search_block(state);
    quantise_block(state);
    return 0;
}

void quantise_and_analyse_next_fast(shaper_state* state, const double* next_samples) {
    if (next_samples == nullptr) {
        quantise_block_fast(state);
        return;
    }
    alignas(64) double block[block_len];
    std::memcpy(block, state->history, sizeof block);
    slide_history(state);
    std::memcpy(state->history + new_samples_at, next_samples, block_len * sizeof(double));
    quantise_with_analysis(state, block);
}

void quantise_and_analyse_next(shaper_state* state, const double* next_samples) {
#ifdef PCMTAPER_PLAIN
    quantise_block_plain(state);
    if (next_samples != nullptr) {
        std::memcpy(state->history + new_samples_at, next_samples, block_len * sizeof(double));
        analyse_block_plain(state);
    }
#else
    quantise_and_analyse_next_fast(state, next_samples);
#endif
}
