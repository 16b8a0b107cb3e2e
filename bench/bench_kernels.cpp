// Micro-benchmarks of the stages at every kernel level the machine has, the
// reference included, each through the kernel table.
//
// Usage: build/bench/pcmtaper_bench [--benchmark_filter=Cost]
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "internal/kernel_table.h"
#include "pipeline/pipeline.h"
#include "quant/quant.h"
#include "shaping/batched_costs.h"
#include "signals.h"

namespace {

using namespace pcmtaper;

constexpr std::uint32_t bench_rate_hz = 44100;

// The level of a benchmark's argument, or null (and the benchmark skipped)
// where the machine lacks it.
const kernel_table* table_for(benchmark::State& st) {
    const auto level = static_cast<kernel_level>(st.range(0));
    st.SetLabel(level_name(level));
    if (!machine_has(level)) {
        st.SkipWithError("this machine lacks the level");
        return nullptr;
    }
    static kernel_table tables[kernel_level_count];
    tables[st.range(0)] = select_kernels(level);
    return &tables[st.range(0)];
}

// Eight tap sets laid out by tap, and weights.
struct random_sets {
    double weights[band_count];
    tap_batch batch;
    random_sets() {
        std::mt19937_64 rng(1);
        std::uniform_real_distribution<double> tap(-1.0, 1.0), weight(0.01, 2.0);
        for (double& w : weights) w = weight(rng);
        for (int s = 0; s < batch_max_sets; ++s) {
            batch.taps[0][s] = 1.0;
            for (int k = 1; k < filter_order; ++k) batch.taps[k][s] = tap(rng);
        }
    }
};

// The costs of 8 tap sets: one at a time at the reference level, else in the
// level's batches.
void Cost(benchmark::State& st) {
    const kernel_table* k = table_for(st);
    if (k == nullptr) return;
    random_sets in;
    double costs[batch_max_sets];
    for (auto _ : st) {
        if (k->cost_narrow.run == nullptr) {
            for (int s = 0; s < batch_max_sets; ++s) {
                double taps[filter_order];
                for (int t = 0; t < filter_order; ++t) taps[t] = in.batch.taps[t][s];
                costs[s] = noise_cost(in.weights, taps, filter_order);
            }
        } else {
            cost_tap_batch(*k, in.weights, in.batch, batch_max_sets, costs);
        }
        benchmark::DoNotOptimize(costs);
    }
    st.SetItemsProcessed(st.iterations() * batch_max_sets);
}

// A conversion part-way through a real signal, and the signal to go on with.
struct running_conversion {
    converter_state state;
    std::vector<std::int16_t> signal = make_example_signal(example_kind::music, bench_rate_hz, 5.0);
    std::size_t next = 0;
    double samples[block_len];
    explicit running_conversion(const kernel_table* k) {
        start_conversion(&state, *k, bench_rate_hz);
        start_blocks(&state, next_block());
        for (int b = 0; b < 64; ++b) run_block();
    }
    const double* next_block() {
        if (next + block_len > signal.size()) next = 0;
        for (int i = 0; i < block_len; ++i) samples[i] = signal[next + i] * sample_scale;
        next += block_len;
        return samples;
    }
    void run_block() {
        block_report report;
        search_taps(&state, reported_blocks, &report);  // a block number past the reported ones
        quantise_and_analyse_next(&state, next_block());
    }
};

void Analysis(benchmark::State& st) {
    const kernel_table* k = table_for(st);
    if (k == nullptr) return;
    running_conversion run(k);
    for (auto _ : st) k->analyse(run.state.rates, &run.state.analysis);
}

// The search starts from the same taps every time.
void Search(benchmark::State& st) {
    const kernel_table* k = table_for(st);
    if (k == nullptr) return;
    running_conversion run(k);
    const search_state start = run.state.search;
    for (auto _ : st) {
        run.state.search = start;
        benchmark::DoNotOptimize(search_block(*k, run.state.analysis.band_weight, &run.state.search));
    }
}

void Quantise(benchmark::State& st) {
    const kernel_table* k = table_for(st);
    if (k == nullptr) return;
    running_conversion run(k);
    const quantiser_job job{run.state.analysis.history, run.state.search.taps, run.state.search.order,
                            run.state.delay_line,       &run.state.dither_state, run.state.out_bytes,
                            false};
    for (auto _ : st) k->quantise(job);
}

// Whole blocks of a running conversion: search, quantiser and next analysis.
void Block(benchmark::State& st) {
    const kernel_table* k = table_for(st);
    if (k == nullptr) return;
    running_conversion run(k);
    for (auto _ : st) run.run_block();
    st.SetItemsProcessed(st.iterations() * block_len);
}

BENCHMARK(Cost)->DenseRange(0, kernel_level_count - 1);
BENCHMARK(Analysis)->DenseRange(0, kernel_level_count - 1);
BENCHMARK(Search)->DenseRange(0, kernel_level_count - 1);
BENCHMARK(Quantise)->DenseRange(0, kernel_level_count - 1);
BENCHMARK(Block)->DenseRange(0, kernel_level_count - 1);

}  // namespace

BENCHMARK_MAIN();
