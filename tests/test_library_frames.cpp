// The input description (sample type, channels, channel choice, gain, output
// rate) through pcmtaper_process_frames: every type and channel choice
// against the test's own decoding at every kernel level, splits and threads
// with resampling, overs, short streams, levels through the resampler, and
// the config's checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "input/input_stage.h"
#include "pcmtaper/pcmtaper.h"
#include "resample/resampler.h"
#include "signals.h"

namespace {

using bytes = std::vector<std::uint8_t>;
constexpr int container_bytes[] = {2, 1, 3, 4, 4, 8};  // by pcmtaper_sample_type
constexpr std::size_t old_config_size = 48;            // sizeof(pcmtaper_config) in 2.0

pcmtaper_config config_of(std::uint32_t rate_hz, pcmtaper_sample_type type = PCMTAPER_SAMPLE_S16, unsigned channels = 1,
                          int channel = PCMTAPER_CHANNEL_ONLY, std::uint32_t output_rate_hz = 0, unsigned flags = 0) {
    pcmtaper_config c;
    pcmtaper_config_init(&c);
    c.sample_rate_hz = rate_hz, c.input_type = type, c.input_channels = channels, c.channel = channel;
    c.output_rate_hz = output_rate_hz, c.flags = flags;
    return c;
}

// A sample of `bits` significant bits, little-endian (as the host): integers
// at the top of their container over padding of ones (read as 0), floats
// as units / 32768.
void put_sample(bytes* out, pcmtaper_sample_type type, int bits, std::int64_t units) {
    const int size = container_bytes[type], padding = 8 * size - bits;
    std::uint64_t word = static_cast<std::uint64_t>(units) << padding | ((std::uint64_t{1} << padding) - 1);
    if (type == PCMTAPER_SAMPLE_U8) word = static_cast<std::uint64_t>(units + 128);
    const float f = static_cast<float>(units / 32768.0);
    const double d = units / 32768.0;
    if (type == PCMTAPER_SAMPLE_F32) std::memcpy(&word, &f, sizeof f);
    if (type == PCMTAPER_SAMPLE_F64) std::memcpy(&word, &d, sizeof d);
    for (int b = 0; b < size; ++b) out->push_back(static_cast<std::uint8_t>(word >> (8 * b)));
}

template <class T>
bytes bytes_of(const std::vector<T>& values) {
    bytes b(values.size() * sizeof(T));
    std::memcpy(b.data(), values.data(), b.size());
    return b;
}

// The stream converted: seed 0 in one call with the room pcmtaper_output_bound
// promises, else in random pieces with random output capacities. A config of
// 2.0's size goes through pcmtaper_process, as a 2.0 caller's.
bytes convert(const pcmtaper_config& config, const bytes& frames, pcmtaper_input_stats* stats = nullptr,
              std::uint32_t seed = 0) {
    std::mt19937 random(seed);
    pcmtaper_converter* c = nullptr;
    EXPECT_EQ(pcmtaper_create(&config, &c), PCMTAPER_OK);
    const std::size_t frame_bytes = config.struct_size == old_config_size
                                        ? 2 : config.input_channels * container_bytes[config.input_type];
    const std::size_t count = frames.size() / frame_bytes;
    bytes out(pcmtaper_output_bound(c, count));
    std::size_t total = 0, written = 0;
    for (std::size_t at = 0, used = 0; at < count; at += used, total += written) {
        const std::size_t piece = seed == 0 ? count : std::min<std::size_t>(count - at, random() % 700);
        const std::size_t room = seed == 0 || random() % 4 == 0 ? 1 : random() % 300;
        const std::size_t capacity = seed == 0 ? out.size() - total : std::min(room, out.size() - total);
        const pcmtaper_status status =
            config.struct_size == old_config_size
                ? pcmtaper_process(c, reinterpret_cast<const std::int16_t*>(frames.data() + at * frame_bytes), piece,
                                   &used, out.data() + total, capacity, &written)
                : pcmtaper_process_frames(c, frames.data() + at * frame_bytes, piece, &used, out.data() + total,
                                          capacity, &written);
        if (status != PCMTAPER_OK) return ADD_FAILURE() << status, bytes{};
    }
    do {
        const std::size_t capacity = seed == 0 ? out.size() - total : std::min<std::size_t>(1 + random() % 300, out.size() - total);
        EXPECT_EQ(pcmtaper_finish(c, out.data() + total, capacity, &written), PCMTAPER_OK);
        total += written;
    } while (written > 0 && total < out.size());
    EXPECT_LT(total, out.size()) << "the bound left no room to tell the end";
    if (stats != nullptr) {
        stats->struct_size = sizeof *stats;
        EXPECT_EQ(pcmtaper_get_input_stats(c, stats), PCMTAPER_OK);
    }
    pcmtaper_destroy(c);
    out.resize(total);
    return out;
}

// Every type and channel choice of a 16-bit signal s, made so that each
// frame's chosen channel or mean is s in the type's units (u8: its top 8
// bits; a mix's other channels differ by amounts that cancel). Without
// resampling the bytes are those of the 16-bit mono stream of those values
// through 2.0's config and pcmtaper_process; with it, of the values
// resampled and clipped by the test, as doubles at the output rate.
TEST(LibraryFrames, EveryDescriptionGivesTheBytesOfItsSamplesDecodedByTheTest) {
    const int only = PCMTAPER_CHANNEL_ONLY, mix = PCMTAPER_CHANNEL_MIX;
    const unsigned align = PCMTAPER_FLAG_ALIGN;
    const pcmtaper_sample_type u8 = PCMTAPER_SAMPLE_U8, s16 = PCMTAPER_SAMPLE_S16, s24 = PCMTAPER_SAMPLE_S24,
                               s32 = PCMTAPER_SAMPLE_S32, f32 = PCMTAPER_SAMPLE_F32, f64 = PCMTAPER_SAMPLE_F64;
    const struct {  // bits: significant bits (the test's floats: 16)
        pcmtaper_sample_type type; int bits; unsigned channels; int channel; std::uint32_t in_hz, out_hz; unsigned flags;
    } rows[] = {
        {s24, 24, 1, only, 16000, 0, 0},  {s32, 32, 1, only, 16000, 0, align}, {s24, 20, 1, only, 16000, 0, 0},
        {f32, 16, 1, only, 16000, 0, align}, {f64, 16, 1, only, 16000, 0, 0}, {s16, 16, 2, 2, 16000, 0, 0},
        {s16, 16, 2, mix, 16000, 0, 0},   {s24, 24, 3, mix, 16000, 0, align}, {f32, 16, 3, mix, 16000, 0, 0},
        {s16, 16, 1, only, 16000, 16000, align}, {u8, 8, 1, only, 16000, 0, 0}, {s32, 32, 64, 64, 11025, 0, 0},
        {f32, 16, 4, mix, 22050, 8000, 0}, {u8, 8, 2, mix, 8000, 11025, align}, {s32, 32, 6, mix, 44100, 11025, 0},
        {f64, 16, 1, only, 48000, 22050, align | PCMTAPER_FLAG_ZERO_DC}, {s16, 16, 2, 1, 11025, 44100, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.type << " " << r.bits << " bits " << r.channels << " channels " << r.out_hz);
        std::vector<std::int16_t> s = make_example_signal(example_kind::music, r.in_hz, 0.25);
        s[40] = -32768, s[41] = 32767;  // full scale, not clipped
        const std::int64_t scale = r.bits >= 16 ? std::int64_t{1} << (r.bits - 16) : 1;
        bytes frames;
        for (std::size_t n = 0; n < s.size(); ++n) {
            const std::int64_t value = r.bits == 8 ? s[n] / 256 : s[n] * scale;
            const std::int64_t room = std::max<std::int64_t>(0, (r.bits == 8 ? 127 : 32767 * scale) - std::abs(value));
            const std::int64_t apart = room / 2 * (static_cast<std::int64_t>(n % 7) - 3) / 3;
            s[n] = static_cast<std::int16_t>(r.bits == 8 ? value * 256 : s[n]);
            for (unsigned ch = 0; ch < r.channels; ++ch) {
                const bool odd_one_out = r.channel == mix && r.channels % 2 == 1 && ch == r.channels - 1;
                const bool taken = r.channel == only || ch + 1 == static_cast<unsigned>(r.channel);
                put_sample(&frames, r.type, r.bits, taken || odd_one_out ? value : ch % 2 ? value - apart : value + apart);
            }
        }
        bytes expected;
        std::uint64_t clipped = 0;
        if (r.out_hz == 0 || r.out_hz == r.in_hz) {
            pcmtaper_config old = config_of(r.in_hz, s16, 1, only, 0, r.flags);
            old.struct_size = old_config_size;
            old.input_channels = 0;  // past its size: never read
            expected = convert(old, bytes_of(s));
        } else {
            std::vector<double> x, y;
            for (std::int16_t v : s) x.push_back(v / 65536.0);
            auto resampler = pcmtaper::resampler::create({r.in_hz, r.out_hz});
            resampler->process(x.data(), x.size(), &y);
            resampler->flush(&y);
            for (double& v : y) clipped += std::fabs(v) > 0.5, v = 2.0 * std::clamp(v, -0.5, 0.5);
            expected = convert(config_of(r.out_hz, f64, 1, only, 0, r.flags), bytes_of(y));
        }
        for (int level = PCMTAPER_KERNELS_REFERENCE; level <= PCMTAPER_KERNELS_SIMD128; ++level) {
            pcmtaper_config config = config_of(r.in_hz, r.type, r.channels, r.channel, r.out_hz, r.flags);
            config.kernel_level = static_cast<pcmtaper_kernel_level>(level);
            config.input_valid_bits = r.bits == 20 ? 20 : 0;
            if (!pcmtaper_kernel_level_available(config.kernel_level)) continue;
            pcmtaper_input_stats stats;
            EXPECT_EQ(convert(config, frames, &stats), expected) << pcmtaper_kernel_level_name(config.kernel_level);
            EXPECT_EQ(stats.clipped_samples, clipped);
        }
    }
}

// With resampling: the bytes of one call for random splits of the input and
// the output capacity and 1 to 3 threads; round(N out / in) samples with
// --align, streams shorter than the filter included.
TEST(LibraryFrames, ResampledStreamsGiveTheSameBytesForEverySplitAndThreadCount) {
    for (const auto& [in_hz, out_hz, flags] : {std::tuple{48000u, 11025u, 0u}, std::tuple{8000u, 22050u, PCMTAPER_FLAG_ALIGN},
                                              std::tuple{44100u, 8000u, PCMTAPER_FLAG_ALIGN | PCMTAPER_FLAG_ZERO_DC}})
        for (const std::size_t frames : {0, 1, 7, 100, 6000}) {
            SCOPED_TRACE(std::to_string(in_hz) + " -> " + std::to_string(out_hz) + ", " + std::to_string(frames));
            bytes stereo;
            for (std::int16_t v : make_example_signal(example_kind::bursts, in_hz, frames / double(in_hz)))
                put_sample(&stereo, PCMTAPER_SAMPLE_S24, 16, v), put_sample(&stereo, PCMTAPER_SAMPLE_S24, 16, -v / 3);
            pcmtaper_config config = config_of(in_hz, PCMTAPER_SAMPLE_S24, 2, PCMTAPER_CHANNEL_MIX, out_hz, flags);
            const bytes whole = convert(config, stereo);
            const std::size_t out_samples = (2 * stereo.size() / 6 * out_hz + in_hz) / (2 * in_hz);
            EXPECT_EQ(whole.size(), flags != 0 ? out_samples : out_samples / 32 * 32);
            for (config.threads = 1; config.threads <= 3; ++config.threads)
                EXPECT_EQ(convert(config, stereo, nullptr, config.threads), whole) << config.threads << " threads";
        }
}

// NaN counts as 0; infinities and values beyond full scale after the gain
// are clipped and counted (the resampler's overs in the table above); the
// peak is a fraction of full scale.
TEST(LibraryFrames, OversAreClippedAndCounted) {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> wild(320, 0.25f), tame(320, 0.25f);
    for (const float f : {std::nanf(""), inf, -inf, 3.0f, -1.5f, 1.0f}) wild.push_back(f);
    for (const float f : {0.0f, 1.0f, -1.0f, 1.0f, -1.0f, 1.0f}) tame.push_back(f);
    pcmtaper_input_stats stats;
    EXPECT_EQ(convert(config_of(8000, PCMTAPER_SAMPLE_F32), bytes_of(wild), &stats),
              convert(config_of(8000, PCMTAPER_SAMPLE_F32), bytes_of(tame)));
    EXPECT_EQ(stats.clipped_samples, 4u);
    EXPECT_EQ(stats.peak, inf);

    pcmtaper_config gained = config_of(8000);
    gained.gain_db = 6.0;
    convert(gained, bytes_of(std::vector<std::int16_t>{16384, -32768, 100}), &stats);
    EXPECT_EQ(stats.clipped_samples, 1u);
    EXPECT_EQ(stats.peak, pcmtaper::gain_factor_of_db(6.0));
}

// Through the resampler and the shaper, as the 8-bit output holds them: DC
// (under a tone: a constant alone may settle a step off) and passband tones
// at the level of the same signal made at the output's rate, stopband tones
// gone (their aliases below a quarter of a step).
TEST(LibraryFrames, TheResamplerKeepsDcAndThePassbandAndTakesTheStopbandOut) {
    const auto steps_at = [](std::uint32_t in_hz, double hz, double fit_hz) {
        std::vector<double> x(in_hz);
        for (std::size_t n = 0; n < x.size(); ++n)
            x[n] = hz == 0.0 ? 0.6 + 0.2 * std::sin(2.0 * std::numbers::pi * 1000.0 * n / in_hz)
                             : 0.5 * std::sin(2.0 * std::numbers::pi * hz * n / in_hz);
        const bytes out = convert(config_of(in_hz, PCMTAPER_SAMPLE_F64, 1, PCMTAPER_CHANNEL_ONLY, 8000,
                                            PCMTAPER_FLAG_ALIGN | PCMTAPER_FLAG_ZERO_DC), bytes_of(x));
        double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;  // least squares over the middle: a sin + b cos, or the mean
        for (std::size_t k = 1000; k < 7000; ++k) {
            const double sn = hz == 0.0 ? 1.0 : std::sin(2.0 * std::numbers::pi * fit_hz * k / 8000);
            const double cs = hz == 0.0 ? 0.0 : std::cos(2.0 * std::numbers::pi * fit_hz * k / 8000);
            ss += sn * sn, sc += sn * cs, cc += cs * cs, ys += (out.at(k) - 128.0) * sn, yc += (out.at(k) - 128.0) * cs;
        }
        const double det = ss * cc - sc * sc;
        return hz == 0.0 ? ys / ss : std::hypot((ys * cc - yc * sc) / det, (yc * ss - ys * sc) / det);
    };
    for (double hz : {0.0, 1000.0, 3700.0}) EXPECT_NEAR(steps_at(44100, hz, hz), steps_at(8000, hz, hz), 0.1) << hz;
    for (double hz : {4450.0, 6000.0}) EXPECT_LT(steps_at(44100, hz, 8000 - hz), 0.25) << hz;
}

// Each field of the input's description refused outside its range, by
// create, converter_size and init alike; init takes no config that resamples,
// pcmtaper_process no input but 16-bit.
TEST(LibraryFrames, TheInputDescriptionIsChecked) {
    const pcmtaper_status ok = PCMTAPER_OK, invalid = PCMTAPER_ERROR_INVALID_ARGUMENT;
    const struct {
        void (*change)(pcmtaper_config*);
        pcmtaper_status status;
    } rows[] = {
        {[](pcmtaper_config* c) { c->input_type = static_cast<pcmtaper_sample_type>(6); }, invalid},
        {[](pcmtaper_config* c) { c->input_valid_bits = 17; }, invalid},
        {[](pcmtaper_config* c) { c->input_type = PCMTAPER_SAMPLE_F32, c->input_valid_bits = 24; }, invalid},
        {[](pcmtaper_config* c) { c->input_type = PCMTAPER_SAMPLE_F32, c->input_valid_bits = 32; }, ok},
        {[](pcmtaper_config* c) { c->input_channels = 0; }, invalid},
        {[](pcmtaper_config* c) { c->input_channels = 65, c->channel = PCMTAPER_CHANNEL_MIX; }, invalid},
        {[](pcmtaper_config* c) { c->input_channels = 64, c->channel = PCMTAPER_CHANNEL_MIX; }, ok},
        {[](pcmtaper_config* c) { c->input_channels = 2; }, invalid},  // ONLY of a stereo input
        {[](pcmtaper_config* c) { c->input_channels = 2, c->channel = 3; }, invalid},
        {[](pcmtaper_config* c) { c->channel = -2; }, invalid},
        {[](pcmtaper_config* c) { c->gain_db = std::nan(""); }, invalid},
        {[](pcmtaper_config* c) { c->gain_db = 7000; }, invalid},  // the factor overflows
        {[](pcmtaper_config* c) { c->output_rate_hz = 999; }, invalid},
        {[](pcmtaper_config* c) { c->output_rate_hz = 384001; }, invalid},
        {[](pcmtaper_config* c) { c->output_rate_hz = 384000; }, ok},
        {[](pcmtaper_config* c) { c->output_rate_hz = 44100; }, ok},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(&r - rows);
        pcmtaper_config config = config_of(44100);
        r.change(&config);
        pcmtaper_converter* c = nullptr;
        EXPECT_EQ(pcmtaper_create(&config, &c), r.status);
        EXPECT_EQ(pcmtaper_latency(c), r.status == ok ? 224u : 0u);
        size_t used, written;  // pcmtaper_process takes 16-bit input only
        EXPECT_EQ(pcmtaper_process(c, nullptr, 0, &used, nullptr, 0, &written),
                  r.status == ok && config.input_type == PCMTAPER_SAMPLE_S16 ? ok : invalid);
        pcmtaper_destroy(c);
        std::vector<unsigned char> memory(pcmtaper_converter_size(&config));
        EXPECT_EQ(memory.empty(), r.status != ok);
        const bool resamples = config.output_rate_hz == 384000;
        EXPECT_EQ(pcmtaper_init(memory.data(), memory.size(), &config, &c),
                  resamples ? PCMTAPER_ERROR_ALLOCATION_NEEDED : r.status);
        EXPECT_EQ(c == nullptr, r.status != ok || resamples);
        pcmtaper_destroy(c);
    }
}

}  // namespace
