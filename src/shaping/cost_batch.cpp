// Batched noise costs: picks the vector kernel for the machine and the batch.
#include <chrono>

#include "shaping/shaping.h"

namespace {

using kernel_fn = void (*)(const double*, const double*, int, double*);

struct kernel_info {
    kernel_fn run;
    int lanes;
    const char* name;
};

const kernel_info& info(cost_kernel kernel) {
    static const kernel_info table[] = {
        {noise_cost_lanes_sse2, 2, "sse2"},
        {noise_cost_lanes_avx2, 4, "avx2"},
        {noise_cost_lanes_avx512vl, 4, "avx512vl"},
        {noise_cost_lanes_avx512, 8, "avx512"},
    };
    return table[static_cast<int>(kernel)];
}

bool machine_has(cost_kernel kernel) {
    __builtin_cpu_init();
    switch (kernel) {
        case cost_kernel::sse2: return true;  // part of every x86-64
        case cost_kernel::avx2: return __builtin_cpu_supports("avx2");
        case cost_kernel::avx512vl:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
        case cost_kernel::avx512: return __builtin_cpu_supports("avx512f");
    }
    return false;
}

// Seconds for `rounds` calls of a kernel on made-up sets.
double seconds_for(kernel_fn kernel, int rounds) {
    alignas(64) double taps_by_tap[batch_taps * batch_max_sets];
    double weights[16], costs[batch_max_sets];
    for (int i = 0; i < batch_taps * batch_max_sets; ++i) taps_by_tap[i] = 0.001 * (i % 13);
    for (double& w : weights) w = 0.5;
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) kernel(weights, taps_by_tap, batch_max_sets, costs);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The kernels in use: `narrow` for batches of up to 4 sets, and whether the
// 8-lane kernel takes batches of 5 to 8 (else two narrow calls do). Machines
// differ: some run 512-bit vectors at full speed, others as two halves, so
// the 8-lane kernel is used only where a short measurement at start-up finds
// it faster than two 4-lane calls. The bytes are the same either way.
struct kernel_choice {
    cost_kernel narrow;
    bool wide_eight;
};

kernel_choice choose(cost_kernel widest) {
    kernel_choice c{cost_kernel::sse2, false};
    for (cost_kernel k : {cost_kernel::avx2, cost_kernel::avx512vl})
        if (k <= widest && machine_has(k)) c.narrow = k;
    if (widest == cost_kernel::avx512 && machine_has(cost_kernel::avx512)) {
        constexpr int rounds = 200;
        double eight = 1e9, two_fours = 1e9;
        for (int attempt = 0; attempt < 3; ++attempt) {
            const double e = seconds_for(info(cost_kernel::avx512).run, rounds);
            const double f = 2 * seconds_for(info(c.narrow).run, rounds);
            if (e < eight) eight = e;
            if (f < two_fours) two_fours = f;
        }
        c.wide_eight = eight < two_fours;
    }
    return c;
}

kernel_choice& in_use() {
    static kernel_choice choice = choose(cost_kernel::avx512);
    return choice;
}

}  // namespace

int cost_kernel_lanes(cost_kernel kernel) { return info(kernel).lanes; }

const char* cost_kernel_name(cost_kernel kernel) { return info(kernel).name; }

bool cost_kernel_supported(cost_kernel kernel) {
    static const bool supported[] = {machine_has(cost_kernel::sse2), machine_has(cost_kernel::avx2),
                                     machine_has(cost_kernel::avx512vl),
                                     machine_has(cost_kernel::avx512)};
    return supported[static_cast<int>(kernel)];
}

void run_cost_kernel(cost_kernel kernel, const double* weights, const double* taps_by_tap,
                     int stride, double* costs) {
    info(kernel).run(weights, taps_by_tap, stride, costs);
}

cost_kernel limit_cost_kernels(cost_kernel widest) {
    in_use() = choose(widest);
    return in_use().wide_eight ? cost_kernel::avx512 : in_use().narrow;
}

int noise_cost_lanes_for(int set_count) {
    const kernel_choice& use = in_use();
    if (use.wide_eight && set_count > 4) return batch_max_sets;
    const int lanes = info(use.narrow).lanes;
    return (set_count + lanes - 1) / lanes * lanes;
}

void pad_batch(tap_batch* batch, int used) {
    const int computed = noise_cost_lanes_for(used);
    for (int lane = used; lane < computed; ++lane)
        for (int k = 0; k < batch_taps; ++k) batch->taps[k][lane] = batch->taps[k][0];
}

void noise_cost_tap_batch(const double* weights, const tap_batch& batch, int set_count,
                          double* costs) {
    const kernel_choice& use = in_use();
    alignas(64) double lane_costs[batch_max_sets];
    if (use.wide_eight && set_count > 4) {
        noise_cost_lanes_avx512(weights, &batch.taps[0][0], batch_max_sets, lane_costs);
    } else {
        const kernel_info& narrow = info(use.narrow);
        for (int first = 0; first < set_count; first += narrow.lanes)
            narrow.run(weights, &batch.taps[0][first], batch_max_sets, lane_costs + first);
    }
    for (int s = 0; s < set_count; ++s) costs[s] = lane_costs[s];
}

void noise_cost_batch(const double* weights, const double (*sets)[batch_taps], int set_count,
                      double* costs) {
    tap_batch batch;
    for (int s = 0; s < batch_max_sets; ++s)
        for (int k = 0; k < batch_taps; ++k) batch.taps[k][s] = sets[s < set_count ? s : 0][k];
    noise_cost_tap_batch(weights, batch, set_count, costs);
}
