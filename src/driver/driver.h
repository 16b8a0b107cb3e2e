// The command-line driver: names, the order of the run, the block loop and the
// exit codes.
//
// Usage: int main(int argc, char** argv) { return run_converter(argc, argv); }
#pragma once

#include <string>

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
