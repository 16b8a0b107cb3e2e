// The choice of kernels: the level (the machine's best, or PCMTAPER_KERNELS),
// the table of that level, and the one timing policy inside the choice.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/arch_kernels.h"
#include "internal/batched_costs.h"
#include "internal/kernel_table.h"
#include "model/model.h"
#include "quant/quant.h"

namespace pcmtaper {
namespace {

void quantise_then_analyse_reference(const quantiser_job& job, const rate_tables& rates,
                                     analysis_state* analysis) {
    quantise_block_reference(job);
    analyse_block_reference(rates, analysis);
}

constexpr kernel_table reference_table = {
    kernel_level::reference,          analyse_block_reference, quantise_block_reference,
    quantise_then_analyse_reference, block_threshold_reference, {nullptr, 1},
    {nullptr, 1},                    false,
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

// The table in use; chosen is false until the first use or use_kernels.
kernel_table in_use = reference_table;
bool chosen = false;

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

const kernel_table& active_kernels() {
    if (!chosen) use_kernels(best_level());
    return in_use;
}

kernel_level use_kernels(kernel_level level) {
    const kernel_level before = chosen ? in_use.level : best_level();
    if (!chosen || level != in_use.level) in_use = select_kernels(level);
    chosen = true;
    return before;
}

int use_kernels_from_environment() {
    const char* wanted = std::getenv("PCMTAPER_KERNELS");
    if (wanted == nullptr) return 0;
    for (const kernel_level_name& entry : kernel_level_names) {
        if (std::strcmp(wanted, entry.name) != 0) continue;
        if (!machine_has(entry.level)) {
            std::fprintf(stderr, "pcmtaper: the kernel level %s is not available on this machine\n", wanted);
            return kernel_refused;
        }
        use_kernels(entry.level);
        return 0;
    }
    std::fprintf(stderr, "pcmtaper: unknown kernel level %s\n", wanted);
    return kernel_refused;
}

}  // namespace pcmtaper
