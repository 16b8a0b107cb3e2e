// The rules of the coefficient search, written once against a cost oracle
// that says what tap sets cost. The reference oracle costs one set at a time
// with noise_cost; the batched one (shaping/batched_costs.h) computes several
// at once and keeps what it has computed. Both give the same cost for the
// same taps, bit for bit, so both searches make the same decisions.
//
// An oracle provides:
//   int order() const;                      taps in use, taps[0] included (a constant
//                                           where the oracle allows one order only)
//   double base_cost(const double* taps);   cost of the taps a pass starts from
//   void probe_costs(const double* taps, double probe, double* costs);
//                                           costs[i]: taps with `probe` added to tap i, 1 <= i < order
//   void begin_line(const double* taps, const double* gradient, double norm, const search_phase&);
//   double trial_cost(int exponent, double* trial);
//                                           forms the trial of the line at `exponent` from the
//                                           taps as they are now (line_trial), returns its cost
//   void accepted(double cost);             the last trial became the taps
//   void begin_coarse(const double* flat_taps, const double* previous_taps);
//                                           previous_taps may be null (not known yet)
//   double handover_cost(const double* previous_taps);
//   void begin_fine(double cost_of_start, bool start_is_previous);
#pragma once

#include <cmath>

#include "shaping/shaping.h"

namespace pcmtaper {

// A trial of a line search: the taps moved down the gradient by
// 2^exponent step units over its norm. Sets trial[0..order-1] (tap 0 stays).
inline void line_trial(const double* taps, const double* gradient, double norm, const search_phase& phase,
                       int exponent, int order, double* trial) {
    const double factor = static_cast<double>(1 << exponent) * phase.step_unit / norm;
    trial[0] = taps[0];
    for (int i = 1; i < order; ++i) trial[i] = taps[i] - gradient[i] * factor;
}

// One phase: passes of a normalised gradient descent from forward differences,
// each with a line search that goes twice as far after every accepted trial.
template <class oracle>
search_phase_outcome run_phase(oracle& costs, double* taps, const search_phase& phase, fine_step_record* steps) {
    const int order = costs.order();
    double trial[max_taps];
    double gradient[max_taps];
    double probed[max_taps] = {};  // entries 1..order-1 are set by every probe_costs
    search_phase_outcome outcome{0.0, 0, 0};
    int exponent = phase.first_exponent;  // carried from pass to pass
    double base = 0.0;

    for (int pass = 0; pass < phase.max_passes; ++pass) {
        base = costs.base_cost(taps);

        // Forward differences: the raw change of cost for the probe on one tap.
        costs.probe_costs(taps, phase.probe, probed);
        double norm_sq = 0.0;
        for (int i = 1; i < order; ++i) {
            gradient[i] = probed[i] - base;
            norm_sq = norm_sq + gradient[i] * gradient[i];
        }

        // Line search down the gradient. With a zero gradient there is no
        // direction: no trial is made.
        if (norm_sq != 0.0) {
            costs.begin_line(taps, gradient, std::sqrt(norm_sq), phase);
            while (exponent < phase.exponent_bound) {
                if (steps != nullptr) {
                    if (steps->lowest[pass] > exponent) steps->lowest[pass] = exponent;
                    if (steps->highest[pass] < exponent) steps->highest[pass] = exponent;
                }
                const double candidate = costs.trial_cost(exponent, trial);
                if (!(candidate < base)) break;  // equal cost is not an improvement
                for (int i = 1; i < order; ++i) taps[i] = trial[i];
                base = candidate;
                ++exponent;
                ++outcome.accepted_steps;
                costs.accepted(candidate);
            }
        }

        ++outcome.passes;
        if (exponent < phase.stop_below) break;
        exponent = exponent - phase.exponent_drop;
        if (exponent < 0) exponent = 0;
    }
    outcome.cost = base;
    if (steps != nullptr) steps->passes = outcome.passes;
    return outcome;
}

// The coarse phase of a block's search: from the flat filter (1, 0, ..., 0),
// against the block's weights alone. previous_taps (may be null) are the
// taps the hand-over will compare with, for an oracle that costs them early.
template <class oracle>
coarse_outcome run_coarse(oracle& costs, const double* previous_taps) {
    coarse_outcome coarse{{1.0}, 0.0};
    costs.begin_coarse(coarse.taps, previous_taps);
    coarse.cost = run_phase(costs, coarse.taps, coarse_search_phase, nullptr).cost;
    return coarse;
}

// The rest of a block's search, after its coarse phase: the hand-over, then
// the fine phase from the better of the coarse result and the previous
// block's taps.
template <class oracle>
search_result hand_over_and_refine(oracle& costs, const coarse_outcome& coarse, search_state* search) {
    search_result result;
    reset_steps(&result.steps);
    const int order = costs.order();
    // The previous block's taps stay unless the fresh coarse result is strictly better.
    const double previous = costs.handover_cost(search->taps);
    const bool replaced = previous > coarse.cost;
    if (replaced)
        for (int i = 1; i < order; ++i) search->taps[i] = coarse.taps[i];
    costs.begin_fine(replaced ? coarse.cost : previous, !replaced);
    result.cost = run_phase(costs, search->taps, fine_search_phase, &result.steps).cost;
    return result;
}

// The block's search: coarse from the flat filter, then fine from the better
// of the coarse result and the previous block's taps.
template <class oracle>
search_result search_with(oracle& costs, search_state* search) {
    const coarse_outcome coarse = run_coarse(costs, search->taps);
    return hand_over_and_refine(costs, coarse, search);
}

}  // namespace pcmtaper
