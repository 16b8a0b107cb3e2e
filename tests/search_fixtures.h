// Shared inputs of the search and report tests.
#pragma once

#include <cstring>

#include "model/model.h"

// Band weights for which the flat filter [1, 0, ..., 0] is a strict local
// minimum of the cost: positive, with sum over bands of weight * cos(pi*b*m/16)
// zero for every tap m = 1..7, so the cost has no slope at the flat filter and
// only curves upward. Every trial of either phase, taken down the
// forward-difference gradient from there, costs more.
inline constexpr double flat_optimal_weights[16] = {
    0.615384615385, 0.760602988506, 1.0, 1.04243458192, 0.923076923077, 0.89472304193,
    1.0,            1.03231807496,  0.923076923077, 0.875457896777, 1.0, 1.07975223791,
    0.923076923077, 0.765518820953, 1.0,            1.54919235704};

// A freshly reset state at 44100 Hz, with the given band weights and the step
// records reset as before every search.
inline void prepare_search_state(shaper_state* s, const double* weights, int block_index) {
    init_state(s);
    init_rate_tables(s, 44100.0);
    std::memcpy(s->band_weight, weights, sizeof s->band_weight);
    for (int p = 0; p < fine_pass_max; ++p) {
        s->step_lo[p] = 32;
        s->step_hi[p] = 0;
    }
    s->block_index = block_index;
}
