// Shared inputs of the search and report tests.
#pragma once

#include <cstring>

#include "internal/constants.h"
#include "shaping/shaping.h"

// Band weights for which the flat filter [1, 0, ..., 0] is a strict local
// minimum of the cost: positive, with sum over bands of weight * cos(pi*b*m/16)
// zero for every tap m = 1..7, so the cost has no slope at the flat filter and
// only curves upward. Every trial of either phase, taken down the
// forward-difference gradient from there, costs more.
inline constexpr double flat_optimal_weights[16] = {
    0.615384615385, 0.760602988506, 1.0, 1.04243458192, 0.923076923077, 0.89472304193,
    1.0,            1.03231807496,  0.923076923077, 0.875457896777, 1.0, 1.07975223791,
    0.923076923077, 0.765518820953, 1.0,            1.54919235704};

// The taps of a fresh conversion and the band weights to search them against.
struct search_fixture {
    pcmtaper::search_state search;
    double band_weight[pcmtaper::band_count];
};

inline void prepare_search_state(search_fixture* s, const double* weights) {
    pcmtaper::reset_search(&s->search);
    std::memcpy(s->band_weight, weights, sizeof s->band_weight);
}
