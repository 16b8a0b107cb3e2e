// Per-block masking analysis: window the history, transform it, spread the bin
// magnitudes on the Bark scale, add the threshold in quiet, smooth the result
// from block to block into mask, and fold 1/mask into the 16 band weights.
#include <cmath>

#include "dsp/fft.h"
#include "model/model.h"
#include "quant/quant.h"
#include "shaping/shaping.h"

namespace {

// The window's half-period constant: deliberately 3.141592653589, not pi
// (bit pattern 0x400921FB5444261E), so that every build windows identically.
constexpr double window_pi = 3.141592653589;
constexpr double mask_keep = 0.75;      // weight of the previous block's mask
constexpr double mask_update = 0.25;    // weight of this block's threshold

}  // namespace

namespace {

// From the magnitudes of bins 0..127 on: spreading up and down, the block's threshold,
// the smoothed mask and the band weights. Shared by both forms of the analysis.
// The work that does not chain from bin to bin (magnitudes, mask, reciprocals,
// band sums) runs in loops of its own so that it is done a vector at a time;
// every value is formed by the same operations in the same order as in one loop.
__attribute__((target_clones("avx512f", "avx2", "default")))
void spread_and_weigh(shaper_state* state, const double* magnitude) {
    alignas(64) double spread_sum[bin_count];
    alignas(64) double reciprocal[bin_count];
    // Upward spreading: each bin passes its accumulated magnitude on to the next,
    // shrunk by the bin's decay. Bins 128..255 are never looked at.
    double acc = 0.0;
    for (int i = 0; i < bin_count; ++i) {
        acc = magnitude[i] + acc;
        spread_sum[i] = acc;
        acc = acc * state->spread_decay[i];
    }
    // Downward spreading, twice the decay per bin, then the block's threshold.
    acc = 0.0;
    for (int i = bin_count - 1; i >= 0; --i) {
        acc = spread_sum[i] + acc;
        spread_sum[i] = acc * state->spread_norm[i] + state->quiet[i];
        acc = acc * state->spread_decay[i];
        acc = acc * state->spread_decay[i];
    }
    // Smoothing into mask, and the band weights from the mask just stored,
    // summed bin by bin in ascending order from a cleared weight.
    for (int i = 0; i < bin_count; ++i) {
        state->mask[i] = state->mask[i] * mask_keep + spread_sum[i] * mask_update;
        reciprocal[i] = 1 / state->mask[i];
    }
    for (int b = 0; b < band_count; ++b) state->band_weight[b] = 0.0;
    for (int k = 0; k < bins_per_band; ++k)
        for (int b = 0; b < band_count; ++b)
            state->band_weight[b] = reciprocal[b * bins_per_band + k] + state->band_weight[b];
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
    const double* w = analysis_window().w;
    alignas(64) double windowed[history_len];
    alignas(64) double magnitude[bin_count];
    for (int i = 0; i < history_len; ++i) windowed[i] = state->history[i] * w[i] * w[i];
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

int process_block(shaper_state* state) {
    analyse_block(state);
    for (int p = 0; p < fine_pass_max; ++p) {
        state->step_lo[p] = 32;
        state->step_hi[p] = 0;
    }
    optimize_filter(state);
    quantise_block(state);
    return 0;
}
