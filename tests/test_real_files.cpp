// Files as sox and ffmpeg write them (tests/data, made by
// tests/data/make_fixtures.sh), each converted or refused as the README says.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "program_runner.h"
#include "wav_fixtures.h"

using namespace fixtures;

namespace {

std::string fixture(const std::string& name) {
    std::ifstream in(std::string(PCMTAPER_TEST_DATA) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return {std::istreambuf_iterator<char>(in), {}};
}

// Every converted fixture holds the same 2000 samples of a 440 Hz sine at
// 8000 Hz: 62 whole blocks. sox and ffmpeg round the sine alike or not, so
// the outputs are compared within each tool.
struct converted {
    const char* file;
    const char* remarks;  // what the header walk says before the rate line
};

const converted sox_files[] = {
    {"sox.wav", ""},
    {"sox-stream.wav",
     "The data chunk claims 2147479552 bytes; the file holds 4000 after the header.\r\n"},
};

const converted ffmpeg_files[] = {
    {"ffmpeg.wav", "data!=LIST\r\n"},
    {"ffmpeg-bext.wav", "data!=bext\r\ndata!=LIST\r\n"},
    {"ffmpeg-rf64-auto.wav", "fmt  != JUNK\r\n"},
    {"ffmpeg-rf64.wav", ""},  // its real sizes in ds64
    {"ffmpeg-pipe.wav",
     "The data chunk claims 4294967295 bytes; the file holds 4000 after the header.\r\n"},
};

void expect_converted(const converted* begin, const converted* end) {
    scratch_dir dir;
    std::string first_output;
    for (const converted* c = begin; c != end; ++c) {
        SCOPED_TRACE(c->file);
        dir.write("in.wav", fixture(c->file));
        const run_result r = dir.run({"in.wav"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(up_to_frames_line(r.out), std::string("in.wav\r\nin.8b.wav\r\n") + c->remarks +
                                                "SAMPLE RATE: 8000\r\n FRAMES NUM: 62\r\n");
        const std::string out = dir.read("in.8b.wav");
        ASSERT_EQ(out.size(), 44u + 62 * 32);
        EXPECT_EQ(out.substr(0, 44), output_header(62, 8000));
        EXPECT_EQ(out.substr(44, 224), std::string(224, char(128)));
        // The same samples, whatever chunks surround them: the same bytes.
        if (c == begin) first_output = out;
        EXPECT_EQ(out, first_output);
    }
}

TEST(RealFiles, SoxFilesAreConverted) { expect_converted(std::begin(sox_files), std::end(sox_files)); }

TEST(RealFiles, FfmpegFilesWithTheirChunksAreConverted) {
    expect_converted(std::begin(ffmpeg_files), std::end(ffmpeg_files));
}

TEST(RealFiles, OtherFormatsAreRefusedWithTheirExitCodes) {
    struct refused {
        const char* file;
        const char* text;
        int exit_code;
    };
    const refused cases[] = {
        {"sox-alaw.wav", "This is not a linear PCM.\r\n", 2},
        {"ffmpeg-stereo.wav", "This is not a Monaural sound(Stereo, Surround, etc.).\r\n", 3},
    };
    for (const refused& c : cases) {
        SCOPED_TRACE(c.file);
        scratch_dir dir;
        dir.write("in.wav", fixture(c.file));
        const run_result r = dir.run({"in.wav"});
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_EQ(r.out, std::string("in.wav\r\nin.8b.wav\r\n") + c.text);
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"in.wav"});
    }
}

// sox's 24-bit (EXTENSIBLE with a fact chunk) and 8-bit files and ffmpeg's
// float one: 400 samples each, 12 blocks.
TEST(RealFiles, WideNarrowAndFloatFilesAreConverted) {
    for (const char* file : {"sox-24bit-extensible.wav", "sox-24bit-wavpcm.wav", "sox-8bit.wav", "ffmpeg-float.wav"}) {
        scratch_dir dir;
        dir.write("in.wav", fixture(file));
        EXPECT_EQ(dir.run({"in.wav"}).exit_code, 0) << file;
        EXPECT_EQ(dir.read("in.8b.wav").substr(0, 44), output_header(12, 8000)) << file;
    }
}

// ffmpeg writes mono 16-bit above 48 kHz as WAVE_FORMAT_EXTENSIBLE with the
// PCM sub-format: the same bytes out as the canonical file of its samples.
TEST(RealFiles, AnExtensiblePcmFileConvertsLikeItsCanonicalTwin) {
    const std::string extensible = fixture("ffmpeg-96k-extensible.wav");
    const std::size_t data_at = extensible.find("data");
    ASSERT_NE(data_at, std::string::npos);
    const std::string samples = extensible.substr(data_at + 8);
    ASSERT_GT(samples.size(), 64u);
    scratch_dir dir;
    dir.write("ext.wav", extensible);
    dir.write("twin.wav", riff(chunk("fmt ", fmt_body(1, 1, 96000)) + chunk("data", samples)));
    const run_result ext = dir.run({"ext.wav", "ext.8b.wav"});
    const run_result twin = dir.run({"twin.wav", "twin.8b.wav"});
    EXPECT_EQ(ext.exit_code, 0);
    EXPECT_EQ(ext.out.substr(ext.out.find("SAMPLE")), twin.out.substr(twin.out.find("SAMPLE")));
    EXPECT_EQ(dir.read("ext.8b.wav"), dir.read("twin.8b.wav"));
    EXPECT_EQ(dir.read("ext.8b.wav").size(), 44 + samples.size() / 64 * 32);
}

// The fixtures stay small and are what their script says.
TEST(RealFiles, FixturesAreSmall) {
    for (const char* name : {"sox.wav", "ffmpeg-bext.wav", "ffmpeg-rf64.wav", "ffmpeg-96k-extensible.wav"}) {
        const std::string bytes = fixture(name);
        EXPECT_GT(bytes.size(), 44u) << name;
        EXPECT_LT(bytes.size(), 8192u) << name;
    }
}

}  // namespace
