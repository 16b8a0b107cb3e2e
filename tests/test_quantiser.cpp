// The dither generator, the rounding to output steps and the error feedback.
#include <gtest/gtest.h>

#include <cmath>

#include "internal/constants.h"
#include "pipeline/pipeline.h"
#include "quant/quant.h"

namespace {

using namespace pcmtaper;

// A quantiser at the start of a conversion: silence, reset taps and delay
// line, the dither generator at its start. quantise_block runs the reference
// on history[0..31] (the kernel levels are compared with it in test_kernels.cpp).
struct quantiser_fixture {
    double history[history_len] = {};
    double coef[max_taps] = {1.0};
    double err_state[max_taps] = {};
    std::uint32_t dither_state = dither_start_state;
    std::uint8_t out_bytes[block_len] = {};
};

quantiser_fixture reset_state() { return {}; }

void quantise_block(quantiser_fixture* s) {
    quantise_block_reference({s->history, s->coef, filter_order, s->err_state, &s->dither_state, s->out_bytes, false});
}

TEST(Dither, FirstDrawsOfAConversion) {
    std::uint32_t generator = dither_start_state;
    EXPECT_EQ(dither_rand(&generator), 130);
    EXPECT_EQ(dither_rand(&generator), 10982);
    EXPECT_EQ(dither_rand(&generator), 1090);
    EXPECT_EQ(dither_rand(&generator), 11656);

    // A conversion that has drawn leaves the generator elsewhere; starting the
    // next conversion in the same state restarts it (the same bytes as a new process).
    static converter_state s;
    const double silence[block_len] = {};
    start_conversion(&s, best_kernels(), 44100.0);
    start_blocks(&s, silence);
    search_taps(&s, 0, nullptr);
    quantise_and_analyse_next(&s, nullptr);
    EXPECT_NE(s.dither_state, dither_start_state);
    start_conversion(&s, best_kernels(), 44100.0);
    EXPECT_EQ(s.dither_state, dither_start_state);
}

TEST(Dither, StaysBelowHalfAStepAndIsNegativeOnlyForDrawZero) {
    EXPECT_LT(add_dither(0.0, 0, false), 0.0);
    EXPECT_GT(add_dither(0.0, 1, false), 0.0);
    EXPECT_NEAR(add_dither(0.0, 32767, false) * 256.0, 0.4110, 1e-4);
    EXPECT_EQ(add_dither(0.0, 32767, false) * 256.0 < 0.5, true);
}

TEST(Rounding, HalvesGoUpAndTheLimitIs126) {
    EXPECT_EQ(quantise_to_step(2.5 / 256), 3);
    EXPECT_EQ(quantise_to_step(-2.5 / 256), -2);
    EXPECT_EQ(quantise_to_step(0.0), 0);
    EXPECT_EQ(quantise_to_step(126.49 / 256), 126);
    EXPECT_EQ(quantise_to_step(126.5 / 256), 126);
    EXPECT_EQ(quantise_to_step(32767.0 / 65536), 126);
    EXPECT_EQ(quantise_to_step(-0.5), -126);
    EXPECT_EQ(quantise_to_step(-126.5 / 256), -126);
}

TEST(Rounding, ASumJustBelowAHalfStepIsNotRoundedOntoIt) {
    // 256 v + 128.5 = 131 - 2^-50: a double sum would round to 131 and give 3.
    const double v = (2.5 - std::ldexp(1.0, -50)) / 256;
    EXPECT_EQ(quantise_to_step(v), 2);
    const double w = (-2.5 - std::ldexp(1.0, -50)) / 256;
    EXPECT_EQ(quantise_to_step(w), -3);
}

TEST(QuantiseBlock, SilenceIsZeroLevelWhateverTheTaps) {
    quantiser_fixture s = reset_state();
    s.coef[1] = 0.7;
    s.coef[7] = -0.3;
    for (int block = 0; block < 3; ++block) {
        quantise_block(&s);
        for (int j = 0; j < block_len; ++j) ASSERT_EQ(s.out_bytes[j], 128);
    }
    for (double e : s.err_state) EXPECT_EQ(e, 0.0);
}

TEST(QuantiseBlock, ExtremesAndAHalfStep) {
    quantiser_fixture s = reset_state();
    s.history[0] = 32767 * sample_scale;
    s.history[1] = -0.5;
    s.history[2] = 0.25;  // 16384
    quantise_block(&s);
    EXPECT_EQ(s.out_bytes[0], 254);
    EXPECT_EQ(s.out_bytes[1], 2);
    EXPECT_EQ(s.out_bytes[2], 192);

    // Half a step (sample 128): 129 for every draw but 0, which gives 128.
    s = reset_state();
    for (int j = 0; j < block_len; ++j) s.history[j] = 1.0 / 512;
    quantise_block(&s);
    for (int j = 0; j < block_len; ++j) EXPECT_EQ(s.out_bytes[j], 129);
}

TEST(QuantiseBlock, ErrorFeedsBackThroughTheTapsInAscendingOrder) {
    quantiser_fixture s = reset_state();
    const double c[4] = {1.0, 0.5, -0.25, 0.375};
    for (int k = 1; k < 4; ++k) s.coef[k] = c[k];
    // Silence until sample 30, so the delay line is still zero there.
    s.history[30] = 1.0 / 512;  // half a step: byte 129, error -1/512
    s.history[31] = 1.0 / 512;  // target 1/512 + 1/1024: byte 129, error -1/1024
    quantise_block(&s);
    EXPECT_EQ(s.out_bytes[29], 128);
    EXPECT_EQ(s.out_bytes[30], 129);
    EXPECT_EQ(s.out_bytes[31], 129);
    const double e30 = -1.0 / 512, e31 = -1.0 / 1024;
    // Each entry takes its upper neighbour from before sample 31's update.
    EXPECT_EQ(s.err_state[1], e30 * c[2] + e31 * c[1]);
    EXPECT_EQ(s.err_state[2], e30 * c[3] + e31 * c[2]);
    EXPECT_EQ(s.err_state[3], e31 * c[3]);
    EXPECT_EQ(s.err_state[2], -0.5 / 1024);
    for (int k = 4; k < max_taps; ++k) EXPECT_EQ(s.err_state[k], 0.0);
}

TEST(QuantiseBlock, FedBackErrorIsClampedAfterTheStepClamp) {
    quantiser_fixture s = reset_state();
    s.coef[1] = 1.0;
    s.err_state[1] = -0.2;          // target 0.2 + 0.49998: q clamps at 126
    s.history[0] = 32767 * sample_scale;
    s.history[1] = 0.0;
    quantise_block(&s);
    EXPECT_EQ(s.out_bytes[0], 254);
    // e = 0.69998 - 126/256 is clamped to 0.05, then err[1] = err[2] + 0.05 * 1.
    // Sample 1: target -0.05 is -12.8 steps, dither < 0.42 step: q = -13.
    EXPECT_EQ(s.out_bytes[1], 128 - 13);
}

TEST(QuantiseBlock, DrawsTheDitherOncePerSample) {
    quantiser_fixture s = reset_state();
    quantise_block(&s);
    EXPECT_EQ(s.dither_state, [] {
        std::uint32_t g = dither_start_state;
        for (int i = 0; i < block_len; ++i) dither_rand(&g);
        return g;
    }());
}

}  // namespace
