// The filter search: the weighted noise cost of a set of error-feedback taps,
// the per-block coefficient search, and the block report.
//
// Usage: search_state s; reset_search(&s);
//        per block: search_result r = search_block(active_kernels(), band_weight, &s);
//        (s.taps are then the block's taps; r.steps go into its report)
#pragma once

#include <cstdint>

#include "internal/constants.h"

namespace pcmtaper {

struct kernel_table;

// Sum over bins 0..15 of weights[i] * sqrt(|H(i)|^2 + 0.36), where H is the
// 32-point spectrum of taps[0..count-1] (count 0..32), as literal formulas
// with fft1. Reads nothing past count.
double noise_cost(const double* weights, const double* taps, int count);

// sum over bins 0..15 of weights[i] * factors[i], in bin order: the last step
// of noise_cost, also for factors computed once ahead.
double weighted_sum(const double* weights, const double* factors);

// The 32-point spectrum of taps[0..count-1] zero-padded (fft1, forward).
void tap_response(const double* taps, int count, double* re, double* im);

// The 16 per-bin factors sqrt(|H(i)|^2 + 0.36) of noise_cost, so that
// noise_cost = sum over i of weights[i] * magnitudes[i], in bin order.
void noise_magnitudes(const double* taps, int count, double* magnitudes);

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
inline constexpr search_phase fine_search_phase{0.0001, 0.0005, 4, 15, 2, 3, fine_pass_max};

// Per fine-search pass, the smallest and the largest step exponent tried;
// passes that tried none (or did not run) keep the reset values 32 and 0.
struct fine_step_record {
    std::int32_t lowest[fine_pass_max];
    std::int32_t highest[fine_pass_max];
    std::int32_t passes;  // passes run
};
inline constexpr std::int32_t step_lowest_reset = 32;  // above every exponent a pass can try
inline constexpr std::int32_t step_highest_reset = 0;
void reset_steps(fine_step_record* steps);

struct search_phase_outcome {
    double cost;         // noise_cost of the taps the phase leaves
    int passes;          // passes run
    int accepted_steps;  // trials accepted over all passes
};

// Runs one phase on taps[1..order-1] in place against weights (16 bands),
// costing one tap set at a time (the reference). taps[0] and taps[order..15]
// are never written. When steps is given, each pass records its exponents.
search_phase_outcome run_search_phase(const double* weights, int order, double* taps,
                                      const search_phase& phase, fine_step_record* steps);

// What the search carries from block to block.
struct search_state {
    // Error-feedback taps; taps[0] is fixed at 1, taps[order..15] stay 0.
    double taps[max_taps];
    // Number of taps in use, taps[0] included: filter_order for the whole run.
    std::int32_t order;
};
void reset_search(search_state* search);

struct search_result {
    double cost;              // noise_cost of the taps left in the state
    fine_step_record steps;   // the fine phase's exponents
};

// Coarse and fine search of the state's taps against the band weights:
// coarse from the flat filter, fine from the better of the coarse result and
// the previous block's taps. The kernel table decides how the costs are
// computed (one at a time at the reference level, else in batches); the
// decisions and so the taps are the same.
search_result search_block(const kernel_table& kernels, const double* weights, search_state* search);

// The coarse phase's result: taps from the flat filter, and their noise cost.
// It depends on the band weights alone, so it can be found for later blocks
// ahead of the ones being finished (the look-ahead does, on worker threads).
struct coarse_outcome {
    double taps[max_taps];  // taps[0] is 1, taps[order..15] are 0
    double cost;            // noise_cost of taps against the weights
};

// search_block in two parts: the coarse phase (order taps in use, as the
// search state's), then the hand-over and the fine phase against the same
// weights. The state, taps and steps are those of search_block.
coarse_outcome coarse_search(const kernel_table& kernels, const double* weights, int order);
search_result finish_search(const kernel_table& kernels, const double* weights, const coarse_outcome& coarse,
                            search_state* search);

// The five-line report of a block.
struct block_report {
    double taps[max_taps];
    double band_weight[band_count];
    fine_step_record steps;
};

// The report's levels in dB: per band, the masking level (-20 log10 of the
// weight) and the taps' gain (20 log10 |H| at i/32 of the rate).
void report_levels(const block_report& report, double* masking_db, double* noise_db);

// What the report prints for a value: truncated toward zero; NaN prints 0,
// +inf and values above INT_MAX print INT_MAX, -inf and values below INT_MIN
// print INT_MIN.
int report_integer(double value);

}  // namespace pcmtaper
