// The command line through the built program: options, the standard streams,
// links, existing outputs, and what reaches the user on a failure. Every case
// checks the file system afterwards: nothing that is not the program's own is
// replaced, and no temporary file is left.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <cmath>

#include "program_runner.h"
#include "signals.h"
#include "wav_fixtures.h"

using namespace fixtures;

namespace {

using names = std::vector<std::string>;

std::vector<std::int16_t> tone(std::size_t count) {
    std::vector<std::int16_t> s(count);
    for (std::size_t i = 0; i < count; ++i) s[i] = static_cast<std::int16_t>((i * 7919 % 20000) - 10000);
    return s;
}

const std::string input_wav = mono16_wav(8000, tone(32 * 40));
const std::string help_start =
    "pcmtaper 2.1.0: 16-bit to 8-bit WAV with adaptive noise shaping\r\n\r\n"
    "  usage:  pcmtaper [options] input.wav [output.wav]\r\n"
    "          pcmtaper -b [options] input.wav... [-t DIR]\r\n";

// The line after a plain conversion of `name` whose last samples are loud.
// The converter's standard output as it reads on standard error, where
// every line ends in "\n".
std::string as_on_stderr(std::string text) {
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 1);
    return text;
}

std::string cut_notice(const std::string& name, int samples = 224, int ms = 28) {
    return "pcmtaper: " + name + ": the last " + std::to_string(samples) + " samples (" + std::to_string(ms) +
           " ms) are cut by the look-ahead delay; -a keeps them\n";
}
const std::string banner =
    "pcmtaper.exe version 2.1.0 (https://example.org/pcmtaper)\r\n"
    "Monaural 16bit wav file to Monaural 8bit wav file. Very slow, high quality.\r\n\r\n"
    "  usage:  pcmtaper input.wav [output.wav]\r\n";

// What the plain file-to-file run writes and prints for input_wav.
struct reference_run {
    std::string bytes;
    std::string text;  // standard output after the two name lines
};

reference_run reference() {
    static const reference_run r = [] {
        scratch_dir dir;
        dir.write("in.wav", input_wav);
        const run_result run = dir.run({"in.wav", "out.wav"});
        return reference_run{dir.read("out.wav"), run.out.substr(std::string("in.wav\r\nout.wav\r\n").size())};
    }();
    return r;
}

TEST(CommandLine, OptionsHelpVersionAndUsageErrors) {
    const struct {
        names args;
        int exit_code;
        std::string out_prefix;  // standard output starts with it
        std::string err_part;    // standard error contains it
    } cases[] = {
        {{}, 0, banner, ""},
        {{"--help"}, 0, help_start + "\r\n", ""},
        {{"-h"}, 0, help_start + "\r\n", ""},
        {{"-V"}, 0, "pcmtaper 2.1.0\r\n", ""},
        {{"--version", "in.wav"}, 0, "pcmtaper 2.1.0\r\n", ""},
        {{"--bogus", "in.wav"}, 12, "", "pcmtaper: unknown option '--bogus'\nusage: pcmtaper [options] input.wav [output.wav]\n"},
        {{"-qx", "in.wav"}, 12, "", "unknown option '-x'"},
        {{"-q"}, 12, "", "no input file named"},
        {{"in.wav", "a.wav", "b.wav"}, 12, "", "too many file names"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "" : c.args[0]);
        scratch_dir dir;
        dir.write("in.wav", input_wav);
        const run_result r = dir.run_with_errors(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_EQ(r.out.substr(0, c.out_prefix.size()), c.out_prefix);
        if (c.out_prefix.empty()) {
            EXPECT_EQ(r.out, "");
        }
        EXPECT_NE(r.err.find(c.err_part), std::string::npos) << r.err;
        EXPECT_EQ(dir.entries(), names{"in.wav"});
    }
    // The help lists every option, and says when no name can be derived.
    scratch_dir dir;
    const std::string help = dir.run({"--help"}).out;
    for (const char* option : {"--align", "--force", "--zero-dc", "--quiet", "--help", "--version", "--", "--channel mix|N",
                               "--gain DB", "--normalize", "--rate HZ"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    EXPECT_NE(help.find("full stop (sine) gives none"), std::string::npos);
}

TEST(CommandLine, OptionsMayComeAnywhereAndDoubleDashEndsThem) {
    scratch_dir dir;
    dir.write("-in.wav", input_wav);
    EXPECT_EQ(dir.run({"--", "-in.wav"}).exit_code, 0);
    EXPECT_EQ(dir.read("-in.8b.wav"), reference().bytes);
    EXPECT_EQ(dir.run_with_errors({"-in.wav", "x.wav", "--quiet"}).exit_code, 12);  // -i is no option
    EXPECT_EQ(dir.run({"--", "-in.wav", "late.wav", "-q"}).exit_code, 12);         // three names
    const run_result late = dir.run({"--", "-in.wav", "late.wav"});
    EXPECT_EQ(late.exit_code, 0);
    EXPECT_EQ(dir.run({"-qf", "--", "-in.wav", "late.wav"}).out, "");
    EXPECT_EQ(dir.read("late.wav"), reference().bytes);
}

// The same bytes whichever way in and out; with the audio on standard output
// all text goes to standard error, its lines ending in "\n".
TEST(CommandLine, StandardStreamsGiveTheFileToFileBytes) {
#ifdef _WIN32
    const std::string null_device = "NUL";
#else
    const std::string null_device = "/dev/null";
#endif
    const struct {
        names args;
        std::string redirections;
        std::string input_pipe;
        std::string name_lines;
        bool posix_only;  // a pipe from cat, or a /dev name
    } cases[] = {
        {{"in.wav", "-"}, "> out.wav", "", "in.wav\n-\n", false},
        {{"-", "-"}, "> out.wav", "cat in.wav | ", "-\n-\n", true},
        {{"-"}, "< in.wav > out.wav", "", "-\n-\n", false},
        {{"in.wav", "/dev/stdout"}, "> out.wav", "", "in.wav\n/dev/stdout\n", true},
        {{"in.wav", "out.wav"}, ">> out.wav", "", "in.wav\nout.wav\n", false},  // the file stdout is open on
        {{"-", "out.wav"}, "< in.wav > " + null_device, "", "-\nout.wav\n", false},
    };
    for (const auto& c : cases) {
#ifdef _WIN32
        if (c.posix_only) continue;
#endif
        SCOPED_TRACE(c.input_pipe + c.args[0] + " " + c.redirections);
        scratch_dir dir;
        dir.write("in.wav", input_wav);
        const run_result r = dir.run_with_errors(c.args, c.redirections, c.input_pipe);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(dir.read("out.wav"), reference().bytes);
        if (c.args.size() == 2 && c.args[1] == "out.wav" && c.redirections[0] != '>') continue;
        EXPECT_EQ(r.err, c.name_lines + as_on_stderr(reference().text) + cut_notice(c.args[0]));
        EXPECT_EQ(dir.entries(), (names{"in.wav", "out.wav"}));
    }
    // The audio never goes to the input, however standard output is named.
    scratch_dir dir;
    dir.write("in.wav", input_wav);
    EXPECT_EQ(dir.run_with_errors({"in.wav", "-"}, ">> in.wav").exit_code, 8);
#ifndef _WIN32  // cmd.exe cannot open a file for appending while it reads it
    EXPECT_EQ(dir.run_with_errors({"-", "-"}, "< in.wav >> in.wav").exit_code, 8);
#endif
    // Nor to a closed standard output (a shell of POSIX systems closes it),
    // nor onto a file that is not the program's, by the name of the file
    // standard output is open on.
#ifndef _WIN32
    EXPECT_EQ(dir.run_with_errors({"in.wav", "-"}, ">&-").exit_code, 4);
#endif
    dir.write("notes.txt", "notes");
    EXPECT_EQ(dir.run_with_errors({"in.wav", "notes.txt"}, ">> notes.txt").exit_code, 13);
    EXPECT_EQ(dir.read("notes.txt"), "notes");
    EXPECT_EQ(dir.read("in.wav"), input_wav);
}

// A named output that is also the regular file standard output is redirected
// to holds the new output and nothing else afterwards, however it was
// redirected, or is untouched when it may not be replaced.
TEST(CommandLine, ANamedOutputOnStandardOutputHoldsOnlyTheNewOutput) {
    const std::string original = mono16_wav(8000, tone(100));
    const struct {
        const char* redirection;
        bool earlier_output;  // out.wav is this input's earlier output, else `original`
        int exit_code;
        bool posix_only;  // cmd.exe has no 1<>
    } cases[] = {
        {">", false, 0, false},  // emptied by the shell: replaced
        {">>", true, 0, false},
        {"1<>", true, 0, true},
        {">>", false, 13, false},
        {"1<>", false, 13, true},
    };
    for (const auto& c : cases) {
#ifdef _WIN32
        if (c.posix_only) continue;
#endif
        SCOPED_TRACE(std::string(c.redirection) + (c.earlier_output ? " an earlier output" : " an original"));
        scratch_dir dir;
        if (c.earlier_output) {
            dir.make_earlier_output("in.wav", "out.wav", mono16_wav(8000, tone(32 * 50)), input_wav);
        } else {
            dir.write("in.wav", input_wav);
            dir.write("out.wav", original);
        }
        const std::string existing = dir.read("out.wav");
        const run_result r = dir.run_with_errors({"in.wav", "out.wav"}, std::string(c.redirection) + " out.wav");
        const int exit_code = c.earlier_output && !dir.keeps_output_marks() ? 13 : c.exit_code;
        EXPECT_EQ(r.exit_code, exit_code) << r.err;
        if (exit_code == 0) {
            EXPECT_EQ(dir.read("out.wav"), reference().bytes);
            EXPECT_EQ(r.err, "in.wav\nout.wav\n" + as_on_stderr(reference().text) + cut_notice("in.wav"));
        } else {
            EXPECT_EQ(dir.read("out.wav"), existing);
            EXPECT_NE(r.err.find(c.earlier_output ? "pcmtaper: the output file out.wav exists and is an 8-bit mono WAV file"
                                                  : "pcmtaper: the output file out.wav exists and is not an 8-bit mono WAV file"),
                      std::string::npos);
        }
        EXPECT_EQ(dir.entries(), (names{"in.wav", "out.wav"}));
    }
}

// The lines that tell a new user what went wrong and what to do, on standard
// error, each ending in "\n" as every line there does.
TEST(CommandLine, AdviceOnStandardError) {
    std::vector<std::int16_t> quiet_end = tone(32 * 40);
    for (std::size_t i = quiet_end.size() - 224; i < quiet_end.size(); ++i) quiet_end[i] = static_cast<std::int16_t>(i % 2 ? 255 : -255);
    std::vector<std::int16_t> loud_at_cut = quiet_end;
    loud_at_cut[quiet_end.size() - 224] = -256;
    const std::string hint_start = "pcmtaper: to convert x.wav, first make a mono 16-bit copy: sox x.wav -c 1 -b 16 ";
    const std::string channel_hint =
        "pcmtaper: to convert x.wav, choose its channels: -c mix for their mean, or -c N for channel N alone (as in: "
        "pcmtaper -c mix x.wav)\n";
    const struct {
        const char* what;
        std::string input;
        names args;
        int exit_code;
        std::string err;  // exactly, or its start for the refusals' advice
    } cases[] = {
        {"a 30 ms blip", mono16_wav(8000, tone(240)), {"x.wav"}, 0, cut_notice("x.wav", 240, 30)},
        {"a 30 ms blip, quiet", mono16_wav(8000, tone(240)), {"-q", "x.wav"}, 0, ""},
        {"a 30 ms blip, aligned", mono16_wav(8000, tone(240)), {"-a", "x.wav"}, 0, ""},
        {"an end under one step", mono16_wav(8000, quiet_end), {"x.wav"}, 0, ""},
        // Counted at the output's rate: 1501 samples at 8000 Hz, of which 46 whole blocks less the delay are kept.
        {"a blip resampled", mono16_wav(16000, tone(3002)), {"-r", "8000", "x.wav"}, 0, cut_notice("x.wav", 253, 32)},
        {"one step at the first sample cut", mono16_wav(8000, loud_at_cut), {"x.wav"}, 0, cut_notice("x.wav")},
        {"a part block after a quiet end", mono16_wav(8000, [&] { auto v = quiet_end; v.push_back(300); return v; }()),
         {"x.wav"}, 0, cut_notice("x.wav", 225, 28)},
        {"stereo", riff(chunk("fmt ", fmt_body(1, 2, 8000)) + chunk("data", "abcd")), {"x.wav"}, 3, channel_hint},
        {"A-law", riff(chunk("fmt ", fmt_body(6, 1, 8000, 8)) + chunk("data", "abcd")), {"x.wav"}, 2, hint_start},
        {"40-bit", riff(chunk("fmt ", fmt_body(1, 1, 8000, 40)) + chunk("data", "abcde")), {"x.wav"}, 6, hint_start},
        {"stereo, quiet", riff(chunk("fmt ", fmt_body(1, 2, 8000)) + chunk("data", "abcd")), {"-q", "x.wav"}, 3,
         "pcmtaper: x.wav: This is not a Monaural sound(Stereo, Surround, etc.).\n" + channel_hint},
        {"a channel the file lacks", riff(chunk("fmt ", fmt_body(1, 2, 8000)) + chunk("data", "abcd")), {"-c", "3", "x.wav"},
         3, "pcmtaper: x.wav has 2 channels; -c 3 names none of them (1 to 2, or mix)\n"},
        {"a channel of a mono file", input_wav, {"-c2", "x.wav"}, 3, "pcmtaper: x.wav has 1 channel; -c 2 names none of them (1, or mix)\n"},
        {"no name to derive", input_wav, {"sine"}, 8,
         "pcmtaper: no output name can be derived from sine (that needs a full stop fourth from the end, as in "
         "take1.wav); give the output name after it\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        const std::string input_name = c.args.back();
        dir.write(input_name, c.input);
        const run_result r = dir.run_with_errors(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code);
        if (c.exit_code == 0 || c.exit_code == 8 || c.exit_code == 3) {
            EXPECT_EQ(r.err, c.err);
        } else {
            EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
            EXPECT_NE(r.err.find("-e signed-integer mono16.wav (or: ffmpeg -i x.wav -ac 1 -c:a pcm_s16le mono16.wav)\n"),
                      std::string::npos);
        }
        if (c.exit_code == 8) {
            EXPECT_NE(r.out.find("The output file is the input file.\r\n"), std::string::npos);
        }
        names expected{input_name};
        if (c.exit_code == 0) expected.push_back("x.8b.wav");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(dir.entries(), expected);
    }
}

TEST(CommandLine, QuietPrintsNothingOnStandardOutput) {
    scratch_dir dir;
    dir.write("in.wav", riff(chunk("fmt ", fmt_body(1, 1, 8000)) + chunk("LIST", "INFO") +
                             chunk("data", samples_le(tone(32 * 40)))));
    run_result r = dir.run_with_errors({"-q", "in.wav", "out.wav"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "pcmtaper: in.wav: data!=LIST\n");  // remarks still reach the user, naming the file
    EXPECT_EQ(dir.read("out.wav"), reference().bytes);

    dir.write("stereo.wav", riff(chunk("fmt ", fmt_body(1, 2, 8000)) + chunk("data", "abcd")));
    r = dir.run_with_errors({"--quiet", "stereo.wav"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
              "pcmtaper: stereo.wav: This is not a Monaural sound(Stereo, Surround, etc.).\n");
}

// Exits 1 and 4 say which file and why, on standard error; standard output
// stays as it was.
TEST(CommandLine, UnopenableFilesAreNamedWithTheSystemsReason) {
    scratch_dir dir;
    dir.write("in.wav", input_wav);
    std::filesystem::create_directory(dir.path("sub"));
    const struct {
        names args;
        int exit_code;
        std::string err;
    } cases[] = {
        {{"missing.wav"}, 1, "pcmtaper: cannot open the input file missing.wav: No such file or directory\n"},
        {{"sub"}, 1, "pcmtaper: cannot open the input file sub: Is a directory\n"},
        {{"in.wav", "no/such/out.wav"}, 4, "pcmtaper: cannot write the output file no/such/out.wav: No such file or directory\n"},
        {{"in.wav", "sub"}, 4, "pcmtaper: cannot write the output file sub: Is a directory\n"},
        {{"in.wav", "sub/"}, 4, "pcmtaper: cannot write the output file sub/: Is a directory\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        const run_result r = dir.run_with_errors(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.substr(0, c.args[0].size() + 2), c.args[0] + "\r\n");
    }
    EXPECT_EQ(dir.entries(), (names{"in.wav", "sub"}));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path("sub")));
}

// An existing output is replaced only when it is empty, bears the program's
// mark for this input with its bytes unchanged since, or is of the output's
// kind under the derived name, or with --force; a link is followed, never
// replaced. Another tool's 8-bit copy of the same rate and length, or the
// program's output of another input, is kept.
TEST(CommandLine, ExistingOutputsAndLinks) {
    // Another tool's 8-bit file of this input's rate and exact length.
    const std::string same_shape = output_header(40, 8000) + std::string(32 * 40, 'x');
    const std::string other_output = output_header(1, 22050) + std::string(32, 'x');
    const std::string original = mono16_wav(44100, tone(100));
    const std::string earlier_input = mono16_wav(8000, tone(32 * 50));
    const std::string stereo_8_bit = riff(chunk("fmt ", fmt_body(1, 2, 8000, 8)) + chunk("data", std::string(64, 'x')));
    enum class made { by_test, earlier_output, changed_since, from_other_input };
    const struct {
        const char* what;
        std::string existing;    // the output's contents before the run, when made by the test ("" with link_to: no target)
        made how;
        const char* link_to;     // the output name is a link to this, when set
        bool force;
        int exit_code;
        bool replaced;
        const char* name = "out.wav";
    } cases[] = {
        {"an earlier output", "", made::earlier_output, nullptr, false, 0, true},
        {"an earlier output changed since", "", made::changed_since, nullptr, false, 13, false},
        {"an empty file", "", made::by_test, nullptr, false, 0, true},
        {"a 16-bit original", original, made::by_test, nullptr, false, 13, false},
        {"some other file", "notes", made::by_test, nullptr, false, 13, false},
        {"a 16-bit original, forced", original, made::by_test, nullptr, true, 0, true},
        {"a link to an earlier output", "", made::earlier_output, "target.wav", false, 0, true},
        {"a link to an original", original, made::by_test, "target.wav", false, 13, false},
        {"a link to a missing file", "", made::by_test, "target.wav", false, 4, false},
        {"a link into another directory", "", made::earlier_output, "sub/target.wav", false, 0, true},
        {"pcmtaper's output of another input", "", made::from_other_input, nullptr, false, 13, false},
        {"another tool's 8-bit file of the same rate and length", same_shape, made::by_test, nullptr, false, 13, false},
        {"an 8-bit output under the derived name", other_output, made::by_test, nullptr, false, 0, true, "in.8b.wav"},
        {"an original under the derived name", original, made::by_test, nullptr, false, 13, false, "in.8b.wav"},
        {"an 8-bit stereo file", stereo_8_bit, made::by_test, nullptr, false, 13, false},
    };
    for (const auto& c : cases) {
#ifdef _WIN32
        // A symbolic link needs a privilege there (and the links are of POSIX
        // systems: a target such as "sub/target.wav" has a forward slash).
        if (c.link_to != nullptr) continue;
#endif
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        std::filesystem::create_directory(dir.path("sub"));
        const std::string target = c.link_to != nullptr ? c.link_to : c.name;
        const bool target_exists = c.link_to == nullptr || c.existing != "" || c.how != made::by_test;
        dir.write("in.wav", input_wav);
        if (c.how == made::by_test && target_exists) dir.write(target, c.existing);
        if (c.how == made::earlier_output || c.how == made::changed_since)
            dir.make_earlier_output("in.wav", target, earlier_input, input_wav);
        if (c.how == made::changed_since) dir.write(target, dir.read(target).substr(0, 44) + std::string(32 * 50, 'x'));
        if (c.how == made::from_other_input) {
            dir.make_earlier_output("other.wav", target, input_wav, input_wav);
            std::filesystem::remove(dir.path("other.wav"));
        }
        if (c.link_to != nullptr) std::filesystem::create_symlink(c.link_to, dir.path("out.wav"));
        const std::string existing = target_exists ? dir.read(target) : "";
        names args{"in.wav", c.name};
        if (c.force) args.insert(args.begin(), "--force");
        const run_result r = dir.run_with_errors(args);
        // Without marks, the program's earlier output is kept as any other file.
        const bool unmarked = c.how == made::earlier_output && !dir.keeps_output_marks();
        const int exit_code = unmarked ? 13 : c.exit_code;
        const bool replaced = c.replaced && !unmarked;
        EXPECT_EQ(r.exit_code, exit_code) << r.err;
        if (exit_code != 0) {
            EXPECT_NE(r.err.find(c.name), std::string::npos) << r.err;
        }
        if (exit_code == 13) {
            const bool eight_bit_mono = existing.substr(0, 4) == "RIFF" && existing[34] == 8 && existing[22] == 1;
            EXPECT_NE(r.err.find(eight_bit_mono ? "exists and is an 8-bit mono WAV file not marked as pcmtaper's output "
                                                  "of this input; it is kept (--force replaces it)"
                                                : "exists and is not an 8-bit mono WAV file"),
                      std::string::npos)
                << r.err;
        }
        if (target_exists) {
            EXPECT_EQ(dir.read(target), replaced ? reference().bytes : existing);
        }
        if (c.link_to != nullptr) {
            EXPECT_TRUE(std::filesystem::is_symlink(dir.path("out.wav")));
            EXPECT_EQ(std::filesystem::read_symlink(dir.path("out.wav")), c.link_to);
        }
        // Nothing else: no temporary file beside the name or the target.
        names expected{"in.wav", c.name, "sub"};
        if (target_exists && c.link_to != nullptr && target.find('/') == std::string::npos) expected.push_back(target);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(dir.entries(), expected);
        EXPECT_EQ(std::filesystem::is_empty(dir.path("sub")), target.find('/') == std::string::npos);
    }
}

#ifdef _WIN32
// An existing output the user may not write is kept, with the reason (on
// POSIX systems the faults tests check this for a user other than root,
// who may write any file).
TEST(CommandLine, AReadOnlyOutputIsKept) {
    namespace fs = std::filesystem;
    scratch_dir dir;
    dir.write("in.wav", input_wav);
    const std::string earlier_output = output_header(1, 22050) + std::string(32, 'x');
    dir.write("out.wav", earlier_output);
    fs::permissions(dir.path("out.wav"), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);  // the read-only attribute
    const run_result r = dir.run_with_errors({"in.wav", "out.wav"});
    fs::permissions(dir.path("out.wav"), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_EQ(r.err, "pcmtaper: cannot write the output file out.wav: Permission denied\n");
    EXPECT_EQ(dir.read("out.wav"), earlier_output);
    EXPECT_EQ(dir.entries(), (names{"in.wav", "out.wav"}));
}
#endif

TEST(CommandLine, ALinkToADeviceIsWrittenThrough) {
#ifdef _WIN32
    GTEST_SKIP() << "/dev/null and /dev/full are POSIX devices";
#endif
    scratch_dir dir;
    dir.write("in.wav", input_wav);
    std::filesystem::create_symlink("/dev/null", dir.path("null.wav"));
    EXPECT_EQ(dir.run({"in.wav", "null.wav"}).exit_code, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.path("null.wav")));
    std::filesystem::create_symlink("/dev/full", dir.path("full.wav"));
    EXPECT_EQ(dir.run({"in.wav", "full.wav"}).exit_code, 10);
    EXPECT_EQ(dir.entries(), (names{"full.wav", "in.wav", "null.wav"}));
}

// Names are UTF-8 on every system: printed as given, and the files found
// and written under them (on Windows through its wide-character calls).
TEST(CommandLine, NamesBeyondAsciiAreUtf8BothWays) {
    scratch_dir dir;
    const std::string input = "Gr\xC3\xB6\xC3\x9F\x65 \xE2\x99\xAA.wav";  // "Größe ♪.wav"
    const std::string output = "Gr\xC3\xB6\xC3\x9F\x65 \xE2\x99\xAA.8b.wav";
    dir.write(input, input_wav);
    const run_result r = dir.run({input});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, input + "\r\n" + output + "\r\n" + reference().text);
    EXPECT_EQ(dir.read(output), reference().bytes);
    EXPECT_EQ(dir.entries(), (names{output, input}));  // sorted
    // An earlier output under such a name is replaced; the input is never written.
    EXPECT_EQ(dir.run({input, output}).exit_code, 0);
    EXPECT_EQ(dir.run({input, input}).exit_code, 8);
    EXPECT_EQ(dir.entries(), (names{output, input}));  // sorted
}

// --align is defined as the plain conversion of the input followed by silence
// up to the first whole block at least 224 samples past its end, with the
// first 224 output samples dropped and the rest cut to the input's length.
TEST(CommandLine, AlignIsThePlainConversionOfThePaddedInputCut) {
    for (std::size_t length : {0, 1, 31, 200, 223, 224, 225, 1000, 1279}) {
        SCOPED_TRACE(length);
        const std::vector<std::int16_t> samples = tone(length);
        std::vector<std::int16_t> padded = samples;
        padded.resize((length + 224 + 31) / 32 * 32, 0);
        scratch_dir dir;
        dir.write("in.wav", mono16_wav(11025, samples));
        dir.write("padded.wav", mono16_wav(11025, padded));
        const run_result plain_run = dir.run({"padded.wav", "padded.8b.wav"});
        ASSERT_EQ(plain_run.exit_code, 0);
        const std::string plain = dir.read("padded.8b.wav").substr(44);
        std::string expected = riff(chunk("fmt ", fmt_body(1, 1, 11025, 8)) + chunk("data", plain.substr(224, length)));
        const run_result r = dir.run({"-a", "in.wav", "aligned.wav"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(dir.read("aligned.wav"), expected);
        // The text after the names too: the counts (FRAMES NUM) and reports of the blocks converted.
        const auto after_names = [](const std::string& out) {
            return out.substr(out.find("\r\n", out.find("\r\n") + 2));
        };
        EXPECT_EQ(after_names(r.out), after_names(plain_run.out));
#ifndef _WIN32
        // A pipe ending early (its header claiming more) gives the same file.
        const std::string overstated = riff(chunk("fmt ", fmt_body(1, 1, 11025)) + std::string("data") +
                                            u32(0x7FFFF000) + samples_le(samples));
        dir.write("stream.wav", overstated);
        EXPECT_EQ(dir.run({"--align", "-", "piped.wav"}, "cat stream.wav | ").exit_code, 0);
        EXPECT_EQ(dir.read("piped.wav"), expected);
#endif
    }
}

// On a terminal, a run that takes more than a second shows one progress line
// on standard error, and erases it at the end: while converting, and while
// the header walk skips a long chunk of a stream by reading it. The input is
// a FIFO that pauses, so that the run surely passes a second.
TEST(CommandLine, AProgressLineOnATerminalIsErasedAtTheEnd) {
#ifndef __linux__
    GTEST_SKIP() << "drives a pseudo-terminal with util-linux's script(1) and a FIFO";
#endif
    if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "script(1) is not installed";
    std::vector<std::int16_t> samples = tone(32 * 2000);
    for (std::size_t i = samples.size() - 300; i < samples.size(); ++i) samples[i] = 0;  // no advice on the end
    const std::string long_chunk = chunk("junk", std::string(8 << 20, '\0'));
    const struct {
        const char* what;
        std::string whole;
        std::size_t pause_at;  // bytes written before the pause
        std::string shown;     // part of the progress line
    } cases[] = {
        {"converting", mono16_wav(8000, samples), 44 + 64 * 600, "x real time  0:"},
        {"skipping a chunk in the header",
         riff(chunk("fmt ", fmt_body(1, 1, 8000)) + long_chunk + chunk("data", samples_le(samples))), 36 + 4096,
         "header: skipping chunk 'junk', "},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        dir.write("whole.wav", c.whole);
        const std::string first_part = std::to_string(c.pause_at);
        const std::string rest_from = std::to_string(c.pause_at + 1);  // tail counts from 1
        for (const char* options : {"", "-q "}) {
            SCOPED_TRACE(std::string(c.what) + " " + options);
            const std::string script =
                "rm -f in.wav pty.log; mkfifo in.wav; "
                "{ head -c " + first_part + " whole.wav; sleep 1.3; tail -c +" + rest_from + " whole.wav; } > in.wav & "
                "script -qfec " + shell_quote(program_command() + " " + options + "in.wav out.wav > /dev/null") +
                " /dev/null > pty.log; wait";
            const run_result r = run_command("cd " + shell_quote(dir.path("")) + " && { " + script + "; }");
            EXPECT_EQ(r.exit_code, 0);
            EXPECT_EQ(dir.read("out.wav").size(), 44 + 32 * 2000u);
            const std::string log = dir.read("pty.log");
            const std::string erased = "\r" + std::string(60, ' ') + "\r";
            if (options[0] == '-') {  // only the remarks, if any
                EXPECT_EQ(log.find(erased), std::string::npos) << log;
                EXPECT_EQ(log.find(c.shown), std::string::npos) << log;
                continue;
            }
            EXPECT_NE(log.find(c.shown), std::string::npos) << log;
            ASSERT_GE(log.size(), erased.size());
            EXPECT_EQ(log.substr(log.size() - erased.size()), erased);
        }
    }
}

}  // namespace

namespace {

// The mean of output minus input, in output steps, over the samples that
// both cover (the output trails by 224 samples).
double mean_error_steps(const std::vector<std::int16_t>& input, const std::string& output_file) {
    double sum = 0;
    std::size_t count = 0;
    for (std::size_t k = 0; k + 224 + 44 < output_file.size() && k < input.size(); ++k) {
        const int out_step = static_cast<unsigned char>(output_file[44 + 224 + k]) - 128;
        sum += out_step - input[k] / 256.0;
        ++count;
    }
    return sum / static_cast<double>(count);
}

// --zero-dc takes the dither's mean off: no DC offset, and silence idles at
// the zero level. Without it the bytes are the pinned ones (PinnedOutput).
TEST(CommandLine, ZeroDcTakesTheDithersMeanOff) {
    scratch_dir dir;
    const std::vector<std::int16_t> music = make_example_signal(example_kind::music, 8000, 4.0);
    dir.write("music.wav", mono16_wav(8000, music));
    ASSERT_EQ(dir.run({"-q", "music.wav", "plain.wav"}).exit_code, 0);
    ASSERT_EQ(dir.run({"-qz", "music.wav", "centred.wav"}).exit_code, 0);
    EXPECT_GT(mean_error_steps(music, dir.read("plain.wav")), 0.5);
    EXPECT_LT(std::fabs(mean_error_steps(music, dir.read("centred.wav"))), 0.05);

    // A 440 Hz tone, then silence: the silence idles at 128 only without the mean.
    std::vector<std::int16_t> tone_then_silence(8000 * 2, 0);
    for (std::size_t i = 0; i < 4000; ++i)
        tone_then_silence[i] = static_cast<std::int16_t>(8000 * std::sin(2 * 3.141592653589793 * 440 * i / 8000.0));
    dir.write("tone.wav", mono16_wav(8000, tone_then_silence));
    ASSERT_EQ(dir.run({"-q", "--zero-dc", "tone.wav", "tone.8b.wav"}).exit_code, 0);
    ASSERT_EQ(dir.run({"-q", "tone.wav", "plain.8b.wav"}).exit_code, 0);
    const std::string idle = dir.read("tone.8b.wav").substr(44 + 224 + 12000);
    EXPECT_EQ(idle, std::string(idle.size(), char(128)));
    const std::string plain_idle = dir.read("plain.8b.wav").substr(44 + 224 + 12000);
    EXPECT_NE(plain_idle, std::string(plain_idle.size(), char(128)));
}

}  // namespace
