// The input stage's frames per second, by sample type, channel count and
// channel choice, on one second of a 48 kHz signal converted in blocks of
// 4096 frames. Floats: a tone in every channel plus a little noise; 32-bit
// floats mostly take the mean's cheap path, 64-bit ones (53 significant
// bits) the exact accumulator from three channels on.
//
// Usage: build/bench/pcmtaper_bench --benchmark_filter=Input
#include <benchmark/benchmark.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "input/input_stage.h"

namespace {

using namespace pcmtaper;

constexpr std::size_t bench_frames = 48000;
constexpr std::size_t bench_block_frames = 4096;

std::vector<unsigned char> make_frames(sample_type type, int channels) {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> noise(0.0, 1e-3);
    std::vector<unsigned char> bytes;
    const int width = container_bytes(type);
    for (std::size_t f = 0; f < bench_frames; ++f) {
        for (int c = 0; c < channels; ++c) {
            const double x = 0.6 * std::sin(0.05 * (c + 1) * static_cast<double>(f)) + noise(rng);  // within +-1
            std::uint64_t raw;
            if (type == sample_type::f32) {
                raw = std::bit_cast<std::uint32_t>(static_cast<float>(x));
            } else if (type == sample_type::f64) {
                raw = std::bit_cast<std::uint64_t>(x);
            } else {
                const int bits = 8 * width;
                const auto s = static_cast<std::int64_t>(std::ldexp(x, bits - 1));
                raw = type == sample_type::u8 ? static_cast<std::uint64_t>(s + 128) : static_cast<std::uint64_t>(s);
            }
            for (int b = 0; b < width; ++b) bytes.push_back(static_cast<unsigned char>(raw >> (8 * b)));
        }
    }
    return bytes;
}

// Arguments: sample type, channels, channel choice (0: mix).
void Input(benchmark::State& st) {
    const auto type = static_cast<sample_type>(st.range(0));
    const int channels = static_cast<int>(st.range(1));
    input_stage stage;
    if (prepare_input_stage({{type, 0, channels}, static_cast<int>(st.range(2)), 0.0}, &stage) !=
        input_setup_status::ok) {
        st.SkipWithError("settings refused");
        return;
    }
    const std::vector<unsigned char> bytes = make_frames(type, channels);
    std::vector<double> samples(bench_block_frames);
    input_statistics stats;
    for (auto _ : st) {
        for (std::size_t at = 0; at < bench_frames; at += bench_block_frames) {
            const std::size_t take = std::min(bench_block_frames, bench_frames - at);
            convert_input_frames(stage, bytes.data() + at * stage.frame_bytes, take, samples.data(), &stats);
            benchmark::DoNotOptimize(samples.data());
        }
    }
    st.SetItemsProcessed(st.iterations() * bench_frames);
}

constexpr int u8 = 0, s16 = 1, s24 = 2, s32 = 3, f32 = 4, f64 = 5;
BENCHMARK(Input)
    ->ArgNames({"type", "channels", "choice"})
    ->Args({s16, 1, 1})
    ->Args({u8, 2, 0})
    ->Args({s16, 2, 0})
    ->Args({s24, 2, 1})
    ->Args({s24, 2, 0})
    ->Args({s24, 6, 0})
    ->Args({s32, 2, 0})
    ->Args({f32, 2, 1})
    ->Args({f32, 2, 0})
    ->Args({f32, 6, 0})
    ->Args({f64, 2, 0})
    ->Args({f64, 6, 0});

}  // namespace
