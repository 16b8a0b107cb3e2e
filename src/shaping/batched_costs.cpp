// The batched cost oracle of the search (see shaping/batched_costs.h).
#include "shaping/batched_costs.h"

#include "shaping/search_rules.h"

namespace pcmtaper {
namespace {

constexpr int probed_taps = filter_order - 1;  // taps 1..7
// Trials formed ahead per call: the coarse line searches of real audio take
// at most 3 (so the previous taps fit in the fourth lane of the first call),
// the fine ones mostly up to 4.
constexpr int coarse_trials_per_batch = 3;
constexpr int fine_trials_per_batch = 4;

// Per-bin factors of the flat taps (1, 0, ..., 0) and of the coarse phase's
// probes of them, from the reference (noise_magnitudes): the costs of those
// taps are then weighted_sum of the block's weights and these, as noise_cost
// forms them.
struct flat_start_factors {
    double flat[weighted_bins];
    double probe[filter_order][weighted_bins];  // [i]: tap i probed, 1 <= i < filter_order
};

const flat_start_factors& coarse_start() {
    static const flat_start_factors factors = [] {
        flat_start_factors f{};
        double taps[filter_order] = {1.0};
        noise_magnitudes(taps, filter_order, f.flat);
        for (int i = 1; i < filter_order; ++i) {
            double probe[filter_order] = {1.0};
            probe[i] = probe[i] + coarse_search_phase.probe;
            noise_magnitudes(probe, filter_order, f.probe[i]);
        }
        return f;
    }();
    return factors;
}

}  // namespace

int lanes_for(const kernel_table& kernels, int set_count) {
    const int lanes = kernels.cost_narrow.lanes;
    if (set_count <= lanes) return lanes;  // one call: the common case, without a division
    if (kernels.wide_pays) return kernels.cost_wide.lanes;
    return (set_count + lanes - 1) / lanes * lanes;
}

void pad_batch(const kernel_table& kernels, tap_batch* batch, int used) {
    const int computed = lanes_for(kernels, used);
    for (int lane = used; lane < computed; ++lane)
        for (int k = 0; k < filter_order; ++k) batch->taps[k][lane] = batch->taps[k][0];
}

void cost_tap_batch(const kernel_table& kernels, const double* weights, const tap_batch& batch,
                    int set_count, double* costs) {
    // The kernels write straight into costs: no copy between them and the search.
    if (kernels.wide_pays && set_count > kernels.cost_narrow.lanes) {
        kernels.cost_wide.run(weights, &batch.taps[0][0], batch_max_sets, costs);
    } else {
        const cost_kernel narrow = kernels.cost_narrow;
        for (int first = 0; first < set_count; first += narrow.lanes)
            narrow.run(weights, &batch.taps[0][first], batch_max_sets, costs + first);
    }
}

// ---- spare_lane_riders ------------------------------------------------------------

void spare_lane_riders::queue(const double* taps) {
    for (int k = 0; k < filter_order; ++k) taps_[queued_][k] = taps[k];
    ++queued_;
}

int spare_lane_riders::board(tap_batch* batch, int used, int capacity) {
    for (int next = costed_; used < capacity && next < queued_; ++used, ++next)
        for (int k = 0; k < filter_order; ++k) batch->taps[k][used] = taps_[next][k];
    return used;
}

void spare_lane_riders::alight(const double* costs, int first_lane, int lanes_used) {
    for (int lane = first_lane; lane < lanes_used; ++lane) cost_[costed_++] = costs[lane];
}

void spare_lane_riders::cost_the_rest(const kernel_table& kernels, const double* weights) {
    if (costed_ == queued_) return;
    tap_batch batch;
    const int used = board(&batch, 0, batch_max_sets);
    pad_batch(kernels, &batch, used);
    double costs[batch_max_sets];
    cost_tap_batch(kernels, weights, batch, used, costs);
    alight(costs, 0, used);
}

// ---- batched_cost_oracle ----------------------------------------------------------

int batched_cost_oracle::run_batch(int used) {
    const int lanes_used = riders_board_ ? riders_.board(&batch_, used, lanes_for(kernels_, used)) : used;
    pad_batch(kernels_, &batch_, lanes_used);
    cost_tap_batch(kernels_, weights_, batch_, lanes_used, costs_);
    if (riders_board_) riders_.alight(costs_, used, lanes_used);
    return lanes_used;
}

void batched_cost_oracle::cost_base(const double* taps) {
    for (int k = 0; k < filter_order; ++k) batch_.taps[k][0] = taps[k];
    run_batch(1);
    known_cost_ = costs_[0];
    base_known_ = true;
}

void batched_cost_oracle::cost_probes(const double* taps, double probe) {
    // Set i - 1 probes tap i.
    for (int k = 0; k < filter_order; ++k)
        for (int set = 0; set < probed_taps; ++set) batch_.taps[k][set] = taps[k];
    for (int i = 1; i < filter_order; ++i) batch_.taps[i][i - 1] = batch_.taps[i][i - 1] + probe;
    run_batch(probed_taps);
    for (int i = 1; i < filter_order; ++i) probe_cost_[i] = costs_[i - 1];
    probes_known_ = true;
}

void batched_cost_oracle::begin_line(const double* taps, const double* gradient, double norm,
                                     const search_phase& phase) {
    line_taps_ = taps;
    for (int i = 1; i < filter_order; ++i) gradient_[i] = gradient[i];
    norm_ = norm;
    phase_ = &phase;
    trials_formed_ = 0;
}

void batched_cost_oracle::form_trials(int exponent) {
    // The next trials, each from the one before as line_trial forms it (the
    // same operations, written straight into the batch's lanes 0..count-1).
    int count = phase_->exponent_bound - exponent;
    if (count > trials_per_batch_) count = trials_per_batch_;
    const double step_unit = phase_->step_unit, norm = norm_;
    double from[filter_order], gradient[filter_order];
    for (int k = 0; k < filter_order; ++k) from[k] = line_taps_[k];
    for (int k = 1; k < filter_order; ++k) gradient[k] = gradient_[k];
    for (int t = 0; t < count; ++t) {
        const double factor = static_cast<double>(1 << (exponent + t)) * step_unit / norm;
        for (int i = 1; i < filter_order; ++i) from[i] = from[i] - gradient[i] * factor;
        for (int k = 0; k < filter_order; ++k) batch_.taps[k][t] = from[k];
    }
    run_batch(count);
    first_trial_exponent_ = exponent;
    trials_formed_ = count;
}

void batched_cost_oracle::begin_coarse(const double* flat_taps, const double* previous_taps) {
    (void)flat_taps;  // always (1, 0, ..., 0): its costs come from the factors
    const flat_start_factors& start = coarse_start();
    known_cost_ = weighted_sum(weights_, start.flat);
    base_known_ = true;
    for (int i = 1; i < filter_order; ++i) probe_cost_[i] = weighted_sum(weights_, start.probe[i]);
    probes_known_ = true;
    trials_per_batch_ = coarse_trials_per_batch;

    riders_.clear();
    riders_board_ = false;
    if (previous_taps == nullptr) return;
    // The previous taps, then the fine phase's probes of them, in spare lanes.
    begin_handover(previous_taps);
    riders_board_ = true;
}

void batched_cost_oracle::begin_handover(const double* previous_taps) {
    riders_.clear();
    riders_.queue(previous_taps);
    double probed[filter_order];
    for (int i = 1; i < filter_order; ++i) {
        for (int k = 0; k < filter_order; ++k) probed[k] = previous_taps[k];
        probed[i] = probed[i] + fine_search_phase.probe;
        riders_.queue(probed);
    }
}

double batched_cost_oracle::handover_cost(const double* previous_taps) {
    (void)previous_taps;  // queued as riders' set 0 by begin_coarse or begin_handover
    riders_board_ = false;
    if (riders_.costed() == 0) {
        // The previous taps rode in no call: cost them now, with as many of
        // their probes as the call has lanes to spare.
        const int used = riders_.board(&batch_, 0, lanes_for(kernels_, 1));
        pad_batch(kernels_, &batch_, used);
        cost_tap_batch(kernels_, weights_, batch_, used, costs_);
        riders_.alight(costs_, 0, used);
    }
    return riders_.cost(0);
}

void batched_cost_oracle::begin_fine(double cost_of_start, bool start_is_previous) {
    known_cost_ = cost_of_start;
    base_known_ = true;
    probes_known_ = false;
    trials_per_batch_ = fine_trials_per_batch;
    trials_formed_ = 0;
    if (start_is_previous) {
        // The probes of the previous taps: those that did not ride, in one call.
        riders_.cost_the_rest(kernels_, weights_);
        for (int i = 1; i < filter_order; ++i) probe_cost_[i] = riders_.cost(i);
        probes_known_ = true;
    }
}

search_result search_batched(const kernel_table& kernels, const double* weights, search_state* search) {
    batched_cost_oracle costs(kernels, weights);
    return search_with(costs, search);
}

coarse_outcome coarse_search_batched(const kernel_table& kernels, const double* weights) {
    batched_cost_oracle costs(kernels, weights);
    return run_coarse(costs, nullptr);
}

search_result finish_search_batched(const kernel_table& kernels, const double* weights, const coarse_outcome& coarse,
                                    search_state* search) {
    batched_cost_oracle costs(kernels, weights);
    costs.begin_handover(search->taps);
    return hand_over_and_refine(costs, coarse, search);
}

}  // namespace pcmtaper
