// The filter search: the weighted noise cost of a set of error-feedback taps,
// the per-block coefficient search, and the diagnostic report.
//
// Usage: double cost = noise_cost(state.band_weight, state.coef, state.order);
//        optimize_filter(&state);   // leaves the block's taps in state.coef
#pragma once

#include <cstdint>

struct shaper_state;

// Sum over bins 0..15 of weights[i] * sqrt(|H(i)|^2 + 0.36), where H is the
// 32-point spectrum of taps[0..count-1] (count 0..32). Reads nothing past count.
double noise_cost(const double* weights, const double* taps, int count);

// Coarse and fine search of coef[1..order-1] against band_weight; prints the
// report when block_index < 4. Returns noise_cost of the taps left in coef.
double optimize_filter(shaper_state* state);

// Five lines on standard output: taps, band levels, noise gain per band and
// the step exponents of the fine passes.
void print_diagnostic_report(const shaper_state* state);

// One phase of the coefficient search: its probe, its step unit and its
// exponent rules. The search runs the coarse phase, then the fine one.
struct search_phase {
    double probe;            // added to one tap for a forward difference
    double step_unit;        // tap distance of a trial at exponent 0
    int first_exponent;      // exponent of the first pass
    int exponent_bound;      // trials run while the exponent is below this
    int stop_below;          // end of a pass: the phase stops if the exponent is below this
    int exponent_drop;       // otherwise the exponent drops by this, not below 0
    int max_passes;
};

inline constexpr search_phase coarse_search_phase{0.01, 0.01, 4, 10, 1, 1, 6};
inline constexpr search_phase fine_search_phase{0.0001, 0.0005, 4, 15, 2, 3, 22};

struct search_phase_outcome {
    double cost;         // noise_cost of the taps the phase leaves
    int passes;          // passes run
    int accepted_steps;  // trials accepted over all passes
};

// Runs one phase on taps[1..order-1] in place against weights (16 bands).
// taps[0] and taps[order..15] are never written. When step_lo and step_hi are
// given (the fine phase), each pass p records there the smallest and the
// largest exponent it tried; both may be null.
search_phase_outcome run_search_phase(const double* weights, int order, double* taps,
                                      const search_phase& phase, std::int32_t* step_lo,
                                      std::int32_t* step_hi);

// What the report prints for a value: truncated toward zero; NaN prints 0,
// +inf and values above INT_MAX print INT_MAX, -inf and values below INT_MIN
// print INT_MIN.
int report_integer(double value);

// ---- The fast path -------------------------------------------------------------
//
// The same costs and the same search, computed faster: the transforms from
// tables, several tap sets per call (one per vector lane), and costs that the
// plain search would compute again for the same taps taken from where they
// were first computed. Every cost is equal, bit for bit, to noise_cost's.

// Taps per set in the batched cost (the filter order of the conversion).
inline constexpr int batch_taps = 8;
// Largest number of tap sets in one batch.
inline constexpr int batch_max_sets = 8;

// Kernels for exactly 2, 4 or 8 sets; taps_by_tap[k * stride + l] is tap k of
// set l. Only call a kernel the machine supports (cost_kernel_supported). The
// avx512vl kernel is the 4-lane one with AVX-512's 32 registers.
void noise_cost_lanes_sse2(const double* weights, const double* taps_by_tap, int stride, double* costs);
void noise_cost_lanes_avx2(const double* weights, const double* taps_by_tap, int stride, double* costs);
void noise_cost_lanes_avx512(const double* weights, const double* taps_by_tap, int stride,
                             double* costs);
void noise_cost_lanes_avx512vl(const double* weights, const double* taps_by_tap, int stride,
                               double* costs);

// The kernels, narrowest first.
enum class cost_kernel { sse2, avx2, avx512vl, avx512 };
inline constexpr cost_kernel all_cost_kernels[] = {cost_kernel::sse2, cost_kernel::avx2,
                                                   cost_kernel::avx512vl, cost_kernel::avx512};
int cost_kernel_lanes(cost_kernel kernel);
const char* cost_kernel_name(cost_kernel kernel);
// Whether this machine has the kernel's instruction set.
bool cost_kernel_supported(cost_kernel kernel);
// Runs `kernel` on exactly cost_kernel_lanes(kernel) sets, laid out by tap
// (tap k of set l at taps_by_tap[k * stride + l]).
void run_cost_kernel(cost_kernel kernel, const double* weights, const double* taps_by_tap,
                     int stride, double* costs);

// Restricts noise_cost_batch to kernels up to `widest` (for tests and
// measurements of the narrower ones on a wide machine); returns the widest
// now in use, which is `widest` or the machine's best below it.
cost_kernel limit_cost_kernels(cost_kernel widest);

// Up to 8 tap sets laid out by tap, as the kernels read them.
struct tap_batch {
    alignas(64) double taps[batch_taps][batch_max_sets];  // taps[k][s]: tap k of set s
};

// costs[s] = noise_cost(weights, set s, batch_taps) for s < set_count (1..8).
// Sets past set_count are read (their costs are dropped), so they must hold
// numbers: any finite taps.
void noise_cost_tap_batch(const double* weights, const tap_batch& batch, int set_count,
                          double* costs);

// How many sets a batch of set_count sets actually computes (whole kernel
// calls): the lanes from set_count up to it come free.
int noise_cost_lanes_for(int set_count);

// Fills lanes used..noise_cost_lanes_for(used)-1 with copies of set 0, so that
// every lane a kernel reads holds numbers.
void pad_batch(tap_batch* batch, int used);

// The same for sets laid out one after the other.
void noise_cost_batch(const double* weights, const double (*sets)[batch_taps], int set_count,
                      double* costs);

// The 16 per-bin factors sqrt(|H(i)|^2 + 0.36) of noise_cost, from fft1, so
// that noise_cost = sum over i of weights[i] * magnitudes[i], in bin order.
void noise_magnitudes(const double* taps, int count, double* magnitudes);

// The search of optimize_filter with batched and reused costs; the same taps,
// step records, report and result. The plain search is optimize_filter_plain.
double optimize_filter_fast(shaper_state* state);
double optimize_filter_plain(shaper_state* state);
