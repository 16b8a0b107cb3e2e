// The output rules that need no system call of their own: which existing
// files the program may replace, and standard output as the output.
#include <atomic>
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
    static std::atomic<std::uint64_t> counter{0};  // outputs of a batch are opened on several threads
    std::uint64_t mix = process_entropy * 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(std::time(nullptr)) ^
                        ((counter.fetch_add(1) + 1) << 32) ^ attempt;
    mix ^= mix >> 29;
    mix *= 0xBF58476D1CE4E5B9ull;
    mix ^= mix >> 32;
    std::snprintf(name, temp_file_name_size, ".pcmtaper-%012llx", static_cast<unsigned long long>(mix & 0xFFFFFFFFFFFFull));
}

std::unique_ptr<output_sink> make_descriptor_output(int fd) { return std::make_unique<descriptor_sink>(fd); }

std::string output_mark_text(const own_output_mark& mark) {
    char text[96];
    std::snprintf(text, sizeof text, "pcmtaper-output 1 %016llx %016llx %llu",
                  static_cast<unsigned long long>(mark.input_key), static_cast<unsigned long long>(mark.content_digest),
                  static_cast<unsigned long long>(mark.size_bytes));
    return text;
}

bool parse_output_mark(const std::string& text, own_output_mark* mark) {
    unsigned long long key = 0, digest = 0, size = 0;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "pcmtaper-output 1 %16llx %16llx %llu%n", &key, &digest, &size, &consumed) != 3 ||
        static_cast<std::size_t>(consumed) != text.size())
        return false;
    *mark = {key, digest, size};
    return true;
}

namespace {

constexpr std::uint64_t fnv_offset_basis = 0xCBF29CE484222325ull;
constexpr std::uint64_t fnv_prime = 0x100000001B3ull;

std::uint64_t fnv1a(std::uint64_t digest, const unsigned char* bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) digest = (digest ^ bytes[i]) * fnv_prime;
    return digest;
}

}  // namespace

bool digest_of_stream(std::FILE* stream, std::uint64_t* digest, std::uint64_t* size_bytes) {
    unsigned char buffer[1 << 14];
    std::uint64_t d = fnv_offset_basis, size = 0;
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, stream);
        d = fnv1a(d, buffer, got);
        size += got;
        if (got < sizeof buffer) break;
    }
    if (std::ferror(stream)) return false;
    *digest = d;
    *size_bytes = size;
    return true;
}

std::string output_mark_of(std::FILE* written, std::uint64_t input_key) {
    own_output_mark mark;
    mark.input_key = input_key;
    if (!digest_of_stream(written, &mark.content_digest, &mark.size_bytes)) return {};
    return output_mark_text(mark);
}

std::uint64_t input_key_of(const std::string& input_name) {
    const std::string path = input_name == "-" ? std::string("(standard input)") : absolute_path(input_name);
    return fnv1a(fnv_offset_basis, reinterpret_cast<const unsigned char*>(path.data()), path.size());
}

namespace {

// Whether the file at `path` carries the program's mark for this input and
// still holds the bytes the mark describes.
bool marked_as_output_of(const std::string& path, std::uint64_t input_key) {
    std::string text;
    own_output_mark mark;
    if (!read_output_mark(path, &text) || !parse_output_mark(text, &mark) || mark.input_key != input_key) return false;
    std::FILE* f = open_input_file(path);
    if (f == nullptr) return false;
    std::uint64_t digest = 0, size = 0;
    const bool read = digest_of_stream(f, &digest, &size);
    std::fclose(f);
    return read && digest == mark.content_digest && size == mark.size_bytes;
}

}  // namespace

bool read_file_start(const std::string& path, unsigned char (&start)[file_start_bytes], std::size_t* length) {
    std::FILE* f = open_input_file(path);
    if (f == nullptr) return false;
    *length = std::fread(start, 1, file_start_bytes, f);
    std::fclose(f);
    return true;
}

bool starts_8_bit_wav(const unsigned char* bytes, std::size_t length) {
    int is_8_bit = 0;
    return pcmtaper_wav_is_8_bit(bytes, length, &is_8_bit, nullptr) == PCMTAPER_OK && is_8_bit != 0;
}

std::string replace_refusal(const std::string& path, const file_output_request& request) {
    unsigned char start[file_start_bytes];
    std::size_t length = 0;
    const bool readable = read_file_start(path, start, &length);
    if (request.force || (readable && length == 0)) return {};
    if (readable && marked_as_output_of(path, request.input_key)) return {};
    const std::string exists = "the output file " + request.name + " exists";
    const char* const not_marked = " not marked as pcmtaper's output of this input";
    const char* const kept = "; it is kept (--force replaces it)";
    // Raw samples have no header: nothing but the mark tells them from any other file.
    if (is_raw_format(request.kind))
        return exists + " and is" + not_marked + " (raw samples cannot be told from any other file)" + kept;
    if (is_c_format(request.kind)) {
        c_header_facts earlier;
        const bool own = readable && read_own_c_header(start, length, &earlier);
        if (own && request.derived_name) return {};
        if (own) return exists + " and is a C header" + not_marked + kept;
        return exists + " and is not a C header written by pcmtaper" + kept;
    }
    const bool eight_bit = readable && starts_8_bit_wav(start, length);
    if (eight_bit && request.derived_name) return {};
    if (eight_bit) return exists + " and is an 8-bit mono WAV file" + not_marked + kept;
    return exists + " and is not an 8-bit mono WAV file" + kept;
}
