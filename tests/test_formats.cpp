// The output formats (-F): the names they get, the same samples in each, the
// C header compiled by the system's compilers, and the existing-output rule
// per format.
#include <gtest/gtest.h>

#include <cstdlib>

#include "driver/cli.h"
#include "driver/formats.h"
#include "program_runner.h"
#include "signals.h"
#include "wav_fixtures.h"

using namespace fixtures;

namespace {

using names = std::vector<std::string>;

TEST(OutputFormats, NamesSuffixesAndDerivedOutputNames) {
    const struct {
        const char* name;
        file_format format;
        const char* derived;
    } table[] = {
        {"wav", file_format::wav, "dir/take1.8b.wav"}, {"u8", file_format::u8, "dir/take1.u8"},
        {"s8", file_format::s8, "dir/take1.s8"},       {"c", file_format::c, "dir/take1.h"},
        {"c-s8", file_format::c_s8, "dir/take1.h"},
    };
    for (const auto& t : table) {
        file_format parsed = file_format::wav;
        EXPECT_TRUE(parse_file_format(t.name, &parsed)) << t.name;
        EXPECT_EQ(parsed, t.format) << t.name;
        EXPECT_STREQ(file_format_name(t.format), t.name);
        EXPECT_EQ(derive_output_name("dir/take1.wav", t.format), t.derived);
        // Without a full stop fourth from the end the name is the input's: refused later.
        EXPECT_EQ(derive_output_name("take1", t.format), "take1");
    }
    file_format unchanged = file_format::c;
    for (const char* bad : {"", "WAV", "u16", "c-u8", "s8 "}) {
        EXPECT_FALSE(parse_file_format(bad, &unchanged)) << bad;
        EXPECT_EQ(unchanged, file_format::c);
    }
}

TEST(OutputFormats, FileNamesMadeIntoCIdentifiers) {
    const struct {
        const char* file;
        const char* identifier;
    } table[] = {
        {"take-1.wav", "take_1"},
        {"take-1.h", "take_1"},
        {"sounds/Take 1 (final).h", "Take_1_final"},
        {"C:\\music\\laser.h", "laser"},
        {"8bit loop.h", "_8bit_loop"},
        {"--x--.h", "x"},
        {"a__b.h", "a_b"},
        {"archive.tar.h", "archive_tar"},
        {".hidden", "hidden"},
        {"int.h", "int_"},
        {"class.h", "class_"},
        {"main.h", "main_"},
        {"uint8_t.h", "uint8_t_"},
        {"INT8_MAX.h", "INT8_MAX_"},
        {"caf\xc3\xa9.h", "caf"},
        {"\xc3\xa9t\xc3\xa9.h", "t"},
        {"---.h", ""},
        {"", ""},
    };
    for (const auto& t : table) {
        EXPECT_EQ(c_identifier_from_file_name(t.file), t.identifier) << t.file;
        if (t.identifier[0] != '\0') {
            EXPECT_TRUE(is_c_identifier(t.identifier)) << t.identifier;
        }
    }
    for (const char* good : {"x", "_x", "take_1", "Sample9", "intx", "int8"}) EXPECT_TRUE(is_c_identifier(good)) << good;
    for (const char* bad : {"", "9x", "a-b", "a b", "caf\xc3\xa9", "int", "static", "template", "_Bool", "int8_t",
                            "uintptr_t", "UINT16_C", "SIZE_MAX", "main"})
        EXPECT_FALSE(is_c_identifier(bad)) << bad;
    // --c-name first, then the output's name, then the input's (output "-").
    EXPECT_EQ(c_array_name("given", "out.h", "in.wav"), "given");
    EXPECT_EQ(c_array_name("", "out.h", "in.wav"), "out");
    EXPECT_EQ(c_array_name("", "-", "take-2.wav"), "take_2");
    EXPECT_EQ(c_array_name("", "-", "-"), "samples");
    EXPECT_EQ(c_array_name("", "___.h", "9.wav"), "_9");
}

TEST(OutputFormats, CommandLineOptionsAndTheirChecks) {
    const char* prog = "pcmtaper";
    auto parse = [&](std::vector<const char*> args) {
        args.insert(args.begin(), prog);
        return parse_command_line(static_cast<int>(args.size()), args.data());
    };
    command_line cl = parse({"-qFc-s8", "--c-name=snd", "--c-attribute", "PROGMEM", "in.wav"});
    ASSERT_EQ(cl.action, cli_action::convert) << cl.error;
    EXPECT_TRUE(cl.quiet);
    EXPECT_EQ(cl.format, file_format::c_s8);
    EXPECT_EQ(cl.c_name, "snd");
    EXPECT_EQ(cl.c_attribute, "PROGMEM");
    EXPECT_EQ(cl.output_name, "in.h");
    cl = parse({"in.wav", "-F", "u8", "-m"});
    EXPECT_EQ(cl.action, cli_action::usage_error);
    EXPECT_EQ(cl.error, "--keep-metadata is for the format wav, not u8");
    cl = parse({"--format", "s8", "in.wav"});
    EXPECT_EQ(cl.format, file_format::s8);
    EXPECT_EQ(cl.output_name, "in.s8");
    cl = parse({"--keep-metadata", "in.wav"});
    EXPECT_TRUE(cl.keep_metadata);
    EXPECT_EQ(cl.output_name, "in.8b.wav");

    const struct {
        std::vector<const char*> args;
        const char* error;
    } refused[] = {
        {{"-F", "mp3", "in.wav"}, "unknown format 'mp3' (wav, u8, s8, c, c-s8)"},
        {{"in.wav", "-F"}, "option '-F' needs a value"},
        {{"in.wav", "--format"}, "option '--format' needs a value"},
        {{"-Fc", "--c-name", "9lives", "in.wav"},
         "--c-name '9lives' is not a C identifier (letters, digits and underscores, not starting with a digit, not "
         "a keyword)"},
        {{"-Fc", "--c-name=int", "in.wav"},
         "--c-name 'int' is not a C identifier (letters, digits and underscores, not starting with a digit, not a "
         "keyword)"},
        {{"--c-name=x", "in.wav"}, "--c-name is for the formats c and c-s8, not wav"},
        {{"-Fu8", "--c-attribute=PROGMEM", "in.wav"}, "--c-attribute is for the formats c and c-s8, not u8"},
        {{"-Fc", "--c-attribute", "A\nB", "in.wav"}, "--c-attribute takes one line of text without control characters"},
    };
    for (const auto& r : refused) {
        cl = parse(r.args);
        EXPECT_EQ(cl.action, cli_action::usage_error) << r.error;
        EXPECT_EQ(cl.error, r.error);
    }
}

// ---- the same samples in every format ---------------------------------------

// `seconds` of music at 8000 Hz, less `fewer` samples at the end.
std::string music_input(double seconds = 0.3, std::size_t fewer = 0) {
    std::vector<std::int16_t> samples = make_example_signal(example_kind::music, 8000, seconds);
    samples.resize(samples.size() - fewer);
    return mono16_wav_bytes(8000, samples);
}

std::string signed_bytes(const std::string& unsigned_bytes) {
    std::string s = unsigned_bytes;
    for (char& c : s) c = static_cast<char>(static_cast<unsigned char>(c) - 128);
    return s;
}

// The values of a C header's array, as the bytes they stand for.
std::string array_values(const std::string& header) {
    std::string bytes;
    std::size_t at = header.find("= {\n");
    const std::size_t end = header.find("\n};");
    if (at == std::string::npos || end == std::string::npos) return "no array";
    at += 4;
    while (at < end) {
        char* after = nullptr;
        const long v = std::strtol(header.c_str() + at, &after, 0);
        bytes += static_cast<char>(v);
        at = static_cast<std::size_t>(after - header.c_str());
        while (at < end && (header[at] == ',' || header[at] == ' ' || header[at] == '\n')) ++at;
    }
    return bytes;
}

TEST(OutputFormats, EveryFormatHoldsTheWavOutputsSamplesFromAFileAndAPipe) {
    for (const bool align : {false, true}) {
        SCOPED_TRACE(align ? "--align" : "plain");
        scratch_dir dir;
        dir.write("in.wav", music_input(0.3, 1));  // an odd sample count with --align: the WAV has a pad byte
        names args{"in.wav"};
        if (align) args.push_back("-a");
        const run_result wav_run = dir.run(args);
        ASSERT_EQ(wav_run.exit_code, 0);
        const std::string wav = dir.read("in.8b.wav");
        const std::uint32_t data_size = static_cast<unsigned char>(wav[40]) | static_cast<unsigned char>(wav[41]) << 8;
        const std::string data = wav.substr(44, data_size);
        EXPECT_EQ(wav.size(), 44 + data_size + data_size % 2);
        EXPECT_EQ(data_size % 2, align ? 1u : 0u);

        const struct {
            const char* format;
            const char* file;
            std::string expected;  // the samples as raw bytes
        } formats[] = {
            {"u8", "in.u8", data},
            {"s8", "in.s8", signed_bytes(data)},
            {"c", "in.h", data},
            {"c-s8", "in.h", signed_bytes(data)},
        };
        for (const auto& f : formats) {
            SCOPED_TRACE(f.format);
            names with_format = args;
            with_format.insert(with_format.end(), {"-F", f.format});
            const run_result r = dir.run(with_format);
            EXPECT_EQ(r.exit_code, 0);
            // The same text as the WAV conversion, but for the output's name.
            EXPECT_EQ(r.out.substr(r.out.find("\r\n", 8)), wav_run.out.substr(wav_run.out.find("\r\n", 8)));
            const std::string file = dir.read(f.file);
            const bool is_c = f.format[0] == 'c';
            EXPECT_TRUE((is_c ? array_values(file) : file) == f.expected);
            // Standard output: the same bytes, the text on standard error.
            names to_stdout = with_format;
            to_stdout.push_back("-");
            const run_result piped = dir.run(to_stdout);
#ifdef _WIN32
            const run_result piped_out =
                dir.run_with_errors(names{"-", "-", "-F", f.format, align ? "-a" : "-q"}, "< in.wav");
#else
            const run_result piped_out = dir.run(names{"-", "-", "-F", f.format, align ? "-a" : "-q"}, "cat in.wav | ");
#endif
            EXPECT_EQ(piped.exit_code, 0);
            EXPECT_TRUE(piped.out == file);  // (not printed: long)
            // Without any file name the array is named "samples".
            EXPECT_TRUE(is_c ? array_values(piped_out.out) == f.expected : piped_out.out == file);
            dir.write(f.file, "");
        }
    }
}

// The C header, included twice (its guard) by a C and a C++ program built
// with every warning an error; the programs print the length and rate
// constants, the array's size and its bytes.
class c_compilers : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef _WIN32
        GTEST_SKIP() << "the system's C compiler is run through sh";
#else
        if (std::system("command -v cc >/dev/null 2>&1 && command -v c++ >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "no cc and c++ on this system";
#endif
    }

    struct compiled {
        std::string constants;  // "LENGTH RATE SIZEOF"
        std::string bytes;
    };

    // Compiles `header` (named out.h) for the array `name` in C and C++.
    static std::vector<compiled> compile_and_run(const scratch_dir& dir, const std::string& name) {
        const std::string program =
            "#include <stdio.h>\n"
            "#define PROGMEM\n"
            "#include \"out.h\"\n"
            "#include \"out.h\"\n"
            "int main(void) {\n"
            "    printf(\"%lu %lu %lu\\n\", (unsigned long)" + name + "_LENGTH, (unsigned long)" + name +
            "_RATE_HZ, (unsigned long)sizeof " + name + ");\n"
            "    fwrite(" + name + ", 1, " + name + "_LENGTH, stdout);\n"
            "    return 0;\n"
            "}\n";
        dir.write("main.c", program);
        std::vector<compiled> results;
        for (const char* compiler : {"cc -std=c99 -x c", "c++ -std=c++11 -x c++"}) {
            const run_result r = run_command("cd " + shell_quote(dir.path("")) + " && " + compiler +
                                             " -Wall -Wextra -pedantic -Werror -o prog main.c 2>&1 && ./prog");
            EXPECT_EQ(r.exit_code, 0) << compiler << ": " << r.out;
            const std::size_t eol = r.out.find('\n');
            results.push_back({r.out.substr(0, eol), eol == std::string::npos ? "" : r.out.substr(eol + 1)});
        }
        return results;
    }
};

TEST_F(c_compilers, TheHeaderCompilesAndItsArrayIsTheWavOutputsData) {
    scratch_dir dir;
    dir.write("in.wav", music_input());
    ASSERT_EQ(dir.run({"in.wav"}).exit_code, 0);
    const std::string data = dir.read("in.8b.wav").substr(44);
    const std::string constants = std::to_string(data.size()) + " 8000 " + std::to_string(data.size());
    for (const bool is_signed : {false, true}) {
        SCOPED_TRACE(is_signed ? "c-s8" : "c");
        ASSERT_EQ(dir.run({"in.wav", "out.h", "-F", is_signed ? "c-s8" : "c", "--c-name", "Laser_2",
                           "--c-attribute", "PROGMEM"})
                      .exit_code,
                  0);
        const std::string header = dir.read("out.h");
        EXPECT_EQ(header.find(c_header_first_line), 0u);
        EXPECT_NE(header.find("Laser_2[Laser_2_LENGTH] PROGMEM = {"), std::string::npos);
        for (const compiled& c : compile_and_run(dir, "Laser_2")) {
            EXPECT_EQ(c.constants, constants);
            EXPECT_EQ(c.bytes, is_signed ? signed_bytes(data) : data);
        }
    }
}

// Outputs without samples, and streams that end before their declared size:
// the header still compiles and states what it holds.
TEST_F(c_compilers, ShortAndEmptyOutputsCompile) {
    const std::vector<std::int16_t> samples = make_example_signal(example_kind::tone, 8000, 0.1);  // 800
    const std::string pcm = samples_le(samples);
    const struct {
        const char* what;
        std::string input;
        const char* how;  // "file" or "pipe"
        std::size_t length;
    } cases[] = {
        {"fewer samples than a block", mono16_wav(8000, std::vector<std::int16_t>(samples.begin(), samples.begin() + 20)),
         "file", 0},
        {"a stream that ends after 400 samples of 800 declared",
         riff(chunk("fmt ", fmt_body(1, 1, 8000)) + "data" + u32(1600) + pcm.substr(0, 800)), "pipe", 384},  // 12 whole blocks
        {"a stream that ends before its first block",
         riff(chunk("fmt ", fmt_body(1, 1, 8000)) + "data" + u32(1600) + pcm.substr(0, 40)), "pipe", 0},
    };
    for (const auto& c : cases) {
        for (const char* format : {"c", "c-s8"}) {
            SCOPED_TRACE(std::string(c.what) + ", " + format);
            scratch_dir dir;
            dir.write("in.wav", c.input);
            const bool pipe = std::string(c.how) == "pipe";
            const run_result r = dir.run({pipe ? "-" : "in.wav", "out.h", "-F", format}, pipe ? "cat in.wav | " : "");
            EXPECT_EQ(r.exit_code, 0) << r.out;
            for (const compiled& compiled : compile_and_run(dir, "out")) {
                EXPECT_EQ(compiled.constants, std::to_string(c.length) + " 8000 " + std::to_string(c.length ? c.length : 1));
                EXPECT_EQ(compiled.bytes.size(), c.length);
            }
        }
    }
}

// ---- the existing-output rule per format ------------------------------------

// Without --force, an existing output is replaced when it is empty or bears
// the program's mark for this input with its bytes unchanged (in any format:
// raw samples too), or is of the format's kind under the derived name. A copy
// of this input's output made by another hand, another input's output, an
// original or any other file is kept, with a line that says why.
TEST(OutputFormats, AnExistingOutputIsReplacedOnlyWhenItIsThisInputsEarlierOutputOrEmpty) {
    scratch_dir source;
    const std::string earlier_input = music_input(0.07);
    source.write("in.wav", music_input(0.05));
    source.write("other.wav", music_input(0.1));
    std::string own[5];
    std::string others[5];  // another input's outputs, under the same name
    const char* format_names[] = {"wav", "u8", "s8", "c", "c-s8"};
    for (int f = 0; f < 5; ++f) {
        for (auto [input, kept] : {std::pair{"in.wav", &own[f]}, std::pair{"other.wav", &others[f]}}) {
            ASSERT_EQ(source.run({input, "out", "-F", format_names[f]}).exit_code, 0);
            *kept = source.read("out");
            source.write("out", "");
        }
    }
    const std::string original = source.read("in.wav");
    const char* const unmarked = " not marked as pcmtaper's output of this input";
    const std::string own_kind_unmarked[] = {
        std::string(" and is an 8-bit mono WAV file") + unmarked,
        std::string(" and is") + unmarked + " (raw samples cannot be told from any other file)",
        std::string(" and is") + unmarked + " (raw samples cannot be told from any other file)",
        std::string(" and is a C header") + unmarked, std::string(" and is a C header") + unmarked};
    const std::string not_own[] = {" and is not an 8-bit mono WAV file", own_kind_unmarked[1], own_kind_unmarked[2],
                                   " and is not a C header written by pcmtaper",
                                   " and is not a C header written by pcmtaper"};
    for (int f = 0; f < 5; ++f) {
        const struct {
            const char* what;
            std::string existing;  // written by the test; empty with made_as: made by the program
            const char* made_as;   // the format the program made it in from this input's earlier samples
            bool replaced;
            std::string why;  // when kept
        } cases[] = {
            {"empty", "", nullptr, true, ""},
            {"this input's earlier output", "", format_names[f], true, ""},
            {"this input's earlier output in another format", "", format_names[(f + 1) % 5], true, ""},
            {"a copy of this input's output", own[f], nullptr, false, own_kind_unmarked[f]},
            {"another input's output", others[f], nullptr, false, own_kind_unmarked[f]},
            {"a 16-bit original", original, nullptr, false, not_own[f]},
            {"a C file", "/* pcmtaper */\nint x;\n", nullptr, false, not_own[f]},
        };
        for (const auto& c : cases) {
            for (const bool on_stdout : {false, true}) {
                SCOPED_TRACE(std::string(format_names[f]) + ": " + c.what + (on_stdout ? ", through standard output" : ""));
                scratch_dir dir;
                if (c.made_as != nullptr)
                    dir.make_earlier_output("in.wav", "out", earlier_input, original, {"-F", c.made_as});
                else
                    dir.write("in.wav", original), dir.write("out", c.existing);
                const std::string existing = dir.read("out");
                // Named as the file standard output is redirected to, the output follows the same rule.
                const run_result r = on_stdout
                                         ? dir.run_with_errors({"-q", "-F", format_names[f], "in.wav", "out"}, ">> out")
                                         : dir.run_with_errors({"-q", "-F", format_names[f], "in.wav", "out"});
                EXPECT_EQ(r.exit_code, c.replaced ? 0 : 13) << r.err;
                EXPECT_EQ(dir.read("out"), c.replaced ? own[f] : existing);
                if (!c.replaced) {
                    EXPECT_EQ(r.err, std::string("pcmtaper: the output file out exists") + c.why +
                                         "; it is kept (--force replaces it)\n");
                }
                const run_result forced = dir.run_with_errors({"-q", "-f", "-F", format_names[f], "in.wav", "out"});
                EXPECT_EQ(forced.exit_code, 0) << forced.err;
                EXPECT_EQ(dir.read("out"), own[f]);
            }
        }
    }
    // Run again to the derived name, every format replaces its own earlier output.
    for (const char* format : format_names) {
        SCOPED_TRACE(std::string("again: ") + format);
        scratch_dir again;
        again.write("in.wav", original);
        EXPECT_EQ(again.run({"-q", "-F", format, "in.wav"}).exit_code, 0);
        EXPECT_EQ(again.run({"-q", "-F", format, "in.wav"}).exit_code, 0);
    }
    // The derived name is the program's own: another input's header there is replaced.
    scratch_dir dir;
    dir.write("in.wav", original);
    dir.write("in.h", others[3]);
    EXPECT_EQ(dir.run({"-q", "-F", "c", "in.wav"}).exit_code, 0);
    EXPECT_TRUE(array_values(dir.read("in.h")) == array_values(own[3]));
}

}  // namespace
