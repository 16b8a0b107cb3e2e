// The input stage's options of the command line: -c, -g, -n and -r. How
// their values are read, at the parser; that each reaches the conversion,
// through the built program, by identities with the plain conversion; and
// the refusals, with their messages and exit codes, nothing written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/cli.h"
#include "program_runner.h"
#include "wav_fixtures.h"

using namespace fixtures;

namespace {

using names = std::vector<std::string>;

command_line parse(std::vector<const char*> args) {
    args.insert(args.begin(), "pcmtaper");
    return parse_command_line(static_cast<int>(args.size()), args.data());
}

// Every value form the parser takes, and what it makes of it.
TEST(InputOptions, ValuesAreReadAsWritten) {
    const struct {
        std::vector<const char*> args;
        int channel;
        double gain_db;
        std::uint32_t rate_hz;
    } cases[] = {
        {{"-c", "mix"}, PCMTAPER_CHANNEL_MIX, 0, 0},
        {{"--channel=2"}, 2, 0, 0},
        {{"-c64"}, 64, 0, 0},
        {{"--channel", "007"}, 7, 0, 0},
        {{"-g", "-6"}, 0, -6, 0},
        {{"--gain=-6"}, 0, -6, 0},
        {{"-g+2.5"}, 0, 2.5, 0},
        {{"-g", ".5"}, 0, 0.5, 0},
        {{"-g", "3."}, 0, 3, 0},
        // Correctly rounded, whatever the locale: the literal's double.
        {{"-g", "0.1"}, 0, 0.1, 0},
        {{"-g", "0.3"}, 0, 0.3, 0},  // not 3 x 0.1
        {{"-g", "-0.7"}, 0, -0.7, 0},
        {{"-g", "-123.456789012345"}, 0, -123.456789012345, 0},
        {{"-g", "000.0000000000000000000001000"}, 0, 1e-22, 0},
        {{"-g", "1200"}, 0, 1200, 0},
        {{"-r", "11025"}, 0, 0, 11025},
        {{"--rate=1000"}, 0, 0, 1000},
        {{"--rate", "384000"}, 0, 0, 384000},
        {{"-qac", "1", "-r8000", "-g", "-0"}, 1, 0, 8000},
    };
    for (const auto& c : cases) {
        std::vector<const char*> args = c.args;
        SCOPED_TRACE(args[0] + std::string(" ") + (args.size() > 1 ? args[1] : ""));
        args.push_back("in.wav");
        const command_line cl = parse(args);
        ASSERT_EQ(cl.action, cli_action::convert) << cl.error;
        EXPECT_EQ(cl.channel, c.channel);
        EXPECT_EQ(cl.gain_db, c.gain_db);
        EXPECT_EQ(cl.output_rate_hz, c.rate_hz);
        EXPECT_FALSE(cl.normalize);
    }
    EXPECT_TRUE(parse({"-n", "in.wav"}).normalize);
    EXPECT_TRUE(parse({"--normalize", "-b", "a.wav", "b.wav"}).normalize);
}

TEST(InputOptions, BadValuesAreUsageErrors) {
    const struct {
        std::vector<const char*> args;
        const char* error;
    } cases[] = {
        {{"-c", "0", "in.wav"}, "invalid channel '0' (mix, or a channel number from 1 to 64)"},
        {{"--channel=65", "in.wav"}, "invalid channel '65' (mix, or a channel number from 1 to 64)"},
        {{"-c", "left", "in.wav"}, "invalid channel 'left' (mix, or a channel number from 1 to 64)"},
        {{"-c", "+1", "in.wav"}, "invalid channel '+1' (mix, or a channel number from 1 to 64)"},
        {{"-c", "MIX", "in.wav"}, "invalid channel 'MIX' (mix, or a channel number from 1 to 64)"},
        {{"in.wav", "-c"}, "option '-c' needs a value"},
        {{"-g", "1e3", "in.wav"}, "invalid gain '1e3' (decibels as a decimal number, such as -6 or 2.5)"},
        {{"--gain=6,5", "in.wav"}, "invalid gain '6,5' (decibels as a decimal number, such as -6 or 2.5)"},
        {{"--gain=", "in.wav"}, "invalid gain '' (decibels as a decimal number, such as -6 or 2.5)"},
        {{"-g", ".", "in.wav"}, "invalid gain '.' (decibels as a decimal number, such as -6 or 2.5)"},
        {{"-g", "--6", "in.wav"}, "invalid gain '--6' (decibels as a decimal number, such as -6 or 2.5)"},
        {{"-g", "inf", "in.wav"}, "invalid gain 'inf' (decibels as a decimal number, such as -6 or 2.5)"},
        {{"-g", "1.2.3", "in.wav"}, "invalid gain '1.2.3' (decibels as a decimal number, such as -6 or 2.5)"},
        {{"-g", " 6", "in.wav"}, "invalid gain ' 6' (decibels as a decimal number, such as -6 or 2.5)"},
        // 16 significant digits: no longer exact in one operation.
        {{"-g", "1.234567890123456", "in.wav"},
         "invalid gain '1.234567890123456' (decibels as a decimal number, such as -6 or 2.5)"},
        {{"-g", "7000", "in.wav"}, "gain '7000' out of range (its factor 10^(DB/20) overflows or vanishes)"},
        {{"-g", "-7000", "in.wav"}, "gain '-7000' out of range (its factor 10^(DB/20) overflows or vanishes)"},
        {{"-r", "999", "in.wav"}, "invalid rate '999' (a whole number of hertz from 1000 to 384000)"},
        {{"--rate=384001", "in.wav"}, "invalid rate '384001' (a whole number of hertz from 1000 to 384000)"},
        {{"-r", "8k", "in.wav"}, "invalid rate '8k' (a whole number of hertz from 1000 to 384000)"},
        {{"-r", "99999999999999999999", "in.wav"},
         "invalid rate '99999999999999999999' (a whole number of hertz from 1000 to 384000)"},
        {{"-n", "-", "out.wav"},
         "--normalize reads the input twice, and standard input can be read only once; give a file name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        const command_line cl = parse(c.args);
        EXPECT_EQ(cl.action, cli_action::usage_error);
        EXPECT_EQ(cl.error, c.error);
    }
}

std::vector<std::int16_t> tone(std::size_t count, int amplitude = 10000) {
    std::vector<std::int16_t> s(count);
    for (std::size_t i = 0; i < count; ++i)
        s[i] = static_cast<std::int16_t>(static_cast<int>(i * 7919 % (2 * amplitude)) - amplitude);
    return s;
}

// A 16-bit file of `channels` channels, each holding `samples`.
std::string same_in_every_channel(std::uint32_t rate_hz, const std::vector<std::int16_t>& samples, int channels) {
    std::vector<std::int16_t> frames;
    for (const std::int16_t s : samples) frames.insert(frames.end(), channels, s);
    return riff(chunk("fmt ", fmt_body(1, static_cast<std::uint16_t>(channels), rate_hz)) +
                chunk("data", samples_le(frames)));
}

// What the program prints after the two name lines.
std::string after_names(const std::string& out) { return out.substr(out.find("\r\n", out.find("\r\n") + 2) + 2); }

// Each option, in each of its forms, reaches the conversion: the bytes and
// the text are those of a plain conversion of the file it amounts to.
TEST(InputOptions, EachFormReachesTheConversion) {
    const std::vector<std::int16_t> samples = tone(32 * 40, 3000);
    std::vector<std::int16_t> ten_times;
    for (const std::int16_t s : samples) ten_times.push_back(static_cast<std::int16_t>(s * 10));
    const struct {
        const char* what;
        std::string input;
        names options;
        std::string same_as;  // the input whose plain conversion this gives
    } cases[] = {
        {"stereo, -c 1", same_in_every_channel(16000, samples, 2), {"-c", "1"}, mono16_wav(16000, samples)},
        {"stereo, --channel=2", same_in_every_channel(16000, samples, 2), {"--channel=2"}, mono16_wav(16000, samples)},
        {"stereo, -c mix", same_in_every_channel(16000, samples, 2), {"-c", "mix"}, mono16_wav(16000, samples)},
        {"five channels, -cmix", same_in_every_channel(16000, samples, 5), {"-cmix"}, mono16_wav(16000, samples)},
        {"mono, -c 1", mono16_wav(16000, samples), {"-c", "1"}, mono16_wav(16000, samples)},
        {"-g 0", mono16_wav(16000, samples), {"-g", "0"}, mono16_wav(16000, samples)},
        {"--gain=-0.000", mono16_wav(16000, samples), {"--gain=-0.000"}, mono16_wav(16000, samples)},
        // 20 dB is a factor of exactly 10.
        {"-g 20", mono16_wav(16000, samples), {"-g", "20"}, mono16_wav(16000, ten_times)},
        {"--gain=+20.0", mono16_wav(16000, samples), {"--gain=+20.0"}, mono16_wav(16000, ten_times)},
        {"-r at the input's rate", mono16_wav(16000, samples), {"-r", "16000"}, mono16_wav(16000, samples)},
        {"--rate= the input's rate, aligned", mono16_wav(16000, samples), {"-a", "--rate=16000"},
         mono16_wav(16000, samples)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        dir.write("in.wav", c.input);
        dir.write("plain.wav", c.same_as);
        names args = c.options;
        args.insert(args.end(), {"in.wav", "out.wav"});
        const bool aligned = std::find(args.begin(), args.end(), "-a") != args.end();
        const run_result plain = dir.run(aligned ? names{"-a", "plain.wav", "plain.8b.wav"} : names{"plain.wav", "plain.8b.wav"});
        ASSERT_EQ(plain.exit_code, 0);
        const run_result r = dir.run_with_errors(args);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(dir.read("out.wav"), dir.read("plain.8b.wav"));
        EXPECT_EQ(after_names(r.out), after_names(plain.out));
    }
}

// -g -6 in every form gives one output, another than without it.
TEST(InputOptions, AGainInEachFormGivesOneOutput) {
    scratch_dir dir;
    dir.write("in.wav", mono16_wav(8000, tone(32 * 40)));
    ASSERT_EQ(dir.run({"-q", "in.wav", "plain.wav"}).exit_code, 0);
    const names forms[] = {{"-g", "-6"}, {"--gain=-6"}, {"--gain", "-6.0"}, {"-g-6"}, {"-qg", "-6"}};
    for (const names& form : forms) {
        SCOPED_TRACE(form[0]);
        names args = form;
        args.insert(args.end(), {"-q", "in.wav", "out.wav"});
        ASSERT_EQ(dir.run(args).exit_code, 0);
        EXPECT_NE(dir.read("out.wav"), dir.read("plain.wav"));
        if (form[0] != "-g") {
            EXPECT_EQ(dir.read("out.wav"), dir.read("first.wav"));
        } else {
            std::filesystem::rename(dir.path("out.wav"), dir.path("first.wav"));
        }
    }
}

std::uint32_t u32_at(const std::string& bytes, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return v;
}

// -r: the output at the new rate, round(frames x out / in) samples with -a;
// the two count lines say the output's rate and blocks.
TEST(InputOptions, RateMakesTheOutputAtThatRate) {
    const struct {
        names options;
        std::uint32_t in_rate_hz, frames, out_rate_hz, out_samples;
    } cases[] = {
        {{"-a", "-r", "8000"}, 16000, 3002, 8000, 1501},
        {{"-a", "--rate=11025"}, 44100, 4001, 11025, 1000},  // 1000.25
        {{"-ar", "22050"}, 8000, 1000, 22050, 2756},         // 2756.25
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out_rate_hz);
        scratch_dir dir;
        dir.write("in.wav", mono16_wav(c.in_rate_hz, tone(c.frames)));
        names args = c.options;
        args.insert(args.end(), {"in.wav", "out.wav"});
        const run_result r = dir.run_with_errors(args);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const std::string out = dir.read("out.wav");
        ASSERT_GE(out.size(), 44u);
        EXPECT_EQ(u32_at(out, 24), c.out_rate_hz);
        EXPECT_EQ(u32_at(out, 40), c.out_samples);
        EXPECT_EQ(out.size(), 44 + c.out_samples + c.out_samples % 2);
        const std::uint32_t blocks = (c.out_samples + 224 + 31) / 32;
        EXPECT_EQ(after_names(r.out).substr(0, after_names(r.out).find(" FRAMES NUM:")),
                  "SAMPLE RATE: " + std::to_string(c.out_rate_hz) + "\r\n");
        EXPECT_NE(r.out.find(" FRAMES NUM: " + std::to_string(blocks) + "\r\n"), std::string::npos) << r.out;
    }
}

// Samples the gain takes past full scale are clipped, and said once at the
// end as the other remarks are: on standard output, or naming the file on
// standard error with -q.
TEST(InputOptions, ClippingIsARemark) {
    const std::vector<std::int16_t> samples = tone(32 * 40);  // -10000 .. 9999
    const auto clipped = std::count_if(samples.begin(), samples.end(), [](std::int16_t s) { return std::abs(s * 10) > 32768; });
    // 10 x 10000 / 32768 of full scale: 9.69 dB over it.
    const std::string remark =
        std::to_string(clipped) + " samples were clipped (peak 9.7 dB over full scale); lower the level with --gain -10, "
        "or use --normalize.";
    scratch_dir dir;
    dir.write("in.wav", mono16_wav(8000, samples));
    run_result r = dir.run_with_errors({"-g", "20", "in.wav", "out.wav"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.substr(r.out.size() - remark.size() - 2), remark + "\r\n");
    r = dir.run_with_errors({"-q", "-f", "-g", "20", "in.wav", "out.wav"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "pcmtaper: in.wav: " + remark + "\n");
}

// -n brings a quiet file's peak up, and is refused, before anything is
// converted, for an input that cannot be read twice.
TEST(InputOptions, NormalizeRaisesTheLevelAndNeedsAFile) {
    scratch_dir dir;
    dir.write("quiet.wav", mono16_wav(8000, tone(32 * 40, 1000)));
    ASSERT_EQ(dir.run({"-q", "-n", "quiet.wav", "loud.wav"}).exit_code, 0);
    const std::string loud = dir.read("loud.wav");
    int peak_steps = 0;
    for (std::size_t i = 44; i < loud.size(); ++i)
        peak_steps = std::max(peak_steps, std::abs(static_cast<unsigned char>(loud[i]) - 128));
    EXPECT_GE(peak_steps, 110);  // from 4 steps

    const std::string usage_lines =
        "usage: pcmtaper [options] input.wav [output.wav]\nTry 'pcmtaper --help' for more information.\n";
    run_result r = dir.run_with_errors({"-n", "-", "out.wav"}, "", "cat quiet.wav | ");
    EXPECT_EQ(r.exit_code, 12);
    EXPECT_EQ(r.err,
              "pcmtaper: --normalize reads the input twice, and standard input can be read only once; give a file "
              "name\n" + usage_lines);
#ifndef _WIN32
    // A FIFO among a batch's files: none is converted.
    ASSERT_EQ(run_command("mkfifo " + shell_quote(dir.path("fifo.wav"))).exit_code, 0);
    for (const names& args : {names{"-n", "fifo.wav", "out.wav"}, names{"-b", "quiet.wav", "fifo.wav", "--normalize"}}) {
        SCOPED_TRACE(args[1]);
        r = dir.run_with_errors(args);
        EXPECT_EQ(r.exit_code, 12);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "pcmtaper: --normalize reads the input twice, and fifo.wav is not a regular file (a pipe or a "
                         "device can be read only once)\n" + usage_lines);
    }
#endif
    names expected{"loud.wav", "quiet.wav"};
#ifndef _WIN32
    expected.insert(expected.begin(), "fifo.wav");
#endif
    EXPECT_EQ(dir.entries(), expected);
}

// A batch gives every file the options: each output is that file's own
// conversion with them.
TEST(InputOptions, ABatchAppliesThemToEveryFile) {
    scratch_dir dir;
    const std::vector<std::int16_t> a = tone(32 * 40, 3000), b = tone(32 * 50, 2000);
    dir.write("a.wav", same_in_every_channel(16000, a, 2));
    dir.write("b.wav", same_in_every_channel(16000, b, 3));
    dir.write("mono_a.wav", mono16_wav(16000, a));
    dir.write("mono_b.wav", mono16_wav(16000, b));
    ASSERT_EQ(dir.run({"-q", "-a", "-g", "-3", "-r", "8000", "mono_a.wav", "expected_a.wav"}).exit_code, 0);
    ASSERT_EQ(dir.run({"-q", "-a", "-g", "-3", "-r", "8000", "mono_b.wav", "expected_b.wav"}).exit_code, 0);
    ASSERT_EQ(dir.run({"-q", "-b", "-j", "2", "-a", "-c", "mix", "-g", "-3", "-r", "8000", "-t", "out", "a.wav", "b.wav"})
                  .exit_code,
              0);
    EXPECT_EQ(dir.read("out/a.8b.wav"), dir.read("expected_a.wav"));
    EXPECT_EQ(dir.read("out/b.8b.wav"), dir.read("expected_b.wav"));
}

}  // namespace
