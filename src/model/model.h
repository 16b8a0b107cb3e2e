// The converter state and the perceptual model: the per-rate tables and the
// per-block masking analysis that turns the sample history into band weights.
//
// Usage: shaper_state s; init_state(&s); init_rate_tables(&s, 44100.0);
//        then per block: fill s.history[224..255], set s.block_index, process_block(&s).
#pragma once

#include <cstdint>

// Sizes of the conversion, in samples, bins and bands.
inline constexpr int history_len = 256;     // samples in the analysis window
inline constexpr int block_len = 32;        // samples quantised per block
inline constexpr int new_samples_at = history_len - block_len;  // 224: where a block enters
inline constexpr int bin_count = 128;       // analysed bins of the 256-point transform
inline constexpr int band_count = 16;       // bands of 8 bins each
inline constexpr int bins_per_band = 8;
inline constexpr int max_taps = 16;         // size of coef and err_state
inline constexpr int filter_order = 8;      // taps in use, coef[0] included
inline constexpr int fine_pass_max = 22;    // passes of the fine search (step_lo/step_hi)
inline constexpr int report_every_blocks = 8192;  // block_index counts modulo this

// The one record of a conversion. Everything that carries from one block to the
// next lives here; nothing else in the program keeps state.
struct shaper_state {
    // Sliding window of input samples, oldest first, on the scale s/65536 of a
    // 16-bit sample s (-0.5 .. 32767/65536). Entries 0..31 are quantised now.
    double history[history_len];
    // Smoothed masking threshold per bin, amplitude on the scale of the
    // unnormalised transform of the windowed history. Starts at 100.
    double mask[bin_count];
    // Per band, the sum of 1/mask over its 8 bins; rebuilt every block.
    double band_weight[band_count];
    // Error-feedback taps; coef[0] is fixed at 1, coef[order..15] stay 0.
    double coef[max_taps];
    // Error-feedback delay line, sample scale; err_state[1] is the next feedback,
    // err_state[order] is never written and stays 0.
    double err_state[max_taps];
    // Threshold in quiet per bin, amplitude (same units as mask).
    double quiet[bin_count];
    // Per-bin factor of the spreading recursion (dimensionless, 0..1].
    double spread_decay[bin_count];
    // Per-bin normalisation of the spread sum (dimensionless).
    double spread_norm[bin_count];
    // The current block's output, unsigned 8-bit PCM with 128 as zero.
    std::uint8_t out_bytes[block_len];
    // Number of the current block modulo 8192; the report prints for 0..3.
    std::int32_t block_index;
    // Per fine-search pass, the smallest and the largest step exponent tried
    // (32 and 0 for passes that did not run); reset before every search.
    std::int32_t step_lo[fine_pass_max];
    std::int32_t step_hi[fine_pass_max];
    // Number of taps in use, coef[0] included: 8 for the whole run.
    std::int32_t order;
    // State of the dither generator. It runs on for the whole conversion and
    // lives here, not in a global, so that every conversion in a process
    // starts from the same state and gives the same bytes.
    std::uint32_t dither_state;
};

// Puts the record into its starting condition. Always returns 0.
int init_state(shaper_state* state);

// Fills quiet, spread_decay and spread_norm for a sample rate in Hz (>= 0).
// Always returns 0.
int init_rate_tables(shaper_state* state, double sample_rate_hz);

// Masking analysis of the current history: updates mask and band_weight.
void analyse_block(shaper_state* state);
// Its two forms, equal bit for bit: the plain one transforms with fft1, the
// fast one from tables (analyse_block runs the fast one unless the program is
// built with PCMTAPER_PLAIN).
void analyse_block_plain(shaper_state* state);
void analyse_block_fast(shaper_state* state);

// One block: analysis, coefficient search, quantisation of history[0..31]
// into out_bytes, and the history moved down by 32. Always returns 0.
int process_block(shaper_state* state);

// The same work split so that the quantiser of one block overlaps the
// analysis of the next (they share no data), which the block loop uses:
//   store block 0 at history[224..255]; analyse_block(s);
//   for each block n: set block_index; search_block(s);
//       quantise_and_analyse_next(s, samples of block n+1, or null after the last);
//       write s->out_bytes.
// The output, the report and every field are as with process_block.
void search_block(shaper_state* state);  // step records reset, then optimize_filter
void quantise_and_analyse_next(shaper_state* state, const double* next_samples);
// Its fast form, whatever the build (for the tests that compare the two).
void quantise_and_analyse_next_fast(shaper_state* state, const double* next_samples);
