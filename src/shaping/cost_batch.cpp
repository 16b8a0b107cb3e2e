// Batched noise costs: picks the vector kernel for the machine and the batch.
#include "shaping/shaping.h"

namespace {

int machine_widest_lanes() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return 8;
    if (__builtin_cpu_supports("avx2")) return 4;
    return 2;  // SSE2 is part of every x86-64
}

int& widest_lanes_in_use() {
    static int lanes = machine_widest_lanes();
    return lanes;
}

using lanes_kernel = void (*)(const double*, const double*, double*);

template <int lanes>
void run_kernel(lanes_kernel kernel, const double* weights, const double (*sets)[batch_taps],
                int set_count, double* costs) {
    alignas(64) double taps_by_tap[batch_taps * lanes];
    alignas(64) double lane_costs[lanes];
    for (int l = 0; l < lanes; ++l) {
        const int s = l < set_count ? l : 0;  // spare lanes repeat set 0
        for (int k = 0; k < batch_taps; ++k) taps_by_tap[k * lanes + l] = sets[s][k];
    }
    kernel(weights, taps_by_tap, lane_costs);
    for (int l = 0; l < set_count; ++l) costs[l] = lane_costs[l];
}

}  // namespace

bool cost_lanes_supported(int lanes) {
    static const int widest = machine_widest_lanes();
    return (lanes == 2 || lanes == 4 || lanes == 8) && lanes <= widest;
}

int limit_cost_lanes(int lanes) {
    int widest = machine_widest_lanes();
    while (widest > lanes && widest > 2) widest /= 2;
    widest_lanes_in_use() = widest;
    return widest;
}

void noise_cost_batch(const double* weights, const double (*sets)[batch_taps], int set_count,
                      double* costs) {
    const int widest = widest_lanes_in_use();
    // A wider kernel costs more per call than a narrower one on most machines,
    // so the narrowest that holds the batch in one call is used.
    while (set_count > 0) {
        if (widest >= 8 && set_count > 4) {
            run_kernel<8>(noise_cost_lanes_avx512, weights, sets, set_count, costs);
            return;
        }
        if (widest >= 4 && set_count > 2) {
            const int n = set_count < 4 ? set_count : 4;
            run_kernel<4>(noise_cost_lanes_avx2, weights, sets, n, costs);
            sets += n, costs += n, set_count -= n;
            continue;
        }
        const int n = set_count < 2 ? set_count : 2;
        run_kernel<2>(noise_cost_lanes_sse2, weights, sets, n, costs);
        sets += n, costs += n, set_count -= n;
    }
}
