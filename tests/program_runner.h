// Runs the built program in a scratch directory and collects what it printed,
// its exit code and the files it left.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fixtures {

struct run_result {
    std::string out;  // standard output
    int exit_code;
    std::string err;  // standard error, where the run collected it
};

// Runs a shell command: its standard output and exit code.
inline run_result run_command(const std::string& command) {
    std::FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int status = pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1, {}};
}

// Runs a shell command collecting its standard error too.
inline run_result run_command_with_errors(const std::string& command) {
    char err_path[] = "/tmp/pcmtaper-stderr-XXXXXX";
    const int fd = mkstemp(err_path);
    if (fd < 0) std::abort();
    close(fd);
    run_result r = run_command("{ " + command + "; } 2>" + err_path);
    std::ifstream in(err_path, std::ios::binary);
    r.err.assign(std::istreambuf_iterator<char>(in), {});
    std::remove(err_path);
    return r;
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

inline std::string shell_quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// A fresh directory, removed with everything in it at the end of the test.
class scratch_dir {
  public:
    scratch_dir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "pcmtaper-test-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr) std::abort();
        path_ = tmpl;
    }
    ~scratch_dir() { std::filesystem::remove_all(path_); }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    std::string path(const std::string& name) const { return (path_ / name).string(); }

    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }

    std::string read(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    bool exists(const std::string& name) const { return std::filesystem::exists(path(name)); }

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Runs the program with `args` (shell-quoted) from inside the directory.
    // `input_pipe`, when given, is a shell pipe in front of the program.
    run_result run(const std::vector<std::string>& args, const std::string& input_pipe = "") const {
        return run_command(command_line(args, input_pipe) + " 2>/dev/null");
    }

    // The same, with standard error collected, and `redirections` (such as
    // "> out.wav" or "<&-") after the program's arguments.
    run_result run_with_errors(const std::vector<std::string>& args, const std::string& redirections = "",
                               const std::string& input_pipe = "") const {
        return run_command_with_errors(command_line(args, input_pipe) + " " + redirections);
    }

    std::string command_line(const std::vector<std::string>& args, const std::string& input_pipe = "") const {
        std::string command = "cd ";
        command += shell_quote(path_.string()) + " && " + input_pipe + shell_quote(PCMTAPER_BIN);
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
