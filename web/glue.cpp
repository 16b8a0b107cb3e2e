// The WebAssembly entry point of the web page: one call runs the command-line
// program's own driver on files that pcmtaper.mjs has put into the module's
// in-memory file system, so that the page gives the program's exit codes,
// bytes and texts. Standard output and standard error go to files, which
// pcmtaper.mjs reads back.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <unistd.h>

#include "driver.h"

namespace {

// The folder of one conversion and its text files (pcmtaper.mjs uses the
// same names).
constexpr const char* work_folder = "/conversion";
constexpr const char* stdout_file = "/conversion/stdout.txt";
constexpr const char* stderr_file = "/conversion/stderr.txt";

}  // namespace

// Runs `pcmtaper ARGS...` in the work folder, with `count` arguments laid one
// after the other in `args`, each ended by a zero byte, and returns the
// program's exit code (-1 when the folder or the text files cannot be used).
extern "C" int pcmtaper_web_run(const char* args, int count) {
    if (chdir(work_folder) != 0) return -1;
    // Files, not the module's terminals: the driver then shows no progress
    // line, and the text is kept byte for byte, "\r\n" included.
    if (std::freopen(stdout_file, "wb", stdout) == nullptr || std::freopen(stderr_file, "wb", stderr) == nullptr)
        return -1;
    std::vector<std::string> words{"pcmtaper"};
    for (int i = 0; i < count; ++i, args += std::strlen(args) + 1) words.emplace_back(args);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const int code = run_converter(static_cast<int>(words.size()), argv.data());
    std::fflush(stdout);
    std::fflush(stderr);
    return code;
}
