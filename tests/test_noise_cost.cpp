// Weighted noise cost: its floor, its flat response, a first difference, zero
// weights, and what it reads.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "shaping/shaping.h"

namespace {

using namespace pcmtaper;

const double nan_value = std::numeric_limits<double>::quiet_NaN();

// Weights with a single 1 at band k: the cost is that bin's floored magnitude.
struct unit_weights {
    double w[16] = {};
    explicit unit_weights(int k) { w[k] = 1.0; }
};

const double varied_weights[16] = {0.5, 2.0, 0.125, 3.0, 1.0, 0.75, 4.5, 0.25,
                                   1.5, 0.0625, 2.5, 1.0, 0.375, 6.0, 0.5, 1.25};

double sum_of(const double* w) {
    double sum = 0.0;
    for (int i = 0; i < 16; ++i) sum += w[i];
    return sum;
}

TEST(NoiseCost, CountZeroCostsPointSixPerUnitOfWeight) {
    double taps[32];
    for (double& t : taps) t = nan_value;  // count 0 reads none of them
    for (int k = 0; k < 16; ++k) EXPECT_EQ(noise_cost(unit_weights(k).w, taps, 0), 0.6) << k;
    EXPECT_DOUBLE_EQ(noise_cost(varied_weights, taps, 0), 0.6 * sum_of(varied_weights));
}

// A flat response of magnitude 1 costs sqrt(1.36) per unit of weight. The
// floor is added to the squared magnitude in double, and 1 + 0.36 rounds to
// 1.3599999999999999, one unit in the last place below the double 1.36; so each
// bin costs 1.16619037896906, one unit below sqrt(1.36) = 1.1661903789690602.
TEST(NoiseCost, FlatTapsCostSqrtOf1Point36TimesTheWeights) {
    const double flat_bin_cost = 1.16619037896906;
    double taps[32] = {1.0};
    for (int count : {1, 2, 8, 32}) {
        for (int k = 0; k < 16; ++k)
            EXPECT_EQ(noise_cost(unit_weights(k).w, taps, count), flat_bin_cost) << count << " " << k;
        EXPECT_DOUBLE_EQ(noise_cost(varied_weights, taps, count),
                         1.1661903789690602 * sum_of(varied_weights));
    }
}

TEST(NoiseCost, FirstDifferenceHasTwoSineResponse) {
    const double taps[2] = {1.0, -1.0};
    EXPECT_EQ(noise_cost(unit_weights(0).w, taps, 2), 0.6);
    for (int k = 0; k < 16; ++k) {
        const double magnitude = 2.0 * std::sin(std::numbers::pi * k / 32);
        EXPECT_NEAR(noise_cost(unit_weights(k).w, taps, 2), std::sqrt(magnitude * magnitude + 0.36), 1e-15)
            << k;
    }
}

TEST(NoiseCost, ZeroWeightsCostNothingWhateverTheTaps) {
    const double zero_weights[16] = {};
    const double taps[8] = {1.0, -3.5, 7.25, 100.0, -0.001, 42.0, -1e6, 0.5};
    for (int count = 0; count <= 8; ++count) EXPECT_EQ(noise_cost(zero_weights, taps, count), 0.0) << count;
}

TEST(NoiseCost, ReadsNoTapPastCountAndNoWeightPastSixteen) {
    double weights[32];
    for (int i = 0; i < 32; ++i) weights[i] = i < 16 ? varied_weights[i] : nan_value;
    for (int count = 1; count <= 32; ++count) {
        double padded_with_nan[32], padded_with_zero[32];
        for (int i = 0; i < 32; ++i) {
            const double tap = 0.1 * ((i * 13) % 7 - 3) + (i == 0 ? 1.0 : 0.0);
            padded_with_nan[i] = i < count ? tap : nan_value;
            padded_with_zero[i] = i < count ? tap : 0.0;
        }
        const double cost = noise_cost(weights, padded_with_nan, count);
        EXPECT_TRUE(std::isfinite(cost)) << count;
        EXPECT_EQ(cost, noise_cost(weights, padded_with_zero, 32)) << count;
    }
}

}  // namespace
