// Sizes and constants shared by the stages of the converter, each defined once.
#pragma once

namespace pcmtaper {

// Samples, bins and bands of the conversion.
inline constexpr int analysis_len = 256;    // samples in the analysis window = points of its transform
inline constexpr int history_len = analysis_len;
inline constexpr int block_len = 32;        // samples quantised per block
inline constexpr int new_samples_at = history_len - block_len;  // 224: where a block enters
inline constexpr int delay_samples = new_samples_at;  // the output's lag behind the input: the look-ahead
inline constexpr int bin_count = analysis_len / 2;  // analysed bins of the transform
inline constexpr int band_count = 16;       // bands of 8 bins each
inline constexpr int bins_per_band = bin_count / band_count;
inline constexpr int max_taps = 16;         // entries of a tap set and of the delay line
inline constexpr int filter_order = 8;      // taps in use, taps[0] included
inline constexpr int fine_pass_max = 22;    // passes of the fine search
inline constexpr int report_every_blocks = 8192;  // block numbers count modulo this
inline constexpr int reported_blocks = 4;   // block numbers 0..3 of every 8192 print the report

// The noise response of a tap set: the taps zero-padded to a 32-point
// transform, of which bins 0..15 are weighted (one per band).
inline constexpr int response_len = 32;
inline constexpr int weighted_bins = band_count;
static_assert(max_taps <= response_len && weighted_bins <= response_len / 2);

// A 16-bit sample s is s * 2^-16 on the sample scale (-0.5 .. 32767/65536).
inline constexpr double sample_scale = 1.52587890625e-05;
static_assert(sample_scale * 65536.0 == 1.0);

// pi rounded to a double, for the transforms' twiddle factors.
inline constexpr double pi = 3.141592653589793;

}  // namespace pcmtaper
