// The fast path against the plain formulas, bit for bit: every cost kernel on
// random and extreme taps, the 256-point magnitudes, the search, the
// quantiser, and whole conversions of generated audio block by block.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "dsp/fft.h"
#include "model/model.h"
#include "quant/quant.h"
#include "shaping/shaping.h"
#include "signals.h"

namespace {

std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Equal bit for bit (any two NaNs count as equal: a NaN cost never wins a
// comparison, whatever its payload).
::testing::AssertionResult same_bits(double fast, double plain) {
    if (bits_of(fast) == bits_of(plain) || (std::isnan(fast) && std::isnan(plain)))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << std::hexfloat << fast << " != " << plain;
}

std::vector<cost_kernel> supported_kernels() {
    std::vector<cost_kernel> kernels;
    for (cost_kernel k : all_cost_kernels)
        if (cost_kernel_supported(k)) kernels.push_back(k);
    return kernels;
}

// Taps and weights of every kind the search can meet, and some it cannot.
class random_taps {
  public:
    explicit random_taps(std::uint64_t seed) : rng_(seed) {}

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
        for (int k = 1; k < batch_taps; ++k) taps[k] = rng_() % 4 == 0 ? 0.0 : tap();
    }

    double uniform() { return std::uniform_real_distribution<double>(-1.0, 1.0)(rng_); }
    std::uint64_t next() { return rng_(); }

  private:
    std::mt19937_64 rng_;
};

TEST(FastCost, EveryKernelMatchesThePlainCostOnRandomAndExtremeTaps) {
    constexpr int sets_per_kernel = 100000;
    for (cost_kernel kernel : supported_kernels()) {
        SCOPED_TRACE(cost_kernel_name(kernel));
        const int lanes = cost_kernel_lanes(kernel);
        random_taps gen(static_cast<std::uint64_t>(kernel) + 11);
        double weights[band_count];
        double sets[batch_max_sets][batch_taps];
        alignas(64) double by_tap[batch_taps * batch_max_sets];
        double costs[batch_max_sets];
        int mismatches = 0;
        for (int done = 0; done < sets_per_kernel; done += lanes) {
            for (double& w : weights) w = gen.weight();
            for (int l = 0; l < lanes; ++l) {
                gen.fill_set(sets[l]);
                for (int k = 0; k < batch_taps; ++k) by_tap[k * lanes + l] = sets[l][k];
            }
            run_cost_kernel(kernel, weights, by_tap, lanes, costs);
            for (int l = 0; l < lanes && mismatches < 5; ++l)
                if (!same_bits(costs[l], noise_cost(weights, sets[l], batch_taps))) {
                    ++mismatches;
                    ADD_FAILURE() << "set " << done + l << ": "
                                  << same_bits(costs[l], noise_cost(weights, sets[l], batch_taps)).message();
                }
        }
        EXPECT_EQ(mismatches, 0);
    }
}

TEST(FastCost, EdgeSetsAndBatchSizes) {
    const double flat[batch_taps] = {1.0};
    const double signed_zeros[batch_taps] = {1.0, -0.0, 0.0, -0.0, -0.0, 0.0, -0.0, -0.0};
    const double largest[batch_taps] = {1.0, 1e300, -1e300, 1e300, -1e300, 1e300, -1e300, 1e300};
    const double smallest[batch_taps] = {1.0, 5e-324, -5e-324, 1e-310, 0.0, -1e-320, 4e-320, -0.0};
    const double* edges[] = {flat, signed_zeros, largest, smallest};
    double weights[band_count];
    for (int i = 0; i < band_count; ++i) weights[i] = 1.0 / (i + 1);
    for (cost_kernel kernel : supported_kernels()) {
        SCOPED_TRACE(cost_kernel_name(kernel));
        limit_cost_kernels(kernel);
        for (int count = 1; count <= batch_max_sets; ++count) {
            double sets[batch_max_sets][batch_taps];
            for (int s = 0; s < count; ++s) std::memcpy(sets[s], edges[s % 4], sizeof sets[s]);
            double costs[batch_max_sets];
            noise_cost_batch(weights, sets, count, costs);
            for (int s = 0; s < count; ++s)
                EXPECT_TRUE(same_bits(costs[s], noise_cost(weights, sets[s], batch_taps))) << count << " " << s;
        }
    }
    limit_cost_kernels(cost_kernel::avx512);
    // The flat filter costs sqrt(1 + 0.36) per unit of weight, from the same
    // rounded sum 1.3599999999999999 whichever way it is computed.
    double costs[1];
    noise_cost_batch(weights, reinterpret_cast<const double(*)[batch_taps]>(flat), 1, costs);
    double expected = 0.0;
    for (double w : weights) expected = expected + w * std::sqrt(1.0 + 0.36);
    EXPECT_TRUE(same_bits(costs[0], expected));
}

TEST(FastTransform, MagnitudesOfBins0To127MatchFft1) {
    random_taps gen(5);
    for (int round = 0; round < 2000; ++round) {
        double x[256], re[256], im[256] = {};
        for (int i = 0; i < 256; ++i) x[i] = round % 3 == 0 ? gen.uniform() * 0.5 : gen.tap();
        if (round == 0) std::fill(x, x + 256, 0.0);
        std::memcpy(re, x, sizeof re);
        fft1(re, im, 256, 0, 0);
        double magnitude[128];
        fft256_real_lower_magnitudes(x, magnitude);
        for (int m = 0; m < 128; ++m)
            ASSERT_TRUE(same_bits(magnitude[m], std::sqrt(re[m] * re[m] + im[m] * im[m])))
                << "round " << round << " bin " << m;
    }
}

TEST(FastTransform, TwiddleTablesHoldTheCallsOfFft1) {
    // An impulse at 1 runs every twiddle of every stage through fft1; the
    // table-driven magnitudes must agree on it exactly (checked above on
    // random input); here the tables themselves against cos and sin.
    const forward_twiddles& t = twiddles_32();
    double theta = -3.141592653589793 / 32;
    int offset = 0;
    for (int span = 32; span >= 2; span /= 2) {
        theta = 2.0 * theta;
        for (int j = 0; j < span / 2; ++j) {
            EXPECT_EQ(bits_of(t.wr[offset + j]), bits_of(std::cos(j * theta)));
            EXPECT_EQ(bits_of(t.wi[offset + j]), bits_of(std::sin(j * theta)));
        }
        offset += span / 2;
    }
    EXPECT_EQ(offset, 31);
}

TEST(FastSearch, SameTapsStepsAndCostAsThePlainSearch) {
    random_taps gen(9);
    for (cost_kernel kernel : supported_kernels()) {
        SCOPED_TRACE(cost_kernel_name(kernel));
        limit_cost_kernels(kernel);
        for (int round = 0; round < 300; ++round) {
            shaper_state fast, plain;
            init_state(&fast);
            for (double& w : fast.band_weight) w = gen.next() % 5 == 0 ? 0.0 : std::abs(gen.uniform()) * 0.2;
            if (round % 50 == 0)  // no gradient anywhere: no trial in either phase
                for (double& w : fast.band_weight) w = 0.0;
            for (int k = 1; k < filter_order; ++k) fast.coef[k] = gen.uniform() * (round % 4);
            fast.block_index = 4;  // no report
            for (int p = 0; p < fine_pass_max; ++p) fast.step_lo[p] = 32, fast.step_hi[p] = 0;
            plain = fast;
            const double fast_cost = optimize_filter_fast(&fast);
            const double plain_cost = optimize_filter_plain(&plain);
            ASSERT_TRUE(same_bits(fast_cost, plain_cost)) << round;
            for (int k = 0; k < max_taps; ++k) ASSERT_EQ(bits_of(fast.coef[k]), bits_of(plain.coef[k])) << round;
            for (int p = 0; p < fine_pass_max; ++p) {
                ASSERT_EQ(fast.step_lo[p], plain.step_lo[p]) << round;
                ASSERT_EQ(fast.step_hi[p], plain.step_hi[p]) << round;
            }
        }
    }
    limit_cost_kernels(cost_kernel::avx512);
}

TEST(FastQuantiser, SameBytesAndDelayLineAsThePlainQuantiser) {
    random_taps gen(3);
    shaper_state fast;
    init_state(&fast);
    for (int k = 1; k < filter_order; ++k) fast.coef[k] = gen.uniform();
    shaper_state plain = fast;
    for (int block = 0; block < 3000; ++block) {
        for (int i = 0; i < history_len; ++i) {
            // Mostly audio-like values, some past full scale to reach the clamps.
            const double x = gen.uniform() * (block % 10 == 0 ? 1.5 : 0.5);
            fast.history[i] = plain.history[i] = x;
        }
        quantise_block_fast(&fast);
        quantise_block_plain(&plain);
        ASSERT_EQ(std::memcmp(fast.out_bytes, plain.out_bytes, block_len), 0) << block;
        for (int k = 0; k < max_taps; ++k) ASSERT_EQ(bits_of(fast.err_state[k]), bits_of(plain.err_state[k]));
        ASSERT_EQ(fast.dither_state, plain.dither_state);
    }
}

// Dithered values on, and a hair either side of, the half-steps where the
// rounding turns: the quick double rounding of the fast quantiser must hand
// these to the exact path.
TEST(FastQuantiser, ValuesAtTheRoundingBoundariesTakeTheExactPath) {
    shaper_state fast;
    init_state(&fast);  // reset taps: the delay line stays zero, target = sample
    shaper_state plain = fast;
    const double nudges[] = {0.0, 1e-17, -1e-17, 1e-13, -1e-13, 1e-10, -1e-10, 3e-9, -3e-9};
    int block = 0;
    for (int step = -130; step <= 130; ++step) {
        for (double nudge : nudges) {
            std::uint32_t generator = fast.dither_state;
            for (int j = 0; j < block_len; ++j) {
                const int r = dither_rand(&generator);
                // v = (step + 0.5) / 256 once the dither of draw r is added.
                const double x = (step + 0.5) / 256 - static_cast<double>(dither_offset(r)) + nudge;
                fast.history[j] = plain.history[j] = x;
            }
            quantise_block_fast(&fast);
            quantise_block_plain(&plain);
            ASSERT_EQ(std::memcmp(fast.out_bytes, plain.out_bytes, block_len), 0)
                << "step " << step << " nudge " << nudge;
            ++block;
        }
    }
    EXPECT_EQ(std::memcmp(&fast, &plain, sizeof fast), 0);
}

// Whole conversions, block by block: the taps, the mask, the band weights,
// the step records, the report and the output bytes of every block.
void convert_both_ways(example_kind kind, std::uint32_t rate_hz, double seconds) {
    const std::vector<std::int16_t> signal = make_example_signal(kind, rate_hz, seconds);
    shaper_state fast, plain;
    init_state(&fast);
    init_rate_tables(&fast, rate_hz);
    plain = fast;
    const int blocks = static_cast<int>(signal.size() / block_len);
    for (int n = 0; n < blocks; ++n) {
        for (int i = 0; i < block_len; ++i)
            fast.history[new_samples_at + i] = plain.history[new_samples_at + i] =
                signal[n * block_len + i] * 1.52587890625e-05;
        fast.block_index = plain.block_index = n & (report_every_blocks - 1);
        testing::internal::CaptureStdout();
        analyse_block_fast(&fast);
        for (int p = 0; p < fine_pass_max; ++p) fast.step_lo[p] = 32, fast.step_hi[p] = 0;
        optimize_filter_fast(&fast);
        quantise_block_fast(&fast);
        std::fflush(stdout);
        const std::string fast_report = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        analyse_block_plain(&plain);
        for (int p = 0; p < fine_pass_max; ++p) plain.step_lo[p] = 32, plain.step_hi[p] = 0;
        optimize_filter_plain(&plain);
        quantise_block_plain(&plain);
        std::fflush(stdout);
        ASSERT_EQ(fast_report, testing::internal::GetCapturedStdout()) << "block " << n;
        ASSERT_EQ(std::memcmp(&fast, &plain, sizeof fast), 0) << "block " << n;
    }
}

TEST(FastConversion, EveryBlockMatchesThePlainConversion) {
    const example_kind kinds[] = {example_kind::music, example_kind::bursts, example_kind::chirp,
                                  example_kind::noise};
    const std::uint32_t rates[] = {8000, 22050, 44100, 48000};
    for (cost_kernel kernel : supported_kernels()) {
        SCOPED_TRACE(cost_kernel_name(kernel));
        limit_cost_kernels(kernel);
        for (int r = 0; r < 4; ++r) {
            SCOPED_TRACE(rates[r]);
            convert_both_ways(kinds[r], rates[r], 0.6);
        }
    }
    limit_cost_kernels(cost_kernel::avx512);
}

}  // namespace

namespace {

// The overlapped block loop of the program (each block's quantiser together
// with the next block's analysis) against the plain steps one after the other.
TEST(FastConversion, OverlappedBlockLoopMatchesThePlainSteps) {
    const std::vector<std::int16_t> signal = make_example_signal(example_kind::bursts, 22050, 0.5);
    const int blocks = static_cast<int>(signal.size() / block_len);
    auto samples_of = [&](int n, double* out) {
        for (int i = 0; i < block_len; ++i) out[i] = signal[n * block_len + i] * 1.52587890625e-05;
    };
    shaper_state fast, plain;
    init_state(&fast);
    init_rate_tables(&fast, 22050);
    fast.block_index = plain.block_index = 4;  // no reports
    plain = fast;
    samples_of(0, fast.history + new_samples_at);
    analyse_block_fast(&fast);
    for (int n = 0; n < blocks; ++n) {
        search_block(&fast);
        double next[block_len];
        const bool last = n + 1 == blocks;
        if (!last) samples_of(n + 1, next);
        quantise_and_analyse_next_fast(&fast, last ? nullptr : next);

        samples_of(n, plain.history + new_samples_at);
        analyse_block_plain(&plain);
        for (int p = 0; p < fine_pass_max; ++p) plain.step_lo[p] = 32, plain.step_hi[p] = 0;
        optimize_filter_plain(&plain);
        quantise_block_plain(&plain);
        ASSERT_EQ(std::memcmp(fast.out_bytes, plain.out_bytes, block_len), 0) << "block " << n;
        ASSERT_EQ(std::memcmp(fast.coef, plain.coef, sizeof fast.coef), 0) << "block " << n;
        ASSERT_EQ(std::memcmp(fast.err_state, plain.err_state, sizeof fast.err_state), 0);
        if (!last) {
            // The fast state is one analysis ahead: bring the plain one level.
            samples_of(n + 1, plain.history + new_samples_at);
            shaper_state ahead = plain;
            analyse_block_plain(&ahead);
            ASSERT_EQ(std::memcmp(fast.mask, ahead.mask, sizeof fast.mask), 0) << "block " << n + 1;
            ASSERT_EQ(std::memcmp(fast.band_weight, ahead.band_weight, sizeof fast.band_weight), 0);
            ASSERT_EQ(std::memcmp(fast.history, ahead.history, sizeof fast.history), 0);
        }
    }
}

}  // namespace
