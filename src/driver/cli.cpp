#include "driver/cli.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* derived_suffix = ".8b.wav";
constexpr std::size_t extension_len = 4;  // ".wav", or any "." and three characters
constexpr const char* usage_line = "  usage:  pcmtaper input.wav [output.wav]\r\n";

// An option with a value: the value is checked and stored by its setter,
// which returns an error text, or an empty one.
struct valued_option {
    char short_name;
    const char* long_name;
    std::string (*set)(command_line* cl, const std::string& value);
};

std::string set_jobs(command_line* cl, const std::string& value) {
    char* end = nullptr;
    errno = 0;
    const long jobs = value.empty() || value[0] < '0' || value[0] > '9' ? 0 : std::strtol(value.c_str(), &end, 10);
    if (jobs < 1 || *end != '\0') return "invalid number of jobs '" + value + "' (a whole number, 1 or more)";
    cl->jobs = errno == ERANGE || jobs > max_jobs ? max_jobs : static_cast<int>(jobs);
    return {};
}

std::string set_target_directory(command_line* cl, const std::string& value) {
    if (value.empty()) return "the target directory is an empty name";
    cl->target_directory = value;
    return {};
}

constexpr valued_option valued_options[] = {
    {'j', "jobs", set_jobs},
    {'t', "target-directory", set_target_directory},
};

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
    {'b', "batch", &command_line::batch, cli_action::convert},
};

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

const valued_option* find_valued_short(char c) {
    for (const valued_option& o : valued_options)
        if (o.short_name == c) return &o;
    return nullptr;
}

// "--name" or "--name=value": the option, and whether a value was attached.
const valued_option* find_valued_long(const char* arg, std::string* attached, bool* has_attached) {
    const char* equals = std::strchr(arg, '=');
    const std::size_t length = equals == nullptr ? std::strlen(arg) : static_cast<std::size_t>(equals - arg);
    for (const valued_option& o : valued_options) {
        if (std::strlen(o.long_name) != length || std::strncmp(o.long_name, arg, length) != 0) continue;
        *has_attached = equals != nullptr;
        if (equals != nullptr) *attached = equals + 1;
        return &o;
    }
    return nullptr;
}

command_line usage_error(std::string error) {
    command_line cl;
    cl.action = cli_action::usage_error;
    cl.error = std::move(error);
    return cl;
}

}  // namespace

std::string derive_output_name(const std::string& input_name) {
    std::string name = input_name;
    if (name.size() >= extension_len && name[name.size() - extension_len] == '.') {
        name.resize(name.size() - extension_len);
        name += derived_suffix;
    }
    return name;
}

std::string batch_output_name(const std::string& input_name, const std::string& target_directory) {
    const std::string derived = derive_output_name(input_name);
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

command_line parse_command_line(int argc, const char* const* argv) {
    command_line cl;
    if (argc < 2) return cl;  // the banner
    std::vector<std::string> names;
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool is_option = !options_ended && arg[0] == '-' && arg[1] != '\0';
        if (!is_option) {
            names.push_back(arg);
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            options_ended = true;
            continue;
        }
        const option_spec* found = nullptr;
        if (arg[1] == '-') {
            std::string value;
            bool attached = false;
            if (const valued_option* v = find_valued_long(arg + 2, &value, &attached); v != nullptr) {
                if (!attached) {
                    if (i + 1 == argc) return usage_error(std::string("option '--") + v->long_name + "' needs a value");
                    value = argv[++i];
                }
                if (std::string e = v->set(&cl, value); !e.empty()) return usage_error(e);
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
            if (const valued_option* v = find_valued_short(*c); v != nullptr) {
                // The rest of the word is the value (-j2), else the next word.
                std::string value = c + 1;
                if (value.empty()) {
                    if (i + 1 == argc) return usage_error(std::string("option '-") + *c + "' needs a value");
                    value = argv[++i];
                }
                if (std::string e = v->set(&cl, value); !e.empty()) return usage_error(e);
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
    if (!cl.target_directory.empty()) return usage_error("a target directory (-t) is for batch mode (-b)");
    cl.action = cli_action::convert;
    cl.input_name = names[0];
    cl.output_named = names.size() == 2;
    cl.output_name = cl.output_named ? names[1] : derive_output_name(names[0]);
    return cl;
}

void print_banner(std::FILE* stream) {
    std::fprintf(stream, "pcmtaper.exe version 1.0.3 (https://example.org/pcmtaper)\r\n");
    std::fprintf(stream, "Monaural 16bit wav file to Monaural 8bit wav file. Very slow, high quality.\r\n\r\n");
    std::fprintf(stream, "%s", usage_line);
}

void print_help(std::FILE* stream) {
    print_banner(stream);
    std::fprintf(stream,
                 "\r\n"
                 "  Converts input.wav (mono, 16-bit linear PCM) to output.wav (mono, 8-bit).\r\n"
                 "  Without output.wav the name is input.wav with its last four characters\r\n"
                 "  replaced by .8b.wav. \"-\" as input.wav reads standard input; \"-\" as\r\n"
                 "  output.wav (or no output name after \"-\") writes the audio to standard\r\n"
                 "  output, and all text goes to standard error.\r\n"
                 "\r\n"
                 "  -a, --align    as many samples as the input, without the 224-sample delay\r\n"
                 "  -f, --force    replace an existing output that is not an 8-bit WAV file\r\n"
                 "  -z, --zero-dc  take the dither's mean off: no DC offset, silence at 128\r\n"
                 "                 (for players at low sample rates)\r\n"
                 "  -q, --quiet    print nothing on standard output; remarks and errors go\r\n"
                 "                 to standard error\r\n"
                 "  -j, --jobs N   use N threads (default: the processors available)\r\n"
                 "  -b, --batch    convert every name given, each to its derived name\r\n"
                 "  -t, --target-directory DIR\r\n"
                 "                 with -b, write the outputs in DIR\r\n"
                 "  -h, --help     print this help and exit\r\n"
                 "  -V, --version  print the version and exit\r\n"
                 "  --             end of options (for names that start with -)\r\n");
}

void print_version(std::FILE* stream) { std::fprintf(stream, "pcmtaper 1.0.3\r\n"); }

void print_usage_error(std::FILE* stream, const std::string& error) {
    std::fprintf(stream,
                 "pcmtaper: %s\nusage: pcmtaper [options] input.wav [output.wav]\n"
                 "Try 'pcmtaper --help' for more information.\n",
                 error.c_str());
}
