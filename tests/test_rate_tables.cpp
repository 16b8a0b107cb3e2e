// Rate tables against the figures the converter is built to: 44100, 8000,
// 48000, 0 and 96000 Hz.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "model/model.h"

namespace {

using namespace pcmtaper;

// Tables that hold garbage first, so that a table that is not overwritten
// completely shows up.
const rate_tables& tables_for(double sample_rate_hz) {
    static rate_tables state;
    for (int i = 0; i < bin_count; ++i) {
        state.quiet[i] = std::numeric_limits<double>::quiet_NaN();
        state.spread_decay[i] = -7.0;
        state.spread_norm[i] = 1e300;
    }
    fill_rate_tables(&state, sample_rate_hz);
    return state;
}

double db_of(double amplitude) { return 20.0 * std::log10(amplitude); }

TEST(RateTables, FiguresAt44100Hz) {
    const rate_tables& s = tables_for(44100.0);
    EXPECT_NEAR(db_of(s.quiet[0]), 50.4735, 0.00005);
    EXPECT_NEAR(s.quiet[0], 333.943, 0.0005);
    EXPECT_NEAR(s.spread_decay[0], 0.0980633, 0.00000005);
    EXPECT_NEAR(s.spread_norm[0], 3502.306, 0.0005);

    EXPECT_NEAR(s.quiet[10], 10.2688, 0.00005);
    EXPECT_NEAR(s.spread_decay[10], 0.435655, 0.0000005);
    EXPECT_NEAR(s.spread_norm[10], 1668.985, 0.0005);

    // Bin 127 sits at Bark 24.73, between the 32 dB and the 86 dB entries.
    EXPECT_NEAR(db_of(s.quiet[127]), 71.5693, 0.00005);
    EXPECT_NEAR(s.quiet[127], 3788.489, 0.0005);
    EXPECT_NEAR(s.spread_decay[127], 0.983131, 0.0000005);
    EXPECT_NEAR(s.spread_norm[127], 111.4882, 0.00005);
}

TEST(RateTables, TopBinAt8000And48000Hz) {
    // 8000 Hz: bin 127 reaches Bark 17.232, 15 dB + 0.232 of the step to 16 dB.
    EXPECT_NEAR(db_of(tables_for(8000.0).quiet[127]), 15.232, 0.0005);
    // 48000 Hz: Bark 24.859, 32 dB + 0.859 of the step to 86 dB.
    EXPECT_NEAR(db_of(tables_for(48000.0).quiet[127]), 78.379, 0.0005);
}

TEST(RateTables, AtNinetySixKiloHertzTopBinInterpolatesBetween86And84Db) {
    const rate_tables& s = tables_for(96000.0);
    const double top_bark = 25.0 + (86.0 - db_of(s.quiet[127])) / 2.0;
    EXPECT_NEAR(top_bark, 25.474, 0.0005);
    for (int i = 0; i < bin_count; ++i) {
        EXPECT_TRUE(std::isfinite(s.quiet[i])) << i;
        EXPECT_GT(s.spread_decay[i], 0.0) << i;
        EXPECT_LE(s.spread_decay[i], 1.0) << i;
        EXPECT_GT(s.spread_norm[i], 0.0) << i;
    }
}

TEST(RateTables, ZeroRateGivesSixtyDbNoDecayAndTriangularSums) {
    const rate_tables& s = tables_for(0.0);
    const double spread_target = 3548.133892335753;  // 10^3.55
    for (int i = 0; i < bin_count; ++i) {
        EXPECT_EQ(s.quiet[i], 1000.0) << i;
        EXPECT_EQ(s.spread_decay[i], 1.0) << i;
        // Forward sums i + 1, backward sums of those: 8256 - i(i+1)/2.
        EXPECT_EQ(s.spread_norm[i], spread_target / (8256 - i * (i + 1) / 2)) << i;
    }
    EXPECT_NEAR(s.spread_norm[0], 0.429764, 0.0000005);
    EXPECT_NEAR(s.spread_norm[127], 27.71980, 0.000005);
}

}  // namespace
