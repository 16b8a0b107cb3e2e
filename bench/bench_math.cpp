// The correctly rounded functions against the C library's, on the converter's
// own argument sets: the 32768 dither atans, the rate tables of one rate, and
// single calls on typical arguments.
//
// Usage: build/bench/pcmtaper_math_bench [--benchmark_filter=Dither]
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "math/correctly_rounded.h"
#include "math/extended.h"

namespace {

const std::vector<double>& dither_arguments() {
    static const std::vector<double> args = [] {
        std::vector<double> a(32768);
        for (int r = 0; r < 32768; ++r) a[r] = xmath::dither_atan_argument(r);
        return a;
    }();
    return args;
}

// All 32768 dither atans, as a start-up table fill makes them.
template <double (*atan_fn)(double)>
void DitherTable(benchmark::State& state) {
    const std::vector<double>& args = dither_arguments();
    for (auto _ : state) {
        double sum = 0;
        for (double x : args) sum += atan_fn(x);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(args.size()));
}
double libc_atan(double x) { return std::atan(x); }
BENCHMARK_TEMPLATE(DitherTable, xmath::cr_atan);
BENCHMARK_TEMPLATE(DitherTable, libc_atan);

// The 258 atans and 257 pows of one rate's tables (44100 Hz).
template <double (*atan_fn)(double), double (*pow_fn)(double, double)>
void RateTables(benchmark::State& state) {
    const double rate = 44100;
    for (auto _ : state) {
        double f = 0.4 * rate * (1.0 / 256);
        double z = 13.0 * atan_fn(0.00076 * f) + 3.5 * atan_fn(xmath::bark_ratio_squared(f));
        double sum = pow_fn(10.0, 3.55);
        for (int i = 0; i < 128; ++i) {
            f = f + rate / 256;
            const double z_next = 13.0 * atan_fn(0.00076 * f) + 3.5 * atan_fn(xmath::bark_ratio_squared(f));
            sum += pow_fn(10.0, xmath::decade_exponent_of_db(20.0 + z)) + pow_fn(0.316, 1.2 * (z_next - z));
            z = z_next;
        }
        benchmark::DoNotOptimize(sum);
    }
}
double libc_pow(double x, double y) { return std::pow(x, y); }
BENCHMARK_TEMPLATE(RateTables, xmath::cr_atan, xmath::cr_pow);
BENCHMARK_TEMPLATE(RateTables, libc_atan, libc_pow);

// One call on random typical arguments.
template <double (*fn)(double)>
void Single(benchmark::State& state) {
    std::mt19937_64 g(1);
    std::vector<double> args(1024);
    for (double& a : args) a = std::ldexp(static_cast<double>(g() >> 11), -53 + static_cast<int>(g() % 8) - 4);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fn(args[i]));
        i = (i + 1) & 1023;
    }
}
double libc_sin(double x) { return std::sin(x); }
double libc_log10(double x) { return std::log10(x); }
double cr_pow_10(double x) { return xmath::cr_pow(10.0, x); }
double libc_pow_10(double x) { return std::pow(10.0, x); }
BENCHMARK_TEMPLATE(Single, xmath::cr_atan);
BENCHMARK_TEMPLATE(Single, libc_atan);
BENCHMARK_TEMPLATE(Single, xmath::cr_sin);
BENCHMARK_TEMPLATE(Single, libc_sin);
BENCHMARK_TEMPLATE(Single, xmath::cr_log10);
BENCHMARK_TEMPLATE(Single, libc_log10);
BENCHMARK_TEMPLATE(Single, cr_pow_10);
BENCHMARK_TEMPLATE(Single, libc_pow_10);

}  // namespace

BENCHMARK_MAIN();
