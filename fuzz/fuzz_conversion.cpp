// libFuzzer target: the whole conversion of a small arbitrary input through
// the library's one-call function (the program's code path after it has
// opened its input), from memory into memory.
//
// Every input is converted as an input of known size (a file) and as a stream
// of unknown size (a pipe), plainly and with --align, and the run checks what
// the program promises: only the statuses of a refused header or of success;
// no output started for a refused header; on success the 44-byte header for
// the samples written, as many blocks as the bytes present allow (up to the
// declared size), bytes within 2..254, 224 bytes of silence first (without
// --align), as many samples as the input with it; the same bytes from both
// readers; the same standard-output text from the events. Files of several
// channels are converted by their mean, and without a channel choice must
// be refused, or be mono and give the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pcmtaper/pcmtaper.h"
#include "wav/wav.h"

namespace {

// Inputs above this are not tried, so that each run stays fast (a block of 32
// samples is the expensive unit: the per-block search runs for each).
constexpr std::size_t max_input_bytes = 16384;
constexpr int silent_samples = PCMTAPER_LATENCY_SAMPLES;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_conversion: %s\n", what);
    std::abort();
}

// The output in memory, rewindable like the program's temporary file.
struct memory_out {
    std::string bytes;
    std::size_t at = 0;
    bool started = false;
};

int write_memory(void* user, const void* bytes, std::size_t count) {
    auto* m = static_cast<memory_out*>(user);
    if (!m->started) fail("a byte written before the start event");
    if (m->bytes.size() < m->at + count) m->bytes.resize(m->at + count);
    std::memcpy(m->bytes.data() + m->at, bytes, count);
    m->at += count;
    return 0;
}

int rewind_memory(void* user) {
    static_cast<memory_out*>(user)->at = 0;
    return 0;
}

struct outcome {
    pcmtaper_status status;
    bool started;
    std::string output;
    std::string text;
};

int on_start(void* user, const pcmtaper_wav_plan*) {
    auto* o = static_cast<outcome*>(user);
    if (o->started) fail("started twice");
    o->started = true;
    return 0;
}

// The program's standard output, from the data by the library's helpers.
void on_remark(void* user, const pcmtaper_remark* remark) {
    char line[PCMTAPER_REMARK_TEXT_MAX];
    pcmtaper_format_remark(remark, line, sizeof line);
    static_cast<outcome*>(user)->text += line;
}

void on_report(void* user, const pcmtaper_block_report* report) {
    char lines[PCMTAPER_REPORT_TEXT_MAX];
    pcmtaper_format_report(report, lines, sizeof lines);
    static_cast<outcome*>(user)->text += lines;
}

outcome convert(const std::uint8_t* data, std::size_t size, bool known_size, unsigned flags, int channel) {
    memory_bytes in{data, size, 0};
    memory_out out;
    outcome o{PCMTAPER_OK, false, {}, {}};
    const pcmtaper_reader reader{sizeof reader, read_memory, &in, known_size ? static_cast<std::int64_t>(size) : -1,
                                 nullptr};
    const pcmtaper_writer writer{sizeof writer, write_memory, rewind_memory, &out};
    pcmtaper_config config;
    pcmtaper_config_init(&config);
    config.flags = flags;
    config.channel = channel;
    config.report = on_report;
    config.report_user = &o;
    pcmtaper_wav_events events{};
    events.struct_size = sizeof events;
    // The writer learns of the start from the outcome it shares a run with.
    struct both {
        outcome* o;
        memory_out* out;
    } pair{&o, &out};
    events.user = &pair;
    events.start = [](void* user, const pcmtaper_wav_plan* plan) {
        auto* p = static_cast<both*>(user);
        p->out->started = true;
        p->o->text += "SAMPLE RATE: " + std::to_string(plan->sample_rate_hz) + "\r\n FRAMES NUM: " +
                      std::to_string(plan->blocks) + "\r\n";
        return on_start(p->o, plan);
    };
    events.remark = [](void* user, const pcmtaper_remark* remark) { on_remark(static_cast<both*>(user)->o, remark); };
    o.status = pcmtaper_convert_wav(&reader, &writer, &config, &events, nullptr);
    o.output = out.bytes;
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > max_input_bytes) return -1;  // not added to the corpus

    // What the header says, for the expectations.
    memory_bytes in{data, size, 0};
    const pcmtaper_reader reader{sizeof reader, read_memory, &in, static_cast<std::int64_t>(size), nullptr};
    pcmtaper_wav_header header{};
    header.struct_size = sizeof header;
    const pcmtaper_status header_status = pcmtaper_wav_read_header(&reader, &header, nullptr);

    for (const unsigned flags : {0u, PCMTAPER_FLAG_ALIGN}) {
        const bool align = flags != 0;
        // The mean of all channels: every file the header walk accepts converts.
        const outcome file = convert(data, size, true, flags, PCMTAPER_CHANNEL_MIX);
        const outcome pipe = convert(data, size, false, flags, PCMTAPER_CHANNEL_MIX);
        // Without a channel choice a file of more channels is refused
        // (NOT_MONO, before the checks that follow the channel count's in the
        // walk); a mono file gives what the mean of its one channel gives.
        const outcome only = convert(data, size, true, flags, PCMTAPER_CHANNEL_ONLY);
        const bool mono = header_status == PCMTAPER_OK && header.channels == 1;
        if (mono && (only.status != file.status || only.output != file.output || only.text != file.text))
            fail("a mono file's one channel and its mean differ");
        if (header_status == PCMTAPER_OK && !mono && only.status != PCMTAPER_ERROR_NOT_MONO)
            fail("a file of more channels without a choice was not refused");
        if (!mono && only.status != header_status && only.status != PCMTAPER_ERROR_NOT_MONO)
            fail("a file of more channels without a choice gave another status");
        if (!mono && only.started) fail("a refused file of more channels started the output");
        for (const outcome* o : {&file, &pipe}) {
            if (header_status != PCMTAPER_OK) {
                if (o->status != header_status) fail("a refused header gave another status");
                if (o->started) fail("a refused header started the output");
                continue;
            }
            if (o->status != PCMTAPER_OK) fail("an accepted header did not convert");
        }
        if (header_status != PCMTAPER_OK) {
            if (file.text != pipe.text) fail("a file and a pipe gave different refusals");
            continue;
        }
        const std::uint64_t present = size - header.header_bytes;
        const std::uint64_t usable = header.data_size_bytes < present ? header.data_size_bytes : present;
        const std::uint64_t frame_bytes = std::uint64_t{header.channels} * (header.bits_per_sample / 8);
        const std::uint64_t samples = align ? usable / frame_bytes : usable / (32 * frame_bytes) * 32;
        const std::size_t pad = samples % 2;
        if (file.output.size() != riff_header_len + samples + pad)
            fail("the output length is not that of the samples present");
        unsigned char expected[max_output_header_len];
        output_header_bytes(output_layout::riff, samples, header.sample_rate_hz, expected);
        if (std::memcmp(file.output.data(), expected, riff_header_len) != 0)
            fail("the output header does not state what was written");
        for (std::size_t i = riff_header_len; i < riff_header_len + samples; ++i) {
            const auto b = static_cast<unsigned char>(file.output[i]);
            if (b < 2 || b > 254) fail("an output byte outside 2..254");
            if (!align && i - riff_header_len < silent_samples && b != 128)
                fail("the first 224 output samples are not silence");
        }
        if (pad != 0 && file.output.back() != '\0') fail("the pad byte is not zero");
        // A stream ends at its last whole block; the bytes it converts are the file's.
        if (pipe.output.size() > file.output.size() || pipe.output.size() < riff_header_len)
            fail("a pipe wrote more than the file");
        if (!align && std::memcmp(pipe.output.data() + riff_header_len, file.output.data() + riff_header_len,
                                  pipe.output.size() - riff_header_len) != 0)
            fail("a file and a pipe gave different bytes");
        if (!align && usable == header.data_size_bytes && file.output != pipe.output)
            fail("a file and a pipe holding the declared size gave different bytes");
        if (align && usable == header.data_size_bytes && file.output != pipe.output)
            fail("a file and a pipe gave different bytes with --align");
        if (usable == header.data_size_bytes && file.text != pipe.text)
            fail("a file and a pipe printed different texts");
    }
    return 0;
}
