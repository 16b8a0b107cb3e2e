// The cost oracle of the search on the vector levels: the same costs as
// noise_cost, bit for bit, computed several tap sets per kernel call and kept
// where the search asks for them again (see shaping/search_rules.h):
// - a pass's base cost is that of the taps the last accepted trial left, or
//   of the phase's start, which the oracle already knows;
// - after a pass that accepted no trial the taps are unchanged, and so are
//   the costs of their probes;
// - the coarse phase starts from the same flat taps in every block, so the
//   per-bin factors of those taps and of their probes are computed once;
// - the probes of a pass go in one batch, and the trials of a line follow
//   from one gradient, so they are formed ahead in the order the rules form
//   them (each from the one before, as if all were accepted) and costed
//   together; the rules then take them one by one and drop the rest unseen;
// - tap sets whose costs the block needs later (the previous taps and the
//   fine phase's first probes of them) ride in lanes the coarse phase's
//   calls leave spare.
#pragma once

#include "internal/kernel_table.h"
#include "shaping/shaping.h"

namespace pcmtaper {

// Up to 8 tap sets of filter_order taps laid out by tap, as the kernels read them.
inline constexpr int batch_max_sets = 8;
struct tap_batch {
    alignas(64) double taps[filter_order][batch_max_sets];  // taps[k][s]: tap k of set s
};

// How many lanes a batch of set_count (1..8) sets computes (whole kernel
// calls): the lanes from set_count up to it come free.
int lanes_for(const kernel_table& kernels, int set_count);

// costs[s] for sets s < set_count (1..8) of `batch`. Every lane up to
// lanes_for(set_count) is read, so it must hold numbers (pad_batch), and
// its cost written: costs has room for batch_max_sets.
void cost_tap_batch(const kernel_table& kernels, const double* weights, const tap_batch& batch,
                    int set_count, double* costs);

// Fills lanes used..lanes_for(used)-1 with copies of set 0.
void pad_batch(const kernel_table& kernels, tap_batch* batch, int used);

// Tap sets whose costs are wanted later, carried in spare lanes of batches
// made for other sets, in the order they were queued.
class spare_lane_riders {
  public:
    void clear() { queued_ = costed_ = 0; }
    void queue(const double* taps);
    // Puts queued sets not yet costed in lanes used..capacity-1; returns the
    // lanes now in use.
    int board(tap_batch* batch, int used, int capacity);
    // The costs of the lanes board filled, first_lane..lanes_used-1.
    void alight(const double* costs, int first_lane, int lanes_used);
    // Costs every queued set not yet costed, in one batch.
    void cost_the_rest(const kernel_table& kernels, const double* weights);
    int queued() const { return queued_; }
    int costed() const { return costed_; }
    double cost(int set) const { return cost_[set]; }

  private:
    double taps_[batch_max_sets][filter_order];
    double cost_[batch_max_sets];
    int queued_ = 0;
    int costed_ = 0;
};

// search_block on the batched oracle (order filter_order only). Instantiated
// beside the oracle, so that the rules and the oracle compile as one.
search_result search_batched(const kernel_table& kernels, const double* weights, search_state* search);
// coarse_search and finish_search on the batched oracle. The coarse phase has
// no previous taps to carry in its spare lanes; the hand-over costs them.
coarse_outcome coarse_search_batched(const kernel_table& kernels, const double* weights);
search_result finish_search_batched(const kernel_table& kernels, const double* weights, const coarse_outcome& coarse,
                                    search_state* search);

class batched_cost_oracle {
  public:
    batched_cost_oracle(const kernel_table& kernels, const double* weights)
        : kernels_(kernels), weights_(weights) {}

    static constexpr int order() { return filter_order; }

    // The paths that find the costs known stay inline; the ones that compute
    // them are the calls below.
    double base_cost(const double* taps) {
        if (!base_known_) cost_base(taps);
        return known_cost_;
    }
    void probe_costs(const double* taps, double probe, double* costs) {
        if (!probes_known_) cost_probes(taps, probe);
        for (int i = 1; i < filter_order; ++i) costs[i] = probe_cost_[i];
    }
    void begin_line(const double* taps, const double* gradient, double norm, const search_phase& phase);
    double trial_cost(int exponent, double* trial) {
        int t = exponent - first_trial_exponent_;
        if (t < 0 || t >= trials_formed_) {  // trials_formed_ is 0 at the start of a line
            form_trials(exponent);
            t = 0;
        }
        for (int k = 0; k < filter_order; ++k) trial[k] = batch_.taps[k][t];
        return costs_[t];
    }
    void accepted(double cost) {
        known_cost_ = cost;
        base_known_ = true;
        probes_known_ = false;
    }
    void begin_coarse(const double* flat_taps, const double* previous_taps);
    // For a hand-over without a coarse phase on this oracle: queues the
    // previous taps and their fine probes, to be costed when asked for.
    void begin_handover(const double* previous_taps);
    double handover_cost(const double* previous_taps);
    void begin_fine(double cost_of_start, bool start_is_previous);

  private:
    // Batch `used` sets plus riders, costs into costs_; returns the lanes used.
    int run_batch(int used);
    void cost_base(const double* taps);
    void cost_probes(const double* taps, double probe);
    // Forms the trials of the line from `exponent` on and costs them.
    void form_trials(int exponent);

    const kernel_table& kernels_;
    const double* weights_;
    tap_batch batch_;
    double costs_[batch_max_sets];
    spare_lane_riders riders_;
    bool riders_board_ = false;   // riders take spare lanes (coarse phase)
    int trials_per_batch_ = 1;

    double known_cost_ = 0.0;     // cost of the taps the phase stands on
    bool base_known_ = false;
    double probe_cost_[max_taps];  // [i]: tap i probed, for the taps the phase stands on
    bool probes_known_ = false;

    // The current line and the trials formed ahead on it.
    const double* line_taps_ = nullptr;  // the search's taps, as they change
    double gradient_[max_taps];
    double norm_ = 0.0;
    const search_phase* phase_ = nullptr;
    int first_trial_exponent_ = 0;
    int trials_formed_ = 0;
};

}  // namespace pcmtaper
