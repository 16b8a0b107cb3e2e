// The command-line driver: the order of the run, from the command line to the
// exit code.
//
// Usage: int main(int argc, char** argv) { return run_converter(argc, argv); }
#pragma once

#include <string>

#include "driver/cli.h"
#include "driver/console.h"
#include "driver/convert.h"
#include "driver/exit_codes.h"
#include "driver/output.h"

// The whole run: banner, help, version or conversion. Returns the exit code.
int run_converter(int argc, char** argv);

// One file's conversion, once the process is set up (signals, kernels,
// standard output): its name lines, the input, the output and the blocks,
// with the texts and the exit code of the program.
struct file_conversion {
    std::string input_name;   // "-": standard input
    std::string output_name;
    bool force = false;       // replace an output that is not an 8-bit WAV file
    bool quiet = false;       // remarks name their file
    conversion_options options;
    // The audio goes to standard output's file, moved aside to audio_fd.
    bool audio_on_stdout = false;
    int audio_fd = -1;
    bool stdout_closed_at_start = false;
    bool foreign_file_on_stdout = false;  // standard output's file is not one the program may replace
    // A batch file's output that is the file standard output is open on,
    // which carries the batch's text: refused.
    bool output_is_batch_stdout = false;
};
int convert_file(const file_conversion& job, console* con);

// Whether the text meant for standard output reached it; when not, says so
// on standard error (with what_is_complete after the reason) and returns
// exit_stdout_lost for a run that was to exit with 0, else `code`.
int check_standard_output(int code, int closed_at_start, const char* what_is_complete);

// Batch mode (-b): every name converted to its derived name, several files
// at a time, each file's text printed whole and in the order of the names.
int run_batch(const command_line& cl, int closed_at_start);
