// Runs the built program in a scratch directory and collects what it printed,
// its exit code and the files it left. Commands go through the system's
// shell: sh on POSIX systems, cmd.exe on Windows (where the C runtime's
// _popen starts it; under Wine too).
#pragma once

#ifdef _WIN32
#include <windows.h>
#undef far  // old segment keywords, which the tests use as names
#undef near
#else
#include <sys/wait.h>
#if defined(__linux__) || defined(__APPLE__)
#include <sys/xattr.h>
#endif
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace fixtures {

struct run_result {
    std::string out;  // standard output
    int exit_code;
    std::string err;  // standard error, where the run collected it
};

// Names are UTF-8 in the tests, as in the program, on every system (Windows'
// narrow functions would take them in the ANSI code page).
inline std::filesystem::path utf8_path(const std::string& name) {
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
}

inline std::string utf8_name(const std::filesystem::path& path) {
    const std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
}

// Runs a shell command (UTF-8): its standard output, byte for byte, and exit code.
inline run_result run_command(const std::string& command) {
#ifdef _WIN32
    // cmd.exe /c drops the first and the last double quote of a command that
    // starts with one: the command is wrapped in a pair for it to drop.
    const std::wstring wide = utf8_path('"' + command + '"').wstring();
    // 9009 is cmd.exe's own code for a program it could not start. Under Wine
    // a start now and then fails that way when the machine is busy (the
    // program never got to run: it has no exit code 9009), so the command is
    // given again; a program that is really missing fails every time.
    constexpr int could_not_start = 9009;
    for (int attempt = 0;; ++attempt) {
        std::FILE* pipe = _wpopen(wide.c_str(), L"rb");
        if (pipe == nullptr) return {"", -1, {}};
        std::string out;
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        const int code = _pclose(pipe);  // the exit code itself
        if (code != could_not_start || attempt == 2) return {out, code, {}};
    }
#else
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {"", -1, {}};
    std::string out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int status = pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1, {}};
#endif
}

// One word for the shell. cmd.exe has no escape for a double quote inside
// quotes; no test passes one.
inline std::string shell_quote(const std::string& s) {
#ifdef _WIN32
    return '"' + s + '"';
#else
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
#endif
}

// A path in the system's directory for temporary files that no other run
// picks: `stem` and a random number.
inline std::filesystem::path unique_temp_path(const std::string& stem) {
    static std::mt19937_64 rng = [] {
        std::random_device entropy;
        return std::mt19937_64((std::uint64_t{entropy()} << 32) ^ entropy());
    }();
    return std::filesystem::temp_directory_path() / (stem + std::to_string(rng()));
}

// Runs a shell command collecting its standard error too.
inline run_result run_command_with_errors(const std::string& command) {
    const std::string err_path = utf8_name(unique_temp_path("pcmtaper-stderr-"));
#ifdef _WIN32
    // A redirection binds to the last command of an && chain there: the program.
    run_result r = run_command(command + " 2>" + shell_quote(err_path));
#else
    run_result r = run_command("{ " + command + "; } 2>" + shell_quote(err_path));
#endif
    std::ifstream in(utf8_path(err_path), std::ios::binary);
    r.err.assign(std::istreambuf_iterator<char>(in), {});
    in.close();
    std::filesystem::remove(utf8_path(err_path));
    return r;
}

// The command that starts the built program: its path, behind the emulator
// of a cross build (qemu-user with no binfmt handler cannot start a foreign
// program by itself).
inline std::vector<std::string> program_command_words() {
    std::vector<std::string> words;
#ifdef PCMTAPER_EMULATOR
    const std::string emulator = PCMTAPER_EMULATOR;
    for (std::size_t at = 0; at < emulator.size();) {
        const std::size_t end = std::min(emulator.find(' ', at), emulator.size());
        if (end > at) words.push_back(emulator.substr(at, end - at));
        at = end + 1;
    }
#endif
    words.push_back(PCMTAPER_BIN);
    return words;
}

inline std::string program_command() {
    std::string command;
    for (const std::string& w : program_command_words()) {
        if (!command.empty()) command += ' ';
        command += shell_quote(w);
    }
    return command;
}

// The sample-rate and block-count lines the program prints after the header.
inline std::string header_lines(std::uint32_t rate_hz, std::uint32_t frames) {
    return "SAMPLE RATE: " + std::to_string(rate_hz) + "\r\n FRAMES NUM: " + std::to_string(frames) +
           "\r\n";
}

// Standard output up to and including the block-count line.
inline std::string up_to_frames_line(const std::string& out) {
    const std::size_t at = out.find(" FRAMES NUM:");
    return at == std::string::npos ? out : out.substr(0, out.find("\r\n", at) + 2);
}

// A fresh directory, removed with everything in it at the end of the test.
class scratch_dir {
  public:
    scratch_dir() {
        for (int attempt = 0; attempt < 100; ++attempt) {
            path_ = unique_temp_path("pcmtaper-test-");
            if (std::filesystem::create_directory(path_)) return;  // false: it existed
        }
        std::abort();
    }
    ~scratch_dir() { std::filesystem::remove_all(path_); }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    std::string path(const std::string& name) const { return utf8_name(path_ / utf8_path(name)); }

    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path_ / utf8_path(name), std::ios::binary) << bytes;
    }

    std::string read(const std::string& name) const {
        std::ifstream in(path_ / utf8_path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    bool exists(const std::string& name) const { return std::filesystem::exists(path_ / utf8_path(name)); }

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path_))
            names.push_back(utf8_name(e.path().filename()));
        std::sort(names.begin(), names.end());
        return names;
    }

    // Runs the program with `args` (shell-quoted) from inside the directory.
    // `input_pipe`, when given, is a shell pipe in front of the program.
    run_result run(const std::vector<std::string>& args, const std::string& input_pipe = "") const {
#ifdef _WIN32
        return run_command(command_line(args, input_pipe) + " 2>NUL");
#else
        return run_command(command_line(args, input_pipe) + " 2>/dev/null");
#endif
    }

    // The same, with standard error collected, and `redirections` (such as
    // "> out.wav" or "<&-") after the program's arguments.
    run_result run_with_errors(const std::vector<std::string>& args, const std::string& redirections = "",
                               const std::string& input_pipe = "") const {
        return run_command_with_errors(command_line(args, input_pipe) + " " + redirections);
    }

    // Whether files here can carry the program's mark on its outputs (an
    // extended attribute; on Windows a named stream): where they cannot, a
    // named output is replaced on a second run only with --force.
    bool keeps_output_marks() const {
#ifdef _WIN32
        wchar_t root[MAX_PATH + 1];
        DWORD flags = 0;
        return GetVolumePathNameW(path_.wstring().c_str(), root, MAX_PATH + 1) != 0 &&
               GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) != 0 &&
               (flags & FILE_NAMED_STREAMS) != 0;
#elif defined(__linux__) || defined(__APPLE__)
        write(".probe", "");
        const std::string probe = path(".probe");
#ifdef __APPLE__
        const bool kept = setxattr(probe.c_str(), "user.probe", "1", 1, 0, 0) == 0;
#else
        const bool kept = setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
#endif
        std::filesystem::remove(path_ / ".probe");
        return kept;
#else
        return false;
#endif
    }

    // Makes `output` the program's own earlier output of `input` (bearing its
    // mark), made from `earlier_bytes` at the input's name, as a Makefile run
    // again meets it after the input changed; `input` then holds `bytes`.
    void make_earlier_output(const std::string& input, const std::string& output, const std::string& earlier_bytes,
                             const std::string& bytes, std::vector<std::string> options = {}) const {
        write(input, earlier_bytes);
        options.insert(options.begin(), "-q");
        options.push_back(input);
        options.push_back(output);
        if (run(options).exit_code != 0) std::abort();
        write(input, bytes);
    }

    std::string command_line(const std::vector<std::string>& args, const std::string& input_pipe = "") const {
#ifdef _WIN32
        std::string command = "cd /d ";
#else
        std::string command = "cd ";
#endif
        command += shell_quote(path_.string()) + " && " + input_pipe + program_command();
        for (const auto& a : args) {
            command += ' ';
            command += shell_quote(a);
        }
        return command;
    }

  private:
    std::filesystem::path path_;
};

}  // namespace fixtures
