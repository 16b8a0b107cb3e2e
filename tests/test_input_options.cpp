// The input stage's options of the command line (-c, -g, -n, -r): their
// values as the parser reads them, each reaching the conversion (identities
// with a plain conversion through the built program), and the refusals.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/cli.h"
#include "program_runner.h"
#include "wav_fixtures.h"

using namespace fixtures;

namespace {

using names = std::vector<std::string>;

// Every form of each option, and what is wrong with a bad value.
TEST(InputOptions, TheParserReadsEachValueOrSaysWhatIsWrong) {
    const std::string channel = "' (mix, or a channel number from 1 to 64)";
    const std::string gain = "' (decibels as a decimal number, such as -6 or 2.5)";
    const std::string rate = "' (a whole number of hertz from 1000 to 384000)";
    const struct {
        std::vector<const char*> args;
        std::string error;  // "" for a value the parser takes
        int channel = PCMTAPER_CHANNEL_ONLY;
        double gain_db = 0;
        std::uint32_t rate_hz = 0;
    } cases[] = {
        {{"-c", "mix"}, "", PCMTAPER_CHANNEL_MIX}, {{"--channel=2"}, "", 2}, {{"-c64"}, "", 64},
        {{"-c", "0"}, "invalid channel '0" + channel}, {{"--channel=65"}, "invalid channel '65" + channel},
        {{"-c", "MIX"}, "invalid channel 'MIX" + channel},
        {{"-c"}, "option '-c' needs a value"},
        {{"-g", "-6"}, "", 0, -6}, {{"--gain=-6"}, "", 0, -6}, {{"-g+2.5"}, "", 0, 2.5}, {{"-g", ".5"}, "", 0, 0.5},
        {{"--gain", "3."}, "", 0, 3},
        // Correctly rounded whatever the locale: the literal's double (0.3 is not 3 x 0.1).
        {{"-g", "0.3"}, "", 0, 0.3}, {{"-g", "-123.456789012345"}, "", 0, -123.456789012345},
        {{"-g", "0.0000000000000000000001000"}, "", 0, 1e-22},
        {{"-g", "1e3"}, "invalid gain '1e3" + gain}, {{"--gain=6,5"}, "invalid gain '6,5" + gain},
        {{"--gain="}, "invalid gain '" + gain}, {{"-g", "."}, "invalid gain '." + gain},
        {{"-g", "--6"}, "invalid gain '--6" + gain},
        {{"-g", "1.234567890123456"}, "invalid gain '1.234567890123456" + gain},  // 16 digits
        {{"-g", "7000"}, "gain '7000' out of range (its factor 10^(DB/20) overflows or vanishes)"},
        {{"-r", "11025"}, "", 0, 0, 11025}, {{"--rate=1000"}, "", 0, 0, 1000}, {{"-r384000"}, "", 0, 0, 384000},
        {{"-r", "999"}, "invalid rate '999" + rate}, {{"--rate=384001"}, "invalid rate '384001" + rate},
        {{"-r", "8k"}, "invalid rate '8k" + rate}, {{"-r", "99999999999999999999"}, "invalid rate '99999999999999999999" + rate},
    };
    for (const auto& c : cases) {
        std::vector<const char*> args = c.args;
        SCOPED_TRACE(args[0] + std::string(" ") + (args.size() > 1 ? args[1] : ""));
        args.insert(args.begin(), {"pcmtaper", "in.wav"});
        const command_line cl = parse_command_line(static_cast<int>(args.size()), args.data());
        EXPECT_EQ(cl.error, c.error);
        if (!c.error.empty()) continue;
        EXPECT_EQ(cl.channel, c.channel);
        EXPECT_EQ(cl.gain_db, c.gain_db);
        EXPECT_EQ(cl.output_rate_hz, c.rate_hz);
    }
}

std::vector<std::int16_t> tone(std::size_t count, int amplitude) {
    std::vector<std::int16_t> s(count);
    for (std::size_t i = 0; i < count; ++i) s[i] = static_cast<std::int16_t>(int(i * 7919 % (2 * amplitude)) - amplitude);
    return s;
}

// A 16-bit file of `channels` channels, each holding `samples`.
std::string in_every_channel(const std::vector<std::int16_t>& samples, int channels) {
    std::vector<std::int16_t> frames;
    for (const std::int16_t s : samples) frames.insert(frames.end(), channels, s);
    return riff(chunk("fmt ", fmt_body(1, std::uint16_t(channels), 16000)) + chunk("data", samples_le(frames)));
}

std::string after_names(const std::string& out) { return out.substr(out.find("\r\n", out.find("\r\n") + 2)); }

// Each option reaches the conversion, alone and in a batch: the bytes and
// the text are those of a plain conversion of the file it amounts to.
TEST(InputOptions, EachReachesTheConversion) {
    const std::vector<std::int16_t> samples = tone(32 * 40, 3000);
    std::vector<std::int16_t> ten_times;
    for (const std::int16_t s : samples) ten_times.push_back(std::int16_t(s * 10));
    const std::string mono = mono16_wav(16000, samples);
    const struct {
        std::string input;
        names options;
        std::string same_as;  // the input whose plain conversion this gives
    } cases[] = {
        {in_every_channel(samples, 2), {"-c", "1"}, mono}, {in_every_channel(samples, 2), {"-c", "2"}, mono},
        {in_every_channel(samples, 5), {"-c", "mix"}, mono}, {mono, {"-c", "mix"}, mono},
        {mono, {"-g", "0"}, mono}, {mono, {"-g", "20"}, mono16_wav(16000, ten_times)},  // exactly x 10
        {mono, {"-r", "16000"}, mono}, {mono, {"-a", "-r", "16000"}, mono},
        {in_every_channel(samples, 3), {"-b", "-c", "mix", "-g", "20"}, mono16_wav(16000, ten_times)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options[0] + " " + c.options[1] + " of " + std::to_string(c.input[22]) + " channels");
        scratch_dir dir;
        dir.write("in.wav", c.input);
        dir.write("plain.wav", c.same_as);
        const bool aligned = c.options[0] == "-a";
        const run_result plain = dir.run(aligned ? names{"-a", "plain.wav"} : names{"plain.wav"});
        names args = c.options;
        args.push_back("in.wav");
        const run_result r = dir.run(args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(dir.read("in.8b.wav"), dir.read("plain.8b.wav"));
        EXPECT_EQ(after_names(r.out), after_names(plain.out));
    }
}

// -r: the output at that rate; with -a, round(frames x out / in) samples.
// The count lines give the output's rate and blocks.
TEST(InputOptions, RateMakesTheOutputAtThatRate) {
    scratch_dir dir;
    dir.write("in.wav", mono16_wav(16000, tone(3002, 10000)));
    const run_result r = dir.run({"-a", "-r", "8000", "in.wav"});
    ASSERT_EQ(r.exit_code, 0);
    const std::string out = dir.read("in.8b.wav");
    EXPECT_EQ(out.substr(24, 4), u32(8000));
    EXPECT_EQ(out.substr(36, 8), "data" + u32(1501));
    EXPECT_EQ(out.size(), 44 + 1502u);  // and the pad byte
    const std::string counts = "\r\nSAMPLE RATE: 8000\r\n FRAMES NUM: 54\r\n";  // 1501 + 224 samples
    EXPECT_EQ(after_names(r.out).substr(0, counts.size()), counts);
}

// -n changes the level, and needs an input that can be read twice: from a
// pipe or a FIFO it is refused before any file is converted.
TEST(InputOptions, NormalizeNeedsAFile) {
    scratch_dir dir;
    dir.write("quiet.wav", mono16_wav(8000, tone(32 * 40, 1000)));
    ASSERT_EQ(dir.run({"-n", "quiet.wav", "loud.wav"}).exit_code, 0);
    ASSERT_EQ(dir.run({"quiet.wav", "plain.wav"}).exit_code, 0);
    EXPECT_NE(dir.read("loud.wav"), dir.read("plain.wav"));
    const std::string usage = "\nusage: pcmtaper [options] input.wav [output.wav]\nTry 'pcmtaper --help' for more information.\n";
    run_result r = dir.run_with_errors({"-n", "-", "out.wav"}, "", "cat quiet.wav | ");
    EXPECT_EQ(r.exit_code, 12);
    EXPECT_EQ(r.err, "pcmtaper: --normalize reads the input twice, and standard input can be read only once; give a "
                     "file name" + usage);
#ifndef _WIN32
    ASSERT_EQ(run_command("mkfifo " + shell_quote(dir.path("fifo.wav"))).exit_code, 0);
    for (const names& args : {names{"-n", "fifo.wav", "out.wav"}, names{"-b", "quiet.wav", "fifo.wav", "--normalize"}}) {
        r = dir.run_with_errors(args);
        EXPECT_EQ(r.exit_code, 12);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "pcmtaper: --normalize reads the input twice, and fifo.wav is not a regular file (a pipe or "
                         "a device can be read only once)" + usage);
    }
    EXPECT_EQ(dir.entries(), (names{"fifo.wav", "loud.wav", "plain.wav", "quiet.wav"}));
#endif
}

}  // namespace
