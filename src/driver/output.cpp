// The output rules that need no system call of their own: which existing
// files the program may replace, and standard output as the output.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "exit_codes.h"
#include "output.h"
#include "pcmtaper/pcmtaper.h"

namespace {

// Standard output as the output: written in place. A regular file there can
// still have its header written again, from where the audio started.
class descriptor_sink final : public output_sink {
  public:
    explicit descriptor_sink(int fd) : fd_(fd) {}
    ~descriptor_sink() override { discard(); }

    opened open() override {
        if (is_terminal(fd_))
            return {nullptr, exit_output_not_openable, "standard output is a terminal; the audio needs a file or a pipe"};
        stream_ = open_descriptor_stream(fd_);
        if (stream_ == nullptr)
            return {nullptr, exit_output_not_openable,
                    std::string("cannot write the output file (standard output): ") + std::strerror(errno)};
        start_ = regular_file_position(fd_);
        return {stream_, exit_ok, {}};
    }
    bool rewindable() const override { return start_ >= 0; }
    bool seek_to_start() override { return start_ >= 0 && seek_stream(stream_, start_); }
    bool commit() override {
        const bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
        const bool closed = std::fclose(stream_) == 0;
        stream_ = nullptr;
        return ok && closed;
    }
    void discard() override {
        if (stream_ != nullptr) std::fclose(stream_);
        stream_ = nullptr;
    }

  private:
    int fd_;
    std::FILE* stream_ = nullptr;
    long long start_ = -1;
};

}  // namespace

void make_temp_file_name(std::uint64_t process_entropy, unsigned attempt, char name[temp_file_name_size]) {
    static std::uint64_t counter = 0;
    std::uint64_t mix = process_entropy * 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(std::time(nullptr)) ^
                        (++counter << 32) ^ attempt;
    mix ^= mix >> 29;
    mix *= 0xBF58476D1CE4E5B9ull;
    mix ^= mix >> 32;
    std::snprintf(name, temp_file_name_size, ".pcmtaper-%012llx", static_cast<unsigned long long>(mix & 0xFFFFFFFFFFFFull));
}

std::unique_ptr<output_sink> make_descriptor_output(int fd) { return std::make_unique<descriptor_sink>(fd); }

bool may_replace_existing_output(const std::string& name) {
    unsigned char start[4096];
    std::size_t length = 0;
    std::FILE* f = open_input_file(name);  // a UTF-8 name on every system
    if (f == nullptr) return false;
    length = std::fread(start, 1, sizeof start, f);
    std::fclose(f);
    return length == 0 || pcmtaper_wav_is_8_bit(start, length) != 0;
}
