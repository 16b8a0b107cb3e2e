// The input stage's float mean of a frame (rounded once from the exact sum)
// against MPFR, on frames built to be hard.
#include <gtest/gtest.h>
#include <mpfr.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "input/float_mean.h"

namespace {

// MPFR's exponent range for a scope.
struct exponent_range {
    const mpfr_exp_t saved_min = mpfr_get_emin(), saved_max = mpfr_get_emax();
    exponent_range(mpfr_exp_t low, mpfr_exp_t high) { mpfr_set_emin(low), mpfr_set_emax(high); }
    ~exponent_range() { mpfr_set_emin(saved_min), mpfr_set_emax(saved_max); }
};

bool same_double(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (a == 0 && b == 0); }

// Frames a sum in doubles gets wrong, each a way it does: ties, values just
// above and below them, cancellation, magnitudes far apart, subnormal means,
// overflowing sums. Then random frames of one kind each: audio-like doubles,
// 32-bit floats, the whole range, subnormal means, overflowing sums, few
// significant bits far apart (exact ties); half of them with a value
// cancelled by its negation.
TEST(FloatMeanAgainstMpfr, HardAndRandomFramesRoundOnce) {
    const double max = std::numeric_limits<double>::max(), tiny = std::numeric_limits<double>::denorm_min();
    const std::vector<std::vector<double>> hard = {
        {4, 2, 0x3p-52}, {4, 4, 0x1p-50, 0x1p-1000}, {0x1p-50, 4, -0x1p-1000, 4}, {-4, -4, -0x1p-50, -0x1p-1000},
        {1e300, 0.75, -1e300}, {1, 0x1p-80, -1}, {0x1p-1000, 1e300, 0x1p-1050, -1e300, 0x3p-1050},
        {0.1, 0.2, 0.3, -0.6}, {3 * tiny, 0, 0}, {4 * tiny, 0, 0}, {9 * tiny, 1, -1}, {max, max}, {max, max, -max},
        {0x1p-1021, tiny}, {0x1p-1021 + 0x1p-1073, tiny}};  // an odd sum where the doubles are even
    std::mt19937_64 g(2024);
    const exponent_range unbounded(mpfr_get_emin_min(), mpfr_get_emax_max());
    mpfr_t sum, mean;
    mpfr_init2(sum, 2200);  // every double is a multiple of 2^-1074; 64 of them sum below 2^1030
    mpfr_init2(mean, 53);
    for (std::size_t trial = 0; trial < hard.size() + 60000; ++trial) {
        const int kind = trial % 6;
        const int low[] = {-2, -40, -1074, -1074, 1015, -60}, high[] = {1, 1, 1023, -1000, 1023, 60};
        std::vector<double> v(trial < hard.size() ? 0 : 1 + g() % 64);
        for (double& x : v) {
            const int e = low[kind] + static_cast<int>(g() % (high[kind] - low[kind] + 1));
            const double m = kind == 5 ? 1.0 + static_cast<double>(g() % 4) : std::ldexp(static_cast<double>(g() >> 11), -53);
            x = (g() & 1 ? -1 : 1) * std::ldexp(m, e);
            if (kind == 1) x = static_cast<float>(x);
        }
        if (v.size() >= 3 && g() % 2 == 0) v.back() = -v[0];
        if (trial < hard.size()) v = hard[trial];
        const int n = static_cast<int>(v.size());
        mpfr_set_zero(sum, 1);
        for (double x : v) ASSERT_EQ(mpfr_add_d(sum, sum, x, MPFR_RNDN), 0);  // exact
        // One rounding: to 53 bits in the unbounded range, then to binary64's
        // range and subnormals, the ternary value keeping the two steps one.
        const int t = mpfr_div_ui(mean, sum, 2 * n, MPFR_RNDN);
        double expected;
        {
            const exponent_range binary64(-1073, 1024);
            mpfr_subnormalize(mean, mpfr_check_range(mean, t, MPFR_RNDN), MPFR_RNDN);
            expected = mpfr_get_d(mean, MPFR_RNDN);
        }
        ASSERT_TRUE(same_double(pcmtaper::float_frame_mean(v.data(), n), expected)) << "trial " << trial;
        ASSERT_TRUE(same_double(pcmtaper::float_frame_mean_exact(v.data(), n), expected)) << "trial " << trial;
    }
    mpfr_clears(sum, mean, static_cast<mpfr_ptr>(nullptr));
}

}  // namespace
