// The built program: what it prints, its exit codes and the files it writes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <random>

#include "program_runner.h"
#include "wav_fixtures.h"

using namespace fixtures;

namespace {

const std::string banner =
    "pcmtaper.exe version 2.1.0 (https://example.org/pcmtaper)\r\n"
    "Monaural 16bit wav file to Monaural 8bit wav file. Very slow, high quality.\r\n\r\n"
    "  usage:  pcmtaper input.wav [output.wav]\r\n";

std::vector<std::int16_t> impulse(int blocks, std::int16_t first) {
    std::vector<std::int16_t> s(32 * blocks, 0);
    s[0] = first;
    return s;
}

TEST(Program, WithoutArgumentsPrintsTheBannerAndTouchesNoFile) {
    scratch_dir dir;
    const run_result r = dir.run({});
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(Program, AMissingInputPrintsOnlyTheNames) {
    scratch_dir dir;
    const run_result r = dir.run({"missing.wav", "a"});
    EXPECT_EQ(r.out, "missing.wav\r\na\r\n");
    EXPECT_EQ(r.exit_code, 1);
    dir.run({"missing.wav"});
    EXPECT_TRUE(dir.entries().empty());
    // A directory is no input either.
    std::filesystem::create_directory(dir.path("d.wav"));
    EXPECT_EQ(dir.run({"d.wav"}).exit_code, 1);
}

TEST(Program, RefusedInputsLeaveNoOutputAndKeepAnExistingOne) {
    struct refusal {
        std::string file;
        std::string text;
        int exit_code;
    };
    const std::string data = chunk("data", std::string(128, '\0'));
    const refusal cases[] = {
        {riff(chunk("fmt ", fmt_body(6, 1, 44100, 8)) + data), "This is not a linear PCM.\r\n", 2},
        {riff(chunk("fmt ", fmt_body(1, 2, 44100)) + data),
         "This is not a Monaural sound(Stereo, Surround, etc.).\r\n", 3},
        {riff(chunk("fmt ", fmt_body(1, 1, 44100))), "The file ends inside the header.\r\n", 5},
        {riff(chunk("fmt ", fmt_body(1, 1, 44100)) + std::string(200, 'x')).substr(0, 60),
         "data!=xxxx\r\nThe file ends inside the header.\r\n", 5},
        {riff(chunk("fmt ", fmt_body(1, 1, 44100, 40)) + data), "This is not a 16bit sound.\r\n", 6},
        {riff(chunk("fmt ", fmt_body(1, 1, 0)) + data), "This sample rate is not supported.\r\n", 7},
    };
    for (const refusal& c : cases) {
        scratch_dir dir;
        dir.write("in.wav", c.file);
        run_result r = dir.run({"in.wav"});
        EXPECT_EQ(r.out, "in.wav\r\nin.8b.wav\r\n" + c.text);
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"in.wav"});
        dir.write("keep.wav", "precious");
        r = dir.run({"in.wav", "keep.wav"});
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_EQ(dir.read("keep.wav"), "precious");
    }
}

TEST(Program, NeverWritesOverTheInput) {
    scratch_dir dir;
    const std::string input = mono16_wav(8000, impulse(9, 1000));
    dir.write("take1", input);  // derivation leaves the name unchanged
    dir.write("in.wav", input);
#ifdef _WIN32
    // A symbolic link needs a privilege there: both names are hard links.
    std::filesystem::create_hard_link(dir.path("in.wav"), dir.path("link.wav"));
#else
    ASSERT_EQ(symlink("in.wav", dir.path("link.wav").c_str()), 0);
#endif
    std::filesystem::create_hard_link(dir.path("in.wav"), dir.path("hard.wav"));

    run_result r = dir.run({"take1"});
    EXPECT_EQ(r.out, "take1\r\ntake1\r\nThe output file is the input file.\r\n");
    EXPECT_EQ(r.exit_code, 8);
    for (const char* other : {"in.wav", "./in.wav", "link.wav", "hard.wav"}) {
        r = dir.run({"in.wav", other});
        EXPECT_EQ(r.exit_code, 8) << other;
        EXPECT_EQ(r.out, std::string("in.wav\r\n") + other + "\r\nThe output file is the input file.\r\n");
    }
    EXPECT_EQ(dir.read("take1"), input);
    EXPECT_EQ(dir.read("in.wav"), input);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"hard.wav", "in.wav", "link.wav", "take1"}));
}

TEST(Program, ConvertsAFileWithoutWholeBlocksToAHeaderAlone) {
    scratch_dir dir;
    dir.write("short.WAV", mono16_wav(22050, std::vector<std::int16_t>(31, 5)));
    const run_result r = dir.run({"short.WAV"});
    EXPECT_EQ(r.out, "short.WAV\r\nshort.8b.wav\r\n" + header_lines(22050, 0));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(dir.read("short.8b.wav"), output_header(0, 22050));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"short.8b.wav", "short.WAV"}));
}

TEST(Program, OutputTrailsTheInputBy224Samples) {
    scratch_dir dir;
    struct impulse_case {
        std::int16_t sample;
        unsigned char byte;
    };
    for (const impulse_case c : {impulse_case{16384, 192}, {32767, 254}, {-32768, 2}}) {
        dir.write("in.wav", mono16_wav(44100, impulse(10, c.sample)));
        std::filesystem::remove(utf8_path(dir.path("out.wav")));
        const run_result r = dir.run({"in.wav", "out.wav"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(up_to_frames_line(r.out), "in.wav\r\nout.wav\r\n" + header_lines(44100, 10));
        const std::string out = dir.read("out.wav");
        ASSERT_EQ(out.size(), 44u + 320u);
        EXPECT_EQ(out.substr(0, 44), output_header(10, 44100));
        std::string expected(320, char(128));
        expected[224] = static_cast<char>(c.byte);
        if (c.sample == 16384) {
            EXPECT_EQ(out.substr(44), expected);  // no error is fed back from an exact step
        } else {
            EXPECT_EQ(out.substr(44, 225), expected.substr(0, 225));
        }
    }
}

TEST(Program, SilenceIsTheZeroLevelAndRunsAreRepeatable) {
    scratch_dir dir;
    dir.write("silence.wav", mono16_wav(8000, std::vector<std::int16_t>(32 * 20, 0)));
    EXPECT_EQ(dir.run({"silence.wav"}).exit_code, 0);
    EXPECT_EQ(dir.read("silence.8b.wav"), output_header(20, 8000) + std::string(640, char(128)));

    std::mt19937 rng(7);
    std::vector<std::int16_t> noise(32 * 40);
    for (auto& v : noise) v = static_cast<std::int16_t>(rng() % 20000) - 10000;
    dir.write("noise.wav", mono16_wav(48000, noise));
    const run_result first = dir.run({"noise.wav", "a.wav"});
    const run_result second = dir.run({"noise.wav", "b.wav"});
    EXPECT_EQ(first.out.substr(first.out.find("SAMPLE")), second.out.substr(second.out.find("SAMPLE")));
    EXPECT_EQ(dir.read("a.wav"), dir.read("b.wav"));
    EXPECT_EQ(dir.read("a.wav").size(), 44u + 40 * 32);
}

TEST(Program, BlockCountComesFromWholeBlocksOfData) {
    scratch_dir dir;
    for (int bytes : {6464, 6463}) {
        std::string file = riff(chunk("fmt ", fmt_body(1, 1, 44100)) + "data" + u32(bytes) +
                                std::string(bytes, '\0'));
        dir.write("in.wav", file);
        const run_result r = dir.run({"in.wav"});
        EXPECT_EQ(up_to_frames_line(r.out), "in.wav\r\nin.8b.wav\r\n" + header_lines(44100, bytes / 64));
        EXPECT_EQ(dir.read("in.8b.wav").size(), 44u + 32u * (bytes / 64));
    }
}

TEST(Program, ADataSizeBeyondTheFileConvertsWhatIsThere) {
    scratch_dir dir;
    for (std::uint32_t declared : {6464u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        dir.write("cut.wav", riff(chunk("fmt ", fmt_body(1, 1, 8000))) + "data" + u32(declared) +
                                 std::string(200, '\0'));
        const run_result r = dir.run({"cut.wav"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out.substr(0, r.out.find("SAMPLE")),
                  "cut.wav\r\ncut.8b.wav\r\nThe data chunk claims " + std::to_string(declared) +
                      " bytes; the file holds 200 after the header.\r\n");
        EXPECT_EQ(dir.read("cut.8b.wav"), output_header(3, 8000) + std::string(96, char(128)));
    }
}

TEST(Program, APipedInputEndsAtItsLastWholeBlock) {
#ifdef _WIN32
    GTEST_SKIP() << "no /dev/stdin";
#endif
    scratch_dir dir;
    // A streaming writer's header: the data size is not known yet.
    dir.write("stream.wav", riff(chunk("fmt ", fmt_body(1, 1, 8000))) + "data" + u32(0xFFFFFFFF) +
                                std::string(32 * 2 * 9 + 10, '\0'));
    const run_result r = dir.run({"/dev/stdin", "out.wav"}, "cat stream.wav | ");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(up_to_frames_line(r.out), "/dev/stdin\r\nout.wav\r\n" + header_lines(8000, 67108863));
    EXPECT_EQ(r.out.substr(r.out.find("The input")), "The input ended after 9 of 67108863 frames.\r\n");
    EXPECT_EQ(dir.read("out.wav"), output_header(9, 8000) + std::string(9 * 32, char(128)));
}

TEST(Program, FailedWritesAreReportedAndLeaveNothingBehind) {
    scratch_dir dir;
    dir.write("in.wav", mono16_wav(8000, impulse(9, 100)));
    run_result r;
#ifndef _WIN32
    r = dir.run({"in.wav", "/dev/full"});
    EXPECT_EQ(r.exit_code, 10);
    EXPECT_EQ(r.out.substr(r.out.size() - 31), "Cannot write the output file.\r\n");
#endif

    r = dir.run({"in.wav", "no/such/dir/out.wav"});
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_EQ(r.out, "in.wav\r\nno/such/dir/out.wav\r\n" + header_lines(8000, 9));
    std::filesystem::create_directory(dir.path("outdir"));
    EXPECT_EQ(dir.run({"in.wav", "outdir"}).exit_code, 4);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in.wav", "outdir"}));
}

TEST(Program, AnExistingOutputIsReplacedWholeWithItsMode) {
    scratch_dir dir;
    dir.make_earlier_output("in.wav", "out.wav", mono16_wav(8000, std::vector<std::int16_t>(32 * 9, 1000)),
                            mono16_wav(8000, std::vector<std::int16_t>(32 * 8, 0)));
#ifndef _WIN32
    ASSERT_EQ(chmod(dir.path("out.wav").c_str(), 0640), 0);
#endif
    if (!dir.keeps_output_marks()) GTEST_SKIP() << "this file system keeps no marks: the output is kept";
    EXPECT_EQ(dir.run({"in.wav", "out.wav"}).exit_code, 0);
    EXPECT_EQ(dir.read("out.wav"), output_header(8, 8000) + std::string(256, char(128)));
#ifndef _WIN32
    struct stat st;
    ASSERT_EQ(stat(dir.path("out.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
#endif
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in.wav", "out.wav"}));
}

}  // namespace

namespace {

// A real WAV reader agrees with what we write. Runs where sox is installed
// (the CI script installs it).
TEST(Program, SoxReadsTheOutputAsUnsigned8BitMono) {
#ifdef _WIN32
    GTEST_SKIP() << "sox is looked for on POSIX systems only";
#endif
    if (std::system("command -v sox >/dev/null 2>&1") != 0) GTEST_SKIP() << "sox is not installed";
    scratch_dir dir;
    dir.write("in.wav", mono16_wav(22050, impulse(100, 1000)));
    ASSERT_EQ(dir.run({"in.wav"}).exit_code, 0);
    auto sox_info = [&](const std::string& option) {
        return run_command("sox --i " + option + " " + shell_quote(dir.path("in.8b.wav"))).out;
    };
    EXPECT_EQ(sox_info("-r"), "22050\n");
    EXPECT_EQ(sox_info("-c"), "1\n");
    EXPECT_EQ(sox_info("-s"), "3200\n");
    EXPECT_EQ(sox_info("-b"), "8\n");
    EXPECT_EQ(sox_info("-e"), "Unsigned Integer PCM\n");
}

}  // namespace
