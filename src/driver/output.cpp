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

    opened open(const output_format&) override {
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
    finished commit() override {
        const bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
        const bool closed = std::fclose(stream_) == 0;
        stream_ = nullptr;
        return {ok && closed ? exit_ok : exit_write_error, {}};
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

std::string replace_refusal(const std::string& path, const file_output_request& request, const output_format& format) {
    unsigned char start[4096];
    std::FILE* f = open_input_file(path);  // a UTF-8 name on every system
    std::size_t length = 0;
    if (f != nullptr) {
        length = std::fread(start, 1, sizeof start, f);
        std::fclose(f);
    }
    if (request.force || (f != nullptr && length == 0)) return {};
    const std::string exists = "the output file " + request.name + " exists";
    const char* const kept = "; it is kept (--force replaces it)";
    // Raw samples have no header: nothing tells them from any other file.
    if (is_raw_format(request.kind)) return exists + ", and raw samples cannot be told from any other file" + kept;
    if (is_c_format(request.kind)) {
        c_header_facts earlier;
        const bool own = f != nullptr && read_own_c_header(start, length, &earlier);
        if (own && (request.derived_name || (earlier.sample_rate_hz == format.sample_rate_hz &&
                                             earlier.samples_known && earlier.samples == format.samples)))
            return {};
        if (own) return exists + " and is a C header of another rate or length than this input gives" + kept;
        return exists + " and is not a C header written by pcmtaper" + kept;
    }
    pcmtaper_wav_8_bit_header earlier;
    const bool eight_bit = f != nullptr && pcmtaper_wav_is_8_bit(start, length, &earlier) != 0;
    if (eight_bit && (request.derived_name || (earlier.sample_rate_hz == format.sample_rate_hz &&
                                               earlier.samples_known && earlier.samples == format.samples)))
        return {};
    if (eight_bit)
        return "the output file " + request.name +
               " exists and is an 8-bit mono WAV file of another rate or length than this input gives; "
               "it is kept (--force replaces it)";
    return "the output file " + request.name + " exists and is not an 8-bit mono WAV file; it is kept (--force replaces it)";
}
