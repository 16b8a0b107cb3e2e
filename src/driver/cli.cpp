#include "cli.h"

#include "other_formats.h"
#include "pcmtaper/pcmtaper.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

namespace {

constexpr std::size_t extension_len = 4;  // ".wav", or any "." and three characters
constexpr const char* usage_line = "  usage:  pcmtaper input.wav [output.wav]\r\n";

struct option_spec {
    char short_name;
    const char* long_name;
    bool command_line::*flag;  // null for the options that end the parse
    cli_action action;
};

constexpr option_spec options[] = {
    {'h', "help", nullptr, cli_action::help},
    {'V', "version", nullptr, cli_action::version},
    {'q', "quiet", &command_line::quiet, cli_action::convert},
    {'a', "align", &command_line::align, cli_action::convert},
    {'f', "force", &command_line::force, cli_action::convert},
    {'z', "zero-dc", &command_line::zero_dc, cli_action::convert},
    {'m', "keep-metadata", &command_line::keep_metadata, cli_action::convert},
    {'b', "batch", &command_line::batch, cli_action::convert},
    {'n', "normalize", &command_line::normalize, cli_action::convert},
};

// The options that take a value: -F FORMAT (also -FFORMAT), --format FORMAT
// (also --format=FORMAT), --c-name NAME, --c-attribute TEXT, -j N (also -jN,
// --jobs N, --jobs=N), -t DIR (--target-directory DIR), -c mix|N
// (--channel), -g DB (--gain), -r HZ (--rate).
struct value_option_spec {
    char short_name;  // 0: long only
    const char* long_name;
};
constexpr value_option_spec value_options[] = {
    {'F', "format"}, {0, "c-name"}, {0, "c-attribute"}, {'j', "jobs"}, {'t', "target-directory"},
    {'c', "channel"}, {'g', "gain"}, {'r', "rate"}};

// The values given, checked once the whole command line is read.
struct given_values {
    std::string format;
    bool format_given = false;
    bool c_name_given = false;
    bool c_attribute_given = false;
    std::string jobs;
    bool jobs_given = false;
    bool target_given = false;
    // Each checked once the command line is read, the last given counting.
    std::optional<std::string> channel, gain, rate;
};

// A number of jobs: a whole number from 1; more than max_jobs is max_jobs.
bool parse_jobs(const std::string& value, int* jobs) {
    if (value.empty() || value[0] < '0' || value[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(value.c_str(), &end, 10);
    if (*end != '\0' || n < 1) return false;
    *jobs = errno == ERANGE || n > max_jobs ? max_jobs : static_cast<int>(n);
    return true;
}

// A whole number of decimal digits alone (no sign, no blank) from `least`
// to `most`.
bool parse_whole_in_range(const std::string& text, long least, long most, long* value) {
    if (text.empty()) return false;
    long n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
        if (n > most) return false;  // before it could overflow
    }
    if (n < least) return false;
    *value = n;
    return true;
}

// A decimal number: an optional sign, then digits with at most one full
// stop among, before or after them ("-6", "+2.5", ".5", "3."), no
// exponent. Parsed here rather than by strtod, whose decimal point is the
// locale's, so that a value means the same number on every platform: with
// at most 15 significant digits the digits make a whole number below 10^15
// and the full stop a power of ten up to 10^22, both exact in a double, and
// one multiplication or division of the two is the correctly rounded value.
bool parse_decimal(const std::string& text, double* value) {
    std::size_t at = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) at = 1;
    std::string digits;
    int exponent = 0;  // the value is digits x 10^exponent
    bool point = false;
    bool any_digit = false;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        if (c < '0' || c > '9') return false;
        any_digit = true;
        if (point) --exponent;
        if (c != '0' || !digits.empty()) digits += c;  // leading zeros dropped
    }
    if (!any_digit) return false;
    while (!digits.empty() && digits.back() == '0') {
        digits.pop_back();
        ++exponent;
    }
    constexpr std::size_t max_significant_digits = 15;
    constexpr int max_exact_power = 22;
    if (digits.size() > max_significant_digits) return false;
    if (digits.empty()) exponent = 0;
    if (exponent > max_exact_power || exponent < -max_exact_power) return false;
    double whole = 0;
    for (const char c : digits) whole = whole * 10 + (c - '0');  // exact: below 10^15
    double power = 1;
    for (int k = 0; k < (exponent < 0 ? -exponent : exponent); ++k) power *= 10;  // exact: up to 10^22
    const double magnitude = exponent < 0 ? whole / power : whole * power;
    *value = negative ? -magnitude : magnitude;
    return true;
}

// Whether the library takes a gain of `gain_db`: its factor 10^(DB/20)
// must neither overflow nor vanish.
bool gain_in_range(double gain_db) {
    pcmtaper_config config;
    pcmtaper_config_init(&config);
    config.gain_db = gain_db;
    return pcmtaper_converter_size(&config) != 0;
}

void take_value(const value_option_spec& o, std::string value, command_line* cl, given_values* given) {
    if (o.short_name == 'c') {
        given->channel = std::move(value);
    } else if (o.short_name == 'g') {
        given->gain = std::move(value);
    } else if (o.short_name == 'r') {
        given->rate = std::move(value);
    } else if (o.short_name == 'F') {
        given->format = std::move(value);
        given->format_given = true;
    } else if (o.short_name == 'j') {
        given->jobs = std::move(value);
        given->jobs_given = true;
    } else if (o.short_name == 't') {
        cl->target_directory = std::move(value);
        given->target_given = true;
    } else if (std::strcmp(o.long_name, "c-name") == 0) {
        cl->c_name = std::move(value);
        given->c_name_given = true;
    } else {
        cl->c_attribute = std::move(value);
        given->c_attribute_given = true;
    }
}

// "--name" or "--name=value" of a value option, or null.
const value_option_spec* find_long_value(const char* arg, const char** inline_value) {
    for (const value_option_spec& o : value_options) {
        const std::size_t n = std::strlen(o.long_name);
        if (std::strncmp(arg, o.long_name, n) != 0) continue;
        if (arg[n] == '\0') {
            *inline_value = nullptr;
            return &o;
        }
        if (arg[n] == '=') {
            *inline_value = arg + n + 1;
            return &o;
        }
    }
    return nullptr;
}

const value_option_spec* find_short_value(char c) {
    for (const value_option_spec& o : value_options)
        if (o.short_name != 0 && o.short_name == c) return &o;
    return nullptr;
}

const option_spec* find_short(char c) {
    for (const option_spec& o : options)
        if (o.short_name == c) return &o;
    return nullptr;
}

const option_spec* find_long(const char* name) {
    for (const option_spec& o : options)
        if (std::strcmp(o.long_name, name) == 0) return &o;
    return nullptr;
}

// The options of the input stage, checked into *cl; the usage error's text,
// or "".
std::string input_options_error(const given_values& given, command_line* cl) {
    if (given.channel) {
        long channel = 0;
        if (*given.channel == "mix") {
            cl->channel = PCMTAPER_CHANNEL_MIX;
        } else if (parse_whole_in_range(*given.channel, 1, PCMTAPER_MAX_CHANNELS, &channel)) {
            cl->channel = static_cast<int>(channel);
        } else {
            return "invalid channel '" + *given.channel + "' (mix, or a channel number from 1 to " +
                   std::to_string(PCMTAPER_MAX_CHANNELS) + ")";
        }
    }
    if (given.gain) {
        if (!parse_decimal(*given.gain, &cl->gain_db))
            return "invalid gain '" + *given.gain + "' (decibels as a decimal number, such as -6 or 2.5)";
        if (!gain_in_range(cl->gain_db))
            return "gain '" + *given.gain + "' out of range (its factor 10^(DB/20) overflows or vanishes)";
    }
    if (given.rate) {
        long rate_hz = 0;
        if (!parse_whole_in_range(*given.rate, PCMTAPER_MIN_OUTPUT_RATE_HZ, PCMTAPER_MAX_OUTPUT_RATE_HZ, &rate_hz))
            return "invalid rate '" + *given.rate + "' (a whole number of hertz from " +
                   std::to_string(PCMTAPER_MIN_OUTPUT_RATE_HZ) + " to " + std::to_string(PCMTAPER_MAX_OUTPUT_RATE_HZ) + ")";
        cl->output_rate_hz = static_cast<std::uint32_t>(rate_hz);
    }
    return "";
}

command_line usage_error(std::string error) {
    command_line cl;
    cl.action = cli_action::usage_error;
    cl.error = std::move(error);
    return cl;
}

}  // namespace

bool ends_with_ignoring_case(const std::string& text, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    if (text.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = text[text.size() - n + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

// Extensions of the other formats people convert whose length is not that
// of ".wav" (those, ".caf", ".mp3", ".ogg", follow the rule of four). A name
// that ends in one gives a derived name too, so that a batch of FLAC or AIFF
// files converts without output names; such a name gave none before, so no
// earlier run of the program depends on it.
constexpr const char* other_extensions[] = {".flac", ".aiff", ".aifc", ".opus", ".au"};

std::string derive_output_name(const std::string& input_name, file_format format) {
    std::string name = input_name;
    std::size_t cut = 0;
    if (name.size() >= extension_len && name[name.size() - extension_len] == '.') {
        cut = extension_len;
    } else {
        for (const char* extension : other_extensions)
            if (ends_with_ignoring_case(name, extension)) cut = std::strlen(extension);
    }
    if (cut != 0) {
        name.resize(name.size() - cut);
        name += derived_suffix(format);
    }
    return name;
}

std::string batch_output_name(const std::string& input_name, const std::string& target_directory,
                              file_format format) {
    const std::string derived = derive_output_name(input_name, format);
    if (derived == input_name || target_directory.empty()) return derived;
#ifdef _WIN32
    const std::size_t separator = derived.find_last_of("/\\:");
    const bool ends_in_separator = target_directory.find_last_of("/\\") == target_directory.size() - 1;
#else
    const std::size_t separator = derived.rfind('/');
    const bool ends_in_separator = target_directory.back() == '/';
#endif
    const std::string base = separator == std::string::npos ? derived : derived.substr(separator + 1);
    return target_directory + (ends_in_separator ? "" : "/") + base;
}

std::string output_options_error(const output_option_values& given, file_format* format) {
    *format = file_format::wav;
    if (given.format != nullptr && !parse_file_format(*given.format, format))
        return "unknown format '" + *given.format + "' (wav, u8, s8, c, c-s8)";
    // An option that the chosen format has no use for is refused, not ignored:
    // the user expects it to do something.
    if (given.keep_metadata && *format != file_format::wav)
        return std::string("--keep-metadata is for the format wav, not ") + file_format_name(*format);
    for (const auto& [value, option] : {std::pair{given.c_name, "--c-name"}, std::pair{given.c_attribute, "--c-attribute"}}) {
        if (value != nullptr && !is_c_format(*format))
            return std::string(option) + " is for the formats c and c-s8, not " + file_format_name(*format);
    }
    // The name and the attribute go into the header as they are: one that
    // would not compile, or would change what the header declares, is refused.
    if (given.c_name != nullptr) {
        if (const std::string problem = c_name_problem(*given.c_name); !problem.empty()) {
            const bool printable = std::all_of(given.c_name->begin(), given.c_name->end(),
                                               [](char c) { return c >= 0x20 && c < 0x7F; });
            return "--c-name " + (printable ? "'" + *given.c_name + "' " : std::string()) + problem;
        }
    }
    if (given.c_attribute != nullptr) {
        if (const std::string problem = c_attribute_problem(*given.c_attribute); !problem.empty())
            return "--c-attribute " + problem;
    }
    return "";
}

command_line parse_command_line(int argc, const char* const* argv) {
    command_line cl;
    if (argc < 2) return cl;  // the banner
    std::vector<std::string> names;
    bool options_ended = false;
    given_values given;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool is_option = !options_ended && arg[0] == '-' && arg[1] != '\0';
        if (!is_option) {
            names.push_back(arg);  // how many may be given depends on -b, which may come later
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            options_ended = true;
            continue;
        }
        const option_spec* found = nullptr;
        const char* inline_value = nullptr;
        if (arg[1] == '-') {
            if (const value_option_spec* v = find_long_value(arg + 2, &inline_value)) {
                if (inline_value == nullptr && i + 1 == argc)
                    return usage_error(std::string("option '") + arg + "' needs a value");
                take_value(*v, inline_value != nullptr ? inline_value : argv[++i], &cl, &given);
                continue;
            }
            if ((found = find_long(arg + 2)) == nullptr)
                return usage_error(std::string("unknown option '") + arg + "'");
            if (found->flag == nullptr) {
                cl.action = found->action;
                return cl;
            }
            cl.*(found->flag) = true;
            continue;
        }
        for (const char* c = arg + 1; *c != '\0'; ++c) {
            if (const value_option_spec* v = find_short_value(*c)) {
                // The rest of the word is the value, or else the next word.
                if (c[1] == '\0' && i + 1 == argc) return usage_error(std::string("option '-") + *c + "' needs a value");
                take_value(*v, c[1] != '\0' ? c + 1 : argv[++i], &cl, &given);
                break;
            }
            if ((found = find_short(*c)) == nullptr)
                return usage_error(std::string("unknown option '-") + *c + "'");
            if (found->flag == nullptr) {
                cl.action = found->action;
                return cl;
            }
            cl.*(found->flag) = true;
        }
    }
    const std::string output_error =
        output_options_error({given.format_given ? &given.format : nullptr, cl.keep_metadata,
                              given.c_name_given ? &cl.c_name : nullptr,
                              given.c_attribute_given ? &cl.c_attribute : nullptr},
                             &cl.format);
    if (!output_error.empty()) return usage_error(output_error);
    if (given.jobs_given && !parse_jobs(given.jobs, &cl.jobs))
        return usage_error("invalid number of jobs '" + given.jobs + "' (a whole number, 1 or more)");
    if (given.target_given && cl.target_directory.empty()) return usage_error("the target directory is an empty name");
    if (const std::string error = input_options_error(given, &cl); !error.empty()) return usage_error(error);
    if (names.empty()) return usage_error("no input file named");
    if (cl.batch) {
        for (const std::string& name : names)
            if (name == "-") return usage_error("standard input cannot be read in batch mode (-b)");
        cl.action = cli_action::convert;
        cl.batch_inputs = std::move(names);
        return cl;
    }
    // A third name is refused before anything is opened: with a glob such as
    // *.wav it would otherwise name an original as the output.
    if (names.size() > 2) return usage_error("too many file names (at most an input and an output)");
    if (given.target_given) return usage_error("a target directory (-t) is for batch mode (-b)");
    if (cl.normalize && names[0] == "-")
        return usage_error("--normalize reads the input twice, and standard input can be read only once; give a file name");
    cl.action = cli_action::convert;
    cl.input_name = names[0];
    cl.output_named = names.size() == 2;
    cl.output_name = cl.output_named ? names[1] : derive_output_name(names[0], cl.format);
    return cl;
}

void print_banner(std::FILE* stream) {
    std::fprintf(stream, "pcmtaper.exe version %s (https://example.org/pcmtaper)\r\n", pcmtaper_version_string());
    std::fprintf(stream, "Monaural 16bit wav file to Monaural 8bit wav file. Very slow, high quality.\r\n\r\n");
    std::fprintf(stream, "%s", usage_line);
}

// The help begins with a line of its own, not with the banner, whose
// program name and description are the converter's historical ones.
void print_help(std::FILE* stream) {
    std::fprintf(stream, "pcmtaper %s: 16-bit to 8-bit WAV with adaptive noise shaping\r\n",
                 pcmtaper_version_string());
    std::fprintf(stream,
                 "\r\n"
                 "  usage:  pcmtaper [options] input.wav [output.wav]\r\n"
                 "          pcmtaper -b [options] input.wav... [-t DIR]\r\n"
                 "\r\n"
                 "  Converts input.wav (mono, 16-bit linear PCM) to output.wav (mono, 8-bit).\r\n"
                 "  Without output.wav the name is input.wav with its last four characters\r\n"
                 "  replaced by .8b.wav (and take1.flac, .aiff, .aifc, .opus or .au's by\r\n"
                 "  .8b.wav); any other name whose fourth character from the end is not a\r\n"
                 "  full stop (sine) gives none, and output.wav must be given.\r\n"
                 "  \"-\" as input.wav reads standard input; \"-\" as\r\n"
                 "  output.wav (or no output name after \"-\") writes the audio to standard\r\n"
                 "  output, and all text goes to standard error.\r\n"
                 "\r\n"
                 "  -a, --align    as many samples as the input, without the 224-sample delay\r\n"
                 "  -f, --force    replace an existing output file that is not this program's\r\n"
                 "                 earlier output of this input (never the input, nor\r\n"
                 "                 another input of a batch)\r\n"
                 "  -z, --zero-dc  take the dither's mean off: no DC offset, silence at 128\r\n"
                 "                 (for players at low sample rates)\r\n"
                 "  -F, --format FORMAT  what to write: wav (the default), u8 or s8 (the\r\n"
                 "                 unsigned or signed samples alone), c or c-s8 (a C header\r\n"
                 "                 with the samples as a uint8_t or int8_t array); derived\r\n"
                 "                 names end in .8b.wav, .u8, .s8 or .h\r\n"
                 "  --c-name NAME  the C array's name (default: from the output's file name)\r\n"
                 "  --c-attribute TEXT  TEXT after the array's declarator, such as PROGMEM\r\n"
                 "  -m, --keep-metadata  copy loops (smpl), cue points, INFO tags and the\r\n"
                 "                 instrument (inst) into the WAV output, moved by the delay\r\n"
                 "  -c, --channel mix|N  of a file of several channels, their mean (mix)\r\n"
                 "                 or channel N alone (1 is the first)\r\n"
                 "  -g, --gain DB  change the level by DB decibels (a decimal number: -6, 2.5)\r\n"
                 "  -n, --normalize  bring the peak just below full scale (reads the input\r\n"
                 "                 twice: a file, not a pipe)\r\n"
                 "  -r, --rate HZ  resample to HZ, 1000 to 384000 (default: the input's rate)\r\n"
                 "  -q, --quiet    print nothing on standard output; remarks and errors go\r\n"
                 "                 to standard error\r\n"
                 "  -j, --jobs N   use N threads (default: the processors available)\r\n"
                 "  -b, --batch    convert every name given, each to its derived name\r\n"
                 "  -t, --target-directory DIR\r\n"
                 "                 with -b, write the outputs in DIR (made if missing)\r\n"
                 "  -h, --help     print this help and exit\r\n"
                 "  -V, --version  print the version and exit\r\n"
                 "  --             end of options (for names that start with -)\r\n");
    std::fprintf(stream, "\r\n%s", formats_read_lines("  ").c_str());
}

void print_version(std::FILE* stream) {
    std::fprintf(stream, "pcmtaper %s\r\n%s", pcmtaper_version_string(), formats_read_lines("").c_str());
}

void print_usage_error(std::FILE* stream, const std::string& error) {
    std::fprintf(stream,
                 "pcmtaper: %s\nusage: pcmtaper [options] input.wav [output.wav]\n"
                 "Try 'pcmtaper --help' for more information.\n",
                 error.c_str());
}
