#include "driver/driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "pipeline/pipeline.h"
#include "wav/wav.h"

using pcmtaper::block_len;
using pcmtaper::converter_state;

namespace {

constexpr int block_bytes = block_len * 2;            // 16-bit input samples per block
constexpr int block_bytes_shift = 6;                  // log2(block_bytes)
constexpr double input_sample_scale = pcmtaper::sample_scale;  // 16-bit sample -> sample scale
constexpr const char* derived_suffix = ".8b.wav";
constexpr std::size_t extension_len = 4;              // ".wav", or any "." and three characters

void print_banner() {
    std::printf("pcmtaper.exe version 1.0.3 (https://example.org/pcmtaper)\r\n");
    std::printf("Monaural 16bit wav file to Monaural 8bit wav file. Very slow, high quality.\r\n\r\n");
    std::printf("  usage:  pcmtaper input.wav [output.wav]\r\n");
}

// ---- output: written whole or not at all ----------------------------------

// The temporary file that a signal must not leave behind. Set while it exists.
const char* volatile pending_temp_name = nullptr;

extern "C" void remove_temp_and_die(int signal_number) {
    const char* name = pending_temp_name;
    if (name != nullptr) unlink(name);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT};

void install_cleanup_handlers() {
    for (int s : cleanup_signals) {
        // A signal ignored when the program started (nohup, a background job of
        // a script) stays ignored: the conversion is then meant to outlive it.
        struct sigaction current {};
        if (sigaction(s, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        std::signal(s, remove_temp_and_die);
    }
    // Past a file-size limit (ulimit -f) a write then fails with EFBIG and is
    // handled as any write error, instead of the default SIGXFSZ killing the
    // process with its temporary file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
}

// Blocks the cleanup signals while a temporary file is created and recorded,
// so that none can arrive between the two and leave the file behind.
class cleanup_signals_blocked {
  public:
    cleanup_signals_blocked() {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int s : cleanup_signals) sigaddset(&blocked, s);
        sigprocmask(SIG_BLOCK, &blocked, &previous_);
    }
    ~cleanup_signals_blocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    cleanup_signals_blocked(const cleanup_signals_blocked&) = delete;
    cleanup_signals_blocked& operator=(const cleanup_signals_blocked&) = delete;

  private:
    sigset_t previous_;
};

struct output_file {
    std::FILE* stream = nullptr;
    std::string final_name;
    std::string temp_name;  // empty when the output is written in place
};

// A regular (or not yet existing) output is written to a temporary file beside
// it and renamed over it only when complete, so that a failure leaves any
// existing file of that name as it was. A device or a FIFO is written directly.
bool open_output(const std::string& name, output_file* out) {
    out->final_name = name;
    if (name.empty()) return false;
    struct stat existing;
    const bool exists = stat(name.c_str(), &existing) == 0;
    // A name the system refuses (too long, a file in place of a directory, a
    // loop of links) could not be renamed onto either: refused before the
    // conversion rather than after it.
    if (!exists && errno != ENOENT) return false;
    if (exists && S_ISDIR(existing.st_mode)) return false;
    if (exists && !S_ISREG(existing.st_mode)) {
        out->stream = std::fopen(name.c_str(), "wb");
        return out->stream != nullptr;
    }
    mode_t mode;
    if (exists) {
        mode = existing.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    install_cleanup_handlers();
    // A short name beside the output: same file system, so the rename is atomic,
    // and no risk of passing the file-name length limit of the output's own name.
    const std::size_t slash = name.rfind('/');
    out->temp_name = (slash == std::string::npos ? std::string() : name.substr(0, slash + 1)) +
                     ".pcmtaper-XXXXXX";
    int fd;
    {
        const cleanup_signals_blocked blocked;
        fd = mkstemp(out->temp_name.data());
        if (fd >= 0) pending_temp_name = out->temp_name.c_str();
    }
    if (fd < 0) {
        out->temp_name.clear();
        return false;
    }
    out->stream = fdopen(fd, "wb");
    if (out->stream == nullptr || fchmod(fd, mode) != 0) {
        if (out->stream != nullptr) std::fclose(out->stream); else close(fd);
        out->stream = nullptr;
        unlink(out->temp_name.c_str());
        pending_temp_name = nullptr;
        return false;
    }
    return true;
}

void discard_output(output_file* out) {
    if (out->stream != nullptr) std::fclose(out->stream);
    out->stream = nullptr;
    if (!out->temp_name.empty()) {
        unlink(out->temp_name.c_str());
        pending_temp_name = nullptr;
    }
}

// Flushes, syncs and closes the output and renames it into place. Every step
// is checked: a full disk often shows only at the flush or the close.
bool commit_output(output_file* out) {
    bool ok = std::fflush(out->stream) == 0 && !std::ferror(out->stream);
    if (ok && !out->temp_name.empty()) ok = fsync(fileno(out->stream)) == 0;
    ok = (std::fclose(out->stream) == 0) && ok;
    out->stream = nullptr;
    if (out->temp_name.empty()) return ok;
    if (ok) ok = std::rename(out->temp_name.c_str(), out->final_name.c_str()) == 0;
    if (!ok) unlink(out->temp_name.c_str());
    pending_temp_name = nullptr;
    return ok;
}

// ---- input --------------------------------------------------------------------

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Decodes one block of little-endian 16-bit samples into `history_tail`. Bytes
// missing at the end of the input leave the held sample as it was: a missing
// sample repeats the last one read, and a lone last byte replaces only the low
// byte of the held sample.
void decode_block(const unsigned char* bytes, std::size_t bytes_read, std::int16_t* held_sample,
                  double* history_tail) {
    for (int i = 0; i < block_len; ++i) {
        const std::size_t low = 2 * static_cast<std::size_t>(i);
        if (low + 1 < bytes_read) {
            *held_sample = static_cast<std::int16_t>(bytes[low] | bytes[low + 1] << 8);
        } else if (low < bytes_read) {
            *held_sample = static_cast<std::int16_t>((static_cast<std::uint16_t>(*held_sample) & 0xFF00u) |
                                                     bytes[low]);
        }
        history_tail[i] = *held_sample * input_sample_scale;
    }
}

int exit_code_for(header_status status) {
    switch (status) {
        case header_status::ok: return exit_ok;
        case header_status::not_linear_pcm: return exit_not_linear_pcm;
        case header_status::not_mono: return exit_not_mono;
        case header_status::not_16_bit: return exit_not_16_bit;
        case header_status::bad_sample_rate: return exit_bad_sample_rate;
        case header_status::read_error: return exit_read_error;
        case header_status::fmt_not_found:
        case header_status::data_not_found:
        case header_status::ends_inside_header: break;
    }
    return exit_header_incomplete;
}

struct input_file {
    std::FILE* stream = nullptr;
    struct stat info {};
    bool regular = false;
    ~input_file() {
        if (stream != nullptr) std::fclose(stream);
    }
};

// What convert_stream reads from.
struct input_source {
    std::FILE* stream;
    bool regular;
    long long size;  // bytes in a regular file
};

// The number of data bytes to convert: the declared size, or what a regular
// file actually holds after the header when that is less (a cut-off file, or
// a streaming writer's placeholder size).
std::uint32_t usable_data_size(const input_source& input, std::uint32_t declared_bytes) {
    if (!input.regular) return declared_bytes;
    const long long position = ftello(input.stream);
    const long long size = input.size;
    const unsigned long long left =
        (position >= 0 && size > position) ? static_cast<unsigned long long>(size - position) : 0;
    if (declared_bytes <= left) return declared_bytes;
    std::printf("The data chunk claims %u bytes; the file holds %llu after the header.\r\n",
                declared_bytes, left);
    return static_cast<std::uint32_t>(left);
}

struct conversion_result {
    int exit_code;
    std::uint32_t blocks_written;
};

enum class block_read { ok, ended, failed };

// Reads and decodes the next block of samples. A pipe that ends early ends the
// conversion at its last whole block; only a regular file that shrinks while
// it is read is filled up (decode_block). A read error prints its message.
block_read read_block(const input_source& input, std::int16_t* held_sample, double* samples) {
    unsigned char bytes[block_bytes];
    const std::size_t got = std::fread(bytes, 1, sizeof bytes, input.stream);
    if (got < sizeof bytes) {
        if (std::ferror(input.stream)) {
            std::printf("Cannot read the input file.\r\n");
            return block_read::failed;
        }
        if (!input.regular) return block_read::ended;
    }
    decode_block(bytes, got, held_sample, samples);
    return block_read::ok;
}

// The block loop: 32 samples in, one block processed, 32 bytes out. Each block
// is read one ahead, so that its analysis runs alongside the quantiser of the
// block before it; the output and everything printed are as if the blocks
// were processed one after the other.
conversion_result convert_blocks(converter_state* state, const input_source& input, std::FILE* output,
                                 std::uint32_t block_count) {
    if (block_count == 0) return {exit_ok, 0};
    std::int16_t held_sample = 0;
    double next_samples[block_len];
    block_read next_read = read_block(input, &held_sample, next_samples);
    if (next_read != block_read::ok) return {next_read == block_read::failed ? exit_read_error : exit_ok, 0};
    pcmtaper::start_blocks(state, next_samples);
    for (std::uint32_t n = 0; n < block_count; ++n) {
        pcmtaper::block_report report;
        if (pcmtaper::search_taps(state, n, &report)) pcmtaper::print_block_report(report);
        next_read = n + 1 < block_count ? read_block(input, &held_sample, next_samples) : block_read::ended;
        if (next_read == block_read::failed) return {exit_read_error, n};
        pcmtaper::quantise_and_analyse_next(state, next_read == block_read::ok ? next_samples : nullptr);
        if (std::fwrite(state->out_bytes, 1, block_len, output) != static_cast<std::size_t>(block_len))
            return {exit_write_error, n};
        if (next_read == block_read::ended) return {exit_ok, n + 1};
    }
    return {exit_ok, block_count};
}

int fail_output(output_sink* output, int code) {
    if (code == exit_write_error) std::printf("Cannot write the output file.\r\n");
    output->discard();
    return code;
}

// The output file of the command line, written whole or not at all.
class file_output_sink final : public output_sink {
  public:
    explicit file_output_sink(const std::string& name) : name_(name) {}
    ~file_output_sink() override {
        if (file_.stream != nullptr) discard_output(&file_);
    }
    std::FILE* open() override { return open_output(name_, &file_) ? file_.stream : nullptr; }
    bool rewindable() const override { return !file_.temp_name.empty(); }
    bool commit() override { return commit_output(&file_); }
    void discard() override { discard_output(&file_); }

  private:
    std::string name_;
    output_file file_;
};

}  // namespace

std::string derive_output_name(const std::string& input_name) {
    std::string name = input_name;
    if (name.size() >= extension_len && name[name.size() - extension_len] == '.') {
        name.resize(name.size() - extension_len);
        name += derived_suffix;
    }
    return name;
}

int run_converter(int argc, char** argv) {
    converter_state state;
    if (argc < 2) {
        print_banner();
        return exit_ok;
    }
    const std::string input_name = argv[1];
    const std::string output_name = argc > 2 ? std::string(argv[2]) : derive_output_name(input_name);
    std::printf("%s\r\n", input_name.c_str());
    std::printf("%s\r\n", output_name.c_str());

    input_file input;
    input.stream = std::fopen(input_name.c_str(), "rb");
    if (input.stream == nullptr || fstat(fileno(input.stream), &input.info) != 0 ||
        S_ISDIR(input.info.st_mode))
        return exit_input_not_openable;
    input.regular = S_ISREG(input.info.st_mode);

    // Never open the output over the input, by the same name or by another
    // path to the same file (a symbolic or a hard link).
    struct stat output_info;
    if (output_name == input_name ||
        (stat(output_name.c_str(), &output_info) == 0 && same_file(output_info, input.info))) {
        std::printf("The output file is the input file.\r\n");
        return exit_output_is_input;
    }

    file_output_sink output(output_name);
    return convert_stream(&state, input.stream, input.regular, input.info.st_size, &output);
}

int convert_stream(converter_state* state, std::FILE* input_file_stream, bool input_is_regular,
                   long long input_size, output_sink* output) {
    const input_source input{input_file_stream, input_is_regular, input_size};
    wav_input_header header;
    const header_status status = read_input_header(input.stream, stdout, &header);
    if (status != header_status::ok) return exit_code_for(status);

    const std::uint32_t declared_blocks = header.data_size_bytes >> block_bytes_shift;
    const std::uint32_t block_count = usable_data_size(input, header.data_size_bytes) >> block_bytes_shift;
    const auto sample_rate_hz = static_cast<std::int32_t>(header.sample_rate_hz);  // below 2^31
    std::printf("SAMPLE RATE: %d\r\n", sample_rate_hz);
    std::printf(" FRAMES NUM: %u\r\n", block_count);
    pcmtaper::start_conversion(state, static_cast<double>(sample_rate_hz));

    std::FILE* const out = output->open();
    if (out == nullptr) return exit_output_not_openable;
    if (!write_output_header(out, block_count, header.sample_rate_hz))
        return fail_output(output, exit_write_error);

    const conversion_result result = convert_blocks(state, input, out, block_count);
    if (result.exit_code != exit_ok) return fail_output(output, result.exit_code);
    if (result.blocks_written != block_count) {
        // Only a pipe ends early. A temporary file gets the header of what was
        // written; a device or FIFO cannot be rewound, so its header overstates.
        std::printf("The input ended after %u of %u frames.\r\n", result.blocks_written,
                    declared_blocks);
        if (!output->rewindable()) {
            std::printf("The output header states more samples than were written.\r\n");
            return fail_output(output, exit_read_error);
        }
        if (std::fseek(out, 0, SEEK_SET) != 0 ||
            !write_output_header(out, result.blocks_written, header.sample_rate_hz))
            return fail_output(output, exit_write_error);
    }
    if (!output->commit()) {
        std::printf("Cannot write the output file.\r\n");
        return exit_write_error;
    }
    return exit_ok;
}
