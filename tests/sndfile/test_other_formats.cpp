// Other formats through libsndfile (a build with it): the decoded file as
// the WAV file the library reads, lossless files converted to the bytes of a
// WAV file of the same samples, and the refusals of what is not read.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>
#include <map>

#include "../program_runner.h"
#include "../wav_fixtures.h"
#include "driver/other_formats.h"

using namespace fixtures;

namespace {

// Samples of every size, the same in each file a case writes: 16-bit ones,
// and 24-bit ones (left-justified in an int, as libsndfile takes them) whose
// low byte is not zero.
std::vector<std::int16_t> samples_16(std::size_t count) {
    std::vector<std::int16_t> s(count);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        s[i] = static_cast<std::int16_t>(static_cast<int>((i * 7919) % 20000) - 10000 + static_cast<int>(state >> 24));
    }
    return s;
}
std::vector<int> samples_24(const std::vector<std::int16_t>& s16) {
    std::vector<int> s(s16.size());
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int>(s16[i]) * 65536 + static_cast<int>(i * 37 % 256) * 256;
    return s;
}

// Writes `frames` frames of `data` (short, int, float or double by `format`'s
// subtype) with libsndfile.
template <typename T>
void write_with_libsndfile(const std::string& path, int format, int channels, int rate_hz, const std::vector<T>& data) {
    SF_INFO info{};
    info.samplerate = rate_hz;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    const sf_count_t frames = static_cast<sf_count_t>(data.size()) / channels;
    sf_count_t written = 0;
    if constexpr (std::is_same_v<T, std::int16_t>) written = sf_writef_short(file, data.data(), frames);
    if constexpr (std::is_same_v<T, int>) written = sf_writef_int(file, data.data(), frames);
    if constexpr (std::is_same_v<T, float>) written = sf_writef_float(file, data.data(), frames);
    EXPECT_EQ(written, frames);
    sf_close(file);
}

// Samples as their bytes in memory: little-endian, as in a WAV file.
template <typename T>
std::string bytes_of(const std::vector<T>& samples) {
    return std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * sizeof(T));
}

// A run's standard output after the two name lines.
std::string after_names(const std::string& out) {
    const std::size_t first = out.find("\r\n");
    return first == std::string::npos ? out : out.substr(out.find("\r\n", first + 2) + 2);
}

}  // namespace

// What the library is handed: a header stating the decoded type (EXTENSIBLE
// for 24-bit samples in 32 and for more than two channels), then every
// sample exactly: integers left-justified, floats with their values (beyond
// full scale too), at any position a seek lands on, mid-frame included.
TEST(OtherFormats, TheDecodedFileStatesItsTypeAndHoldsTheSamplesExactly) {
    scratch_dir dir;
    const std::vector<std::int16_t> s16 = samples_16(3 * 500);
    const std::vector<int> s24 = samples_24(s16);
    std::vector<float> f32(s16.size());
    for (std::size_t i = 0; i < f32.size(); ++i) f32[i] = static_cast<float>(s16[i]) / 4096.0f;  // up to 2.4 times full scale
    write_with_libsndfile(dir.path("a.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 3, 44100, s24);
    write_with_libsndfile(dir.path("b.aiff"), SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1, 8000, s16);
    write_with_libsndfile(dir.path("c.caf"), SF_FORMAT_CAF | SF_FORMAT_FLOAT, 2, 48000, f32);
    // EXTENSIBLE: 24 valid bits, no speaker positions, the PCM sub-format.
    const std::string extension_24 =
        u16(22) + u16(24) + u32(0) + u32(1) + std::string("\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 12);
    const struct {
        const char* name;
        std::string fmt, data;
    } cases[] = {
        {"a.flac", fmt_body(0xFFFE, 3, 44100, 32, extension_24), bytes_of(s24)},
        {"b.aiff", fmt_body(1, 1, 8000), bytes_of(s16)},
        {"c.caf", fmt_body(3, 2, 48000, 32), bytes_of(f32)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::FILE* file = std::fopen(dir.path(c.name).c_str(), "rb");
        ASSERT_NE(file, nullptr);
        std::unique_ptr<decoded_input> in = open_decoded_input(file, 0, std::filesystem::file_size(dir.path(c.name)));
        ASSERT_NE(in, nullptr);
        const std::string wav = riff(chunk("fmt ", c.fmt) + chunk("data", c.data));
        EXPECT_EQ(in->size_bytes(), static_cast<long long>(wav.size()));
        const std::size_t frame_bytes = c.fmt[12];
        const std::size_t mid_frame = wav.size() - c.data.size() + 5 * frame_bytes + 3;
        for (const std::size_t offset : {std::size_t{0}, mid_frame, std::size_t{10}, wav.size()}) {
            ASSERT_TRUE(in->seek(offset)) << offset;
            std::string rest;
            char buffer[1000];  // no multiple of any frame
            int failed = 0;
            for (std::size_t n; (n = in->read(buffer, sizeof buffer, &failed)) > 0;) rest.append(buffer, n);
            EXPECT_EQ(failed, 0);
            EXPECT_TRUE(rest == wav.substr(offset)) << offset;
        }
        in.reset();
        std::fclose(file);
    }
}

// A lossless file gives the very bytes and text of a WAV file of the same
// samples: 16-bit ones those of the 16-bit WAV, 24-bit ones those of the
// 24-bit WAV, floats holding s / 32768 those of the 16-bit WAV. A lossy file
// converts. With -m a file says that its metadata is not kept.
TEST(OtherFormats, LosslessFilesGiveTheBytesOfTheWavOfTheirSamples) {
    const std::vector<std::int16_t> s16 = samples_16(32 * 60);
    const std::vector<int> s24 = samples_24(s16);
    std::vector<float> f32(s16.size());
    for (std::size_t i = 0; i < f32.size(); ++i) f32[i] = static_cast<float>(s16[i]) / 32768.0f;
    std::string packed_24;
    for (const int v : s24) packed_24 += u32(static_cast<std::uint32_t>(v)).substr(1);
    scratch_dir dir;
    dir.write("ref16.wav", mono16_wav(11025, s16));
    dir.write("ref24.wav", riff(chunk("fmt ", fmt_body(1, 1, 11025, 24)) + chunk("data", packed_24)));
    std::map<std::string, std::string> reference_text;  // by output
    for (const char* reference : {"ref16.wav", "ref24.wav"}) {
        const run_result r = dir.run({reference, std::string(reference) + ".out"});
        ASSERT_EQ(r.exit_code, 0);
        reference_text[std::string(reference) + ".out"] = after_names(r.out);
    }
    ASSERT_FALSE(dir.read("ref16.wav.out") == dir.read("ref24.wav.out"));
    const struct {
        const char* name;
        int format;
        const char* reference;  // null: a lossy file, whose samples are its decoder's
    } cases[] = {
        {"16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "ref16.wav.out"},
        {"16.aif", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, "ref16.wav.out"},
        {"16.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16, "ref16.wav.out"},
        {"16.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16, "ref16.wav.out"},
        {"24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, "ref24.wav.out"},
        {"24.aif", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, "ref24.wav.out"},
        {"24.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_24, "ref24.wav.out"},
        {"24.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_24, "ref24.wav.out"},
        {"float.aifc", SF_FORMAT_AIFF | SF_FORMAT_FLOAT, "ref16.wav.out"},
        {"float.caf", SF_FORMAT_CAF | SF_FORMAT_FLOAT, "ref16.wav.out"},
        {"vorbis.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        switch (c.format & SF_FORMAT_SUBMASK) {
            case SF_FORMAT_PCM_16: write_with_libsndfile(dir.path(c.name), c.format, 1, 11025, s16); break;
            case SF_FORMAT_PCM_24: write_with_libsndfile(dir.path(c.name), c.format, 1, 11025, s24); break;
            default: write_with_libsndfile(dir.path(c.name), c.format, 1, 11025, f32);
        }
        const std::string output = std::string(c.name) + ".out";
        const run_result r = dir.run({c.name, output});
        EXPECT_EQ(r.exit_code, 0);
        if (c.reference == nullptr) {
            EXPECT_EQ(dir.read(output).substr(0, 4), "RIFF");
            continue;
        }
        EXPECT_TRUE(dir.read(output) == dir.read(c.reference));
        EXPECT_EQ(after_names(r.out), reference_text[c.reference]);
    }
    // Channel 2 of three (an EXTENSIBLE header, 24 valid bits in 32) is
    // the mono file of that channel.
    std::vector<int> three(s24.size() * 3);
    for (std::size_t i = 0; i < s24.size(); ++i) {
        three[3 * i] = -s24[i];
        three[3 * i + 1] = s24[i];
        three[3 * i + 2] = 1 << 30;
    }
    write_with_libsndfile(dir.path("three.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 3, 11025, three);
    EXPECT_EQ(dir.run({"-c", "2", "three.flac", "three.out"}).exit_code, 0);
    EXPECT_TRUE(dir.read("three.out") == dir.read("ref24.wav.out"));
    const run_result kept = dir.run_with_errors({"-q", "-m", "16.caf", "kept.wav"});
    EXPECT_EQ(kept.exit_code, 0);
    EXPECT_EQ(kept.err, "pcmtaper: 16.caf: Metadata is kept from WAV files only: none of this CAF file's is copied.\n");
}

// What no decoder reads is refused as a file that is not a WAV file, with
// the formats this build reads; another format from a pipe likewise, with
// why. --help and --version name the formats.
TEST(OtherFormats, WhatIsNotReadIsRefusedNamingTheFormatsRead) {
    scratch_dir dir;
    dir.write("notes.txt", "These are words, not sounds, for all their length.\n");
    write_with_libsndfile(dir.path("in.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, 8000, samples_16(320));
    const std::string formats = readable_formats();
    EXPECT_NE(formats.find("FLAC"), std::string::npos) << formats;
    const struct {
        std::vector<std::string> args;
        std::string input_pipe, hint;
    } cases[] = {
        {{"notes.txt", "out.wav"}, "", "notes.txt is neither a WAV file nor another format this build reads: " + formats},
        {{"-", "out.wav"}, "cat in.flac | ", "standard input is not a WAV file; from a pipe this build reads WAV only"},
    };
    for (const auto& c : cases) {
        const run_result r = dir.run_with_errors(c.args, "", c.input_pipe);
        EXPECT_EQ(r.exit_code, 5);
        EXPECT_NE(r.out.find("The file ends inside the header.\r\n"), std::string::npos) << r.out;
        EXPECT_NE(r.err.find("pcmtaper: " + c.hint), std::string::npos) << r.err;
        EXPECT_FALSE(dir.exists("out.wav"));
    }
    for (const char* option : {"--help", "--version"}) {
        std::string text;  // the lines joined, every run of blanks one space
        for (const char c : dir.run({option}).out) {
            const bool blank = c == ' ' || c == '\r' || c == '\n';
            if (!blank || (!text.empty() && text.back() != ' ')) text += blank ? ' ' : c;
        }
        EXPECT_NE(text.find("Formats read: " + formats + " (all but WAV through " + decoder_version()), std::string::npos)
            << option << text;
    }
}
