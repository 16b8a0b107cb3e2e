// The input stage: every sample type read exactly onto one full scale, the
// channel choice, NaN, infinities and clipping, the gain factor, blocks split
// anywhere, settings refused. (The float mean's single rounding is checked
// against MPFR in math/test_input_mean.cpp.)
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "input/input_stage.h"

namespace {

using namespace pcmtaper;
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
using raw_samples = std::vector<std::uint64_t>;  // containers' bits, low bytes used

std::uint64_t raw_float(sample_type type, double f) {
    return type == sample_type::f32 ? std::bit_cast<std::uint32_t>(static_cast<float>(f)) : std::bit_cast<std::uint64_t>(f);
}

std::vector<unsigned char> encode(sample_type type, const raw_samples& raw) {
    std::vector<unsigned char> bytes;
    for (std::uint64_t r : raw)
        for (int b = 0; b < container_bytes(type); ++b) bytes.push_back(static_cast<unsigned char>(r >> (8 * b)));
    return bytes;
}

// In one block, or in blocks of random sizes drawn from *split.
std::vector<double> convert(const input_settings& settings, const raw_samples& raw, input_statistics* stats = nullptr,
                            std::mt19937_64* split = nullptr) {
    input_stage stage;
    EXPECT_EQ(prepare_input_stage(settings, &stage), input_setup_status::ok);
    const std::vector<unsigned char> bytes = encode(settings.format.type, raw);
    std::vector<double> samples(bytes.size() / stage.frame_bytes);
    input_statistics ignored;
    for (std::size_t at = 0, take; at < samples.size(); at += take) {
        take = split ? std::min<std::size_t>((*split)() % 300, samples.size() - at) : samples.size();
        convert_input_frames(stage, bytes.data() + at * stage.frame_bytes, take, samples.data() + at, stats ? stats : &ignored);
    }
    return samples;
}

bool same_double(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (a == 0 && b == 0); }

TEST(InputStage, ASixteenBitSampleIsTheSameDoubleInEveryContainer) {
    const struct {
        input_format format;
        std::uint64_t (*raw)(std::int64_t s);
    } containers[] = {
        {{sample_type::s24, 0, 1}, [](std::int64_t s) { return static_cast<std::uint64_t>(s * 256); }},
        {{sample_type::s24, 20, 1}, [](std::int64_t s) { return static_cast<std::uint64_t>(s * 256) | (s & 0xF); }},  // padding set
        {{sample_type::s32, 32, 1}, [](std::int64_t s) { return static_cast<std::uint64_t>(s * 65536); }},
        {{sample_type::f32, 0, 1}, [](std::int64_t s) { return raw_float(sample_type::f32, s / 32768.0); }},
        {{sample_type::f64, 64, 1}, [](std::int64_t s) { return raw_float(sample_type::f64, s / 32768.0); }},
        {{sample_type::u8, 0, 1}, [](std::int64_t s) { return static_cast<std::uint64_t>(s / 256 + 128); }},
    };
    for (const auto& c : containers) {
        raw_samples s16, raw;
        for (std::int64_t s = -32768; s < 32768; ++s) {
            if (c.format.type == sample_type::u8 && s % 256 != 0) continue;  // 8-bit: s = 256 (u - 128)
            s16.push_back(static_cast<std::uint64_t>(s));
            raw.push_back(c.raw(s));
        }
        const std::vector<double> expected = convert({{sample_type::s16, 0, 1}, 1, 0.0}, s16);
        for (std::size_t i = 0; i < s16.size(); ++i) ASSERT_EQ(expected[i], static_cast<std::int16_t>(s16[i]) / 65536.0);
        EXPECT_EQ(convert({c.format, 1, 0.0}, raw), expected) << static_cast<int>(c.format.type);
    }
}

// Random containers of each type against the test's own decoding; the mean
// summed on the sample scale, exactly (integers take 32 + 6 bits, floats, as
// multiples of 2^-24 within full scale, 25 + 6), then divided once. And the
// same frames with all channels equal (floats of any finite value, whose n
// copies do not sum exactly in a double): the mix is then each pick.
TEST(InputStage, EveryTypeChannelCountAndChoiceAgainstTheTestsOwnComputation) {
    std::mt19937_64 rng(27);
    constexpr int frames = 100;
    for (int t = 0; t < sample_type_count; ++t) {
        const auto type = static_cast<sample_type>(t);
        const int bits = 8 * container_bytes(type);
        for (int channels : {1, 2, 3, 6, 7, 64}) {
            raw_samples raw, equal;
            std::vector<double> value;
            for (int i = 0; i < frames * channels; ++i) {
                const std::uint64_t u = rng() >> (64 - bits);
                const auto s = static_cast<std::int64_t>(u << (64 - bits)) >> (64 - bits);
                const double f = static_cast<double>(static_cast<std::int64_t>(u % (1 << 25)) - (1 << 24)) / (1 << 24);
                raw.push_back(is_float(type) ? raw_float(type, f) : u);
                value.push_back(is_float(type) ? f / 2 : std::ldexp(type == sample_type::u8 ? u - 128.0 : s, -bits));
                const double any = type == sample_type::f32 ? std::bit_cast<float>(static_cast<std::uint32_t>(u)) : std::bit_cast<double>(u);
                if (i % channels == 0) equal.insert(equal.end(), channels, is_float(type) && !std::isfinite(any) ? 0 : u);
            }
            const std::vector<double> equal_mix = convert({{type, 0, channels}, mix_all_channels, 0.0}, equal);
            for (int channel : {mix_all_channels, 1, channels}) {
                SCOPED_TRACE(testing::Message() << "type " << t << ", channels " << channels << ", choice " << channel);
                const std::vector<double> out = convert({{type, 0, channels}, channel, 0.0}, raw);
                const std::vector<double> equal_pick = convert({{type, 0, channels}, channel, 0.0}, equal);
                for (int f = 0; f < frames; ++f) {
                    double expected = 0;
                    for (int c = 0; c < channels; ++c) expected += value[f * channels + c];
                    expected = channel == mix_all_channels ? expected / channels : value[f * channels + channel - 1];
                    ASSERT_TRUE(same_double(out[f], expected)) << f;
                    ASSERT_TRUE(same_double(equal_pick[f], equal_mix[f])) << f;
                }
            }
        }
    }
}

TEST(InputStage, NanIsSilenceAndInfinitiesAndOversAreClippedCountedAndPeaked) {
    const double g6 = gain_factor_of_db(6.0), g_6 = gain_factor_of_db(-6.0);
    const struct {
        input_settings settings;
        std::vector<double> in, out;  // in: floats, or integers for s16
        std::uint64_t clipped;
        double peak;
    } cases[] = {
        {{{sample_type::f64, 0, 1}, 1, 0.0}, {nan, 0.5, 1.5, -1.0, -1.25}, {0, 0.25, 0.5, -0.5, -0.5}, 2, 0.75},
        {{{sample_type::f32, 0, 1}, 1, 0.0}, {inf, -inf, 0.25}, {0.5, -0.5, 0.125}, 2, inf},
        // Overs that the mix or the gain brings back are not clipped.
        {{{sample_type::f32, 0, 2}, mix_all_channels, 0.0}, {1.5, -1.5, 2, 0, nan, 1}, {0, 0.5, 0.25}, 0, 0.5},
        {{{sample_type::f64, 0, 1}, 1, -6.0}, {1.5}, {0.75 * g_6}, 0, 0.75 * g_6},
        // An infinity is full scale in the mean, and its frame counts.
        {{{sample_type::f64, 0, 2}, mix_all_channels, 0.0}, {inf, 0, inf, -inf, 0.5, 0.5}, {0.25, 0, 0.25}, 2, inf},
        {{{sample_type::f64, 0, 3}, 3, 0.0}, {inf, nan, 0.5}, {0.25}, 0, 0.25},  // other channels unread
        {{{sample_type::s16, 0, 1}, 1, 6.0}, {32767, -16384}, {0.5, -0.25 * g6}, 1, 32767 / 65536.0 * g6},
    };
    for (const auto& c : cases) {
        raw_samples raw;
        const sample_type type = c.settings.format.type;
        for (double v : c.in) raw.push_back(is_float(type) ? raw_float(type, v) : static_cast<std::uint64_t>(static_cast<std::int64_t>(v)));
        input_statistics stats;
        const std::vector<double> out = convert(c.settings, raw, &stats);
        SCOPED_TRACE(testing::Message() << "first value " << c.in[0] << ", channels " << c.settings.format.channels);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(stats.clipped_samples, c.clipped);
        EXPECT_EQ(stats.peak, c.peak);
    }
}

// 10^(dB / 20) with the exponent the double dB / 20.0, correctly rounded
// (the values MPFR gives).
TEST(InputStage, GainFactorsAreTheCorrectlyRoundedPowersOfTen) {
    const double cases[][2] = {{0, 1}, {20, 10}, {40, 100}, {-20, 0.1}, {6, 0x1.fec982d5bb8afp+0},
                               {-6, 0x1.009b9cf334252p-1}, {-3, 0x1.6a77deae8ab8ap-1}, {0.1, 0x1.02f6df015a0f1p+0},
                               {-96, 0x1.09e6a4f05e62bp-16}, {12.5, 0x1.0de2c14fa8852p+2}};
    for (const auto& c : cases) EXPECT_EQ(gain_factor_of_db(c[0]), c[1]) << c[0];
}

// Values within full scale, NaNs, and overs of many sizes (no infinity,
// which would make every block's peak the same), in random blocks.
TEST(InputStage, AnySplitIntoBlocksGivesTheSameSamplesAndStatistics) {
    std::mt19937_64 rng(11);
    raw_samples raw;
    for (int i = 0; i < 3 * 4000; ++i) {
        const double f = std::ldexp(static_cast<double>(rng() >> 11), -52) - 1;
        const int kind = static_cast<int>(rng() % 16);
        raw.push_back(raw_float(sample_type::f64, kind == 0 ? nan : kind == 1 ? std::ldexp(f, static_cast<int>(rng() % 40)) : f));
    }
    const input_settings settings{{sample_type::f64, 0, 3}, mix_all_channels, 2.5};
    input_statistics whole_stats;
    const std::vector<double> whole = convert(settings, raw, &whole_stats);
    ASSERT_GT(whole_stats.clipped_samples, 0u);
    for (int trial = 0; trial < 5; ++trial) {
        input_statistics stats;
        EXPECT_EQ(convert(settings, raw, &stats, &rng), whole);
        EXPECT_EQ(stats.clipped_samples, whole_stats.clipped_samples);
        EXPECT_EQ(stats.peak, whole_stats.peak);
    }
}

TEST(InputStage, SettingsItCannotConvertAreRefused) {
    using enum input_setup_status;
    const std::pair<input_settings, input_setup_status> cases[] = {
        {{{sample_type::s24, 20, 64}, 64, -200.0}, ok},
        {{{static_cast<sample_type>(6), 0, 1}, 1, 0.0}, bad_sample_type},
        {{{sample_type::f32, 24, 1}, 1, 0.0}, bad_valid_bits},
        {{{sample_type::s16, 0, 65}, mix_all_channels, 0.0}, bad_channel_count},
        {{{sample_type::s16, 0, 2}, 3, 0.0}, bad_channel_choice},
        {{{sample_type::s16, 0, 1}, 1, nan}, bad_gain},
        {{{sample_type::s16, 0, 1}, 1, -6500.0}, bad_gain},  // its factor is zero
    };
    for (const auto& [settings, status] : cases) {
        input_stage stage{};
        EXPECT_EQ(prepare_input_stage(settings, &stage), status) << static_cast<int>(settings.format.type);
    }
}

}  // namespace
