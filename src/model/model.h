// The perceptual model: the per-rate tables and the per-block masking
// analysis that turns the sample history into band weights.
//
// Usage: rate_tables rates; fill_rate_tables(&rates, 44100.0);
//        analysis_state a; reset_analysis(&a);
//        per block: a.history[224..255] = the new samples; analyse_block_reference(rates, &a);
//        (the program runs the analysis through its kernel table, internal/kernel_table.h)
#pragma once

#include "internal/constants.h"

namespace pcmtaper {

// The per-bin tables of a sample rate; constant once the conversion starts.
struct rate_tables {
    // Threshold in quiet per bin, amplitude on the scale of the unnormalised
    // transform of the windowed history.
    double quiet[bin_count];
    // Per-bin factor of the spreading recursion (dimensionless, 0..1].
    double spread_decay[bin_count];
    // Per-bin normalisation of the spread sum (dimensionless): a flat unit
    // spectrum spreads to 10^3.55 in every bin.
    double spread_norm[bin_count];
};

// Fills the tables for a sample rate in Hz (>= 0).
void fill_rate_tables(rate_tables* rates, double sample_rate_hz);

// The two functions the tables are computed with. fill_rate_tables passes
// math_atan and math_pow (internal/math_calls.h); the math tests pass
// functions that also check every argument against an exact reference.
struct rate_table_math {
    double (*atan_fn)(double x);
    double (*pow_fn)(double base, double exponent);
};
void fill_rate_tables_with(rate_tables* rates, double sample_rate_hz, const rate_table_math& math);

// What the analysis carries from block to block.
struct analysis_state {
    // Sliding window of input samples, oldest first, sample scale. Entries
    // 0..31 are the block quantised now; a block enters at 224..255.
    double history[history_len];
    // Smoothed masking threshold per bin, amplitude (units of quiet). Starts at 100.
    double mask[bin_count];
    // Per band, the sum of 1/mask over its 8 bins, rebuilt by every analysis:
    // the weights of the noise cost.
    double band_weight[band_count];
};

// The starting condition: silence, mask 100, weights 0.
void reset_analysis(analysis_state* analysis);

// Moves history[32..255] down to history[0..223]; 224..255 keep their values.
void slide_history(analysis_state* analysis);

// The masking analysis as literal formulas: sin-squared window, fft1,
// magnitudes, spreading up and down, threshold, smoothing, band sums. It is
// the two parts below one after the other.
void analyse_block_reference(const rate_tables& rates, analysis_state* analysis);
// The same analysis of a history given apart from the state (history_len
// samples, oldest first); the state's own history is not read.
void analyse_history_reference(const rate_tables& rates, const double* history, analysis_state* analysis);

// The part of the analysis that needs only the history (history_len samples,
// oldest first): window, transform, magnitudes and spreading, giving the
// block's threshold per bin (amplitude, units of quiet). It keeps no state,
// so the blocks of a conversion can be analysed in any order, on any thread.
void block_threshold_reference(const rate_tables& rates, const double* history, double* threshold);

// The part that chains from block to block, in block order: the block's
// threshold smoothed into the mask, and the band weights rebuilt from it.
// Plain double arithmetic in a fixed order, so every kernel level shares it.
void smooth_mask_and_weigh(const double* threshold, analysis_state* analysis);

// Constants of the analysis shared by its reference and its vector forms.
// The window's half-period constant: deliberately 3.141592653589, not pi
// (bit pattern 0x400921FB5444261E), so that every build windows identically.
inline constexpr double window_pi = 3.141592653589;
inline constexpr double mask_start = 100.0;
inline constexpr double mask_keep = 0.75;    // weight of the previous block's mask
inline constexpr double mask_update = 0.25;  // weight of this block's threshold

}  // namespace pcmtaper
