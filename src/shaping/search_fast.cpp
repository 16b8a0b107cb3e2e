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

// Tap sets whose costs are wanted later and do not depend on the coarse phase:
// the hand-over taps (the previous block's) and the fine phase's first probes
// of them. They ride in the lanes that the coarse phase's calls leave spare
// (most of its line searches use 3 of 4 lanes, its probes 7 of 8), so that
// they take no call of their own.
struct ride_along {
    double taps[batch_max_sets][batch_taps];
    double cost[batch_max_sets];
    int count = 0;  // sets queued
    int done = 0;   // sets costed, in queue order
};

// Fills lanes used..capacity-1 of `batch` with queued sets; returns the lanes
// now in use. costs for lanes from `used` on belong to rider->done onwards.
int board(tap_batch* batch, int used, ride_along* rider) {
    if (rider == nullptr) return used;
    const int capacity = noise_cost_lanes_for(used);
    int next = rider->done;
    for (; used < capacity && next < rider->count; ++used, ++next)
        for (int k = 0; k < batch_taps; ++k) batch->taps[k][used] = rider->taps[next][k];
    return used;
}

void alight(const double* costs, int first_lane, int lanes_used, ride_along* rider) {
    for (int lane = first_lane; lane < lanes_used; ++lane) rider->cost[rider->done++] = costs[lane];
}

// One phase on taps[0..7] in place, starting from base_cost = cost of taps.
// first_probe_costs, when given, are the costs of the first pass's probes.
phase_result run_phase_fast(const double* weights, double* taps, const search_phase& phase,
                            int trials_per_batch, double base_cost, const double* first_probe_costs,
                            ride_along* rider, std::int32_t* step_lo, std::int32_t* step_hi) {
    double gradient[batch_taps] = {};
    double norm_sq = 0.0;
    double norm = 0.0;
    bool taps_changed = true;  // the gradient must be computed afresh
    int exponent = phase.first_exponent;
    double base = base_cost;
    int pass = 0;
    tap_batch batch;
    double costs[batch_max_sets];

    while (pass < phase.max_passes) {
        if (taps_changed) {
            if (pass == 0 && first_probe_costs != nullptr) {
                for (int i = 0; i < probed_taps; ++i) costs[i] = first_probe_costs[i];
            } else {
                // Set i - 1 probes tap i.
                for (int k = 0; k < batch_taps; ++k)
                    for (int set = 0; set < probed_taps; ++set) batch.taps[k][set] = taps[k];
                for (int i = 1; i < batch_taps; ++i)
                    batch.taps[i][i - 1] = batch.taps[i][i - 1] + phase.probe;
                const int lanes_used = board(&batch, probed_taps, rider);
                pad_batch(&batch, lanes_used);
                noise_cost_tap_batch(weights, batch, lanes_used, costs);
                if (rider != nullptr) alight(costs, probed_taps, lanes_used, rider);
            }
            norm_sq = 0.0;
            for (int i = 1; i < batch_taps; ++i) {
                gradient[i] = costs[i - 1] - base;
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
            const int lanes_used = board(&batch, count, rider);
            pad_batch(&batch, lanes_used);
            noise_cost_tap_batch(weights, batch, lanes_used, costs);
            if (rider != nullptr) alight(costs, count, lanes_used, rider);
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

    // The hand-over taps, then the fine phase's probes of them.
    ride_along rider;
    for (int set = 0; set < batch_taps; ++set) {
        for (int k = 0; k < batch_taps; ++k) rider.taps[set][k] = state->coef[k];
        if (set > 0) rider.taps[set][set] = rider.taps[set][set] + fine_search_phase.probe;
    }
    rider.count = batch_taps;

    double coarse_taps[max_taps] = {1.0};
    double first_probe_costs[probed_taps];
    for (int i = 0; i < probed_taps; ++i) first_probe_costs[i] = weighted_sum(weights, start.probe[i]);
    const phase_result coarse =
        run_phase_fast(weights, coarse_taps, coarse_search_phase, coarse_trials_per_batch,
                       weighted_sum(weights, start.flat), first_probe_costs, &rider, nullptr, nullptr);

    // Whatever did not fit: the hand-over cost is always needed, the probes of
    // the previous taps only if they stay.
    const double* fine_probe_costs = nullptr;
    if (rider.done == 0) {
        noise_cost_batch(weights, rider.taps, 1, rider.cost);
        rider.done = 1;
    }
    double fine_base = rider.cost[0];
    if (rider.cost[0] > coarse.cost) {
        for (int i = 1; i < batch_taps; ++i) state->coef[i] = coarse_taps[i];
        fine_base = coarse.cost;
    } else {
        if (rider.done < rider.count)
            noise_cost_batch(weights, rider.taps + rider.done, rider.count - rider.done,
                             rider.cost + rider.done);
        fine_probe_costs = rider.cost + 1;
    }

    const phase_result fine = run_phase_fast(weights, state->coef, fine_search_phase, fine_trials_per_batch,
                                             fine_base, fine_probe_costs, nullptr, state->step_lo,
                                             state->step_hi);
    if (state->block_index < reported_blocks) print_diagnostic_report(state);
    return fine.cost;
}
