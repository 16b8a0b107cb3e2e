// Converts a 16-bit mono WAV file to an 8-bit one with libpcmtaper's one-call
// function, printing what the program prints on standard output (without the
// file names): remarks, the sample rate and block count, the block reports.
//
// Usage: pcmtaper_convert_file input.wav output.wav [-a] [-z]
#include <cstdio>
#include <cstring>
#include <memory>

#include <pcmtaper/pcmtaper.h>

namespace {

struct files {
    std::FILE* in;
    std::FILE* out;
};

std::size_t read_file(void* user, void* buffer, std::size_t capacity, int* failed) {
    std::FILE* in = static_cast<files*>(user)->in;
    const std::size_t n = std::fread(buffer, 1, capacity, in);
    if (n < capacity && std::ferror(in)) *failed = 1;
    return n;
}

int write_file(void* user, const void* bytes, std::size_t count) {
    return std::fwrite(bytes, 1, count, static_cast<files*>(user)->out) == count ? 0 : 1;
}

int rewind_file(void* user) { return std::fseek(static_cast<files*>(user)->out, 0, SEEK_SET) == 0 ? 0 : -1; }

// The program's lines, made from the data by the library's helpers.
void print_remark(void*, const pcmtaper_remark* remark) {
    char text[PCMTAPER_REMARK_TEXT_MAX];
    pcmtaper_format_remark(remark, text, sizeof text);
    std::fputs(text, stdout);
}

int print_counts(void*, const pcmtaper_wav_plan* plan) {
    std::printf("SAMPLE RATE: %d\r\n FRAMES NUM: %llu\r\n", static_cast<int>(plan->sample_rate_hz),
                static_cast<unsigned long long>(plan->blocks));
    return 0;
}

void print_report(void*, const pcmtaper_block_report* report) {
    char text[PCMTAPER_REPORT_TEXT_MAX];
    pcmtaper_format_report(report, text, sizeof text);
    std::fputs(text, stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: pcmtaper_convert_file input.wav output.wav [-a] [-z]\n");
        return 2;
    }
    pcmtaper_config config;
    pcmtaper_config_init(&config);
    config.report = print_report;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "-a") == 0) config.flags |= PCMTAPER_FLAG_ALIGN;
        if (std::strcmp(argv[i], "-z") == 0) config.flags |= PCMTAPER_FLAG_ZERO_DC;
    }
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(argv[1], "rb"), std::fclose);
    if (!in) {
        std::perror(argv[1]);
        return 1;
    }
    std::fseek(in.get(), 0, SEEK_END);
    const long size = std::ftell(in.get());
    std::fseek(in.get(), 0, SEEK_SET);
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(argv[2], "wb"), std::fclose);
    if (!out) {
        std::perror(argv[2]);
        return 1;
    }
    files io{in.get(), out.get()};
    const pcmtaper_reader reader{sizeof reader, read_file, &io, size, nullptr};
    const pcmtaper_writer writer{sizeof writer, write_file, rewind_file, &io};
    pcmtaper_wav_events events{};
    events.struct_size = sizeof events;
    events.remark = print_remark;
    events.start = print_counts;
    const pcmtaper_status status = pcmtaper_convert_wav(&reader, &writer, &config, &events, nullptr);
    if (status != PCMTAPER_OK) {
        std::fprintf(stderr, "pcmtaper_convert_file: %s\n", pcmtaper_status_string(status));
        return 1;
    }
    return std::fflush(out.get()) == 0 ? 0 : 1;
}
