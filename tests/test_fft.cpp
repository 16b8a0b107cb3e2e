// fft1 against a naive DFT, its impulse responses, both directions and both size errors.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "dsp/fft.h"

namespace {

using namespace pcmtaper;

TEST(Fft, MatchesNaiveDftInBothDirections) {
    for (int n : {2, 4, 8, 32, 256}) {
        std::vector<double> re(n), im(n);
        for (int j = 0; j < n; ++j) {
            re[j] = std::sin(0.37 * j) + 0.25 * (j % 3);
            im[j] = std::cos(1.3 * j) * 0.5;
        }
        for (int flag : {0, 1}) {
            std::vector<double> fr = re, fi = im;
            fft1(fr.data(), fi.data(), n, 0, flag);
            const double sign = flag ? 1.0 : -1.0;
            const double scale = flag ? 1.0 / std::sqrt(double(n)) : 1.0;
            for (int m = 0; m < n; ++m) {
                std::complex<long double> sum = 0;
                for (int j = 0; j < n; ++j) {
                    const long double angle = sign * 2.0L * 3.14159265358979323846L * j * m / n;
                    sum += std::complex<long double>(re[j], im[j]) *
                           std::complex<long double>(std::cos(angle), std::sin(angle));
                }
                EXPECT_NEAR(fr[m], double(sum.real()) * scale, 1e-12 * n) << n << " " << m;
                EXPECT_NEAR(fi[m], double(sum.imag()) * scale, 1e-12 * n) << n << " " << m;
            }
        }
    }
}

TEST(Fft, TwoPointsGiveSumAndDifferenceExactly) {
    double re[2] = {3.5, -1.25}, im[2] = {0.5, 2.0};
    fft1(re, im, 2, 0, 0);
    EXPECT_EQ(re[0], 2.25);
    EXPECT_EQ(re[1], 4.75);
    EXPECT_EQ(im[0], 2.5);
    EXPECT_EQ(im[1], -1.5);
}

TEST(Fft, ImpulsesAtZeroAndOne) {
    const int n = 32;
    double re[n] = {1.0}, im[n] = {};
    fft1(re, im, n, 0, 0);
    for (int m = 0; m < n; ++m) {
        EXPECT_EQ(re[m], 1.0);
        EXPECT_EQ(im[m], 0.0);
    }
    double re1[n] = {0.0, 1.0}, im1[n] = {};
    fft1(re1, im1, n, 0, 0);
    for (int m = 0; m < n; ++m) {
        EXPECT_NEAR(re1[m], std::cos(-2 * std::numbers::pi * m / n), 1e-15);
        EXPECT_NEAR(im1[m], std::sin(-2 * std::numbers::pi * m / n), 1e-15);
    }
}

TEST(Fft, ForwardThenBackwardScalesBySqrtN) {
    const int n = 256;
    double re[n], im[n];
    for (int j = 0; j < n; ++j) {
        re[j] = (j * 7919 % 101) / 100.0 - 0.5;
        im[j] = 0.0;
    }
    double r0[n], i0[n];
    std::copy(re, re + n, r0);
    std::copy(im, im + n, i0);
    fft1(re, im, n, 0, 0);
    fft1(re, im, n, 0, 1);
    for (int j = 0; j < n; ++j) {
        EXPECT_NEAR(re[j], 16.0 * r0[j], 1e-12);
        EXPECT_NEAR(im[j], 16.0 * i0[j], 1e-12);
    }
}

TEST(Fft, BadSizesAreRefusedSilentlyAndLeaveArraysAlone) {
    double re[128], im[128];
    for (int i = 0; i < 128; ++i) re[i] = im[i] = i;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    for (int n : {1, 0, -4, 3, 6, 100}) EXPECT_FALSE(fft1(re, im, n, 0, 0)) << n;
    EXPECT_FALSE(fft1(re, im, 8, 4, 0));
    EXPECT_FALSE(fft1(re, im, 8, 31, 0));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // the library never prints
    for (int i = 0; i < 128; ++i) {
        ASSERT_EQ(re[i], i);
        ASSERT_EQ(im[i], i);
    }
    EXPECT_TRUE(fft1(re, im, 8, 3, 0));
    EXPECT_EQ(re[0], 28.0);  // 0 + 1 + ... + 7
}

}  // namespace
