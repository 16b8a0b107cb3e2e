#include "driver.h"

#ifdef _WIN32
#include <string>
#include <vector>

#include "windows_text.h"

// Windows hands a program its command line in UTF-16 (the narrow main gets
// it in the ANSI code page, which cannot hold every name): the arguments are
// converted to UTF-8, the program's encoding of names everywhere.
int wmain(int argc, wchar_t** wide_argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(utf8_from_wide(wide_argv[i]));
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return run_converter(argc, argv.data());
}
#else
int main(int argc, char** argv) { return run_converter(argc, argv); }
#endif
