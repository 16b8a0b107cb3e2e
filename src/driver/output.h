// Where a conversion writes: the output file, written whole or not at all, or
// the program's standard output.
//
// Usage: std::unique_ptr<output_sink> out = make_file_output({name, name, force, derived});
//        output_sink::opened o = out->open(); ... write to o.stream ...; out->commit();
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "formats.h"
#include "system.h"

// Where a conversion writes. It is opened only after the input header has been
// accepted, so that a refused input creates nothing; after the last block it is
// either committed or discarded.
class output_sink {
  public:
    struct opened {
        std::FILE* stream;    // null when the output cannot be written
        int exit_code;        // why not, when stream is null
        std::string message;  // and the error line that says so (without "pcmtaper: ")
    };
    struct finished {
        int exit_code;        // exit_ok when the output is in place
        std::string message;  // the error line (without "pcmtaper: "); empty: "Cannot write the output file."
    };
    virtual ~output_sink() = default;
    virtual opened open() = 0;
    // Whether the header at the start of the output can be written again once
    // the blocks are written (false for a device, a FIFO or a pipe).
    virtual bool rewindable() const = 0;
    // Positions the stream at the output's first byte, to write the header again.
    virtual bool seek_to_start() = 0;
    // Finishes the output after its last byte and puts it in place.
    virtual finished commit() = 0;
    // Closes the stream and removes what was written, where that is possible.
    virtual void discard() = 0;
};

// The output file named on the command line.
struct file_output_request {
    std::string name;  // as given, for the messages
    // What is opened: the name, or the file it led to before standard output
    // was moved aside (a name such as /dev/stdout follows descriptor 1).
    std::string path;
    bool force = false;         // replace an existing file that is not this input's output
    bool derived_name = false;  // the name is the input's derived name (take1.8b.wav for take1.wav)
    file_format kind = file_format::wav;  // what is written (-F), which decides what counts as an earlier output
    std::uint64_t input_key = 0;          // input_key_of(the input's name): whose output the mark says it is
};

// A regular file is written to a temporary file beside it and moved into
// place when complete, never over a file that appeared meanwhile nor over
// another file than the one checked; a symbolic link is followed (the file it
// points to is replaced, the link stays); a device or a FIFO is written
// directly. An existing file is replaced only as replace_refusal allows; one
// the user may not write is kept.
std::unique_ptr<output_sink> make_file_output(const file_output_request& request);

// The program's standard output, on descriptor `fd` (a duplicate of the
// original descriptor 1, since descriptor 1 itself then carries the text).
// A terminal is refused.
std::unique_ptr<output_sink> make_descriptor_output(int fd);

// Removes the temporary output file, if one exists, with no allocation: for
// the last moments of a process that cannot go on (out of memory).
void remove_temporary_output();

// The name of a temporary output file, ".pcmtaper-" and 12 hex digits mixed
// from `process_entropy` (the process id, and whatever else the system
// offers), the time, a count of the names made and `attempt`: one that no
// other run picks at the same moment.
inline constexpr std::size_t temp_file_name_size = 23;  // with its terminating NUL
void make_temp_file_name(std::uint64_t process_entropy, unsigned attempt, char name[temp_file_name_size]);

// The program's mark on an output file it wrote, kept with the file (an
// extended attribute; on Windows a named stream of the file): which input it
// was made from, and the digest and length of its bytes. A file carrying a
// mark that fits its bytes is this program's output, unchanged since; a
// rename or a copy that keeps attributes keeps it, any other writer drops it
// or changes the bytes it describes. A file system without such attributes
// (FAT, some network shares) keeps no mark, and its outputs are then kept
// like any other file.
struct own_output_mark {
    std::uint64_t input_key = 0;       // input_key_of the input
    std::uint64_t content_digest = 0;  // digest_of_stream of the whole file
    std::uint64_t size_bytes = 0;
};
inline constexpr char output_mark_attribute[] = "user.pcmtaper.output";  // Windows: the stream "pcmtaper.output"
std::string output_mark_text(const own_output_mark& mark);
bool parse_output_mark(const std::string& text, own_output_mark* mark);
// A 64-bit digest (FNV-1a) of everything from the stream's position to its
// end, and the number of bytes; false on a read error.
bool digest_of_stream(std::FILE* stream, std::uint64_t* digest, std::uint64_t* size_bytes);
// The mark's text for the complete output read from `written` (its start),
// made from input `input_key`; "" on a read error, where no mark is set.
std::string output_mark_of(std::FILE* written, std::uint64_t input_key);
// Which input an output was made from: its absolute path (on Windows without
// regard to case), or standard input; the same input by any name gives the
// same key.
std::uint64_t input_key_of(const std::string& input_name);

// The first bytes of the file at `path`, as far as the header checks read
// (a UTF-8 name on every system); false when it cannot be opened.
inline constexpr std::size_t file_start_bytes = 4096;
bool read_file_start(const std::string& path, unsigned char (&start)[file_start_bytes], std::size_t* length);
// Whether `bytes` begin an 8-bit mono PCM WAV file, by the library's header walk.
bool starts_8_bit_wav(const unsigned char* bytes, std::size_t length);

// Why the existing file at `path` may not be replaced without --force, as the
// error line (without "pcmtaper: "), or "" when it may. It may when it is
// empty; when it carries the program's mark for this very input and its bytes
// are still those the mark describes (the program's earlier output of this
// input, as a Makefile run again after the input changed meets it); or when it
// has the output's derived name and is of the output's kind (an 8-bit mono
// WAV file, or a C header that starts with the program's own first line): the
// derived name is the program's own. Anything else, another tool's 8-bit copy
// or another sound of the same length included, is likely an original named
// by mistake or by a glob. Raw samples (u8, s8) have no kind to tell them by:
// only the mark or an empty file lets them be replaced. A file that cannot be
// read may not be replaced.
std::string replace_refusal(const std::string& path, const file_output_request& request);
