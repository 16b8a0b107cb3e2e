// Block masking analysis: the smoothing of mask, the first block, the band
// weights, and the whole analysis against its closed form over bins 0..127.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "model/model.h"

namespace {

using namespace pcmtaper;

// The rate tables and the analysis state of a fresh conversion.
// (Never copied: the pointers lead into the object itself.)
struct analysed {
    rate_tables rates;
    analysis_state a;
    const double* quiet = rates.quiet;
    double* history = a.history;
    double* mask = a.mask;
    double* band_weight = a.band_weight;
    const double* spread_decay = rates.spread_decay;
    const double* spread_norm = rates.spread_norm;
    analysed() = default;
    analysed(const analysed&) = delete;
};

analysed* fresh_state(double sample_rate_hz) {
    static analysed state;
    fill_rate_tables(&state.rates, sample_rate_hz);
    reset_analysis(&state.a);
    return &state;
}

// The analysis as literal formulas (the kernel levels are compared with it
// in test_kernels.cpp).
void analyse_block(analysed* s) { analyse_block_reference(s->rates, &s->a); }

TEST(Analysis, SilenceDrivesMaskTowardQuietAsThreeQuartersToTheN) {
    analysed* s = fresh_state(44100.0);
    double decay = 1.0;
    for (int n = 1; n <= 60; ++n) {
        analyse_block(s);
        decay *= 0.75;
        for (int i = 0; i < bin_count; ++i) {
            const double expected = s->quiet[i] + (100.0 - s->quiet[i]) * decay;
            ASSERT_NEAR(s->mask[i], expected, 1e-12 * expected) << "block " << n << " bin " << i;
        }
        for (int b = 0; b < band_count; ++b) {
            double sum = 0.0;
            for (int i = 8 * b; i < 8 * b + 8; ++i) sum += 1.0 / s->mask[i];
            ASSERT_NEAR(s->band_weight[b], sum, 1e-14 * sum) << "block " << n << " band " << b;
        }
    }
}

// An impulse in the history has a flat spectrum, and the spreading tables are
// normalised so that a flat magnitude g spreads to g * 10^3.55 in every bin.
TEST(Analysis, FirstBlockIsSeventyFivePlusAQuarterOfTheThreshold) {
    for (int position : {128, 200, 255}) {
        analysed* s = fresh_state(22050.0);
        const double sample = 0.25;
        s->history[position] = sample;
        analyse_block(s);
        const long double w = std::sin((position + 0.5L) * 3.141592653589L / 256.0L);
        const double flat_magnitude = static_cast<double>(sample * w * w);
        for (int i = 0; i < bin_count; ++i) {
            const double threshold = flat_magnitude * 3548.133892335753 + s->quiet[i];
            const double expected = 75.0 + threshold / 4.0;
            EXPECT_NEAR(s->mask[i], expected, 1e-12 * expected) << position << " bin " << i;
        }
    }
}

TEST(Analysis, BandWeightCarriesNothingOverFromTheLastBlock) {
    analysed* s = fresh_state(44100.0);
    for (int i = 0; i < history_len; ++i) s->history[i] = 0.001 * ((i * 37) % 11 - 5);
    static analysis_state clean, dirty;
    clean = s->a;
    dirty = s->a;
    for (double& w : dirty.band_weight) w = 12345.0;
    analyse_block_reference(s->rates, &clean);
    analyse_block_reference(s->rates, &dirty);
    EXPECT_EQ(std::memcmp(clean.band_weight, dirty.band_weight, sizeof clean.band_weight), 0);
    EXPECT_EQ(std::memcmp(clean.mask, dirty.mask, sizeof clean.mask), 0);
}

// Reference: the magnitudes of bins 0..127 from a direct transform in long
// double, then the spreading in its closed form (sums of decay products,
// upward once per bin, downward squared), the threshold and the smoothing.
// Nothing from bins 128..255 enters it.
void expect_closed_form(analysed* s, const char* label) {
    static long double magnitude[bin_count];
    const long double pi = 3.14159265358979323846264L;
    for (int k = 0; k < bin_count; ++k) {
        long double re = 0, im = 0;
        for (int j = 0; j < history_len; ++j) {
            const long double w = std::sin((j + 0.5L) * 3.141592653589L / 256.0L);
            const long double x = s->history[j] * w * w;
            re += x * std::cos(2 * pi * j * k / 256);
            im -= x * std::sin(2 * pi * j * k / 256);
        }
        magnitude[k] = std::sqrt(re * re + im * im);
    }
    const long double* m = magnitude;
    const double* d = s->spread_decay;
    static long double upward[bin_count];
    for (int i = 0; i < bin_count; ++i) {
        upward[i] = 0;
        for (int src = 0; src <= i; ++src) {
            long double gain = 1;
            for (int k = src; k < i; ++k) gain *= d[k];
            upward[i] += m[src] * gain;
        }
    }
    double old_mask[bin_count];
    std::memcpy(old_mask, s->mask, sizeof old_mask);
    analyse_block(s);
    for (int i = 0; i < bin_count; ++i) {
        long double both = 0;
        for (int src = i; src < bin_count; ++src) {
            long double gain = 1;
            for (int k = i + 1; k <= src; ++k) gain *= static_cast<long double>(d[k]) * d[k];
            both += upward[src] * gain;
        }
        const long double threshold = both * s->spread_norm[i] + s->quiet[i];
        const long double expected = 0.75L * old_mask[i] + 0.25L * threshold;
        EXPECT_NEAR(s->mask[i], static_cast<double>(expected), 1e-9 * static_cast<double>(expected))
            << label << " bin " << i;
    }
}

TEST(Analysis, MatchesClosedFormOverBinsZeroTo127) {
    analysed* s = fresh_state(44100.0);
    // A tone near the top of the band plus a low one, and a varied older mask:
    // both spreading directions and the Nyquist neighbourhood carry weight.
    for (int i = 0; i < history_len; ++i)
        s->history[i] = 0.3 * std::sin(0.23 * i) + 0.1 * std::cos(3.05 * i) * ((i & 1) ? 1 : -1);
    for (int i = 0; i < bin_count; ++i) s->mask[i] = 50.0 + i;
    expect_closed_form(s, "spread");

    analysed* flat = fresh_state(44100.0);
    for (int i = 0; i < history_len; ++i) flat->history[i] = 0.001 * ((i * 7919) % 101 - 50);
    for (double& decay : flat->rates.spread_decay) decay = 0.0;  // no spreading at all
    expect_closed_form(flat, "no decay");
}

}  // namespace
