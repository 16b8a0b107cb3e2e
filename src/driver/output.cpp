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
    eight_bit_wav earlier;
    const bool eight_bit = f != nullptr && read_8_bit_wav_header(start, length, &earlier);
    if (eight_bit && (request.derived_name || (earlier.sample_rate_hz == format.sample_rate_hz &&
                                               earlier.samples_known && earlier.samples == format.samples)))
        return {};
    if (eight_bit)
        return "the output file " + request.name +
               " exists and is an 8-bit mono WAV file of another rate or length than this input gives; "
               "it is kept (--force replaces it)";
    return "the output file " + request.name + " exists and is not an 8-bit mono WAV file; it is kept (--force replaces it)";
}

bool read_8_bit_wav_header(const unsigned char* bytes, std::size_t length, eight_bit_wav* wav) {
    const bool rf64 = length >= 4 && std::memcmp(bytes, "RF64", 4) == 0;
    if (length < 12 || (std::memcmp(bytes, "RIFF", 4) != 0 && !rf64) || std::memcmp(bytes + 8, "WAVE", 4) != 0)
        return false;
    // The chunks up to "fmt " and "data": the program writes "fmt " first
    // (after "ds64"), other writers may put a few chunks before either.
    std::uint64_t ds64_data_bytes = 0;
    bool fmt_seen = false;
    std::size_t at = 12;
    while (at + 8 <= length) {
        const std::uint32_t size = le32(bytes + at + 4);
        const unsigned char* body = bytes + at + 8;
        if (std::memcmp(bytes + at, "ds64", 4) == 0 && size >= 16 && at + 8 + 16 <= length) {
            ds64_data_bytes = le32(body + 8) | std::uint64_t(le32(body + 12)) << 32;
        } else if (std::memcmp(bytes + at, "fmt ", 4) == 0) {
            if (size < 16 || at + 8 + 16 > length) return false;
            if (!(body[0] == 1 && body[1] == 0 && body[2] == 1 && body[3] == 0 && body[14] == 8 && body[15] == 0))
                return false;
            wav->sample_rate_hz = le32(body + 4);
            fmt_seen = true;
        } else if (std::memcmp(bytes + at, "data", 4) == 0) {
            if (!fmt_seen) return false;
            // One byte per sample; an RF64 file states the size in "ds64".
            wav->samples = rf64 && size == 0xFFFFFFFFu ? ds64_data_bytes : size;
            wav->samples_known = true;
            return true;
        }
        if (size > length) return fmt_seen;
        at += 8 + size + size % 2;
    }
    return fmt_seen;
}
