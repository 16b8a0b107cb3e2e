// Micro-benchmarks of the hot path, plain formulas against the fast path.
//
// Usage: build/bench/pcmtaper_bench [--benchmark_filter=Cost]
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "model/model.h"
#include "quant/quant.h"
#include "shaping/shaping.h"
#include "signals.h"

namespace {

constexpr std::uint32_t bench_rate_hz = 44100;

struct random_sets {
    double weights[band_count];
    double taps[batch_max_sets][batch_taps];
    random_sets() {
        std::mt19937_64 rng(1);
        std::uniform_real_distribution<double> tap(-1.0, 1.0), weight(0.01, 2.0);
        for (double& w : weights) w = weight(rng);
        for (auto& set : taps) {
            set[0] = 1.0;
            for (int k = 1; k < batch_taps; ++k) set[k] = tap(rng);
        }
    }
};

void CostPlain(benchmark::State& st) {
    random_sets in;
    for (auto _ : st) benchmark::DoNotOptimize(noise_cost(in.weights, in.taps[0], batch_taps));
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(CostPlain);

// One batch through each kernel: as many sets as it has lanes.
void CostKernel(benchmark::State& st) {
    const auto kernel = static_cast<cost_kernel>(st.range(0));
    st.SetLabel(cost_kernel_name(kernel));
    if (!cost_kernel_supported(kernel)) {
        st.SkipWithError("this machine lacks the instruction set");
        return;
    }
    const int lanes = cost_kernel_lanes(kernel);
    random_sets in;
    alignas(64) double by_tap[batch_taps * batch_max_sets];
    for (int k = 0; k < batch_taps; ++k)
        for (int l = 0; l < lanes; ++l) by_tap[k * lanes + l] = in.taps[l][k];
    double costs[batch_max_sets];
    for (auto _ : st) {
        run_cost_kernel(kernel, in.weights, by_tap, lanes, costs);
        benchmark::DoNotOptimize(costs);
    }
    st.SetItemsProcessed(st.iterations() * lanes);
}
BENCHMARK(CostKernel)->DenseRange(0, 3);

// A state part-way through a real signal, and the signal to go on with.
struct running_conversion {
    shaper_state state;
    std::vector<std::int16_t> signal = make_example_signal(example_kind::music, bench_rate_hz, 5.0);
    std::size_t next = 0;
    running_conversion() {
        init_state(&state);
        init_rate_tables(&state, bench_rate_hz);
        state.block_index = 4;  // past the reported blocks
        for (int b = 0; b < 64; ++b) feed_block(), process_block(&state);
    }
    void feed_block() {
        if (next + block_len > signal.size()) next = 0;
        for (int i = 0; i < block_len; ++i)
            state.history[new_samples_at + i] = signal[next + i] * 1.52587890625e-05;
        next += block_len;
    }
};

// One stage of a block, plain or fast, on the state of a running conversion.
void Analysis(benchmark::State& st, void (*analyse)(shaper_state*)) {
    running_conversion run;
    for (auto _ : st) analyse(&run.state);
}
BENCHMARK_CAPTURE(Analysis, plain, analyse_block_plain);
BENCHMARK_CAPTURE(Analysis, fast, analyse_block_fast);

// The search starts from the same taps every time.
void Search(benchmark::State& st, double (*search)(shaper_state*)) {
    running_conversion run;
    double coef[max_taps];
    std::memcpy(coef, run.state.coef, sizeof coef);
    for (auto _ : st) {
        std::memcpy(run.state.coef, coef, sizeof coef);
        benchmark::DoNotOptimize(search(&run.state));
    }
}
BENCHMARK_CAPTURE(Search, plain, optimize_filter_plain);
BENCHMARK_CAPTURE(Search, fast, optimize_filter_fast);

void Quantise(benchmark::State& st, void (*quantise)(shaper_state*)) {
    running_conversion run;
    for (auto _ : st) quantise(&run.state);
}
BENCHMARK_CAPTURE(Quantise, plain, quantise_block_plain);
BENCHMARK_CAPTURE(Quantise, fast, quantise_block_fast);

// Whole blocks of a running conversion: analysis, search and quantiser.
void Block(benchmark::State& st) {
    running_conversion run;
    for (auto _ : st) {
        run.feed_block();
        process_block(&run.state);
    }
    st.SetItemsProcessed(st.iterations() * block_len);
}
BENCHMARK(Block);

}  // namespace

BENCHMARK_MAIN();
