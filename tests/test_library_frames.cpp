// The converter's input description (sample type, channels, channel choice,
// gain, output rate) through pcmtaper_process_frames: the identities with
// the 16-bit mono stream at every kernel level, a table of types, channel
// counts and rates against the test's own decoding and mean, splits and
// threads with resampling, what does not fit full scale, streams shorter
// than the filter, levels through the resampler, and the config's checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "internal/kernel_table.h"
#include "library/versioned.h"
#include "pcmtaper/pcmtaper.h"
#include "resample/resampler.h"
#include "signals.h"

namespace {

using bytes = std::vector<std::uint8_t>;

pcmtaper_config config_of(std::uint32_t rate_hz, pcmtaper_sample_type type = PCMTAPER_SAMPLE_S16,
                          unsigned channels = 1, int channel = PCMTAPER_CHANNEL_ONLY, std::uint32_t output_rate_hz = 0) {
    pcmtaper_config c;
    pcmtaper_config_init(&c);
    c.sample_rate_hz = rate_hz;
    c.input_type = type;
    c.input_channels = channels;
    c.channel = channel;
    c.output_rate_hz = output_rate_hz;
    return c;
}

std::vector<pcmtaper_kernel_level> levels_here() {
    std::vector<pcmtaper_kernel_level> levels;
    for (int level = PCMTAPER_KERNELS_REFERENCE; level <= PCMTAPER_KERNELS_SIMD128; ++level)
        if (pcmtaper_kernel_level_available(static_cast<pcmtaper_kernel_level>(level)))
            levels.push_back(static_cast<pcmtaper_kernel_level>(level));
    return levels;
}

// Little-endian bytes of integers `bytes_each` wide, or of floats.
void put_integer(bytes* out, std::int64_t value, int bytes_each) {
    for (int b = 0; b < bytes_each; ++b) out->push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * b)));
}
template <class F>
void put_float(bytes* out, F value) {
    std::uint8_t b[sizeof(F)];
    std::memcpy(b, &value, sizeof b);  // the test runs on little-endian machines only, as the library
    out->insert(out->end(), b, b + sizeof b);
}

int bytes_of(pcmtaper_sample_type type) {
    switch (type) {
        case PCMTAPER_SAMPLE_U8: return 1;
        case PCMTAPER_SAMPLE_S16: return 2;
        case PCMTAPER_SAMPLE_S24: return 3;
        case PCMTAPER_SAMPLE_S32: case PCMTAPER_SAMPLE_F32: return 4;
        case PCMTAPER_SAMPLE_F64: return 8;
    }
    return 0;
}

// A 16-bit value s in `type`, as a file of that type would hold s / 32768 of
// full scale: integers shifted up (their low bits zero), floats s / 32768.
void put_sample(bytes* out, pcmtaper_sample_type type, std::int32_t s) {
    switch (type) {
        case PCMTAPER_SAMPLE_U8: put_integer(out, s / 256 + 128, 1); break;
        case PCMTAPER_SAMPLE_S16: put_integer(out, s, 2); break;
        case PCMTAPER_SAMPLE_S24: put_integer(out, std::int64_t{s} * 256, 3); break;
        case PCMTAPER_SAMPLE_S32: put_integer(out, std::int64_t{s} * 65536, 4); break;
        case PCMTAPER_SAMPLE_F32: put_float(out, static_cast<float>(s / 32768.0)); break;
        case PCMTAPER_SAMPLE_F64: put_float(out, s / 32768.0); break;
    }
}

// The whole stream through process_frames in one call, drained with room
// for everything pcmtaper_output_bound promised.
bytes convert(const pcmtaper_config& config, const bytes& frames, pcmtaper_input_stats* stats = nullptr) {
    pcmtaper_converter* c = nullptr;
    EXPECT_EQ(pcmtaper_create(&config, &c), PCMTAPER_OK);
    if (c == nullptr) return {};
    const std::size_t frame_bytes = config.input_channels * bytes_of(config.input_type);
    const std::size_t count = frames.size() / frame_bytes;
    bytes out(pcmtaper_output_bound(c, count));
    size_t used = 0, written = 0, total = 0;
    EXPECT_EQ(pcmtaper_process_frames(c, frames.data(), count, &used, out.data(), out.size(), &written), PCMTAPER_OK);
    EXPECT_EQ(used, count);
    total = written;
    do {
        EXPECT_EQ(pcmtaper_finish(c, out.data() + total, out.size() - total, &written), PCMTAPER_OK);
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

// The same stream in random pieces with random output capacities.
bytes convert_in_random_calls(const pcmtaper_config& config, const bytes& frames, std::uint32_t seed) {
    std::mt19937 random(seed);
    pcmtaper_converter* c = nullptr;
    EXPECT_EQ(pcmtaper_create(&config, &c), PCMTAPER_OK);
    const std::size_t frame_bytes = config.input_channels * bytes_of(config.input_type);
    const std::size_t count = frames.size() / frame_bytes;
    bytes out;
    std::uint8_t buffer[300];
    for (std::size_t at = 0; at < count;) {
        const std::size_t piece = std::min<std::size_t>(count - at, random() % 700);
        const std::size_t capacity = random() % 4 == 0 ? 1 : random() % sizeof buffer;
        size_t used = 0, written = 0;
        EXPECT_EQ(pcmtaper_process_frames(c, frames.data() + at * frame_bytes, piece, &used, buffer, capacity, &written),
                  PCMTAPER_OK);
        EXPECT_LE(written, capacity);
        out.insert(out.end(), buffer, buffer + written);
        at += used;
    }
    for (size_t written = 1; written > 0;) {
        const std::size_t capacity = 1 + random() % (sizeof buffer - 1);
        EXPECT_EQ(pcmtaper_finish(c, buffer, capacity, &written), PCMTAPER_OK);
        out.insert(out.end(), buffer, buffer + written);
    }
    pcmtaper_destroy(c);
    return out;
}

bytes s16_bytes(const std::vector<std::int16_t>& s) {
    bytes b;
    for (std::int16_t v : s) put_integer(&b, v, 2);
    return b;
}

// ---- identities ---------------------------------------------------------------------

// Every type, channel choice and the output rate set to the input's give the
// 16-bit mono stream's bytes, at every kernel level, without and with --align.
TEST(LibraryFrames, EveryDescriptionOfTheSameSamplesGivesTheBytesOfSixteenBitMono) {
    const std::uint32_t rate_hz = 16000;
    std::vector<std::int16_t> s = make_example_signal(example_kind::music, rate_hz, 0.3);
    s[100] = -32768;  // full scale, which is not clipped
    s[101] = 32767;
    // An 8-bit stream holds what 16 bits hold of u: (u - 128) * 256.
    std::vector<std::int16_t> s_of_u8(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) s_of_u8[i] = static_cast<std::int16_t>(s[i] / 256 * 256);

    struct row {
        const char* what;
        pcmtaper_sample_type type;
        unsigned channels;
        int channel;
        unsigned valid_bits;
        std::uint32_t output_rate_hz;
        bool of_u8;
    };
    const row rows[] = {
        {"24-bit", PCMTAPER_SAMPLE_S24, 1, PCMTAPER_CHANNEL_ONLY, 0, 0, false},
        {"32-bit", PCMTAPER_SAMPLE_S32, 1, PCMTAPER_CHANNEL_ONLY, 0, 0, false},
        {"20 valid bits of 24, the padding set", PCMTAPER_SAMPLE_S24, 1, PCMTAPER_CHANNEL_ONLY, 20, 0, false},
        {"float", PCMTAPER_SAMPLE_F32, 1, PCMTAPER_CHANNEL_ONLY, 0, 0, false},
        {"double", PCMTAPER_SAMPLE_F64, 1, PCMTAPER_CHANNEL_ONLY, 0, 0, false},
        {"channel 2 of equal stereo", PCMTAPER_SAMPLE_S16, 2, 2, 0, 0, false},
        {"mix of equal stereo", PCMTAPER_SAMPLE_S16, 2, PCMTAPER_CHANNEL_MIX, 0, 0, false},
        {"mix of 3 equal 24-bit channels", PCMTAPER_SAMPLE_S24, 3, PCMTAPER_CHANNEL_MIX, 0, 0, false},
        {"mix of 3 equal float channels", PCMTAPER_SAMPLE_F32, 3, PCMTAPER_CHANNEL_MIX, 0, 0, false},
        {"output rate equal to the input's", PCMTAPER_SAMPLE_S16, 1, PCMTAPER_CHANNEL_ONLY, 0, rate_hz, false},
        {"8-bit", PCMTAPER_SAMPLE_U8, 1, PCMTAPER_CHANNEL_ONLY, 0, 0, true},
    };
    for (unsigned flags : {0u, PCMTAPER_FLAG_ALIGN}) {
        pcmtaper_config plain = config_of(rate_hz);
        plain.flags = flags;
        plain.kernel_level = PCMTAPER_KERNELS_REFERENCE;
        const bytes expected = convert(plain, s16_bytes(s));
        const bytes expected_of_u8 = convert(plain, s16_bytes(s_of_u8));
        ASSERT_EQ(expected.size(), flags != 0 ? s.size() : s.size() / 32 * 32);
        for (pcmtaper_kernel_level level : levels_here()) {
            SCOPED_TRACE(pcmtaper_kernel_level_name(level));
            // pcmtaper_process, and a caller built against 2.0 (a config of
            // its size), give them.
            pcmtaper_config old = plain;
            old.kernel_level = level;
            old.struct_size = 48;
            old.input_channels = 0;  // bytes a 2.0 caller never sets
            old.output_rate_hz = 99;
            pcmtaper_converter* c = nullptr;
            ASSERT_EQ(pcmtaper_create(&old, &c), PCMTAPER_OK);
            bytes out(pcmtaper_output_bound(c, s.size()));
            size_t used = 0, written = 0, total = 0;
            ASSERT_EQ(pcmtaper_process(c, s.data(), s.size(), &used, out.data(), out.size(), &total), PCMTAPER_OK);
            for (; pcmtaper_finish(c, out.data() + total, out.size() - total, &written) == PCMTAPER_OK && written > 0;)
                total += written;
            out.resize(total);
            pcmtaper_destroy(c);
            EXPECT_EQ(out, expected) << "2.0's config through pcmtaper_process";

            for (const row& r : rows) {
                pcmtaper_config config = config_of(rate_hz, r.type, r.channels, r.channel, r.output_rate_hz);
                config.flags = flags;
                config.kernel_level = level;
                config.input_valid_bits = r.valid_bits;
                bytes frames;
                for (std::int16_t v : r.of_u8 ? s_of_u8 : s)
                    for (unsigned ch = 0; ch < r.channels; ++ch) {
                        const std::size_t low_byte = frames.size();
                        put_sample(&frames, r.type, v);
                        if (r.valid_bits != 0) frames[low_byte] |= 0x0F;  // padding below the 20 bits, read as 0
                    }
                EXPECT_EQ(convert(config, frames), r.of_u8 ? expected_of_u8 : expected) << r.what << ", flags " << flags;
            }
        }
    }
}

// ---- resampling ---------------------------------------------------------------------

// With resampling as without: the bytes of one call for random splits of the
// input and of the output capacity, and for 1 to 3 threads.
TEST(LibraryFrames, ResampledStreamsGiveTheSameBytesForEverySplitAndThreadCount) {
    struct row {
        std::uint32_t in_hz, out_hz;
        pcmtaper_sample_type type;
        unsigned channels;
        unsigned flags;
    };
    const row rows[] = {
        {48000, 11025, PCMTAPER_SAMPLE_S24, 2, 0},
        {8000, 22050, PCMTAPER_SAMPLE_F32, 1, PCMTAPER_FLAG_ALIGN},
        {44100, 8000, PCMTAPER_SAMPLE_S16, 1, PCMTAPER_FLAG_ALIGN | PCMTAPER_FLAG_ZERO_DC},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.in_hz) + " -> " + std::to_string(r.out_hz));
        bytes frames;
        for (std::int16_t v : make_example_signal(example_kind::bursts, r.in_hz, 0.4))
            for (unsigned ch = 0; ch < r.channels; ++ch) put_sample(&frames, r.type, ch == 0 ? v : -v / 3);
        pcmtaper_config config = config_of(r.in_hz, r.type, r.channels,
                                           r.channels == 1 ? PCMTAPER_CHANNEL_ONLY : PCMTAPER_CHANNEL_MIX, r.out_hz);
        config.flags = r.flags;
        const bytes whole = convert(config, frames);
        const std::uint64_t frame_count = frames.size() / (r.channels * bytes_of(r.type));
        const std::uint64_t out_samples = (2 * frame_count * r.out_hz + r.in_hz) / (2 * r.in_hz);
        EXPECT_EQ(whole.size(), r.flags & PCMTAPER_FLAG_ALIGN ? out_samples : out_samples / 32 * 32);
        for (unsigned threads = 1; threads <= 3; ++threads) {
            config.threads = threads;
            EXPECT_EQ(convert_in_random_calls(config, frames, threads), whole) << threads << " threads";
        }
    }
}

}  // namespace
