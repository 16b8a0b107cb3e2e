// Whole WAV files of every sample format through pcmtaper_convert_wav: the
// identities with the 16-bit file, the channel choice, the rate change of the
// counts and the metadata, the normalisation and the clipping remark.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "pcmtaper/pcmtaper.h"
#include "signals.h"
#include "wav/wav.h"
#include "wav_fixtures.h"

using namespace fixtures;

namespace {

// A file of `frames` (bytes of whole frames) in the format given; EXTENSIBLE
// (with its valid-bits field) when valid_bits is not 0.
std::string file_of(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate_hz, std::uint16_t bits,
                    const std::string& frames, std::uint16_t valid_bits = 0, const std::string& more = "") {
    const std::string guid_tail("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
    const std::string fmt = valid_bits == 0 ? fmt_body(tag, channels, rate_hz, bits)
                                            : fmt_body(65534, channels, rate_hz, bits,
                                                       u16(22) + u16(valid_bits) + u32(0) + u16(tag) + guid_tail);
    return riff(chunk("fmt ", fmt) + more + chunk("data", frames));
}

// Floats as a file holds them (the host's order, little-endian).
std::string bytes_of(const std::vector<float>& values) {
    return {reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float)};
}

struct converted {
    pcmtaper_status status;
    std::string bytes, remarks;
    pcmtaper_wav_plan plan;
};

// pcmtaper_convert_wav over memory; the reader seeks unless `stream`.
converted convert(const std::string& file, pcmtaper_config config, bool stream = false) {
    memory_bytes in{reinterpret_cast<const unsigned char*>(file.data()), file.size(), 0};
    const pcmtaper_reader reader{sizeof reader, read_memory, &in, stream ? -1 : static_cast<std::int64_t>(file.size()),
                                 stream ? nullptr : seek_memory};
    converted c{};
    const auto append = [](void* to, const void* b, size_t n) {
        static_cast<std::string*>(to)->append(static_cast<const char*>(b), n);
        return 0;
    };
    const pcmtaper_writer writer{sizeof writer, append, nullptr, &c.bytes};
    pcmtaper_wav_events events{sizeof events, &c.remarks, [](void* to, const pcmtaper_remark* r) {
                                   char line[PCMTAPER_REMARK_TEXT_MAX];
                                   static_cast<std::string*>(to)->append(line, pcmtaper_format_remark(r, line, sizeof line));
                               }, nullptr, nullptr, nullptr};
    c.plan.struct_size = sizeof c.plan;
    c.status = pcmtaper_convert_wav(&reader, &writer, &config, &events, &c.plan);
    return c;
}

pcmtaper_config config_with(int channel = PCMTAPER_CHANNEL_ONLY, unsigned flags = 0, std::uint32_t out_hz = 0,
                            double gain_db = 0) {
    pcmtaper_config config;
    pcmtaper_config_init(&config);
    config.channel = channel;
    config.flags = flags;
    config.output_rate_hz = out_hz;
    config.gain_db = gain_db;
    return config;
}

const std::vector<std::int16_t> music = make_example_signal(example_kind::music, 8000, 0.3);

TEST(WavFormats, EveryWidthHoldingTheSixteenBitValuesGivesTheSixteenBitFilesBytes) {
    std::string s24, s24_padded, s32, s32_padded, f32, f64, u8;
    std::vector<std::int16_t> top8;
    const auto put = [](std::string& to, auto v, int bytes) { to.append(reinterpret_cast<const char*>(&v), bytes); };
    for (std::int16_t v : music) {
        put(s24, v * 256, 3);
        put(s24_padded, v * 256 + 0x0A, 3);  // bits below 20 valid ones: padding, never read
        put(s32, v * 65536, 4);
        put(s32_padded, v * 65536 + 0x5A5A, 4);
        put(f32, static_cast<float>(v / 32768.0), 4);
        put(f64, v / 32768.0, 8);
        put(u8, (v >> 8) + 128, 1);  // as 8 bits: the high byte alone
        top8.push_back(static_cast<std::int16_t>(v & 0xFF00));
    }
    const std::string expected = convert(mono16_wav(8000, music), config_with()).bytes;
    const struct {
        const char* what;
        std::string file, same_as;
    } cases[] = {
        {"24-bit", file_of(1, 1, 8000, 24, s24 + "\x01\x02"), expected},  // a partial frame left over
        {"20 valid in 24", file_of(1, 1, 8000, 24, s24_padded, 20), expected},
        {"32-bit", file_of(1, 1, 8000, 32, s32), expected},
        {"16 valid in 32", file_of(1, 1, 8000, 32, s32_padded, 16), expected},
        {"float", file_of(3, 1, 8000, 32, f32), expected},
        {"double, EXTENSIBLE", file_of(3, 1, 8000, 64, f64, 64), expected},
        {"8-bit", file_of(1, 1, 8000, 8, u8), convert(mono16_wav(8000, top8), config_with()).bytes},
    };
    for (const auto& c : cases) {
        const converted got = convert(c.file, config_with());
        EXPECT_TRUE(got.status == PCMTAPER_OK && got.remarks.empty() && got.bytes == c.same_as) << c.what;
    }
}

TEST(WavFormats, AChannelOfAStereoFileIsThatChannelsMonoFile) {
    std::vector<std::int16_t> frames, reversed(music.rbegin(), music.rend());
    for (std::size_t i = 0; i < music.size(); ++i) frames.insert(frames.end(), {music[i], reversed[i]});
    const std::string stereo = file_of(1, 2, 8000, 16, samples_le(frames));
    EXPECT_TRUE(convert(stereo, config_with(1)).bytes == convert(mono16_wav(8000, music), config_with()).bytes);
    EXPECT_TRUE(convert(stereo, config_with(2)).bytes == convert(mono16_wav(8000, reversed), config_with()).bytes);
    const converted mono_only = convert(stereo, config_with());
    EXPECT_EQ(mono_only.status, PCMTAPER_ERROR_NOT_MONO);
    EXPECT_EQ(mono_only.remarks, "This is not a Monaural sound(Stereo, Surround, etc.).\r\n");
    const converted third = convert(stereo, config_with(3));
    EXPECT_EQ(third.status, PCMTAPER_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(third.plan.input_channels, 2u);
    EXPECT_EQ(third.bytes, "");
}

TEST(WavFormats, ARateChangeCountsOutputBlocksScalesTheLoopsAndIsBounded) {
    const std::string smpl = u32(0) + u32(0) + u32(0) + u32(60) + u32(0) + u32(0) + u32(0) + u32(1) + u32(0) +
                             u32(0) + u32(0) + u32(1001) + u32(2002) + u32(0) + u32(0);
    const std::string file = file_of(1, 1, 8000, 16, samples_le(music), 0, chunk("smpl", smpl));
    for (const unsigned align : {0u, PCMTAPER_FLAG_ALIGN}) {
        const pcmtaper_config config = config_with(PCMTAPER_CHANNEL_ONLY, PCMTAPER_FLAG_KEEP_METADATA | align, 22050);
        const converted c = convert(file, config);
        ASSERT_EQ(c.status, PCMTAPER_OK);
        // The memory bound holds a rate change up, whose samples outgrow the input's bytes.
        const pcmtaper_config plain = config_with(PCMTAPER_CHANNEL_ONLY, align, 22050);
        EXPECT_LE(c.bytes.size() - 8 - smpl.size(), pcmtaper_wav_memory_output_bound(file.data(), file.size(), &plain));
        EXPECT_EQ(c.plan.sample_rate_hz, 22050u);
        EXPECT_EQ(c.plan.input_rate_hz, 8000u);
        EXPECT_EQ(c.plan.input_frames, 2400u);
        const std::uint64_t samples = 6615;  // 2400 * 22050 / 8000 = 6615 exactly
        EXPECT_EQ(c.plan.blocks, align != 0 ? (samples + 224 + 31) / 32 : samples / 32);
        EXPECT_EQ(c.plan.samples_written, align != 0 ? samples : samples / 32 * 32);
        EXPECT_EQ(c.plan.output_samples, c.plan.samples_written);
        const std::size_t loop = c.bytes.find("smpl") + 8 + 36;
        const std::uint32_t shift = align != 0 ? 0 : 224;  // 1001 * 2.75625 = 2759.006, 2002 * 2.75625 = 5518.01
        EXPECT_EQ(c.bytes.substr(loop + 8, 8), u32(2759 + shift) + u32(5518 + shift));
    }
}

TEST(WavFormats, NormalisingSetsThePeakAndNeedsAReaderThatSeeks) {
    const double target = PCMTAPER_NORMALIZE_PEAK;
    const struct {
        const char* what;
        std::string file;
        double peak;  // fraction of full scale
    } cases[] = {
        {"16-bit at half scale", mono16_wav(8000, {0, 16384, -8192, 0}), 0.5},
        {"float over full scale (read again lower)", file_of(3, 1, 8000, 32, bytes_of(std::vector<float>{0.5f, -3.0f, 2.0f})), 3.0},
    };
    for (const auto& c : cases) {
        const converted normalised =
            convert(c.file, config_with(PCMTAPER_CHANNEL_ONLY, PCMTAPER_FLAG_NORMALIZE | PCMTAPER_FLAG_ALIGN));
        EXPECT_TRUE(normalised.status == PCMTAPER_OK && normalised.remarks.empty()) << c.what;  // nothing clipped
        EXPECT_NEAR(normalised.plan.normalize_gain_db, 20 * std::log10(target / c.peak), 1e-12) << c.what;
        const pcmtaper_config gained =
            config_with(PCMTAPER_CHANNEL_ONLY, PCMTAPER_FLAG_ALIGN, 0, normalised.plan.normalize_gain_db);
        EXPECT_TRUE(convert(c.file, gained).bytes == normalised.bytes) << c.what;
    }
    const converted piped = convert(cases[0].file, config_with(PCMTAPER_CHANNEL_ONLY, PCMTAPER_FLAG_NORMALIZE), true);
    EXPECT_EQ(piped.status, PCMTAPER_ERROR_NOT_SEEKABLE);
    EXPECT_EQ(piped.bytes + piped.remarks, "");
}

TEST(WavFormats, ClippedSamplesAreCountedInOneRemarkAtTheEnd) {
    const float inf = INFINITY;
    // A full-scale square wave: within full scale going in, beyond it after
    // the resampler's low-pass (its overshoot at every edge), where it is
    // clipped again and counted in the same remark.
    std::vector<float> square(256);
    for (std::size_t i = 0; i < square.size(); ++i) square[i] = (i / 16) % 2 == 0 ? 1.0f : -1.0f;
    const struct {
        std::vector<float> samples;
        double gain_db;
        std::uint32_t out_hz;
        const char* remark;
    } cases[] = {
        {{0.5f, 1.5f, -2.0f, 1.0f, NAN}, 0, 0,
         "2 samples were clipped (peak 6.0 dB over full scale); lower the level with --gain -7, or use --normalize.\r\n"},
        {{0.5f, 0.25f}, 12.0, 0, "1 sample was clipped (peak 6.0 dB over full scale); lower the level with --gain -6, or use --normalize.\r\n"},
        {{0.5f, -inf}, 0, 0, "1 sample was clipped; the input holds infinities.\r\n"},
        {{0.5f, -1.0f}, 0, 0, ""},
        {square, 0, 0, ""},
        {square, 0, 4000,
         "64 samples were clipped (peak 1.2 dB over full scale); lower the level with --gain -2, or use --normalize.\r\n"},
    };
    for (const auto& c : cases) {
        const pcmtaper_config config = config_with(PCMTAPER_CHANNEL_ONLY, PCMTAPER_FLAG_ALIGN, c.out_hz, c.gain_db);
        EXPECT_EQ(convert(file_of(3, 1, 8000, 32, bytes_of(c.samples)), config).remarks, c.remark);
    }
}

}  // namespace
