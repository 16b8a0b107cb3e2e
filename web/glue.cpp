// The WebAssembly entry point of the web page: one call converts the WAV file
// that pcmtaper.mjs has put into the module's in-memory file system, with the
// command-line program's own driver, so that the page gives the program's
// exit codes, bytes and texts. Standard output and standard error go to files
// beside the input, which pcmtaper.mjs reads back.
#include <cstdio>
#include <string>
#include <unistd.h>

#include "driver/driver.h"

namespace {

// The files of one conversion, in a folder of their own (pcmtaper.mjs uses
// the same names).
constexpr const char* work_folder = "/conversion";
constexpr const char* stdout_file = "/conversion/stdout.txt";
constexpr const char* stderr_file = "/conversion/stderr.txt";

constexpr unsigned flag_zero_dc = 1u;  // --zero-dc
constexpr unsigned flag_align = 2u;    // --align

}  // namespace

// Converts the file `input_name` (a name in the work folder, as the user knows
// it, for the program's messages) to out.wav there, with the options in
// `flags`, and returns the program's exit code. out.wav exists afterwards
// only when the program wrote it.
extern "C" int pcmtaper_web_convert(unsigned flags, const char* input_name) {
    if (chdir(work_folder) != 0) return -1;
    // Files, not the module's terminals: the driver then shows no progress
    // line, and the text is kept byte for byte, "\r\n" included.
    if (std::freopen(stdout_file, "wb", stdout) == nullptr || std::freopen(stderr_file, "wb", stderr) == nullptr)
        return -1;
    char program[] = "pcmtaper", zero_dc[] = "--zero-dc", align[] = "--align", end[] = "--", out[] = "out.wav";
    std::string in = input_name;
    char* argv[8];
    int argc = 0;
    argv[argc++] = program;
    if (flags & flag_zero_dc) argv[argc++] = zero_dc;
    if (flags & flag_align) argv[argc++] = align;
    argv[argc++] = end;
    argv[argc++] = in.data();
    argv[argc++] = out;
    argv[argc] = nullptr;
    const int code = run_converter(argc, argv);
    std::fflush(stdout);
    std::fflush(stderr);
    return code;
}
