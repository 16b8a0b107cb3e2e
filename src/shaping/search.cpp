// Per-block search of the error-feedback taps: a normalised gradient descent on
// noise_cost with a doubling line search, first coarse from the flat filter,
// then fine from the better of the coarse result and the previous block's taps.
#include <cmath>

#include "model/model.h"
#include "shaping/shaping.h"

namespace {

constexpr int reported_blocks = 4;  // block_index 0..3 of every 8192 print the report

}  // namespace

search_phase_outcome run_search_phase(const double* weights, int order, double* taps,
                                      const search_phase& phase, std::int32_t* step_lo,
                                      std::int32_t* step_hi) {
    double trial[max_taps];
    double gradient[max_taps];
    search_phase_outcome outcome{0.0, 0, 0};
    int exponent = phase.first_exponent;  // carried from pass to pass
    double base = 0.0;

    for (int pass = 0; pass < phase.max_passes; ++pass) {
        base = noise_cost(weights, taps, order);

        // Forward differences: the raw change of cost for the probe on one tap.
        double norm_sq = 0.0;
        for (int i = 1; i < order; ++i) {
            for (int m = 0; m < max_taps; ++m) trial[m] = taps[m];
            trial[i] = trial[i] + phase.probe;
            gradient[i] = noise_cost(weights, trial, order) - base;
            norm_sq = norm_sq + gradient[i] * gradient[i];
        }

        // Line search down the gradient, twice as far after every accepted
        // trial. With a zero gradient there is no direction: no trial is made.
        if (norm_sq != 0.0) {
            const double norm = std::sqrt(norm_sq);
            while (exponent < phase.exponent_bound) {
                if (step_lo != nullptr && step_lo[pass] > exponent) step_lo[pass] = exponent;
                if (step_hi != nullptr && step_hi[pass] < exponent) step_hi[pass] = exponent;
                const double factor = static_cast<double>(1 << exponent) * phase.step_unit / norm;
                for (int i = 1; i < order; ++i) trial[i] = taps[i] - gradient[i] * factor;
                const double candidate = noise_cost(weights, trial, order);
                if (!(candidate < base)) break;  // equal cost is not an improvement
                for (int i = 1; i < order; ++i) taps[i] = trial[i];
                base = candidate;
                ++exponent;
                ++outcome.accepted_steps;
            }
        }

        ++outcome.passes;
        if (exponent < phase.stop_below) break;
        exponent = exponent - phase.exponent_drop;
        if (exponent < 0) exponent = 0;
    }
    outcome.cost = base;
    return outcome;
}

double optimize_filter_plain(shaper_state* state) {
    const int order = state->order;
    double coarse_taps[max_taps] = {1.0};
    const search_phase_outcome coarse = run_search_phase(state->band_weight, order, coarse_taps,
                                                         coarse_search_phase, nullptr, nullptr);

    // The previous block's taps stay unless the fresh coarse result is strictly better.
    if (noise_cost(state->band_weight, state->coef, order) > coarse.cost) {
        for (int i = 1; i < order; ++i) state->coef[i] = coarse_taps[i];
    }

    const search_phase_outcome fine = run_search_phase(state->band_weight, order, state->coef,
                                                       fine_search_phase, state->step_lo,
                                                       state->step_hi);
    if (state->block_index < reported_blocks) print_diagnostic_report(state);
    return fine.cost;
}

// The program runs the fast search unless it is built on the plain formulas
// (PCMTAPER_PLAIN), which define the results and serve to check it.
double optimize_filter(shaper_state* state) {
#ifdef PCMTAPER_PLAIN
    return optimize_filter_plain(state);
#else
    return optimize_filter_fast(state);
#endif
}
