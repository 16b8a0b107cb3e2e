// The resampler's speed: 60 s of the example music at 48000 Hz to 11025 Hz on
// one thread, whole (filters made, every sample through, flushed) at every
// kernel level the machine has, and the making of the filters alone.
//
// Usage: build/bench/pcmtaper_resample_bench [--benchmark_filter=Whole]
#include <benchmark/benchmark.h>

#include <vector>

#include "internal/constants.h"
#include "internal/kernel_table.h"
#include "resample/resampler.h"
#include "signals.h"

namespace {

using namespace pcmtaper;

constexpr resampler_config bench_rates = {48000, 11025};

const std::vector<double>& minute_of_music() {
    static const std::vector<double> samples = [] {
        const std::vector<std::int16_t> s = make_example_signal(example_kind::music, 48000, 60.0);
        std::vector<double> x(s.size());
        for (std::size_t i = 0; i < s.size(); ++i) x[i] = s[i] * sample_scale;
        return x;
    }();
    return samples;
}

void Whole(benchmark::State& st) {
    const auto level = static_cast<kernel_level>(st.range(0));
    st.SetLabel(level_name(level));
    if (!machine_has(level)) {
        st.SkipWithError("this machine lacks the level");
        return;
    }
    const kernel_table& kernels = kernels_for(level);
    const std::vector<double>& in = minute_of_music();
    std::vector<double> out;
    out.reserve(in.size() / 4 + 1024);
    for (auto _ : st) {
        out.clear();
        auto r = resampler::create(bench_rates, kernels);
        r->process(in.data(), in.size(), &out);
        r->flush(&out);
        benchmark::DoNotOptimize(out.data());
    }
    st.counters["realtime_x"] = benchmark::Counter(60.0 * static_cast<double>(st.iterations()),
                                                   benchmark::Counter::kIsRate);
}

void MakeFilters(benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(resampler::create(bench_rates).get());
}

BENCHMARK(Whole)->DenseRange(0, kernel_level_count - 1)->Unit(benchmark::kMillisecond);
BENCHMARK(MakeFilters)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
