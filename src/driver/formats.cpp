#include "formats.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "pcmtaper/pcmtaper.h"

namespace {

struct format_entry {
    file_format format;
    const char* name;
    const char* suffix;
};

constexpr format_entry formats[] = {
    {file_format::wav, "wav", ".8b.wav"}, {file_format::u8, "u8", ".u8"},   {file_format::s8, "s8", ".s8"},
    {file_format::c, "c", ".h"},          {file_format::c_s8, "c-s8", ".h"},
};

const format_entry& entry_for(file_format format) {
    for (const format_entry& e : formats)
        if (e.format == format) return e;
    return formats[0];
}

// The names the array may not take, in one table: the keywords of C (up to
// C23) and C++ (up to C++20), and the names that a file including the header
// may see defined by the standard headers (<stdint.h>, which the header
// includes, and <stddef.h>, <stdbool.h> and <stdio.h>, which programs include
// beside it), the preprocessor's `defined`, and `main`. The names that begin
// with an underscore (_Bool, __FILE__, _STDINT_H...) are refused by rule, as
// are the families of <stdint.h> (int8_t, INT8_MAX...), so they are not here.
enum class reserved_kind { keyword, standard_name, entry_function };
struct reserved_entry {
    std::string_view name;
    reserved_kind kind;
};
constexpr reserved_kind kw = reserved_kind::keyword;
constexpr reserved_kind std_name = reserved_kind::standard_name;
constexpr reserved_entry reserved_names[] = {
    {"alignas", kw}, {"alignof", kw}, {"and", kw}, {"and_eq", kw}, {"asm", kw}, {"auto", kw}, {"bitand", kw},
    {"bitor", kw}, {"bool", kw}, {"break", kw}, {"case", kw}, {"catch", kw}, {"char", kw}, {"char16_t", kw},
    {"char32_t", kw}, {"char8_t", kw}, {"class", kw}, {"co_await", kw}, {"co_return", kw}, {"co_yield", kw},
    {"compl", kw}, {"concept", kw}, {"const", kw}, {"const_cast", kw}, {"consteval", kw}, {"constexpr", kw},
    {"constinit", kw}, {"continue", kw}, {"decltype", kw}, {"default", kw}, {"delete", kw}, {"do", kw},
    {"double", kw}, {"dynamic_cast", kw}, {"else", kw}, {"enum", kw}, {"explicit", kw}, {"export", kw},
    {"extern", kw}, {"false", kw}, {"float", kw}, {"for", kw}, {"friend", kw}, {"goto", kw}, {"if", kw},
    {"inline", kw}, {"int", kw}, {"long", kw}, {"mutable", kw}, {"namespace", kw}, {"new", kw}, {"noexcept", kw},
    {"not", kw}, {"not_eq", kw}, {"nullptr", kw}, {"operator", kw}, {"or", kw}, {"or_eq", kw}, {"private", kw},
    {"protected", kw}, {"public", kw}, {"register", kw}, {"reinterpret_cast", kw}, {"requires", kw},
    {"restrict", kw}, {"return", kw}, {"short", kw}, {"signed", kw}, {"sizeof", kw}, {"static", kw},
    {"static_assert", kw}, {"static_cast", kw}, {"struct", kw}, {"switch", kw}, {"template", kw}, {"this", kw},
    {"thread_local", kw}, {"throw", kw}, {"true", kw}, {"try", kw}, {"typedef", kw}, {"typeid", kw},
    {"typename", kw}, {"typeof", kw}, {"typeof_unqual", kw}, {"union", kw}, {"unsigned", kw}, {"using", kw},
    {"virtual", kw}, {"void", kw}, {"volatile", kw}, {"wchar_t", kw}, {"while", kw}, {"xor", kw}, {"xor_eq", kw},
    {"defined", std_name}, {"NULL", std_name}, {"offsetof", std_name}, {"size_t", std_name},
    {"ptrdiff_t", std_name}, {"max_align_t", std_name}, {"nullptr_t", std_name}, {"unreachable", std_name},
    {"noreturn", std_name}, {"FILE", std_name}, {"EOF", std_name}, {"stdin", std_name}, {"stdout", std_name},
    {"stderr", std_name}, {"errno", std_name}, {"assert", std_name},
    {"main", reserved_kind::entry_function},
};

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The families that <stdint.h> defines and reserves for its later versions:
// int8_t, uint_least16_t, intptr_t..., INT8_MAX, UINT64_C, SIZE_MAX and the like.
bool is_stdint_name(std::string_view name) {
    if ((starts_with(name, "int") || starts_with(name, "uint")) && ends_with(name, "_t")) return true;
    for (std::string_view prefix : {"INT", "UINT", "PTRDIFF_", "SIZE_", "SIG_ATOMIC_", "WCHAR_", "WINT_"}) {
        if (!starts_with(name, prefix)) continue;
        for (std::string_view suffix : {"_MAX", "_MIN", "_C", "_WIDTH"})
            if (ends_with(name, suffix)) return true;
    }
    return false;
}

// Why a name made of identifier characters cannot name the array, or null.
const char* reserved_reason(std::string_view name) {
    if (starts_with(name, "_"))
        return "starts with an underscore (such names are reserved to the compiler and its library)";
    if (name.find("__") != std::string_view::npos)
        return "holds a double underscore (such names are reserved to the C++ compiler and its library)";
    // The constants are the name followed by _LENGTH and _RATE_HZ.
    if (ends_with(name, "_"))
        return "ends in an underscore, which would put a double underscore (reserved in C++) in its _LENGTH and "
               "_RATE_HZ constants";
    for (const reserved_entry& r : reserved_names) {
        if (r.name != name) continue;
        switch (r.kind) {
            case reserved_kind::keyword: return "is a keyword of C or C++";
            case reserved_kind::standard_name: return "is a name that the standard headers define";
            case reserved_kind::entry_function: return "is the name of the program's entry function";
        }
    }
    if (is_stdint_name(name)) return "is a name that <stdint.h> defines or reserves";
    return nullptr;
}

// The prefix of an array name made from a file name that would start with a
// digit or be reserved: with it the name starts with a lowercase letter, and
// no entry of the table nor family of <stdint.h> starts with it.
constexpr std::string_view derived_name_prefix = "snd_";

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

constexpr std::uint64_t largest_u32 = 0xFFFFFFFFu;

// ---- raw samples -----------------------------------------------------------

class raw_writer final : public sample_writer {
  public:
    explicit raw_writer(bool is_signed) : signed_(is_signed) {}
    bool begin(std::FILE*, std::uint64_t, std::uint32_t) override { return true; }
    bool write(std::FILE* output, const std::uint8_t* samples, std::size_t count) override {
        if (!signed_) return std::fwrite(samples, 1, count, output) == count;
        std::uint8_t converted[64];
        while (count > 0) {
            const std::size_t n = std::min(count, sizeof converted);
            // byte - 128 in two's complement is the byte with its top bit flipped.
            for (std::size_t i = 0; i < n; ++i) converted[i] = static_cast<std::uint8_t>(samples[i] ^ 0x80u);
            if (std::fwrite(converted, 1, n, output) != n) return false;
            samples += n;
            count -= n;
        }
        return true;
    }
    bool finish(std::FILE*, std::uint64_t) override { return true; }
    bool states_sample_count() const override { return false; }
    bool rewrite_begin(std::FILE*, std::uint64_t) override { return true; }

  private:
    bool signed_;
};

// ---- C header --------------------------------------------------------------

constexpr int c_values_per_line = 16;

class c_writer final : public sample_writer {
  public:
    c_writer(const format_options& options, bool is_signed) : options_(options), signed_(is_signed) {}

    bool begin(std::FILE* output, std::uint64_t samples, std::uint32_t sample_rate_hz) override {
        sample_rate_hz_ = sample_rate_hz;
        planned_ = samples;
        return put(output, prefix(samples));
    }
    bool write(std::FILE* output, const std::uint8_t* samples, std::size_t count) override {
        std::string text;
        text.reserve(count * 6 + 16);
        for (std::size_t i = 0; i < count; ++i) {
            text += written_ == 0 ? "    " : written_ % c_values_per_line == 0 ? ",\n    " : ", ";
            char value[8];
            if (signed_)
                std::snprintf(value, sizeof value, "%4d", int(samples[i]) - 128);
            else
                std::snprintf(value, sizeof value, "0x%02x", unsigned(samples[i]));
            text += value;
            ++written_;
        }
        return put(output, text);
    }
    bool finish(std::FILE* output, std::uint64_t samples_written) override {
        // C has no empty array: an output without samples holds one silent
        // sample, and its length constant says 0.
        const char* silent = signed_ ? "       0" : "    0x80";
        return (samples_written > 0 || put(output, silent)) && put(output, "\n};\n\n#endif\n");
    }
    bool states_sample_count() const override { return true; }
    bool rewrite_begin(std::FILE* output, std::uint64_t samples) override { return put(output, prefix(samples)); }

  private:
    // Everything up to the array's first value. Written again for fewer
    // samples than planned, it keeps its length: the count is padded with
    // spaces to the planned count's width, and the size of an array without
    // samples, 1, to the width of the length constant's name.
    std::string prefix(std::uint64_t samples) const {
        const std::string& name = options_.c_name;
        const std::string length_name = name + "_LENGTH";
        const std::string& guard = options_.c_guard;
        const std::string planned_count = std::to_string(planned_);
        std::string count = std::to_string(samples);
        count.insert(0, planned_count.size() - std::min(planned_count.size(), count.size()), ' ');
        std::string size = length_name;
        if (samples == 0) {
            size.assign(planned_ == 0 ? 1 : length_name.size(), ' ');
            size[0] = '1';
        }
        std::string text = c_header_first_line;
        text += signed_ ? "/* signed 8-bit samples (two's complement, 0 is silence), mono, written by pcmtaper "
                        : "/* unsigned 8-bit samples (128 is silence), mono, written by pcmtaper ";
        text += pcmtaper_version_string();
        text += " */\n";
        text += "#ifndef " + guard + "\n#define " + guard + "\n\n#include <stdint.h>\n\n";
        text += "#define " + length_name + " " + count + "\n";
        text += "#define " + name + "_RATE_HZ " + std::to_string(sample_rate_hz_) + "\n\n";
        text += std::string("static const ") + (signed_ ? "int8_t " : "uint8_t ") + name + "[" + size + "]";
        if (!options_.c_attribute.empty()) text += " " + options_.c_attribute;
        text += " = {\n";
        return text;
    }
    static bool put(std::FILE* output, const std::string& text) {
        return std::fwrite(text.data(), 1, text.size(), output) == text.size();
    }

    format_options options_;
    bool signed_;
    std::uint32_t sample_rate_hz_ = 0;
    std::uint64_t planned_ = 0;
    std::uint64_t written_ = 0;
};

}  // namespace

bool parse_file_format(const std::string& text, file_format* format) {
    for (const format_entry& e : formats) {
        if (text == e.name) {
            *format = e.format;
            return true;
        }
    }
    return false;
}

const char* file_format_name(file_format format) { return entry_for(format).name; }
bool is_c_format(file_format format) { return format == file_format::c || format == file_format::c_s8; }
bool is_raw_format(file_format format) { return format == file_format::u8 || format == file_format::s8; }
const char* derived_suffix(file_format format) { return entry_for(format).suffix; }

std::string c_name_problem(const std::string& name) {
    if (name.empty() || is_ascii_digit(name[0]))
        return "is not a C identifier (ASCII letters, digits and underscores, not starting with a digit)";
    for (char c : name)
        if (!is_ascii_letter(c) && !is_ascii_digit(c) && c != '_')
            return "is not a C identifier (ASCII letters, digits and underscores, not starting with a digit)";
    const char* reason = reserved_reason(name);
    return reason != nullptr ? reason : "";
}

namespace {

// The ASCII letters and digits of a file name's last path component without
// its extension, each run of other characters between them made one
// underscore: no underscore at either end, never two.
std::string stem_words(std::string_view file_name) {
    const std::size_t separator = file_name.find_last_of("/\\");
    std::string_view stem = separator == std::string_view::npos ? file_name : file_name.substr(separator + 1);
    const std::size_t dot = stem.rfind('.');
    if (dot != std::string_view::npos && dot > 0) stem = stem.substr(0, dot);
    std::string words;
    bool gap = false;
    for (char c : stem) {
        if (is_ascii_letter(c) || is_ascii_digit(c)) {
            if (gap && !words.empty()) words += '_';
            words += c;
            gap = false;
        } else {
            gap = true;
        }
    }
    return words;
}

}  // namespace

// A name made from a file never starts with an underscore or a digit and is
// never reserved: the words have no underscore at either end and never two,
// and one that would start with a digit ("01-door.wav") or is reserved
// ("int.wav", "__FILE__.wav", which gives FILE) gets derived_name_prefix
// before it ("snd_01_door", "snd_int", "snd_FILE"); the prefix makes any
// such name safe, so one is enough.
std::string c_identifier_from_file_name(const std::string& file_name) {
    std::string name = stem_words(file_name);
    if (name.empty()) return name;
    if (is_ascii_digit(name[0]) || reserved_reason(name) != nullptr) name.insert(0, derived_name_prefix);
    return name;
}

std::string c_array_name(const std::string& given, const std::string& output_name, const std::string& input_name) {
    if (!given.empty()) return given;
    for (const std::string* file : {&output_name, &input_name}) {
        if (*file == "-") continue;
        std::string name = c_identifier_from_file_name(*file);
        if (!name.empty()) return name;
    }
    return "samples";
}

std::string c_header_guard(const std::string& array_name, const std::string& output_name,
                           const std::string& input_name) {
    const std::string& file = output_name != "-" ? output_name : input_name;
    const std::string words = file != "-" ? stem_words(file) : "";
    return "PCMTAPER_" + array_name + (words.empty() ? "" : "_" + words) + "_H";
}

std::string c_attribute_problem(const std::string& text) {
    const std::string allowed =
        " (ASCII letters, digits, underscores, spaces, commas, colons, parentheses, brackets, and strings in "
        "double quotes inside parentheses)";
    std::string open;  // the brackets not yet closed, innermost last
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F) return "holds a control character or a byte outside ASCII";
        if (is_ascii_letter(c) || is_ascii_digit(c) || c == '_' || c == ' ' || c == ',' || c == ':') continue;
        if (c == '(' || c == '[') {
            open += c;
        } else if (c == ')' || c == ']') {
            if (open.empty() || open.back() != (c == ')' ? '(' : '['))
                return "has parentheses or brackets that do not pair";
            open.pop_back();
        } else if (c == '"') {
            // A plain string literal such as a section's name: a prefix or a
            // suffix glued to it would make another kind of literal (R"(...)"
            // runs to another end), a backslash could escape its closing
            // quote, and "??/" is a backslash to compilers that read trigraphs.
            if (open.empty() || open.back() != '(') return "has a string that is not inside parentheses";
            const std::size_t end = text.find('"', i + 1);
            if (end == std::string::npos) return "has a string that is not closed";
            const std::string_view inside = std::string_view(text).substr(i + 1, end - i - 1);
            for (char s : inside) {
                const auto b = static_cast<unsigned char>(s);
                if (b < 0x20 || b >= 0x7F) return "holds a control character or a byte outside ASCII";
                if (s == '\\' || s == '?') return "has a string that holds a backslash or a question mark";
            }
            const auto glued = [&](std::size_t at) {
                return at < text.size() && (is_ascii_letter(text[at]) || is_ascii_digit(text[at]) || text[at] == '_');
            };
            if ((i > 0 && glued(i - 1)) || glued(end + 1))
                return "has a string with letters, digits or underscores glued to it";
            i = end;
        } else {
            return std::string("holds '") + c + "', which is not part of an attribute" + allowed;
        }
    }
    if (!open.empty()) return "has parentheses or brackets that do not pair";
    return "";
}

bool read_own_c_header(const unsigned char* bytes, std::size_t length, c_header_facts* facts) {
    const std::size_t first_len = std::strlen(c_header_first_line);
    if (length < first_len || std::memcmp(bytes, c_header_first_line, first_len) != 0) return false;
    // "#define NAME_LENGTH 123" and "#define NAME_RATE_HZ 8000", whole lines
    // (the count may be padded with spaces).
    const std::string_view text(reinterpret_cast<const char*>(bytes), length);
    bool rate_seen = false;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t eol = text.find('\n', at);
        if (eol == std::string_view::npos) break;
        const std::string_view line = text.substr(at, eol - at);
        at = eol + 1;
        if (!starts_with(line, "#define ")) continue;
        const std::size_t space = line.find(' ', 8);
        if (space == std::string_view::npos) continue;
        const std::string_view macro = line.substr(8, space - 8);
        std::string_view value = line.substr(space);
        while (!value.empty() && value[0] == ' ') value.remove_prefix(1);
        std::uint64_t number = 0;
        bool digits = !value.empty() && value.size() <= 19;
        for (char c : value) {
            if (!is_ascii_digit(c)) digits = false;
            number = number * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (!digits) continue;
        if (!facts->samples_known && ends_with(macro, "_LENGTH")) {
            facts->samples = number;
            facts->samples_known = true;
        } else if (!rate_seen && ends_with(macro, "_RATE_HZ") && number <= largest_u32) {
            facts->sample_rate_hz = static_cast<std::uint32_t>(number);
            rate_seen = true;
        }
    }
    return true;
}

std::unique_ptr<sample_writer> make_sample_writer(const format_options& options) {
    switch (options.format) {
        case file_format::u8: return std::make_unique<raw_writer>(false);
        case file_format::s8: return std::make_unique<raw_writer>(true);
        case file_format::c: return std::make_unique<c_writer>(options, false);
        case file_format::c_s8: return std::make_unique<c_writer>(options, true);
        case file_format::wav: break;
    }
    return nullptr;
}
