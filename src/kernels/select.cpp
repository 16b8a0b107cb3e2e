// The choice of kernels: the levels the machine has, the table of each level
// (made once per process, on its first use, from any thread), and the one
// timing policy inside the choice.
#include <chrono>
#include <mutex>

#include "internal/arch_kernels.h"
#include "internal/kernel_table.h"
#include "model/model.h"
#include "quant/quant.h"
#include "resample/resampler.h"
#include "shaping/batched_costs.h"

namespace pcmtaper {
namespace {

void quantise_then_analyse_reference(const quantiser_job& job, const rate_tables& rates, const double* history,
                                     analysis_state* analysis) {
    quantise_block_reference(job);
    analyse_history_reference(rates, history, analysis);
}

constexpr kernel_table reference_table = {
    kernel_level::reference,          analyse_block_reference, quantise_block_reference,
    quantise_then_analyse_reference, block_threshold_reference, {nullptr, 1},
    {nullptr, 1},                    false,
    resample_dot_reference,           resample_halve_reference,
    resample_convolve_reference,
};

// Seconds for `rounds` calls of a cost kernel on made-up sets.
double seconds_for(cost_sets_fn kernel, int rounds) {
    alignas(64) double taps_by_tap[filter_order * batch_max_sets];
    double weights[weighted_bins], costs[batch_max_sets];
    for (int i = 0; i < filter_order * batch_max_sets; ++i) taps_by_tap[i] = 0.001 * (i % 13);
    for (double& w : weights) w = 0.5;
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) kernel(weights, taps_by_tap, batch_max_sets, costs);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Whether batches of 5 to 8 sets go to the 8-lane kernel, or to two calls of
// the 4-lane one. Machines differ: some run 512-bit vectors at full speed,
// others as two halves, so a short measurement decides. The bytes are the
// same either way.
bool wide_kernel_pays(const kernel_table& table) {
    if (table.cost_wide.run == nullptr) return false;
    constexpr int rounds = 200;
    double eight = 1e9, two_narrow = 1e9;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const double e = seconds_for(table.cost_wide.run, rounds);
        const double n = (table.cost_wide.lanes / table.cost_narrow.lanes) * seconds_for(table.cost_narrow.run, rounds);
        if (e < eight) eight = e;
        if (n < two_narrow) two_narrow = n;
    }
    return eight < two_narrow;
}

}  // namespace

const char* level_name(kernel_level level) { return kernel_level_names[static_cast<int>(level)].name; }

bool machine_has(kernel_level level) { return level == kernel_level::reference || arch_machine_has(level); }

kernel_level best_level() {
    kernel_level best = kernel_level::reference;
    for (const kernel_level_name& entry : kernel_level_names)
        if (machine_has(entry.level)) best = entry.level;
    return best;
}

kernel_table select_kernels(kernel_level level) {
    if (level == kernel_level::reference || !machine_has(level)) return reference_table;
    kernel_table table = reference_table;
    table.level = level;
    arch_fill_kernels(level, &table);
    table.wide_pays = wide_kernel_pays(table);
    return table;
}

const kernel_table& kernels_for(kernel_level level) {
    // One table per level, made once: converters on any number of threads
    // share them, and nothing changes them after they are made.
    static kernel_table tables[kernel_level_count];
    static std::once_flag made[kernel_level_count];
    const int i = static_cast<int>(level);
    std::call_once(made[i], [level, i] { tables[i] = select_kernels(level); });
    return tables[i];
}

const kernel_table& best_kernels() {
    static const kernel_level best = best_level();
    return kernels_for(best);
}

}  // namespace pcmtaper
