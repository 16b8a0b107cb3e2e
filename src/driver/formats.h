// The forms the output can take (-F): the 8-bit WAV file, the bare unsigned
// or signed samples, or a C header holding them as an array; the names they
// get; and the writers that frame the converted samples in the forms that are
// not a WAV file (the library writes that one).
//
// Usage: file_format f; parse_file_format("c", &f);
//        auto w = make_sample_writer(options);  // null for wav
//        w->begin(out, samples, rate_hz); w->write(out, bytes, n) ...; w->finish(out, written);
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

enum class file_format {
    wav,  // the 8-bit mono PCM WAV file (the default)
    u8,   // the unsigned samples alone: the WAV file's data, without header or pad byte
    s8,   // the same as signed two's complement bytes (each unsigned byte minus 128)
    c,    // a C header with the unsigned samples as a uint8_t array
    c_s8, // the same with the signed samples as an int8_t array
};

// "wav", "u8", "s8", "c", "c-s8".
bool parse_file_format(const std::string& text, file_format* format);
const char* file_format_name(file_format format);
bool is_c_format(file_format format);
bool is_raw_format(file_format format);
// What a derived output name ends in: ".8b.wav", ".u8", ".s8", ".h", ".h".
const char* derived_suffix(file_format format);

// ---- the C array's name ----------------------------------------------------

// Why `name` cannot name the array (--c-name), or "" when it can. It must be
// an identifier of ASCII letters, digits and underscores, not starting with a
// digit, that no C or C++ program may be kept from using: not starting with
// an underscore, without a double underscore, not ending in one (the
// constants add "_LENGTH"), not a keyword of either language, and not a name
// that <stdint.h> or the other standard headers a program includes beside
// the header define (NULL, FILE, int8_t, INT8_MAX...), nor `main`.
std::string c_name_problem(const std::string& name);
inline bool is_c_identifier(const std::string& name) { return c_name_problem(name).empty(); }

// The array's name made from a file name: the last path component without
// its extension, every run of characters that are not ASCII letters or
// digits made one underscore, underscores at either end dropped, and "snd_"
// put before a name that would start with a digit or is refused above
// ("take-1.wav" gives "take_1", "01-door.wav" gives "snd_01_door", "int.h"
// gives "snd_int"). A name with no letter or digit gives "".
std::string c_identifier_from_file_name(const std::string& file_name);

// The array's name for a run: `given` (--c-name) when not empty; else made
// from the output's name, or from the input's when the output is standard
// output ("-"); "samples" when neither gives one.
std::string c_array_name(const std::string& given, const std::string& output_name, const std::string& input_name);

// The header's include guard: "PCMTAPER_", the array's name, the words of
// the output's file name as the array's name is made from it (of the input's
// when the output is standard output, so that both hold the same text), and
// "_H". Two headers included together skip each other only when they hold
// one array from files of one name: "laser.h" of laser gives
// PCMTAPER_laser_laser_H, "Laser.h" of Laser PCMTAPER_Laser_Laser_H, and
// "a.h" and "b.h" of --c-name snd PCMTAPER_snd_a_H and PCMTAPER_snd_b_H.
// With an array name that --c-name accepts, it is never a reserved name.
std::string c_header_guard(const std::string& array_name, const std::string& output_name,
                           const std::string& input_name);

// Why `text` may not go into the header after the declarator
// (--c-attribute), or "" when it may: ASCII letters, digits, underscores,
// spaces, commas, colons, parentheses and brackets that pair, and plain
// strings in double quotes inside parentheses, without a backslash or a
// question mark (__attribute__((section(".rodata.snd")))). Nothing in it
// can open a comment, a preprocessor line, an initialiser or a new declaration.
std::string c_attribute_problem(const std::string& text);

// The first line of every C header this program writes: an existing file that
// starts with it may be replaced without --force.
inline constexpr const char* c_header_first_line = "/* pcmtaper: 8-bit PCM samples as a C array */\n";
// What the start of a file says when it is such a header: the values of its
// rate constant and, when its line is within `bytes`, its length constant.
struct c_header_facts {
    std::uint32_t sample_rate_hz = 0;
    std::uint64_t samples = 0;
    bool samples_known = false;
};
bool read_own_c_header(const unsigned char* bytes, std::size_t length, c_header_facts* facts);

// ---- the writers --------------------------------------------------------------

struct format_options {
    file_format format = file_format::wav;
    std::string c_name;       // the array's name (c, c-s8)
    std::string c_guard;      // the include guard's macro (c, c-s8)
    std::string c_attribute;  // text after the declarator, such as PROGMEM (c, c-s8)
};

// Puts the converted samples (unsigned bytes, 128 for silence) into one form.
class sample_writer {
  public:
    virtual ~sample_writer() = default;
    // Writes what comes before the samples, for an output of `samples`
    // samples at `sample_rate_hz`, at the stream's position. False on a
    // write error.
    virtual bool begin(std::FILE* output, std::uint64_t samples, std::uint32_t sample_rate_hz) = 0;
    virtual bool write(std::FILE* output, const std::uint8_t* samples, std::size_t count) = 0;
    // Writes what comes after the last of `samples_written` samples.
    virtual bool finish(std::FILE* output, std::uint64_t samples_written) = 0;
    // Whether what comes before the samples states their number, so that an
    // output cut short (a stream that ended early) needs it written again.
    virtual bool states_sample_count() const = 0;
    // Writes what comes before the samples again, for `samples` samples, at
    // the stream's position (the output's start); the same number of bytes.
    virtual bool rewrite_begin(std::FILE* output, std::uint64_t samples) = 0;
};

// The writer for `options.format`; null for wav, which the library writes.
std::unique_ptr<sample_writer> make_sample_writer(const format_options& options);
