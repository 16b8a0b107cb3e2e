// The command-line driver: names, the order of the run, the block loop and the
// exit codes.
//
// Usage: int main(int argc, char** argv) { return run_converter(argc, argv); }
#pragma once

#include <cstdio>
#include <string>

namespace pcmtaper {
struct converter_state;
}

// Process exit codes. 1 and 4 print nothing of their own.
enum exit_code : int {
    exit_ok = 0,
    exit_input_not_openable = 1,
    exit_not_linear_pcm = 2,
    exit_not_mono = 3,
    exit_output_not_openable = 4,
    exit_header_incomplete = 5,   // no "fmt " or "data" found, or the file ends inside the header
    exit_not_16_bit = 6,
    exit_bad_sample_rate = 7,
    exit_output_is_input = 8,
    exit_read_error = 9,
    exit_write_error = 10,
};

// The output name for an input name: when the fourth character from the end is
// a full stop, the last four characters become ".8b.wav"; otherwise the name
// is returned unchanged (the caller then refuses to write over the input).
std::string derive_output_name(const std::string& input_name);

// The whole run: banner or conversion. Prints on standard output and returns
// the exit code.
int run_converter(int argc, char** argv);

// Where a conversion writes. It is opened only after the input header has been
// accepted, so that a refused input creates nothing; after the last block it is
// either committed or discarded.
class output_sink {
  public:
    virtual ~output_sink() = default;
    // The stream to write to, or nullptr when the output cannot be created.
    virtual std::FILE* open() = 0;
    // Whether the header at the start of the stream can be written again once
    // the blocks are written (false for a device or a FIFO).
    virtual bool rewindable() const = 0;
    // Finishes the output after its last byte; false on a write error.
    virtual bool commit() = 0;
    // Closes the stream and removes what was written, where that is possible.
    virtual void discard() = 0;
};

// Everything of a conversion from the input header on: the header walk, the
// sample-rate and block-count lines, the output and the block loop, with the
// texts and exit codes of run_converter. `input` stands at its first byte;
// `input_size` is the byte size of a regular file (unused for a pipe or
// device). `state` is started here. Returns the exit code.
int convert_stream(pcmtaper::converter_state* state, std::FILE* input, bool input_is_regular,
                   long long input_size, output_sink* output);
