// The coefficient search on its two oracles: the reference one costs one tap
// set at a time with noise_cost, the batched one several per kernel call.
#include "internal/kernel_table.h"
#include "shaping/batched_costs.h"
#include "shaping/search_rules.h"
#include "shaping/shaping.h"

namespace pcmtaper {
namespace {

class reference_cost_oracle {
  public:
    reference_cost_oracle(const double* weights, int order) : weights_(weights), order_(order) {}

    int order() const { return order_; }
    double base_cost(const double* taps) { return noise_cost(weights_, taps, order_); }
    void probe_costs(const double* taps, double probe, double* costs) {
        double probed[max_taps];
        for (int i = 1; i < order_; ++i) {
            for (int m = 0; m < order_; ++m) probed[m] = taps[m];
            probed[i] = probed[i] + probe;
            costs[i] = noise_cost(weights_, probed, order_);
        }
    }
    void begin_line(const double* taps, const double* gradient, double norm, const search_phase& phase) {
        taps_ = taps;
        gradient_ = gradient;
        norm_ = norm;
        phase_ = &phase;
    }
    double trial_cost(int exponent, double* trial) {
        line_trial(taps_, gradient_, norm_, *phase_, exponent, order_, trial);
        return noise_cost(weights_, trial, order_);
    }
    void accepted(double) {}
    void begin_coarse(const double*, const double*) {}
    double handover_cost(const double* previous_taps) { return noise_cost(weights_, previous_taps, order_); }
    void begin_fine(double, bool) {}

  private:
    const double* weights_;
    int order_;
    const double* taps_ = nullptr;
    const double* gradient_ = nullptr;
    double norm_ = 0.0;
    const search_phase* phase_ = nullptr;
};

}  // namespace

void reset_steps(fine_step_record* steps) {
    for (int p = 0; p < fine_pass_max; ++p) {
        steps->lowest[p] = step_lowest_reset;
        steps->highest[p] = step_highest_reset;
    }
    steps->passes = 0;
}

void reset_search(search_state* search) {
    for (double& t : search->taps) t = 0.0;
    search->taps[0] = 1.0;
    search->order = filter_order;
}

search_phase_outcome run_search_phase(const double* weights, int order, double* taps,
                                      const search_phase& phase, fine_step_record* steps) {
    reference_cost_oracle costs(weights, order);
    return run_phase(costs, taps, phase, steps);
}

search_result search_block(const kernel_table& kernels, const double* weights, search_state* search) {
    // The kernels cost sets of filter_order taps; any other order (never the
    // program's) is searched one set at a time.
    if (kernels.cost_narrow.run == nullptr || search->order != filter_order) {
        reference_cost_oracle costs(weights, search->order);
        return search_with(costs, search);
    }
    return search_batched(kernels, weights, search);
}

coarse_outcome coarse_search(const kernel_table& kernels, const double* weights, int order) {
    if (kernels.cost_narrow.run == nullptr || order != filter_order) {
        reference_cost_oracle costs(weights, order);
        return run_coarse(costs, nullptr);
    }
    return coarse_search_batched(kernels, weights);
}

search_result finish_search(const kernel_table& kernels, const double* weights, const coarse_outcome& coarse,
                            search_state* search) {
    if (kernels.cost_narrow.run == nullptr || search->order != filter_order) {
        reference_cost_oracle costs(weights, search->order);
        return hand_over_and_refine(costs, coarse, search);
    }
    return finish_search_batched(kernels, weights, coarse, search);
}

}  // namespace pcmtaper
