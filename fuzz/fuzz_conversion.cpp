// libFuzzer target: the whole conversion of a small arbitrary input, in
// process, through convert_stream (the code path of the program after it has
// opened its input), into memory.
//
// Every input is converted twice, once as a regular file and once as a pipe,
// and the run checks what the program promises: only the exit codes of a
// refused header or of success; no output opened for a refused header; on
// success the 44-byte header for the blocks written, as many blocks as the
// bytes present allow (up to the declared size), bytes within 2..254, 224
// bytes of silence first; and the same bytes from both runs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "pipeline/pipeline.h"
#include "wav/wav.h"

namespace {

// Inputs above this are not tried, so that each run stays fast (a block of 32
// samples is the expensive unit: the per-block search runs for each).
constexpr std::size_t max_input_bytes = 16384;
constexpr int silent_samples = 224;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_conversion: %s\n", what);
    std::abort();
}

// Collects the output in an unnamed temporary file: rewindable, like the
// program's own temporary file. (A memory stream would not do: it ends where
// it was last written, and the header may be written again at the start.)
class collecting_sink final : public output_sink {
  public:
    ~collecting_sink() override {
        if (stream_ != nullptr) std::fclose(stream_);
    }
    opened open(const output_format&) override {
        if (opened_) fail("the output was opened twice");
        opened_ = true;
        stream_ = std::tmpfile();
        if (stream_ == nullptr) fail("cannot open a temporary file");
        return {stream_, exit_ok, {}};
    }
    bool rewindable() const override { return true; }
    bool seek_to_start() override { return std::fseek(stream_, 0, SEEK_SET) == 0; }
    finished commit() override {
        if (stream_ == nullptr) fail("commit without an open output");
        if (std::fflush(stream_) != 0 || std::fseek(stream_, 0, SEEK_SET) != 0) fail("cannot reread");
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, stream_)) > 0) bytes_.append(buffer, n);
        std::fclose(stream_);
        stream_ = nullptr;
        committed_ = true;
        return {exit_ok, {}};
    }
    void discard() override {
        if (stream_ != nullptr) std::fclose(stream_);
        stream_ = nullptr;
    }
    bool opened() const { return opened_; }
    bool committed() const { return committed_; }
    const std::string& bytes() const { return bytes_; }

  private:
    std::FILE* stream_ = nullptr;
    std::string bytes_;
    bool opened_ = false;
    bool committed_ = false;
};

std::FILE* open_bytes(std::vector<char>* bytes) {
    std::FILE* f = bytes->empty() ? std::fopen("/dev/null", "rb")
                                  : fmemopen(bytes->data(), bytes->size(), "rb");
    if (f == nullptr) fail("cannot open the input");
    return f;
}

struct outcome {
    int exit_code;
    bool opened;
    bool committed;
    std::string output;
};

outcome convert(const std::uint8_t* data, std::size_t size, bool regular) {
    std::vector<char> bytes(data, data + size);
    std::FILE* in = open_bytes(&bytes);
    pcmtaper::converter_state state;
    collecting_sink sink;
    console con(nullptr, stdout, false);
    const int code = convert_stream(&state, {in, regular && size > 0, static_cast<long long>(size)},
                                    conversion_options{}, &sink, &con);
    std::fclose(in);
    return {code, sink.opened(), sink.committed(), sink.bytes()};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The program's lines and the diagnostic report are not wanted here.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) fail("cannot silence stdout");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > max_input_bytes) return -1;  // not added to the corpus

    // What the header says, for the expectations.
    std::vector<char> bytes(data, data + size);
    std::FILE* in = open_bytes(&bytes);
    wav_input_header header{};
    const header_status status = read_input_header(in, &header);
    const long data_at = std::ftell(in);
    std::fclose(in);

    const outcome file = convert(data, size, true);
    const outcome pipe = convert(data, size, false);

    for (const outcome* o : {&file, &pipe}) {
        if (status != header_status::ok) {
            if (o->exit_code == exit_ok || o->exit_code == exit_output_not_openable ||
                o->exit_code >= exit_output_is_input)
                fail("a refused header gave an unexpected exit code");
            if (o->opened) fail("a refused header opened the output");
            continue;
        }
        if (o->exit_code != exit_ok) fail("an accepted header did not convert");
        if (!o->committed) fail("a conversion did not commit its output");
        const std::uint64_t present = size - static_cast<std::uint64_t>(data_at);
        const std::uint64_t usable = header.data_size_bytes < present ? header.data_size_bytes : present;
        const std::uint64_t blocks = usable / 64;
        if (o->output.size() != riff_header_len + 32 * static_cast<std::size_t>(blocks))
            fail("the output length is not that of the blocks present");
        unsigned char expected[max_output_header_len];
        output_header_bytes(output_layout::riff, blocks * 32, header.sample_rate_hz, expected);
        if (std::memcmp(o->output.data(), expected, riff_header_len) != 0)
            fail("the output header does not state what was written");
        for (std::size_t i = riff_header_len; i < o->output.size(); ++i) {
            const auto b = static_cast<unsigned char>(o->output[i]);
            if (b < 2 || b > 254) fail("an output byte outside 2..254");
            if (i - riff_header_len < silent_samples && b != 128)
                fail("the first 224 output samples are not silence");
        }
    }
    if (file.exit_code != pipe.exit_code) fail("a file and a pipe gave different exit codes");
    if (file.output != pipe.output) fail("a file and a pipe gave different bytes");
    return 0;
}
