// The input stage: every sample type read exactly onto one full scale, the
// channel choice, the float mean rounded once, NaN, infinities and clipping,
// the gain factor, and blocks split anywhere.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "input/float_mean.h"
#include "input/input_stage.h"

namespace {

using namespace pcmtaper;
constexpr double inf = std::numeric_limits<double>::infinity();

// Containers as raw little-endian bit patterns: integers as their two's
// complement, floats as their IEEE bits.
std::uint64_t raw_float(sample_type type, double f) {
    return type == sample_type::f32 ? std::bit_cast<std::uint32_t>(static_cast<float>(f)) : std::bit_cast<std::uint64_t>(f);
}

std::vector<unsigned char> encode(sample_type type, const std::vector<std::uint64_t>& raw) {
    std::vector<unsigned char> bytes;
    for (std::uint64_t r : raw)
        for (int b = 0; b < container_bytes(type); ++b) bytes.push_back(static_cast<unsigned char>(r >> (8 * b)));
    return bytes;
}

struct converted {
    std::vector<double> samples;
    input_statistics stats;
};

converted convert(const input_settings& settings, const std::vector<std::uint64_t>& raw) {
    input_stage stage;
    EXPECT_EQ(prepare_input_stage(settings, &stage), input_setup_status::ok);
    const std::vector<unsigned char> bytes = encode(settings.format.type, raw);
    converted c{std::vector<double>(bytes.size() / stage.frame_bytes), {}};
    convert_input_frames(stage, bytes.data(), c.samples.size(), c.samples.data(), &c.stats);
    return c;
}

bool same_double(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (a == 0 && b == 0); }

TEST(InputStage, ASixteenBitSampleIsTheSameDoubleInEveryContainer) {
    std::vector<std::uint64_t> s16, s24, s24_20_valid, s32, f32, f64, u8_as_s16, u8;
    for (std::int64_t s = -32768; s < 32768; ++s) {
        s16.push_back(static_cast<std::uint64_t>(s));
        s24.push_back(static_cast<std::uint64_t>(s * 256));
        s24_20_valid.push_back(static_cast<std::uint64_t>(s * 256) | (s & 0xF));  // padding not zero
        s32.push_back(static_cast<std::uint64_t>(s * 65536));
        f32.push_back(raw_float(sample_type::f32, s / 32768.0));
        f64.push_back(raw_float(sample_type::f64, s / 32768.0));
    }
    const std::vector<double> expected = convert({{sample_type::s16, 0, 1}, 1, 0.0}, s16).samples;
    for (std::int64_t s = -32768; s < 32768; ++s) ASSERT_EQ(expected[s + 32768], s / 65536.0);
    EXPECT_EQ(convert({{sample_type::s24, 0, 1}, 1, 0.0}, s24).samples, expected);
    EXPECT_EQ(convert({{sample_type::s24, 20, 1}, 1, 0.0}, s24_20_valid).samples, expected);
    EXPECT_EQ(convert({{sample_type::s32, 32, 1}, 1, 0.0}, s32).samples, expected);
    EXPECT_EQ(convert({{sample_type::f32, 32, 1}, 1, 0.0}, f32).samples, expected);
    EXPECT_EQ(convert({{sample_type::f64, 0, 1}, 1, 0.0}, f64).samples, expected);

    for (std::uint64_t u = 0; u < 256; ++u) {
        u8.push_back(u);
        u8_as_s16.push_back(static_cast<std::uint64_t>((static_cast<std::int64_t>(u) - 128) * 256));
    }
    EXPECT_EQ(convert({{sample_type::u8, 0, 1}, 1, 0.0}, u8).samples,
              convert({{sample_type::s16, 0, 1}, 1, 0.0}, u8_as_s16).samples);
}

// Random samples of every type, as raw containers and as their exact values
// in container units (floats: multiples of 2^-24 within full scale, so that
// the test's own sum of a frame is exact).
struct random_samples {
    std::vector<std::uint64_t> raw;
    std::vector<double> value;
};
random_samples make_samples(sample_type type, std::size_t count, std::mt19937_64& rng) {
    random_samples r;
    const int bits = 8 * container_bytes(type);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t u = rng();
        if (is_float(type)) {
            const double f = static_cast<double>(static_cast<std::int64_t>(u % (1u << 25)) - (1 << 24)) / (1 << 24);
            r.raw.push_back(raw_float(type, f));
            r.value.push_back(f / 2);
        } else {
            const std::uint64_t container = u >> (64 - bits);
            const std::int64_t s = type == sample_type::u8 ? static_cast<std::int64_t>(container) - 128
                                                            : static_cast<std::int64_t>(container << (64 - bits)) >> (64 - bits);
            r.raw.push_back(container);
            r.value.push_back(std::ldexp(static_cast<double>(s), -bits));  // exact
        }
    }
    return r;
}

TEST(InputStage, EveryTypeAndChannelCountAgainstTheTestsOwnComputation) {
    std::mt19937_64 rng(27);
    constexpr std::size_t frames = 200;
    for (int t = 0; t < sample_type_count; ++t) {
        const auto type = static_cast<sample_type>(t);
        for (int channels : {1, 2, 3, 6, 7, 64}) {
            const random_samples in = make_samples(type, frames * channels, rng);
            for (int channel : {mix_all_channels, 1, channels}) {
                SCOPED_TRACE(testing::Message() << "type " << t << ", channels " << channels << ", choice " << channel);
                const converted out = convert({{type, 0, channels}, channel, 0.0}, in.raw);
                ASSERT_EQ(out.samples.size(), frames);
                for (std::size_t f = 0; f < frames; ++f) {
                    const double* frame = &in.value[f * channels];
                    double expected = channel == mix_all_channels ? 0.0 : frame[channel - 1];
                    if (channel == mix_all_channels) {
                        // Exact: integers need at most 32 + 6 bits here, floats 25 + 6.
                        for (int c = 0; c < channels; ++c) expected += frame[c];
                        expected /= channels;
                    }
                    ASSERT_TRUE(same_double(out.samples[f], expected)) << f;
                }
                EXPECT_EQ(out.stats.clipped_samples, 0u);
            }
        }
    }
}

TEST(InputStage, PickingAnyOfEqualChannelsGivesTheMix) {
    std::mt19937_64 rng(3);
    for (int t = 0; t < sample_type_count; ++t) {
        const auto type = static_cast<sample_type>(t);
        for (int channels : {2, 3, 5, 64}) {
            std::vector<std::uint64_t> raw;
            for (int f = 0; f < 100; ++f) {
                // Full-width random containers: for floats any finite value, so
                // that n equal values do not sum exactly in a double.
                std::uint64_t r = rng() >> (64 - 8 * container_bytes(type));
                if (is_float(type) && !std::isfinite(type == sample_type::f32 ? std::bit_cast<float>(static_cast<std::uint32_t>(r))
                                                                              : std::bit_cast<double>(r)))
                    r = 0;
                raw.insert(raw.end(), channels, r);
            }
            const std::vector<double> mix = convert({{type, 0, channels}, mix_all_channels, 0.0}, raw).samples;
            for (int channel : {1, channels}) {
                const std::vector<double> pick = convert({{type, 0, channels}, channel, 0.0}, raw).samples;
                for (std::size_t f = 0; f < mix.size(); ++f)
                    ASSERT_TRUE(same_double(mix[f], pick[f])) << "type " << t << ", channels " << channels << ", frame " << f;
            }
        }
    }
}

// Frames whose exact mean a sum in doubles gets wrong: ties, cancellation,
// magnitudes far apart, subnormal means, sums that overflow. Expected values
// derived by hand (each a double, or one IEEE operation on exact operands).
TEST(FloatMean, RoundsTheExactMeanOnce) {
    const double max = std::numeric_limits<double>::max();
    const double tiny = std::numeric_limits<double>::denorm_min();
    const struct {
        std::vector<double> values;
        double mean;
    } cases[] = {
        {{4, 2, 0x3p-52}, 1.0},                            // 1 + 2^-53: a tie, to even
        {{4, 4, 0x1p-50, 0x1p-1000}, 1 + 0x1p-52},         // just above a tie
        {{0x1p-50, 4, -0x1p-1000, 4}, 1.0},                // just below it
        {{-4, -4, -0x1p-50, -0x1p-1000}, -1 - 0x1p-52},
        {{1e300, 0.75, -1e300}, 0.125},                    // cancellation
        {{1, 0x1p-80, -1}, 0x1p-80 / 6.0},
        {{0x1p-1000, 1e300, 0x1p-1050, -1e300, 0x3p-1050}, (0x1p-1000 + 0x1p-1048) / 10.0},
        {{0.1, 0.2, 0.3, -0.6}, 0x1p-58},                  // the exact sum is 2^-55
        {{3 * tiny, 0, 0}, 0.0},                           // 2^-1075: a tie between 0 and 2^-1074
        {{4 * tiny, 0, 0}, tiny},
        {{5 * tiny, 1, -1}, tiny},
        {{9 * tiny, 1, -1}, 2 * tiny},                     // 1.5 units: to even
        {{max, max}, max / 2},                             // the sum overflows a double
        {{max, max, -max}, max / 6},
        {{max, max, max, max}, max / 2},
    };
    for (const auto& c : cases) {
        const int n = static_cast<int>(c.values.size());
        EXPECT_TRUE(same_double(float_frame_mean(c.values.data(), n), c.mean)) << c.values[0] << " ... " << c.mean;
        EXPECT_TRUE(same_double(float_frame_mean_exact(c.values.data(), n), c.mean)) << c.values[0] << " ... " << c.mean;
    }
}

TEST(InputStage, NanIsSilenceAndInfinitiesAndOversAreClippedCountedAndPeaked) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double g6 = gain_factor_of_db(6.0);
    const struct {
        sample_type type;
        int channels, channel;
        double gain_db;
        std::vector<double> in;  // container values; s16 as integers
        std::vector<double> out;
        std::uint64_t clipped;
        double peak;
    } cases[] = {
        {sample_type::f64, 1, 1, 0.0, {nan, 0.5, 1.5, -1.0, -1.25}, {0, 0.25, 0.5, -0.5, -0.5}, 2, 0.75},
        {sample_type::f32, 1, 1, 0.0, {inf, -inf, 0.25}, {0.5, -0.5, 0.125}, 2, inf},
        // Overs that the mix or the gain brings back are not clipped.
        {sample_type::f32, 2, mix_all_channels, 0.0, {1.5, -1.5, 2, 0, nan, 1}, {0, 0.5, 0.25}, 0, 0.5},
        {sample_type::f64, 1, 1, -6.0, {1.5}, {0.75 * gain_factor_of_db(-6.0)}, 0, 0.75 * gain_factor_of_db(-6.0)},
        // An infinity is full scale in the mean, and its frame counts.
        {sample_type::f64, 2, mix_all_channels, 0.0, {inf, 0, inf, -inf, 0.5, 0.5}, {0.25, 0, 0.25}, 2, inf},
        {sample_type::f64, 3, 3, 0.0, {inf, nan, 0.5}, {0.25}, 0, 0.25},  // other channels unread
        // A gain beyond full scale.
        {sample_type::s16, 1, 1, 6.0, {32767, -16384, 16384}, {0.5, -0.25 * g6, 0.25 * g6}, 1, 32767 / 65536.0 * g6},
    };
    for (const auto& c : cases) {
        std::vector<std::uint64_t> raw;
        for (double v : c.in) raw.push_back(is_float(c.type) ? raw_float(c.type, v) : static_cast<std::uint64_t>(static_cast<std::int64_t>(v)));
        const converted out = convert({{c.type, 0, c.channels}, c.channel, c.gain_db}, raw);
        SCOPED_TRACE(testing::Message() << "first value " << c.in[0] << ", channels " << c.channels);
        ASSERT_EQ(out.samples.size(), c.out.size());
        for (std::size_t i = 0; i < c.out.size(); ++i) EXPECT_TRUE(same_double(out.samples[i], c.out[i])) << i;
        EXPECT_EQ(out.stats.clipped_samples, c.clipped);
        EXPECT_EQ(out.stats.peak, c.peak);
    }
}

TEST(InputStage, GainFactorsOfWholeDecadesAreExact) {
    EXPECT_EQ(gain_factor_of_db(0.0), 1.0);
    EXPECT_EQ(gain_factor_of_db(20.0), 10.0);
    EXPECT_EQ(gain_factor_of_db(40.0), 100.0);
    EXPECT_EQ(gain_factor_of_db(-20.0), 0.1);
}

TEST(InputStage, AnySplitIntoBlocksGivesTheSameSamplesAndStatistics) {
    std::mt19937_64 rng(11);
    std::vector<std::uint64_t> raw;
    // Values within full scale, NaNs, and overs of many sizes (no infinity,
    // which would make every block's peak the same).
    for (int i = 0; i < 3 * 4000; ++i) {
        const double f = std::ldexp(static_cast<double>(rng() >> 11), -53) * 2 - 1;
        const int kind = static_cast<int>(rng() % 16);
        raw.push_back(raw_float(sample_type::f64, kind == 0   ? std::numeric_limits<double>::quiet_NaN()
                                                  : kind == 1 ? std::ldexp(f, static_cast<int>(rng() % 40))
                                                              : f));
    }
    const input_settings settings{{sample_type::f64, 0, 3}, mix_all_channels, 2.5};
    const converted whole = convert(settings, raw);
    ASSERT_GT(whole.stats.clipped_samples, 0u);
    input_stage stage;
    ASSERT_EQ(prepare_input_stage(settings, &stage), input_setup_status::ok);
    const std::vector<unsigned char> bytes = encode(sample_type::f64, raw);
    for (int trial = 0; trial < 5; ++trial) {
        std::vector<double> samples(whole.samples.size());
        input_statistics stats;
        for (std::size_t at = 0; at < samples.size();) {
            const std::size_t take = std::min<std::size_t>(rng() % 300, samples.size() - at);
            convert_input_frames(stage, bytes.data() + at * stage.frame_bytes, take, samples.data() + at, &stats);
            at += take;
        }
        for (std::size_t f = 0; f < samples.size(); ++f) ASSERT_TRUE(same_double(samples[f], whole.samples[f])) << f;
        EXPECT_EQ(stats.clipped_samples, whole.stats.clipped_samples);
        EXPECT_EQ(stats.peak, whole.stats.peak);
    }
}

TEST(InputStage, SettingsItCannotConvertAreRefused) {
    const struct {
        input_settings settings;
        input_setup_status status;
    } cases[] = {
        {{{sample_type::s24, 20, 64}, 64, -200.0}, input_setup_status::ok},
        {{{static_cast<sample_type>(6), 0, 1}, 1, 0.0}, input_setup_status::bad_sample_type},
        {{{sample_type::s16, 17, 1}, 1, 0.0}, input_setup_status::bad_valid_bits},
        {{{sample_type::u8, -1, 1}, 1, 0.0}, input_setup_status::bad_valid_bits},
        {{{sample_type::f32, 24, 1}, 1, 0.0}, input_setup_status::bad_valid_bits},
        {{{sample_type::s16, 0, 0}, mix_all_channels, 0.0}, input_setup_status::bad_channel_count},
        {{{sample_type::s16, 0, 65}, mix_all_channels, 0.0}, input_setup_status::bad_channel_count},
        {{{sample_type::s16, 0, 2}, 3, 0.0}, input_setup_status::bad_channel_choice},
        {{{sample_type::s16, 0, 2}, -1, 0.0}, input_setup_status::bad_channel_choice},
        {{{sample_type::s16, 0, 1}, 1, std::numeric_limits<double>::quiet_NaN()}, input_setup_status::bad_gain},
        {{{sample_type::s16, 0, 1}, 1, inf}, input_setup_status::bad_gain},
        {{{sample_type::s16, 0, 1}, 1, 6200.0}, input_setup_status::bad_gain},    // factor overflows
        {{{sample_type::s16, 0, 1}, 1, -6500.0}, input_setup_status::bad_gain},   // factor is zero
    };
    for (const auto& c : cases) {
        input_stage stage{};
        EXPECT_EQ(prepare_input_stage(c.settings, &stage), c.status) << static_cast<int>(c.settings.format.type);
    }
}

}  // namespace
