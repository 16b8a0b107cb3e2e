// The input stage's arithmetic against MPFR: the float mean of a frame
// (rounded once from the exact sum) on random frames built to be hard, and
// the gain factor's bits.
#include <gtest/gtest.h>
#include <mpfr.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "input/float_mean.h"
#include "input/input_stage.h"

namespace {

// Rounds `r` (53 bits, ternary value t, any exponent) as a double with its
// subnormals: MPFR's exponent range narrowed to binary64's for that step.
double to_double(mpfr_t r, int t) {
    const mpfr_exp_t emin = mpfr_get_emin(), emax = mpfr_get_emax();
    mpfr_set_emin(-1073);
    mpfr_set_emax(1024);
    t = mpfr_check_range(r, t, MPFR_RNDN);
    mpfr_subnormalize(r, t, MPFR_RNDN);
    const double d = mpfr_get_d(r, MPFR_RNDN);
    mpfr_set_emin(emin);
    mpfr_set_emax(emax);
    return d;
}

// (v[0] + ... + v[n-1]) / (2n): the sum exact at 2200 bits (every double is
// a multiple of 2^-1074, and 64 of them sum below 2^1030), one rounding.
double reference_mean(const std::vector<double>& v) {
    const mpfr_exp_t emin = mpfr_get_emin(), emax = mpfr_get_emax();
    mpfr_set_emin(mpfr_get_emin_min());
    mpfr_set_emax(mpfr_get_emax_max());
    mpfr_t sum, r;
    mpfr_init2(sum, 2200);
    mpfr_init2(r, 53);
    mpfr_set_zero(sum, 1);
    for (double x : v) EXPECT_EQ(mpfr_add_d(sum, sum, x, MPFR_RNDN), 0);  // exact
    const int t = mpfr_div_ui(r, sum, 2 * v.size(), MPFR_RNDN);
    mpfr_set_emin(emin);
    mpfr_set_emax(emax);
    const double d = to_double(r, t);
    mpfr_clears(sum, r, static_cast<mpfr_ptr>(nullptr));
    return d;
}

bool same_double(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (a == 0 && b == 0);
}

// Values of one kind per frame, each kind a way a plain sum goes wrong.
std::vector<double> hard_frame(std::mt19937_64& g, int kind, int n) {
    std::vector<double> v(n);
    auto random_double = [&](int exponent_low, int exponent_high) {
        const double m = std::ldexp(static_cast<double>(g() >> 11), -53);  // [0, 1), 53 bits
        const int e = exponent_low + static_cast<int>(g() % (exponent_high - exponent_low + 1));
        return (g() & 1 ? -1 : 1) * std::ldexp(m, e);
    };
    for (int i = 0; i < n; ++i) {
        switch (kind) {
            case 0: v[i] = random_double(-2, 1); break;                       // audio-like
            case 1: v[i] = static_cast<float>(random_double(-40, 1)); break;  // 32-bit floats
            case 2: v[i] = random_double(-1074, 1024); break;                 // the whole range
            case 3: v[i] = random_double(-1074, -1000); break;                // subnormal means
            case 4: v[i] = std::ldexp(static_cast<double>(g() % 64) - 32, -1074 + static_cast<int>(g() % 4)); break;
            case 5: v[i] = random_double(1015, 1024); break;                  // sums that overflow
            default:  // few significant bits far apart: exact ties of the mean
                v[i] = (g() & 1 ? -1.0 : 1.0) * std::ldexp(1.0 + static_cast<double>(g() % 4), static_cast<int>(g() % 120) - 60);
        }
    }
    // Cancellation: a value and its negation around the rest.
    if (n >= 3 && g() % 2 == 0) v[n - 1] = -v[0];
    return v;
}

TEST(FloatMeanAgainstMpfr, RandomHardFramesRoundOnce) {
    std::mt19937_64 g(2024);
    int checked = 0;
    for (int trial = 0; trial < 60000; ++trial) {
        const int n = 1 + static_cast<int>(g() % 64);
        std::vector<double> v = hard_frame(g, trial % 7, n);
        for (double& x : v)
            if (!std::isfinite(x)) x = std::numeric_limits<double>::max();
        const double expected = reference_mean(v);
        ASSERT_TRUE(same_double(pcmtaper::float_frame_mean(v.data(), n), expected)) << "trial " << trial;
        ASSERT_TRUE(same_double(pcmtaper::float_frame_mean_exact(v.data(), n), expected)) << "trial " << trial;
        ++checked;
    }
    EXPECT_EQ(checked, 60000);
}

TEST(GainFactorAgainstMpfr, IsTheCorrectlyRoundedPowerOfTen) {
    std::mt19937_64 g(6);
    std::vector<double> gains_db = {0.1, -0.1, 1, -1, 3, -3, 6, -6, 6.0206, -6.0206, 12, 0.5, 19.99, -60, -96, 96, 120};
    for (int i = 0; i < 2000; ++i) gains_db.push_back(std::ldexp(static_cast<double>(g() >> 11), -53) * 400 - 200);
    mpfr_t ten, exponent, r;
    mpfr_inits2(53, ten, exponent, r, static_cast<mpfr_ptr>(nullptr));
    mpfr_set_ui(ten, 10, MPFR_RNDN);
    for (double db : gains_db) {
        mpfr_set_d(exponent, db / 20.0, MPFR_RNDN);  // the factor's argument is the double db / 20
        const int t = mpfr_pow(r, ten, exponent, MPFR_RNDN);
        EXPECT_TRUE(same_double(pcmtaper::gain_factor_of_db(db), to_double(r, t))) << db;
    }
    mpfr_clears(ten, exponent, r, static_cast<mpfr_ptr>(nullptr));
}

}  // namespace
