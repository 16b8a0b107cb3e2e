// The masking analysis as literal formulas: the reference every kernel level
// is compared with. It shares no code with the vector forms in src/kernels/.
#include <cmath>
#include <cstring>

#include "dsp/fft.h"
#include "internal/math_calls.h"
#include "model/model.h"

namespace pcmtaper {

void reset_analysis(analysis_state* analysis) {
    for (double& x : analysis->history) x = 0.0;
    for (double& x : analysis->mask) x = mask_start;
    for (double& x : analysis->band_weight) x = 0.0;
}

void slide_history(analysis_state* analysis) {
    std::memmove(analysis->history, analysis->history + block_len, new_samples_at * sizeof(double));
}

void block_threshold_reference(const rate_tables& rates, const double* history, double* threshold) {
    // Sine-squared window over the whole history, transformed.
    double re[history_len];
    double im[history_len];
    for (int i = 0; i < history_len; ++i) {
        const double w = math_sin((i + 0.5) * window_pi / history_len);
        re[i] = history[i] * w * w;
        im[i] = 0.0;
    }
    fft1(re, im, history_len, 0, 0);
    double magnitude[bin_count];
    for (int i = 0; i < bin_count; ++i) magnitude[i] = std::sqrt(re[i] * re[i] + im[i] * im[i]);

    // Upward spreading from bin 0: each bin passes its accumulated magnitude
    // on to the next, shrunk by the bin's decay.
    double acc = 0.0;
    for (int i = 0; i < bin_count; ++i) {
        acc = magnitude[i] + acc;
        threshold[i] = acc;
        acc = acc * rates.spread_decay[i];
    }
    // Downward from bin 127, twice the decay per bin, then the block's threshold.
    acc = 0.0;
    for (int i = bin_count - 1; i >= 0; --i) {
        acc = threshold[i] + acc;
        threshold[i] = acc * rates.spread_norm[i] + rates.quiet[i];
        acc = acc * rates.spread_decay[i];
        acc = acc * rates.spread_decay[i];
    }
}

void smooth_mask_and_weigh(const double* threshold, analysis_state* analysis) {
    // Smoothing into the mask, and the band weights: the reciprocals of each
    // band's bins, summed in ascending order onto a cleared weight.
    for (int i = 0; i < bin_count; ++i)
        analysis->mask[i] = analysis->mask[i] * mask_keep + threshold[i] * mask_update;
    for (int b = 0; b < band_count; ++b) {
        analysis->band_weight[b] = 0.0;
        for (int k = 0; k < bins_per_band; ++k)
            analysis->band_weight[b] = 1 / analysis->mask[b * bins_per_band + k] + analysis->band_weight[b];
    }
}

void analyse_block_reference(const rate_tables& rates, analysis_state* analysis) {
    analyse_history_reference(rates, analysis->history, analysis);
}

void analyse_history_reference(const rate_tables& rates, const double* history, analysis_state* analysis) {
    double threshold[bin_count];
    block_threshold_reference(rates, history, threshold);
    smooth_mask_and_weigh(threshold, analysis);
}

}  // namespace pcmtaper
