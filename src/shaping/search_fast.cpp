// The coefficient search with the costs computed in batches and reused.
//
// It makes exactly the decisions of the plain search, on exactly the same
// costs; it only avoids computing a cost the plain search computes again for
// the same taps and weights, and computes independent costs together:
// - a pass's base cost is the cost of the taps the previous pass ended on,
//   and the fine phase's first base is the hand-over cost (or the coarse cost,
//   for the coarse taps);
// - after a pass that accepted no step, the taps and so the whole gradient
//   are those of that pass;
// - the coarse phase starts from the same flat taps in every block, so the
//   per-bin factors of those taps and of their probes are computed once;
// - the 7 probes of a pass go in one batch, and the trials of a line search
//   follow from one gradient, so they are formed in advance in the order the
//   plain search forms them (each from the one before, as if all were
//   accepted), evaluated together, and then accepted one by one until the
//   first that is not lower: the trials after it are dropped unseen.
#include <cmath>

#include "model/model.h"
#include "shaping/shaping.h"

namespace {

constexpr int reported_blocks = 4;
constexpr int weighted_bins = 16;
constexpr int probed_taps = batch_taps - 1;  // taps 1..7
// Trials formed ahead per call: the coarse line searches of real audio take
// at most 3 (so the hand-over taps fit in the fourth lane of the first call),
// the fine ones mostly up to 4.
constexpr int coarse_trials_per_batch = 3;
constexpr int fine_trials_per_batch = 4;

// Per-bin factors of the flat taps (1, 0, ..., 0) and of the coarse phase's
// probes of them, from the plain transform.
struct flat_start_factors {
    double flat[weighted_bins];
    double probe[probed_taps][weighted_bins];
};

const flat_start_factors& coarse_start() {
    static const flat_start_factors factors = [] {
        flat_start_factors f{};
        double taps[batch_taps] = {1.0};
        noise_magnitudes(taps, batch_taps, f.flat);
        for (int i = 1; i < batch_taps; ++i) {
            double probe[batch_taps] = {1.0};
            probe[i] = probe[i] + coarse_search_phase.probe;
            noise_magnitudes(probe, batch_taps, f.probe[i - 1]);
        }
        return f;
    }();
    return factors;
}

// noise_cost from per-bin factors, in its own order of operations.
double weighted_sum(const double* weights, const double* factors) {
    double sum = 0.0;
    for (int i = 0; i < weighted_bins; ++i) sum = sum + weights[i] * factors[i];
    return sum;
}

struct phase_result {
    double cost;
    int passes;
};

// Costs one batch of trial taps, optionally with one more set of taps in the
// lane after the last trial (the hand-over taps ride along with the first
// trials of the coarse phase instead of taking a call of their own).
struct companion_set {
    const double* taps;  // null when there is none, or it has been costed
    double cost;
};

// One phase on taps[0..7] in place, starting from base_cost = cost of taps.
// first_probe_costs, when given, are the costs of the first pass's probes.
phase_result run_phase_fast(const double* weights, double* taps, const search_phase& phase,
                            int trials_per_batch, double base_cost, const double* first_probe_costs,
                            companion_set* companion, std::int32_t* step_lo, std::int32_t* step_hi) {
    double gradient[batch_taps] = {};
    double norm_sq = 0.0;
    double norm = 0.0;
    bool taps_changed = true;  // the gradient must be computed afresh
    int exponent = phase.first_exponent;
    double base = base_cost;
    int pass = 0;
    tap_batch batch;

    while (pass < phase.max_passes) {
        if (taps_changed) {
            double probe_costs[batch_max_sets];
            if (pass == 0 && first_probe_costs != nullptr) {
                for (int i = 0; i < probed_taps; ++i) probe_costs[i] = first_probe_costs[i];
            } else {
                // Set s probes tap s + 1; the spare eighth lane repeats the taps.
                for (int k = 0; k < batch_taps; ++k)
                    for (int s = 0; s < batch_max_sets; ++s) batch.taps[k][s] = taps[k];
                for (int i = 1; i < batch_taps; ++i)
                    batch.taps[i][i - 1] = batch.taps[i][i - 1] + phase.probe;
                noise_cost_tap_batch(weights, batch, probed_taps, probe_costs);
            }
            norm_sq = 0.0;
            for (int i = 1; i < batch_taps; ++i) {
                gradient[i] = probe_costs[i - 1] - base;
                norm_sq = norm_sq + gradient[i] * gradient[i];
            }
            norm = std::sqrt(norm_sq);
        }

        taps_changed = false;
        bool line_ended = norm_sq == 0.0;  // no direction: no trial
        while (!line_ended && exponent < phase.exponent_bound) {
            // The next trials, each from the one before, in lanes 0..count-1.
            int count = phase.exponent_bound - exponent;
            if (count > trials_per_batch) count = trials_per_batch;
            for (int t = 0; t < count; ++t) {
                const double factor = static_cast<double>(1 << (exponent + t)) * phase.step_unit / norm;
                batch.taps[0][t] = taps[0];
                for (int i = 1; i < batch_taps; ++i)
                    batch.taps[i][t] = (t == 0 ? taps[i] : batch.taps[i][t - 1]) - gradient[i] * factor;
            }
            int lanes_used = count;
            const bool with_companion = companion != nullptr && companion->taps != nullptr;
            if (with_companion) {
                for (int k = 0; k < batch_taps; ++k) batch.taps[k][count] = companion->taps[k];
                ++lanes_used;
            }
            for (int s = lanes_used; s < 4; ++s)  // keep spare lanes of a 4-lane call numeric
                for (int k = 0; k < batch_taps; ++k) batch.taps[k][s] = batch.taps[k][0];
            double costs[batch_max_sets];
            noise_cost_tap_batch(weights, batch, lanes_used, costs);
            if (with_companion) {
                companion->cost = costs[count];
                companion->taps = nullptr;
            }
            // Accepted one by one, as the plain search does.
            for (int t = 0; t < count; ++t) {
                if (step_lo != nullptr && step_lo[pass] > exponent) step_lo[pass] = exponent;
                if (step_hi != nullptr && step_hi[pass] < exponent) step_hi[pass] = exponent;
                if (!(costs[t] < base)) {
                    line_ended = true;
                    break;
                }
                for (int i = 1; i < batch_taps; ++i) taps[i] = batch.taps[i][t];
                base = costs[t];
                ++exponent;
                taps_changed = true;
            }
        }

        ++pass;
        if (exponent < phase.stop_below) break;
        exponent = exponent - phase.exponent_drop;
        if (exponent < 0) exponent = 0;
    }
    return {base, pass};
}

}  // namespace

double optimize_filter_fast(shaper_state* state) {
    if (state->order != batch_taps) return optimize_filter_plain(state);
    const double* weights = state->band_weight;
    const flat_start_factors& start = coarse_start();

    double coarse_taps[max_taps] = {1.0};
    double first_probe_costs[probed_taps];
    for (int i = 0; i < probed_taps; ++i) first_probe_costs[i] = weighted_sum(weights, start.probe[i]);
    companion_set handover{state->coef, 0.0};
    const phase_result coarse =
        run_phase_fast(weights, coarse_taps, coarse_search_phase, coarse_trials_per_batch,
                       weighted_sum(weights, start.flat), first_probe_costs, &handover, nullptr, nullptr);
    if (handover.taps != nullptr)  // the coarse phase made no trial at all
        noise_cost_batch(weights, reinterpret_cast<const double(*)[batch_taps]>(state->coef), 1,
                         &handover.cost);

    double fine_base = handover.cost;
    if (handover.cost > coarse.cost) {
        for (int i = 1; i < batch_taps; ++i) state->coef[i] = coarse_taps[i];
        fine_base = coarse.cost;
    }

    const phase_result fine = run_phase_fast(weights, state->coef, fine_search_phase, fine_trials_per_batch,
                                             fine_base, nullptr, nullptr, state->step_lo, state->step_hi);
    if (state->block_index < reported_blocks) print_diagnostic_report(state);
    return fine.cost;
}
