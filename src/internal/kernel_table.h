// The kernel table: one function pointer per stage that has vector variants,
// filled once for a kernel level by select_kernels and read by the pipeline,
// the search and the tests. Every level gives the same bits as the reference.
//
// Usage: const kernel_table& k = best_kernels();   // or kernels_for(level)
//        k.analyse(rates, &analysis);
// Levels are added by architecture folders (src/kernels/x86/, src/kernels/aarch64/,
// src/kernels/wasm/): a level
// the build does not contain is reported as not on the machine.
#pragma once

#include <cstdint>

namespace pcmtaper {

struct rate_tables;
struct analysis_state;
struct quantiser_job;

// Kernel levels: `reference` (the literal formulas, on every machine), then
// each architecture's levels narrowest first: x86-64's, aarch64's `neon`, then
// WebAssembly's `simd128`.
// A port appends its own; best_level takes the last level the machine has.
enum class kernel_level : int { reference, sse2, avx2, avx512vl, avx512, neon, simd128 };
inline constexpr int kernel_level_count = 7;
static_assert(static_cast<int>(kernel_level::simd128) + 1 == kernel_level_count, "a level left out of the count");

// Names of the levels (pcmtaper_kernel_level_name, PCMTAPER_KERNELS), in the enum's order.
struct kernel_level_name {
    kernel_level level;
    const char* name;
};
inline constexpr kernel_level_name kernel_level_names[kernel_level_count] = {
    {kernel_level::reference, "reference"}, {kernel_level::sse2, "sse2"},
    {kernel_level::avx2, "avx2"},           {kernel_level::avx512vl, "avx512vl"},
    {kernel_level::avx512, "avx512"},       {kernel_level::neon, "neon"},
    {kernel_level::simd128, "simd128"},
};
// Looked up by the enum's value (level_name, the benchmarks' arguments):
// entry i must be level i.
inline constexpr bool names_follow_enum_order() {
    for (int i = 0; i < kernel_level_count; ++i)
        if (static_cast<int>(kernel_level_names[i].level) != i) return false;
    return true;
}
static_assert(names_follow_enum_order());

const char* level_name(kernel_level level);

// The weighted noise cost of `lanes` tap sets of filter_order taps laid out by
// tap: taps_by_tap[k * stride + l] is tap k of set l; costs[l] its cost.
using cost_sets_fn = void (*)(const double* weights, const double* taps_by_tap, int stride, double* costs);

struct cost_kernel {
    cost_sets_fn run;  // null: the level has no such kernel
    int lanes;         // tap sets per call
};

struct kernel_table {
    kernel_level level;

    // Masking analysis of analysis->history: updates mask and band_weight.
    void (*analyse)(const rate_tables& rates, analysis_state* analysis);
    // Quantises job.samples into job.out_bytes.
    void (*quantise)(const quantiser_job& job);
    // The two above together, for the quantiser of one block and the analysis
    // of a later one (they share no data), of `history` (history_len samples,
    // which may be the analysis state's own); the bytes and the analysis are
    // those of the two calls one after the other.
    void (*quantise_and_analyse)(const quantiser_job& job, const rate_tables& rates, const double* history,
                                 analysis_state* analysis);
    // The part of the analysis that needs only a history (history_len
    // samples): the block's threshold per bin (block_threshold_reference).
    // The look-ahead runs it on worker threads, ahead of the mask's smoothing.
    void (*block_threshold)(const rate_tables& rates, const double* history, double* threshold);

    // Batched noise costs for the search; run is null at the reference level,
    // whose search costs one tap set at a time.
    cost_kernel cost_narrow;  // up to 4 sets per call
    cost_kernel cost_wide;    // 8 sets per call, where the level has it
    bool wide_pays;           // batches of 5..8 go to cost_wide (measured at start-up)

    // The resampler's inner product (resample/resampler.h,
    // resample_dot_reference): taps a multiple of 32, one fixed order.
    double (*resample_dot)(const double* coefs, const double* samples, int taps);
    // Its halving stages' outputs (resample_halve_reference).
    void (*resample_halve)(const double* taps, int tap_count, const double* odd, const double* even, double* out,
                           int count);
    // Its fast convolution's step (resample_convolve_reference).
    void (*resample_convolve)(double* re, double* im, const double* gains, const double* twiddle_re,
                              const double* twiddle_im, int size);
};

// Whether this machine (and this build) can run the level.
bool machine_has(kernel_level level);
// The widest level the machine has.
kernel_level best_level();
// The table of a level the machine has; the start-up timing of the level's
// kernels decides wide_pays.
kernel_table select_kernels(kernel_level level);

// The table of a level the machine has, made on its first use; thread-safe.
// Levels the machine lacks give the reference table (ask machine_has first).
const kernel_table& kernels_for(kernel_level level);
// The table of the machine's best level.
const kernel_table& best_kernels();

}  // namespace pcmtaper
