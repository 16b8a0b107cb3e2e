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

// Keywords of C (up to C23) and C++ (up to C++20), and `main`, which compilers
// warn about as anything but a function.
constexpr std::string_view reserved_words[] = {
    "_Alignas", "_Alignof", "_Atomic", "_BitInt", "_Bool", "_Complex", "_Decimal128", "_Decimal32", "_Decimal64",
    "_Generic", "_Imaginary", "_Noreturn", "_Static_assert", "_Thread_local", "alignas", "alignof", "and", "and_eq",
    "asm", "auto", "bitand", "bitor", "bool", "break", "case", "catch", "char", "char16_t", "char32_t", "char8_t",
    "class", "co_await", "co_return", "co_yield", "compl", "concept", "const", "const_cast", "consteval",
    "constexpr", "constinit", "continue", "decltype", "default", "delete", "do", "double", "dynamic_cast", "else",
    "enum", "explicit", "export", "extern", "false", "float", "for", "friend", "goto", "if", "inline", "int",
    "long", "main", "mutable", "namespace", "new", "noexcept", "not", "not_eq", "nullptr", "operator", "or",
    "or_eq", "private", "protected", "public", "register", "reinterpret_cast", "requires", "restrict", "return",
    "short", "signed", "sizeof", "static", "static_assert", "static_cast", "struct", "switch", "template", "this",
    "thread_local", "throw", "true", "try", "typedef", "typeid", "typename", "typeof", "typeof_unqual", "union",
    "unsigned", "using", "virtual", "void", "volatile", "wchar_t", "while", "xor", "xor_eq",
};

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The types and macros that <stdint.h>, which the header includes, defines:
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

bool is_reserved(std::string_view name) {
    return std::find(std::begin(reserved_words), std::end(reserved_words), name) != std::end(reserved_words) ||
           is_stdint_name(name);
}

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

std::string upper_case(const std::string& s) {
    std::string u = s;
    for (char& c : u)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return u;
}

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
        const std::string guard = upper_case(name) + "_H";
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

bool is_c_identifier(const std::string& name) {
    if (name.empty() || is_ascii_digit(name[0])) return false;
    for (char c : name)
        if (!is_ascii_letter(c) && !is_ascii_digit(c) && c != '_') return false;
    return !is_reserved(name);
}

std::string c_identifier_from_file_name(const std::string& file_name) {
    std::string base = file_name.substr(file_name.find_last_of("/\\") == std::string::npos
                                            ? 0
                                            : file_name.find_last_of("/\\") + 1);
    const std::size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0) base.resize(dot);
    std::string name;
    bool gap = false;
    for (char c : base) {
        if (is_ascii_letter(c) || is_ascii_digit(c)) {
            if (gap && !name.empty()) name += '_';
            name += c;
            gap = false;
        } else {
            gap = true;
        }
    }
    if (name.empty()) return name;
    if (is_ascii_digit(name[0])) name.insert(0, 1, '_');
    if (is_reserved(name)) name += '_';
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

bool is_c_attribute_text(const std::string& text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return false;
    }
    return true;
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
