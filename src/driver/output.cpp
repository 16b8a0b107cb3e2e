// The output rules that need no system call of their own: which existing
// files the program may replace, and standard output as the output.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "driver/exit_codes.h"
#include "driver/output.h"

namespace {

std::uint32_t le32(const unsigned char* b) {
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
}

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

bool may_replace_existing_output(const std::string& name, output_format format) {
    unsigned char start[4096];
    std::size_t length = 0;
    std::FILE* f = open_input_file(name);  // a UTF-8 name on every system
    if (f == nullptr) return false;
    length = std::fread(start, 1, sizeof start, f);
    std::fclose(f);
    if (length == 0) return true;
    if (is_raw_format(format)) return false;
    return is_c_format(format) ? looks_like_own_c_header(start, length) : looks_like_8_bit_wav(start, length);
}

std::string existing_output_refusal(const std::string& name, output_format format) {
    const char* why = is_raw_format(format) ? ", and raw samples cannot be told from any other file"
                      : is_c_format(format) ? " and is not a C header written by pcmtaper"
                                            : " and is not an 8-bit WAV file";
    return "the output file " + name + " exists" + why + "; it is kept (--force replaces it)";
}

bool looks_like_8_bit_wav(const unsigned char* bytes, std::size_t length) {
    if (length < 12 || (std::memcmp(bytes, "RIFF", 4) != 0 && std::memcmp(bytes, "RF64", 4) != 0) ||
        std::memcmp(bytes + 8, "WAVE", 4) != 0)
        return false;
    // The chunks up to "fmt ": the program writes it first (after "ds64"),
    // other writers may put a few chunks before it.
    std::size_t at = 12;
    while (at + 8 <= length) {
        const std::uint32_t size = le32(bytes + at + 4);
        if (std::memcmp(bytes + at, "fmt ", 4) == 0) {
            if (size < 16 || at + 8 + 16 > length) return false;
            const unsigned char* fmt = bytes + at + 8;
            return fmt[0] == 1 && fmt[1] == 0 && fmt[2] == 1 && fmt[3] == 0 && fmt[14] == 8 && fmt[15] == 0;
        }
        if (size > length) return false;
        at += 8 + size + size % 2;
    }
    return false;
}
