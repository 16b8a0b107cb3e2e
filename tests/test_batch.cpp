// Batch mode through the program: the same files, texts and first failure as
// one run per file in a loop, whatever the number of jobs; its last line;
// its usage errors.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "program_runner.h"
#include "signals.h"
#include "wav_fixtures.h"

namespace {

using namespace fixtures;

struct loop_result {
    std::string out;
    std::string err;
    int first_failure = 0;
    std::vector<int> codes;
};

// One run per file, in order, with `options` and the output each name
// derives (in `target` when given).
loop_result run_one_by_one(const scratch_dir& dir, const std::vector<std::string>& names,
                           const std::vector<std::string>& options, const std::string& target) {
    loop_result loop;
    for (const std::string& name : names) {
        std::vector<std::string> args = options;
        args.push_back(name);
        // In the target directory, where a name can be derived (as a
        // single run derives none for a name without its extension).
        const bool derivable = name.size() >= 4 && name[name.size() - 4] == '.';
        if (!target.empty() && derivable) args.push_back(target + "/" + name.substr(0, name.size() - 4) + ".8b.wav");
        const run_result r = dir.run_with_errors(args);
        loop.out += r.out;
        loop.err += r.err;
        loop.codes.push_back(r.exit_code);
        if (loop.first_failure == 0) loop.first_failure = r.exit_code;
    }
    return loop;
}

// The files a directory holds, by name, with their bytes.
std::vector<std::pair<std::string, std::string>> contents(const scratch_dir& dir, const std::string& sub = "") {
    std::vector<std::pair<std::string, std::string>> files;
    for (const std::string& name : dir.entries()) {
        const std::string path = sub.empty() ? name : sub + "/" + name;
        if (std::filesystem::is_directory(utf8_path(dir.path(path)))) continue;
        files.emplace_back(name, dir.read(path));
    }
    return files;
}

// Inputs with a refusal in the middle (not mono), a missing file, a name with
// no extension (its derived name is itself), an output that cannot be
// written (a directory has its name) and one that is not the program's own.
void write_inputs(const scratch_dir& dir) {
    dir.write("a.wav", mono16_wav_bytes(22050, make_example_signal(example_kind::music, 22050, 1.5)));
    dir.write("b.wav", mono16_wav_bytes(8000, make_example_signal(example_kind::bursts, 8000, 1)));
    dir.write("c.wav", riff(chunk("fmt ", fmt_body(1, 2, 44100)) + chunk("data", std::string(256, '\0'))));
    dir.write("d.wav", mono16_wav_bytes(44100, make_example_signal(example_kind::chirp, 44100, 0.5)));
    dir.write("e", mono16_wav(8000, std::vector<std::int16_t>(64, 5)));
    dir.write("f.wav", mono16_wav_bytes(11025, make_example_signal(example_kind::tone, 11025, 1)));
    std::filesystem::create_directory(utf8_path(dir.path("f.8b.wav")));
    dir.write("g.wav", mono16_wav(8000, std::vector<std::int16_t>(320, -7)));
    dir.write("g.8b.wav", "an original");
    dir.write("h.wav", mono16_wav(8000, std::vector<std::int16_t>(3, 1)));
}

const std::vector<std::string> batch_names = {"a.wav", "b.wav", "c.wav",  "missing.wav", "d.wav",
                                              "e",     "f.wav", "g.wav", "h.wav"};

TEST(Batch, PrintsWritesAndFailsAsOneRunPerFileInTheOrderOfTheNames) {
    struct variant {
        std::vector<std::string> options;
        std::string target;  // -t
    };
    const variant variants[] = {
        {{}, ""}, {{"-q"}, ""}, {{"-a", "-z"}, ""}, {{}, "outs"},
    };
    for (const variant& v : variants) {
        scratch_dir expected_dir;
        write_inputs(expected_dir);
        if (!v.target.empty()) std::filesystem::create_directory(utf8_path(expected_dir.path(v.target)));
        const loop_result loop = run_one_by_one(expected_dir, batch_names, v.options, v.target);
        ASSERT_EQ(loop.codes, (std::vector<int>{0, 0, 3, 1, 0, 8, v.target.empty() ? 4 : 0, v.target.empty() ? 13 : 0, 0}));
        for (const char* jobs : {"1", "2", "3", "16"}) {
            SCOPED_TRACE(std::string("-j ") + jobs + (v.options.empty() ? "" : " " + v.options[0]) + " -t " + v.target);
            scratch_dir dir;
            write_inputs(dir);
            std::vector<std::string> args = v.options;
            args.insert(args.end(), {"-b", "-j", jobs});
            if (!v.target.empty()) {
                std::filesystem::create_directory(utf8_path(dir.path(v.target)));
                args.insert(args.end(), {"-t", v.target});
            }
            args.insert(args.end(), batch_names.begin(), batch_names.end());
            const run_result r = dir.run_with_errors(args);
            EXPECT_EQ(r.exit_code, loop.first_failure);
            EXPECT_EQ(r.out, loop.out);
            const std::size_t converted = v.target.empty() ? 4 : 6;
            const std::string failed = v.target.empty()
                                           ? "c.wav (exit 3), missing.wav (exit 1), e (exit 8), f.wav (exit 4), "
                                             "g.wav (exit 13)"
                                           : "c.wav (exit 3), missing.wav (exit 1), e (exit 8)";
            EXPECT_EQ(r.err, loop.err + "pcmtaper: " + std::to_string(converted) + " of 9 files converted; failed: " +
                                 failed + "\n");
            EXPECT_EQ(contents(dir), contents(expected_dir));
            if (!v.target.empty()) {
                EXPECT_EQ(contents(dir, v.target), contents(expected_dir, v.target));
            }
        }
    }
}

TEST(Batch, AllConvertedExitsWithZeroAndNoLastLine) {
    scratch_dir dir;
    dir.write("x.wav", mono16_wav(8000, std::vector<std::int16_t>(640, 9)));
    dir.write("y.wav", mono16_wav(8000, std::vector<std::int16_t>(64, -9)));
    const run_result r = dir.run_with_errors({"-qb", "x.wav", "y.wav"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(dir.exists("x.8b.wav") && dir.exists("y.8b.wav"));
}

TEST(Batch, TheLastLineNamesTheFirstFewFailures) {
    scratch_dir dir;
    std::vector<std::string> args = {"-q", "--batch", "-j", "2"};
    for (int i = 0; i < 8; ++i) args.push_back("missing" + std::to_string(i) + ".wav");
    const run_result r = dir.run_with_errors(args);
    EXPECT_EQ(r.exit_code, 1);
    const std::string last = r.err.substr(r.err.rfind("pcmtaper: 0 of 8"));
    EXPECT_EQ(last,
              "pcmtaper: 0 of 8 files converted; failed: missing0.wav (exit 1), missing1.wav (exit 1), "
              "missing2.wav (exit 1), missing3.wav (exit 1), missing4.wav (exit 1), and 3 more\n");
}

// A batch never writes over what the same run reads or writes: outputs that
// two inputs derive, a name given twice, an output that leads to another
// input (with --force too) are refused before anything is converted, and the
// first of two colliding inputs is converted as alone. Earlier outputs among
// the inputs are skipped and counted.
TEST(Batch, CollisionsAreRefusedAndEarlierOutputsSkippedBeforeAnythingIsConverted) {
    const std::string first = mono16_wav(8000, std::vector<std::int16_t>(640, 900));
    const std::string second = mono16_wav(8000, std::vector<std::int16_t>(640, -900));
    const struct {
        const char* what;
        std::vector<std::string> args;
        int exit_code;
        std::string err;
        const char* output;  // holds the conversion of `first`
    } cases[] = {
        {"two folders into one target", {"-q", "-b", "-t", "T", "d1/x.wav", "d3/x.wav"}, 13,
         "pcmtaper: the output T/x.8b.wav of d3/x.wav is also the output of d1/x.wav; d3/x.wav is not converted\n"
         "pcmtaper: 1 of 2 files converted; failed: d3/x.wav (exit 13)\n",
         "T/x.8b.wav"},
        {"names that differ in the extension's case and the folder's spelling", {"-q", "-b", "a.wav", "d1/../a.WAV"}, 13,
         "pcmtaper: the output d1/../a.8b.wav of d1/../a.WAV is also the output of a.wav; d1/../a.WAV is not converted\n"
         "pcmtaper: 1 of 2 files converted; failed: d1/../a.WAV (exit 13)\n",
         "a.8b.wav"},
        {"a name given twice", {"-q", "-b", "a.wav", "./a.wav"}, 13,
         "pcmtaper: ./a.wav is given twice; it is converted once\n"
         "pcmtaper: 1 of 2 files converted; failed: ./a.wav (exit 13)\n",
         "a.8b.wav"},
        {"an output that is a link to another input, forced", {"-q", "-f", "-b", "-t", "L", "a.wav", "q.wav"}, 8,
         "pcmtaper: the output L/a.8b.wav is the input q.wav of this run; it is kept\n"
         "pcmtaper: 1 of 2 files converted; failed: a.wav (exit 8)\n",
         "L/q.8b.wav"},
        {"an earlier output among the inputs", {"-q", "-b", "a.wav", "e.8b.wav"}, 0,
         "pcmtaper: 1 of 1 files converted; 1 skipped as outputs of pcmtaper: e.8b.wav\n", "a.8b.wav"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        for (const char* folder : {"d1", "d3", "T", "L"}) std::filesystem::create_directory(utf8_path(dir.path(folder)));
        dir.write("d1/x.wav", first);
        dir.write("d3/x.wav", second);
        dir.write("a.wav", first);
        dir.write("q.wav", first);
        const bool differ_in_case = c.args.back() == "d1/../a.WAV";
#if defined(_WIN32) || defined(__APPLE__)
        if (differ_in_case) continue;  // one file there, whose name ignores case
#endif
        if (differ_in_case) dir.write("a.WAV", second);
        ASSERT_EQ(dir.run({"-q", "d3/x.wav", "e.8b.wav"}).exit_code, 0);
#ifndef _WIN32
        std::filesystem::create_symlink("../q.wav", dir.path("L/a.8b.wav"));
#else
        if (c.exit_code == 8) continue;  // links need a privilege there
#endif
        const std::string expected = [&] {
            scratch_dir alone;
            alone.write("in.wav", first);
            alone.run({"in.wav"});
            return alone.read("in.8b.wav");
        }();
        const run_result r = dir.run_with_errors(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(dir.read(c.output), expected);
        EXPECT_EQ(dir.read("q.wav"), first);
        if (differ_in_case) {
            EXPECT_EQ(dir.read("a.WAV"), second);
        }
        EXPECT_FALSE(dir.exists("e.8b.8b.wav"));
    }
}

// The target directory is made when missing (said once), refused once when
// it cannot be; inputs from other folders write their base names there.
TEST(Batch, TheTargetDirectoryIsMadeOnceAndTakesInputsFromOtherFolders) {
    scratch_dir dir;
    std::filesystem::create_directories(utf8_path(dir.path("sfx/a")));
    dir.write("sfx/a/b.wav", mono16_wav(8000, std::vector<std::int16_t>(640, 100)));
    dir.write("c.wav", mono16_wav(8000, std::vector<std::int16_t>(640, 200)));
    const run_result refused = dir.run_with_errors({"-b", "-t", "no/outs", "c.wav", "sfx/a/b.wav"});
    EXPECT_EQ(refused.exit_code, 4);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err,
              "pcmtaper: cannot make the target directory no/outs: No such file or directory; nothing is converted\n");
    const run_result made = dir.run_with_errors({"-b", "-j", "1", "-t", "outs", "c.wav", "sfx/a/b.wav"});
    EXPECT_EQ(made.exit_code, 0) << made.err;
    EXPECT_EQ(made.err.rfind("pcmtaper: made the target directory outs\n", 0), 0u) << made.err;
    EXPECT_TRUE(dir.exists("outs/c.8b.wav") && dir.exists("outs/b.8b.wav"));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"c.wav", "outs", "sfx"}));
}

TEST(Batch, UsageErrors) {
    scratch_dir dir;
    const std::vector<std::string> refused[] = {
        {"-b", "a.wav", "-"}, {"-b"}, {"-t", "outs", "a.wav"}, {"-b", "a.wav", "-t"}, {"-b", "--target-directory=", "a.wav"},
    };
    for (const std::vector<std::string>& args : refused) {
        const run_result r = dir.run_with_errors(args);
        EXPECT_EQ(r.exit_code, 12) << args.back();
        EXPECT_NE(r.err.find("usage: pcmtaper"), std::string::npos) << args.back();
    }
    EXPECT_TRUE(dir.entries().empty());
}

}  // namespace
