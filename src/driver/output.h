// Where a conversion writes: the output file, written whole or not at all, or
// the program's standard output.
//
// Usage: file_output_sink out(name, force, &input_identity);
//        output_sink::opened o = out.open(); ... write to o.stream ...; out.commit();
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

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
    virtual ~output_sink() = default;
    virtual opened open() = 0;
    // Whether the header at the start of the output can be written again once
    // the blocks are written (false for a device, a FIFO or a pipe).
    virtual bool rewindable() const = 0;
    // Positions the stream at the output's first byte, to write the header again.
    virtual bool seek_to_start() = 0;
    // Finishes the output after its last byte; false on a write error.
    virtual bool commit() = 0;
    // Closes the stream and removes what was written, where that is possible.
    virtual void discard() = 0;
};

// The output file named on the command line. A regular file is written to a
// temporary file beside it and renamed over it when complete; a symbolic link
// is followed (the file it points to is replaced, the link stays); a device or
// a FIFO is written directly. An existing file is replaced only when it is an
// 8-bit WAV file or empty, unless `force`; one the user may not write is kept.
std::unique_ptr<output_sink> make_file_output(const std::string& name, bool force);

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

// Whether the existing file `name` may be replaced without --force: it is
// empty, or an 8-bit WAV file (pcmtaper_wav_is_8_bit on its first 4 KiB). A
// file that cannot be read is not.
bool may_replace_existing_output(const std::string& name);
