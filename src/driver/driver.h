// The command-line driver: the order of the run, from the command line to the
// exit code.
//
// Usage: int main(int argc, char** argv) { return run_converter(argc, argv); }
#pragma once

#include <memory>
#include <string>

#include "cli.h"
#include "console.h"
#include "convert.h"
#include "exit_codes.h"
#include "output.h"

// The whole run: banner, help, version or conversion. Returns the exit code.
int run_converter(int argc, char** argv);

// One file's conversion, once the process is set up (signals, kernels,
// standard output): its name lines, the input, the output and the blocks,
// with the texts and the exit code of the program.
struct file_conversion {
    std::string input_name;   // "-": standard input
    std::string output_name;  // as given or derived, for the name line and the messages
    std::string output_path;  // what is opened (output_name, or the file a link to standard output led to)
    bool output_named = false;  // given on the command line, not derived
    bool force = false;       // replace an existing output that is not this input's earlier output
    bool quiet = false;       // remarks name their file
    file_format format = file_format::wav;
    conversion_options options;
    // The audio goes to standard output, moved aside to audio_fd.
    bool audio_on_stdout = false;
    int audio_fd = -1;
    bool stdout_closed_at_start = false;
    // A batch file's output: the input's derived name, in the target
    // directory when one is given (a file there is an earlier output).
    bool batch_derived_name = false;
    // A batch file's output that is the file standard output is open on,
    // which carries the batch's text: refused.
    bool output_is_batch_stdout = false;
    // A batch file refused before any file of the batch is converted (its
    // output is another file's of the same run, or another input): the exit
    // code and the error line, said after its name lines.
    int refused_code = exit_ok;
    std::string refusal;
};
// The conversion of one input of the command line to one output, with the
// command line's options.
file_conversion file_conversion_for(const command_line& cl, const std::string& input_name,
                                    const std::string& output_name, bool output_named);
int convert_file(const file_conversion& job, console* con);

// A file whose conversion has written its output's last byte: the output,
// still to be synced and put in place, and what is said after that.
struct file_to_commit {
    std::unique_ptr<output_sink> output;
    conversion_end end;
};
// convert_file in two steps, as convert_until_commit and finish_conversion:
// the conversion, the input closed at its end; then the output put in
// place (or, for a file that ended without one, its exit code), the texts
// after that, and the output's resources released.
file_to_commit convert_file_until_commit(const file_conversion& job, console* con);
int commit_file(file_to_commit* pending, console* con);

// PCMTAPER_KERNELS forces a level of vector code, for testing and measuring:
// the level in *level (PCMTAPER_KERNELS_AUTO without it), or a refusal's
// exit code after saying why on standard error.
int kernel_level_from_environment(pcmtaper_kernel_level* level);

// Whether the text meant for standard output reached it; when not, says so
// on standard error (with what_is_complete after the reason) and returns
// exit_stdout_lost for a run that was to exit with 0, else `code`.
int check_standard_output(int code, int closed_at_start, const char* what_is_complete);

// Batch mode (-b): every name converted to its derived name, several files
// at a time, each file's text printed whole and in the order of the names.
int run_batch(const command_line& cl, int closed_at_start);
