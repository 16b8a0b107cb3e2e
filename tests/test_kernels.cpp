// Every kernel level the machine has against the reference, bit for bit, in
// the manner of a table of (reference, candidate, input generator): the noise
// costs, the analysis, the quantiser (alone and interleaved with the
// analysis), the search, and whole conversions block by block. Then the
// choice of level itself.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "internal/kernel_table.h"
#include "pipeline/pipeline.h"
#include "program_runner.h"
#include "quant/quant.h"
#include "shaping/batched_costs.h"
#include "signals.h"

namespace {

using namespace pcmtaper;

std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Equal bit for bit, element by element (any two NaNs count as equal: a NaN
// cost never wins a comparison, whatever its payload).
testing::AssertionResult same_bits(const double* candidate, const double* reference, int count) {
    for (int i = 0; i < count; ++i)
        if (bits_of(candidate[i]) != bits_of(reference[i]) && !(std::isnan(candidate[i]) && std::isnan(reference[i])))
            return testing::AssertionFailure() << "element " << i << ": " << std::hexfloat << candidate[i]
                                               << " != " << reference[i];
    return testing::AssertionSuccess();
}

testing::AssertionResult same_bytes(const void* candidate, const void* reference, std::size_t size,
                                    const char* what) {
    if (std::memcmp(candidate, reference, size) == 0) return testing::AssertionSuccess();
    return testing::AssertionFailure() << what << " differ";
}

std::vector<kernel_level> vector_levels_here() {
    std::vector<kernel_level> levels;
    for (const kernel_level_name& entry : kernel_level_names)
        if (entry.level != kernel_level::reference && machine_has(entry.level)) levels.push_back(entry.level);
    return levels;
}

const kernel_table& reference_kernels() {
    static const kernel_table table = select_kernels(kernel_level::reference);
    return table;
}

// Inputs of every kind the stages can meet, and some they cannot.
class random_inputs {
  public:
    explicit random_inputs(std::uint64_t seed) : rng_(seed) {}

    double uniform() { return std::uniform_real_distribution<double>(-1.0, 1.0)(rng_); }
    std::uint64_t next() { return rng_(); }

    double tap() {
        switch (rng_() % 10) {
            case 0: return 0.0;
            case 1: return -0.0;
            case 2: return std::ldexp(uniform(), -1000 - static_cast<int>(rng_() % 70));  // tiny, subnormal
            case 3: return std::ldexp(uniform(), 100 + static_cast<int>(rng_() % 900));   // huge
            case 4: return uniform() * 8.0;
            default: return uniform();
        }
    }
    double weight() {
        switch (rng_() % 8) {
            case 0: return 0.0;
            case 1: return std::ldexp(1.0 + uniform(), static_cast<int>(rng_() % 40) - 20);
            default: return 0.001 + 0.1 * std::abs(uniform());
        }
    }
    void fill_set(double* taps) {
        taps[0] = rng_() % 16 == 0 ? tap() : 1.0;
        for (int k = 1; k < filter_order; ++k) taps[k] = rng_() % 4 == 0 ? 0.0 : tap();
    }
    // Audio-like samples, sometimes past full scale or extreme.
    double sample(int round) {
        switch (round % 10) {
            case 0: return uniform() * 1.5;
            case 1: return tap();
            default: return uniform() * 0.5;
        }
    }

  private:
    std::mt19937_64 rng_;
};

// ---- the checks: one round each, on inputs from the generator --------------------

// Every cost kernel of the level, and batches of 1..8 sets through the level's
// choice of kernels, against noise_cost.
testing::AssertionResult check_costs(const kernel_table& k, random_inputs& gen, int round) {
    double weights[band_count];
    for (double& w : weights) w = gen.weight();
    double sets[batch_max_sets][filter_order];
    for (auto& set : sets) gen.fill_set(set);
    if (round % 50 == 0) {  // signed zeros, the largest and the smallest taps
        const double edges[4][filter_order] = {{1.0},
                                               {1.0, -0.0, 0.0, -0.0, -0.0, 0.0, -0.0, -0.0},
                                               {1.0, 1e300, -1e300, 1e300, -1e300, 1e300, -1e300, 1e300},
                                               {1.0, 5e-324, -5e-324, 1e-310, 0.0, -1e-320, 4e-320, -0.0}};
        for (int s = 0; s < batch_max_sets; ++s) std::memcpy(sets[s], edges[s % 4], sizeof sets[s]);
    }
    double expected[batch_max_sets];
    for (int s = 0; s < batch_max_sets; ++s) expected[s] = noise_cost(weights, sets[s], filter_order);

    alignas(64) tap_batch batch;
    for (int s = 0; s < batch_max_sets; ++s)
        for (int t = 0; t < filter_order; ++t) batch.taps[t][s] = sets[s][t];
    double costs[batch_max_sets];
    for (const cost_kernel& kernel : {k.cost_narrow, k.cost_wide}) {
        if (kernel.run == nullptr) continue;
        kernel.run(weights, &batch.taps[0][0], batch_max_sets, costs);
        if (auto r = same_bits(costs, expected, kernel.lanes); !r) return r << " (" << kernel.lanes << "-lane kernel)";
    }
    const int count = 1 + round % batch_max_sets;
    cost_tap_batch(k, weights, batch, count, costs);
    return same_bits(costs, expected, count) << " (batch of " << count << ")";
}

struct analysis_input {
    rate_tables rates;
    analysis_state analysis;
};

void generate_analysis(random_inputs& gen, int round, analysis_input* in) {
    const double rates_hz[] = {8000, 22050, 44100, 48000, 96000, 1, 0};
    fill_rate_tables(&in->rates, rates_hz[round % 7]);
    for (double& x : in->analysis.history) x = round == 0 ? 0.0 : gen.sample(round);
    for (double& m : in->analysis.mask) m = round % 3 == 0 ? mask_start : 1e-3 + std::abs(gen.uniform()) * 200;
    for (double& w : in->analysis.band_weight) w = gen.uniform();  // rebuilt, never read
}

testing::AssertionResult same_analysis(const analysis_state& candidate, const analysis_state& reference) {
    if (auto r = same_bits(candidate.mask, reference.mask, bin_count); !r) return r << " (mask)";
    return same_bits(candidate.band_weight, reference.band_weight, band_count) << " (band weights)";
}

testing::AssertionResult check_analysis(const kernel_table& k, random_inputs& gen, int round) {
    static analysis_input in;
    generate_analysis(gen, round, &in);
    analysis_state expected = in.analysis;
    analyse_block_reference(in.rates, &expected);
    k.analyse(in.rates, &in.analysis);
    return same_analysis(in.analysis, expected);
}

// The threshold alone, from a history given apart from any state (the
// look-ahead's workers compute it so).
testing::AssertionResult check_threshold(const kernel_table& k, random_inputs& gen, int round) {
    static analysis_input in;
    generate_analysis(gen, round, &in);
    double expected[bin_count], got[bin_count];
    block_threshold_reference(in.rates, in.analysis.history, expected);
    k.block_threshold(in.rates, in.analysis.history, got);
    return same_bits(got, expected, bin_count) << " (threshold)";
}

struct quantiser_input {
    double samples[block_len];
    double taps[max_taps] = {1.0};
    double delay_line[max_taps] = {};
    std::uint32_t dither_state = dither_start_state;
    std::uint8_t out_bytes[block_len] = {};
    bool zero_dc = false;
    int order = filter_order;
    quantiser_job job() { return {samples, taps, order, delay_line, &dither_state, out_bytes, zero_dc}; }
};

void generate_quantiser(random_inputs& gen, int round, quantiser_input* in) {
    for (double& x : in->samples) x = gen.sample(round);
    // Mostly the program's order; other orders take the delay line's general path.
    in->order = round % 5 == 4 ? 1 + static_cast<int>(gen.next() % (max_taps - 1)) : filter_order;
    for (int k = 1; k < in->order; ++k) in->taps[k] = gen.uniform() * (round % 3);
    for (int k = 1; k < in->order; ++k) in->delay_line[k] = gen.uniform() * 0.05;
    in->dither_state = static_cast<std::uint32_t>(gen.next());
    in->zero_dc = round % 2 == 1;  // both dithers: the plain one and the one with its mean off
    if (round % 7 == 0) {
        // Dithered values on, and a hair either side of, the half-steps where
        // the rounding turns: the quick rounding must hand these to the exact path.
        const double nudges[] = {0.0, 1e-17, -1e-17, 1e-13, -1e-13, 1e-10, -1e-10, 3e-9, -3e-9};
        for (double& t : in->taps) t = 0.0;  // the delay line then stays as it is: zero
        for (double& e : in->delay_line) e = 0.0;
        std::uint32_t generator = in->dither_state;
        for (int j = 0; j < block_len; ++j) {
            const int step = static_cast<int>(gen.next() % 261) - 130;
            const double x =
                (step + 0.5) / 256 - xmath::extended_to_double(dither_offset(dither_rand(&generator), in->zero_dc));
            in->samples[j] = x + nudges[gen.next() % 9];
        }
    }
}

testing::AssertionResult same_quantiser(quantiser_input& candidate, quantiser_input& reference) {
    if (auto r = same_bytes(candidate.out_bytes, reference.out_bytes, block_len, "output bytes"); !r) return r;
    if (auto r = same_bits(candidate.delay_line, reference.delay_line, max_taps); !r) return r << " (delay line)";
    if (candidate.dither_state != reference.dither_state) return testing::AssertionFailure() << "dither states differ";
    return testing::AssertionSuccess();
}

testing::AssertionResult check_quantiser(const kernel_table& k, random_inputs& gen, int round) {
    quantiser_input in;
    generate_quantiser(gen, round, &in);
    quantiser_input expected = in;
    quantise_block_reference(expected.job());
    k.quantise(in.job());
    return same_quantiser(in, expected);
}

testing::AssertionResult check_quantise_and_analyse(const kernel_table& k, random_inputs& gen, int round) {
    quantiser_input q;
    generate_quantiser(gen, round, &q);
    static analysis_input a;
    generate_analysis(gen, round, &a);
    quantiser_input q_expected = q;
    analysis_state a_expected = a.analysis;
    quantise_block_reference(q_expected.job());
    analyse_block_reference(a.rates, &a_expected);
    // Every other round the history comes apart from the state (as the
    // look-ahead gives it), the state's own then holding other samples.
    static double history[history_len];
    std::memcpy(history, a.analysis.history, sizeof history);
    if (round % 2 == 1)
        for (double& x : a.analysis.history) x = gen.sample(round);
    k.quantise_and_analyse(q.job(), a.rates, round % 2 == 1 ? history : a.analysis.history, &a.analysis);
    if (auto r = same_quantiser(q, q_expected); !r) return r;
    return same_analysis(a.analysis, a_expected);
}

// The search on both oracles: the same taps, steps and cost.
testing::AssertionResult check_search(const kernel_table& k, random_inputs& gen, int round) {
    double weights[band_count];
    for (double& w : weights) w = round % 50 == 0 ? 0.0 : (gen.next() % 5 == 0 ? 0.0 : std::abs(gen.uniform()) * 0.2);
    search_state candidate;
    reset_search(&candidate);
    for (int t = 1; t < filter_order; ++t) candidate.taps[t] = gen.uniform() * (round % 4);
    search_state expected = candidate;
    const search_result r_expected = search_block(reference_kernels(), weights, &expected);
    const search_result r_candidate = search_block(k, weights, &candidate);
    if (auto r = same_bits(&r_candidate.cost, &r_expected.cost, 1); !r) return r << " (cost)";
    if (auto r = same_bits(candidate.taps, expected.taps, max_taps); !r) return r << " (taps)";
    return same_bytes(&r_candidate.steps, &r_expected.steps, sizeof r_expected.steps, "step records");
}

struct kernel_check {
    const char* stage;
    int rounds;
    testing::AssertionResult (*round)(const kernel_table& candidate, random_inputs& gen, int round);
};

const kernel_check kernel_checks[] = {
    {"noise costs", 20000, check_costs},
    {"analysis", 1000, check_analysis},
    {"threshold", 1000, check_threshold},
    {"quantiser", 3000, check_quantiser},
    {"quantiser with the next analysis", 500, check_quantise_and_analyse},
    {"search", 300, check_search},
};

TEST(Kernels, EveryLevelMatchesTheReferenceStageByStage) {
    for (kernel_level level : vector_levels_here()) {
        const kernel_table& kernels = kernels_for(level);
        ASSERT_EQ(kernels.level, level);
        for (const kernel_check& check : kernel_checks) {
            random_inputs gen(static_cast<std::uint64_t>(level) * 101 + check.rounds);
            for (int round = 0; round < check.rounds; ++round) {
                const testing::AssertionResult result = check.round(kernels, gen, round);
                if (!result) {
                    ADD_FAILURE() << level_name(level) << ", " << check.stage << ", round " << round << ": "
                                  << result.message();
                    break;
                }
            }
        }
    }
}

// Whole conversions through the pipeline, block by block: the report, the
// output bytes and every part of the state.
void convert_both_ways(const kernel_table& candidate_kernels, example_kind kind, std::uint32_t rate_hz,
                       double seconds) {
    const std::vector<std::int16_t> signal = make_example_signal(kind, rate_hz, seconds);
    const int blocks = static_cast<int>(signal.size() / block_len);
    auto samples_of = [&](int n, double* out) {
        for (int i = 0; i < block_len; ++i) out[i] = signal[n * block_len + i] * sample_scale;
    };
    static converter_state candidate, reference;
    start_conversion(&candidate, candidate_kernels, rate_hz);
    start_conversion(&reference, reference_kernels(), rate_hz);
    double samples[block_len];
    samples_of(0, samples);
    start_blocks(&candidate, samples);
    start_blocks(&reference, samples);
    for (int n = 0; n < blocks; ++n) {
        block_report r_candidate{}, r_reference{};
        ASSERT_EQ(search_taps(&candidate, n, &r_candidate), search_taps(&reference, n, &r_reference));
        ASSERT_TRUE(same_bytes(&r_candidate, &r_reference, sizeof r_reference, "reports")) << "block " << n;
        const bool last = n + 1 == blocks;
        if (!last) samples_of(n + 1, samples);
        quantise_and_analyse_next(&candidate, last ? nullptr : samples);
        quantise_and_analyse_next(&reference, last ? nullptr : samples);
        ASSERT_TRUE(same_bytes(candidate.out_bytes, reference.out_bytes, block_len, "output bytes")) << "block " << n;
        ASSERT_TRUE(same_analysis(candidate.analysis, reference.analysis)) << "block " << n;
        ASSERT_TRUE(same_bytes(candidate.analysis.history, reference.analysis.history, sizeof reference.analysis.history,
                               "histories"));
        ASSERT_TRUE(same_bits(candidate.search.taps, reference.search.taps, max_taps)) << "block " << n;
        ASSERT_TRUE(same_bits(candidate.delay_line, reference.delay_line, max_taps)) << "block " << n;
        ASSERT_EQ(candidate.dither_state, reference.dither_state);
    }
}

TEST(Kernels, EveryLevelConvertsWholeSignalsAsTheReference) {
    const example_kind kinds[] = {example_kind::music, example_kind::bursts, example_kind::chirp,
                                  example_kind::noise};
    const std::uint32_t rates[] = {8000, 22050, 44100, 48000};
    for (kernel_level level : vector_levels_here()) {
        SCOPED_TRACE(level_name(level));
        const kernel_table candidate = select_kernels(level);
        for (int r = 0; r < 4; ++r) {
            SCOPED_TRACE(rates[r]);
            convert_both_ways(candidate, kinds[r], rates[r], 0.6);
        }
    }
}

// ---- the choice of level --------------------------------------------------------

TEST(KernelChoice, TheReferenceIsEverywhereAndEachLevelsTableIsMadeOnce) {
    EXPECT_TRUE(machine_has(kernel_level::reference));
    EXPECT_TRUE(machine_has(best_level()));
    const kernel_table reference = select_kernels(kernel_level::reference);
    EXPECT_EQ(reference.cost_narrow.run, nullptr);
    EXPECT_EQ(reference.cost_wide.run, nullptr);
    EXPECT_EQ(best_kernels().level, best_level());
    EXPECT_EQ(&best_kernels(), &kernels_for(best_level()));
    EXPECT_EQ(kernels_for(kernel_level::reference).level, kernel_level::reference);
    for (kernel_level level : vector_levels_here()) {
        EXPECT_EQ(&kernels_for(level), &kernels_for(level)) << level_name(level);
        const kernel_table table = select_kernels(level);
        EXPECT_EQ(table.level, level);
        EXPECT_NE(table.cost_narrow.run, nullptr) << level_name(level);
        EXPECT_TRUE(!table.wide_pays || table.cost_wide.run != nullptr) << level_name(level);
    }
}

// Sets PCMTAPER_KERNELS for this process and the programs it starts; null unsets it.
void set_kernels_variable(const char* name) {
#ifdef _WIN32
    _putenv_s("PCMTAPER_KERNELS", name != nullptr ? name : "");  // an empty value removes it
#else
    if (name != nullptr) setenv("PCMTAPER_KERNELS", name, 1);
    else unsetenv("PCMTAPER_KERNELS");
#endif
}

// The program with PCMTAPER_KERNELS set to `name`, on an input that does not exist.
fixtures::run_result run_with_kernels(const char* name) {
    set_kernels_variable(name);
    const fixtures::run_result run = fixtures::run_command(fixtures::program_command() + " missing.wav 2>&1");
    set_kernels_variable(nullptr);
    return run;
}

TEST(KernelChoice, EnvironmentForcesALevelOrIsRefused) {
    for (const kernel_level_name& entry : kernel_level_names) {
        const fixtures::run_result run = run_with_kernels(entry.name);
        if (machine_has(entry.level)) {
            // Accepted: the run goes on to the input, which is missing.
            EXPECT_EQ(run.exit_code, 1) << entry.name;
        } else {
            EXPECT_EQ(run.exit_code, 11) << entry.name;
            EXPECT_EQ(run.out,
                      "pcmtaper: the kernel level " + std::string(entry.name) + " is not available on this machine\n");
        }
    }
    for (const char* unknown : {"avx3", "auto", ""}) {
#ifdef _WIN32
        // Windows has no empty environment variable: setting one removes it.
        if (*unknown == '\0') continue;
#endif
        const fixtures::run_result run = run_with_kernels(unknown);
        EXPECT_EQ(run.exit_code, 11) << unknown;
        EXPECT_EQ(run.out, "pcmtaper: unknown kernel level " + std::string(unknown) + "\n");
    }

    // A conversion is refused before it opens anything, with exit code 11;
    // the help and the banner need no kernels.
    set_kernels_variable("SSE2");
    const fixtures::run_result run = fixtures::run_command(fixtures::program_command() + " missing.wav 2>&1");
    const int help_exit_code = fixtures::run_command(fixtures::program_command() + " --help").exit_code;
    set_kernels_variable(nullptr);
    EXPECT_EQ(run.exit_code, 11);
    EXPECT_EQ(run.out, "pcmtaper: unknown kernel level SSE2\n");
    EXPECT_EQ(help_exit_code, 0);
}

}  // namespace
