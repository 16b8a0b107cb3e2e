// The command line: options, the two names, and the texts that describe them.
//
// Usage: const command_line cl = parse_command_line(argc, argv);
//        switch (cl.action) { case cli_action::convert: ... }
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "formats.h"
#include "pcmtaper/pcmtaper.h"

enum class cli_action {
    banner,       // no argument at all: the banner and usage
    help,         // -h, --help
    version,      // -V, --version
    convert,
    usage_error,  // an unknown option, a missing or a third name, a bad option value
};

// The most threads -j takes; more are taken as this many.
inline constexpr int max_jobs = 64;

struct command_line {
    cli_action action = cli_action::banner;
    std::string input_name;   // "-" is standard input
    std::string output_name;  // "-" is standard output; derived when not given
    bool output_named = false;
    bool quiet = false;    // -q: nothing on standard output
    bool align = false;    // -a: as many samples as the input, no delay
    bool force = false;    // -f: replace an existing output that is not this input's earlier output
    bool zero_dc = false;  // -z: the dither's mean taken off
    int jobs = 0;          // -j N: threads to use, 1..max_jobs; 0: not given (the processors available)
    bool batch = false;    // -b: every name is an input, converted to its derived name
    std::string target_directory;        // -t DIR: batch outputs go to DIR; empty: beside their inputs
    std::vector<std::string> batch_inputs;  // with -b: the names, in order
    file_format format = file_format::wav;  // -F
    bool keep_metadata = false;  // -m: loops, cue points, tags and instrument copied (wav only)
    std::string c_name;          // --c-name: the C array's name (c, c-s8); empty: from the file name
    std::string c_attribute;     // --c-attribute: text after the array's declarator (c, c-s8)
    // -c: PCMTAPER_CHANNEL_ONLY (not given: a mono input), PCMTAPER_CHANNEL_MIX, or 1..64
    int channel = PCMTAPER_CHANNEL_ONLY;
    double gain_db = 0.0;              // -g DB
    bool normalize = false;            // -n: the peak set to the library's level (reads each input twice)
    std::uint32_t output_rate_hz = 0;  // -r HZ: 1000..384000; 0: the input's rate
    std::string error;     // what is wrong, for usage_error
};

// Options may come before, between or after the names, short ones bundled
// (-qa); "--" ends the options and "-" alone is a name. An option's value
// follows it (-j 2, --jobs 2) or is attached (-j2, --jobs=2).
command_line parse_command_line(int argc, const char* const* argv);

// The options that shape the output, as given; a null value was not given.
struct output_option_values {
    const std::string* format;  // -F
    bool keep_metadata;         // -m
    const std::string* c_name;       // --c-name
    const std::string* c_attribute;  // --c-attribute
};
// Why these options cannot be used together, as a usage error's text, or ""
// when they can; the format in *format (wav when not given). The command
// line and the web page check them here.
std::string output_options_error(const output_option_values& given, file_format* format);

// The output name for an input name: when the fourth character from the end is
// a full stop, the last four characters become the format's suffix (".8b.wav"
// for a WAV output); otherwise the name is returned unchanged (the caller then
// refuses to write over the input).
std::string derive_output_name(const std::string& input_name, file_format format = file_format::wav);
// Whether `text` ends in `suffix`, ASCII letters compared without case.
bool ends_with_ignoring_case(const std::string& text, const char* suffix);

// A batch file's output name: the derived name, in `target_directory` when
// one is given (its last component only). A name whose derived name is the
// name itself stays so, to be refused as a single conversion would be.
std::string batch_output_name(const std::string& input_name, const std::string& target_directory,
                              file_format format = file_format::wav);

// The three texts printed without arguments.
void print_banner(std::FILE* stream);
// The banner and the option list.
void print_help(std::FILE* stream);
// One line: the program's name and version.
void print_version(std::FILE* stream);
// "pcmtaper: <error>" and the usage line, for a command line that cannot run.
void print_usage_error(std::FILE* stream, const std::string& error);
