// libFuzzer target: the input header walk on arbitrary bytes.
//
// Besides crashes and sanitizer reports it checks what the walk promises:
// an accepted header has a usable sample rate and leaves the stream inside the
// bytes given; every message is one "\r\n"-terminated line; a refusal ends with
// exactly one refusal text, and an accepted header prints only remarks.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wav/wav.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_header: %s\n", what);
    std::abort();
}

// The fewest remarks that `printed[0, end)` splits into, or -1 if it does not
// split into remarks at all. A remark is a fixed prefix, the id as text (up to
// 4 bytes, none of them zero, "\r\n" possible among them) and "\r\n".
int remark_count(const std::string& printed, std::size_t end) {
    std::vector<int> fewest(end + 1, -1);
    fewest[0] = 0;
    for (std::size_t at = 0; at < end; ++at) {
        if (fewest[at] < 0) continue;
        for (const char* prefix : {"RIFF != ", "WAVE != ", "fmt  != ", "data!="}) {
            const std::size_t n = std::strlen(prefix);
            if (printed.compare(at, n, prefix) != 0) continue;
            // An id is up to 4 bytes, each shown as itself or as \xNN.
            for (std::size_t id_len = 0; id_len <= 16; ++id_len) {
                const std::size_t id_end = at + n + id_len;
                if (id_end + 2 > end) break;
                if (id_len > 0 && printed[id_end - 1] == '\0') break;
                if (printed.compare(id_end, 2, "\r\n") != 0) continue;
                int& next = fewest[id_end + 2];
                if (next < 0 || next > fewest[at] + 1) next = fewest[at] + 1;
            }
        }
    }
    return fewest[end];
}

const char* refusal_text(header_status s) {
    switch (s) {
        case header_status::ok: return nullptr;
        case header_status::not_linear_pcm: return "This is not a linear PCM.\r\n";
        case header_status::not_mono: return "This is not a Monaural sound(Stereo, Surround, etc.).\r\n";
        case header_status::not_16_bit: return "This is not a 16bit sound.\r\n";
        case header_status::bad_sample_rate: return "This sample rate is not supported.\r\n";
        case header_status::fmt_not_found: return "The fmt chunk was not found.\r\n";
        case header_status::data_not_found: return "The data chunk was not found.\r\n";
        case header_status::ends_inside_header: return "The file ends inside the header.\r\n";
        case header_status::read_error: return "Cannot read the input file.\r\n";
    }
    fail("unknown status");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    memory_bytes in{data, size, 0};
    const pcmtaper_reader reader{sizeof reader, read_memory, &in, static_cast<std::int64_t>(size), nullptr};
    byte_source source{&reader};
    wav_input_header header;
    const header_status status = read_input_header(&source, &header);
    const long position = static_cast<long>(in.at);
    std::string printed;
    for (const pcmtaper_remark& r : header.remarks) {
        if (std::memchr(r.chunk_name, '\0', sizeof r.chunk_name) == nullptr) fail("a chunk name without its end");
        char line[PCMTAPER_REMARK_TEXT_MAX];
        const std::size_t length = pcmtaper_format_remark(&r, line, sizeof line);
        if (length == 0 || length >= sizeof line) fail("a remark without its line");
        printed += line;
    }
    if (header.header_bytes != in.at) fail("the walk miscounted the bytes it read");

    // At most the two id remarks and one remark per chunk of the limit.
    constexpr int most_remarks = 2 + chunk_search_limit;
    if (status == header_status::ok) {
        const int remarks = remark_count(printed, printed.size());
        if (remarks < 0) fail("an accepted header printed more than remarks");
        if (remarks > most_remarks) fail("too many remarks");
        if (header.sample_rate_hz == 0 || header.sample_rate_hz > 0x7FFFFFFFu)
            fail("an accepted header has an unusable sample rate");
        if (position < 20 + 8 || static_cast<std::size_t>(position) > size)
            fail("the walk stopped outside the header it accepted");
    } else {
        const std::string refusal = refusal_text(status);
        if (printed.size() < refusal.size() ||
            printed.compare(printed.size() - refusal.size(), refusal.size(), refusal) != 0)
            fail("a refusal without its message");
        const int remarks = remark_count(printed, printed.size() - refusal.size());
        if (remarks < 0) fail("a refusal printed more than remarks before it");
        if (remarks > most_remarks) fail("too many remarks");
    }
    return 0;
}
