// The filter search: the weighted noise cost of a set of error-feedback taps,
// the per-block coefficient search, and the diagnostic report.
//
// Usage: double cost = noise_cost(state.band_weight, state.coef, state.order);
//        optimize_filter(&state);   // leaves the block's taps in state.coef
#pragma once

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
