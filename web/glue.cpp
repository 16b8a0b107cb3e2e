// The WebAssembly entry point of the web page: one call converts the WAV file
// that pcmtaper.mjs has put into the module's in-memory file system, with the
// command-line program's own driver, so that the page gives the program's
// exit codes, bytes and texts. Standard output and standard error go to files
// beside the input, which pcmtaper.mjs reads back.
#include <cstdio>
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

// Converts in.wav to out.wav in the work folder with the options in `flags`
// and returns the program's exit code. out.wav exists afterwards only when
// the program wrote it.
extern "C" int pcmtaper_web_convert(unsigned flags) {
    if (chdir(work_folder) != 0) return -1;
    // Files, not the module's terminals: the driver then shows no progress
    // line, and the text is kept byte for byte, "\r\n" included.
    if (std::freopen(stdout_file, "wb", stdout) == nullptr || std::freopen(stderr_file, "wb", stderr) == nullptr)
        return -1;
    char program[] = "pcmtaper", zero_dc[] = "--zero-dc", align[] = "--align", end[] = "--", in[] = "in.wav",
         out[] = "out.wav";
    char* argv[8];
    int argc = 0;
    argv[argc++] = program;
    if (flags & flag_zero_dc) argv[argc++] = zero_dc;
    if (flags & flag_align) argv[argc++] = align;
    argv[argc++] = end;
    argv[argc++] = in;
    argv[argc++] = out;
    argv[argc] = nullptr;
    const int code = run_converter(argc, argv);
    std::fflush(stdout);
    std::fflush(stderr);
    return code;
}
