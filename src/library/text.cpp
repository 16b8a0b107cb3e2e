// The program's lines, made from the data the library hands over: the five
// lines of a block report and the line of a remark, each as the program
// prints it ("\r\n" included). Nothing else in the library makes text.
#include <cstdio>
#include <cstring>

#include "internal/math_calls.h"
#include "library/versioned.h"
#include "shaping/shaping.h"

namespace {

constexpr double tap_print_scale = 1000.0;  // the feedback line shows taps in thousandths
constexpr int step_print_offset = 10;       // the start and end lines show exponents plus 10
// What the start and end lines show for a pass without steps: the search's
// reset values (above and below every exponent), plus 10.
constexpr int no_step_start = 42;
constexpr int no_step_end = 10;

// Copies the whole text, or as much as fits with its NUL, into the caller's
// buffer; returns the whole length, as snprintf does.
std::size_t hand_over_text(const char* whole, std::size_t length, char* text, std::size_t capacity) {
    if (text != nullptr && capacity > 0) {
        const std::size_t n = length < capacity ? length : capacity - 1;
        std::memcpy(text, whole, n);
        text[n] = '\0';
    }
    return length;
}

// The refusal's line for the status it ends the conversion with.
const char* refusal_text(int status) {
    switch (status) {
        case PCMTAPER_ERROR_NOT_LINEAR_PCM: return "This is not a linear PCM.\r\n";
        case PCMTAPER_ERROR_NOT_MONO: return "This is not a Monaural sound(Stereo, Surround, etc.).\r\n";
        case PCMTAPER_ERROR_NOT_16_BIT: return "This is not a 16bit sound.\r\n";
        case PCMTAPER_ERROR_BAD_SAMPLE_RATE: return "This sample rate is not supported.\r\n";
        case PCMTAPER_ERROR_FMT_NOT_FOUND: return "The fmt chunk was not found.\r\n";
        case PCMTAPER_ERROR_DATA_NOT_FOUND: return "The data chunk was not found.\r\n";
        case PCMTAPER_ERROR_HEADER_INCOMPLETE: return "The file ends inside the header.\r\n";
        default: return nullptr;
    }
}

// The clipping remark's line: how many samples, the peak over full scale in
// dB to a tenth, and the whole dB of gain that brings it back. The number is
// made in integers from the correctly rounded log10, so that the line is the
// same on every platform (a C library's %f of the same double is not).
int clipped_line(const pcmtaper_remark& r, char* line, std::size_t size) {
    const auto count = static_cast<unsigned long long>(r.samples_clipped);
    const char* samples = count == 1 ? "sample was" : "samples were";
    if (!(r.peak - r.peak == 0.0))  // an infinity (or a NaN no conversion makes)
        return std::snprintf(line, size, "%llu %s clipped; the input holds infinities.\r\n", count, samples);
    double over_db = r.peak > 1.0 ? 20.0 * pcmtaper::math_log10(r.peak) : 0.0;
    if (over_db > 1e6) over_db = 1e6;  // a peak no file holds; keeps the integers below in range
    const auto tenths = static_cast<long long>(over_db * 10.0 + 0.5);
    auto gain_db = static_cast<long long>(over_db);
    if (static_cast<double>(gain_db) < over_db) ++gain_db;
    if (gain_db == 0) gain_db = 1;
    return std::snprintf(line, size,
                         "%llu %s clipped (peak %lld.%lld dB over full scale); lower the level with --gain -%lld, "
                         "or use --normalize.\r\n",
                         count, samples, tenths / 10, tenths % 10, gain_db);
}

// The remark's line in `line` (PCMTAPER_REMARK_TEXT_MAX bytes); its length,
// or -1 for a remark this version does not know.
int remark_line(const pcmtaper_remark& r, char* line) {
    constexpr std::size_t size = PCMTAPER_REMARK_TEXT_MAX;
    char name[PCMTAPER_CHUNK_NAME_MAX];
    std::memcpy(name, r.chunk_name, sizeof name);
    name[sizeof name - 1] = '\0';  // whatever the caller's bytes hold
    const auto number = [](std::uint64_t n) { return static_cast<unsigned long long>(n); };
    const auto fixed = [&](const char* text) { return std::snprintf(line, size, "%s", text); };
    // The code and the status are read as the ints they are stored as: a
    // value outside the enum is a later version's.
    int code, status;
    static_assert(sizeof code == sizeof r.code && sizeof status == sizeof r.status);
    std::memcpy(&code, &r.code, sizeof code);
    std::memcpy(&status, &r.status, sizeof status);
    switch (code) {
        case PCMTAPER_REMARK_RIFF_ID: return std::snprintf(line, size, "RIFF != %s\r\n", name);
        case PCMTAPER_REMARK_WAVE_ID: return std::snprintf(line, size, "WAVE != %s\r\n", name);
        case PCMTAPER_REMARK_FMT_SKIPPED: return std::snprintf(line, size, "fmt  != %s\r\n", name);
        case PCMTAPER_REMARK_DATA_SKIPPED: return std::snprintf(line, size, "data!=%s\r\n", name);
        case PCMTAPER_REMARK_REFUSAL: {
            const char* text = refusal_text(status);
            return text != nullptr ? fixed(text) : -1;
        }
        case PCMTAPER_REMARK_DATA_SHORT:
            return std::snprintf(line, size, "The data chunk claims %llu bytes; the file holds %llu after the header.\r\n",
                                 number(r.data_bytes_claimed), number(r.data_bytes_held));
        case PCMTAPER_REMARK_SIZE_WRAPPED:
            return std::snprintf(line, size,
                                 "The data chunk claims %llu bytes; the file holds %llu after the header. "
                                 "The size may have wrapped past 4 GiB.\r\n",
                                 number(r.data_bytes_claimed), number(r.data_bytes_held));
        case PCMTAPER_REMARK_INPUT_ENDED:
            return std::snprintf(line, size, "The input ended after %llu of %llu frames.\r\n", number(r.blocks_read),
                                 number(r.blocks_declared));
        case PCMTAPER_REMARK_HEADER_NOT_REWRITABLE:
            return fixed("The output header states more samples than were written.\r\n");
        case PCMTAPER_REMARK_READ_ERROR: return fixed("Cannot read the input file.\r\n");
        case PCMTAPER_REMARK_WRITE_ERROR: return fixed("Cannot write the output file.\r\n");
        case PCMTAPER_REMARK_METADATA_DUPLICATE:
            return std::snprintf(line, size, "Another %s chunk is left out; the first is kept.\r\n", name);
        case PCMTAPER_REMARK_METADATA_CLAMPED:
            return std::snprintf(line, size,
                                 r.positions_clamped == 1
                                     ? "The %s chunk has %llu position past the last output sample; it is set to "
                                       "that sample.\r\n"
                                     : "The %s chunk has %llu positions past the last output sample; they are set "
                                       "to that sample.\r\n",
                                 name, number(r.positions_clamped));
        case PCMTAPER_REMARK_METADATA_MALFORMED:
            return std::snprintf(line, size, "The %s chunk is malformed; it is left out.\r\n", name);
        case PCMTAPER_REMARK_METADATA_TOO_LARGE:
            return std::snprintf(line, size, "The %s chunk of %llu bytes is too large to keep; it is left out.\r\n",
                                 name, number(r.chunk_bytes));
        case PCMTAPER_REMARK_METADATA_CUT_OFF:
            return std::snprintf(line, size, "The %s chunk is cut off by the end of the file; it is left out.\r\n",
                                 name);
        case PCMTAPER_REMARK_CLIPPED:
            return PCMTAPER_HAS_FIELD(&r, pcmtaper_remark, peak) ? clipped_line(r, line, size) : -1;
        default: return -1;
    }
}

}  // namespace

extern "C" {

size_t pcmtaper_format_report(const pcmtaper_block_report* report, char* text, size_t capacity) {
    if (report == nullptr || check_struct_size(nullptr, report->struct_size, block_report_first_size,
                                               sizeof *report) != PCMTAPER_OK)
        return hand_over_text("", 0, text, capacity);
    char buffer[PCMTAPER_REPORT_TEXT_MAX];
    std::size_t at = 0;
    const auto put = [&](const char* words) {
        const std::size_t n = std::strlen(words);
        std::memcpy(buffer + at, words, n);
        at += n;
    };
    const auto number = [&](int value) {
        at += static_cast<std::size_t>(std::snprintf(buffer + at, 13, "%d ", value));
    };
    // Each number takes at most 12 bytes ("-2147483648 "): the lines fit.
    static_assert(9 * 4 + 12 * (16 * 3 + 22 * 2) + 2 * 5 < PCMTAPER_REPORT_TEXT_MAX);
    put("feedback:");
    for (double tap : report->taps) number(pcmtaper::report_integer(tap * tap_print_scale));
    put("\r\n masking:");
    for (double level : report->masking_level_db) number(pcmtaper::report_integer(level));
    put("\r\n   noise:");
    for (double gain : report->noise_gain_db) number(pcmtaper::report_integer(gain));
    put("\r\n   start:");
    for (int lowest : report->step_lowest)
        number(lowest == PCMTAPER_REPORT_NO_STEP ? no_step_start : lowest + step_print_offset);
    put("\r\n     end:");
    for (int highest : report->step_highest)
        number(highest == PCMTAPER_REPORT_NO_STEP ? no_step_end : highest + step_print_offset);
    put("\r\n");
    return hand_over_text(buffer, at, text, capacity);
}

size_t pcmtaper_format_remark(const pcmtaper_remark* remark, char* text, size_t capacity) {
    if (remark == nullptr ||
        check_struct_size(nullptr, remark->struct_size, remark_first_size, sizeof *remark) != PCMTAPER_OK)
        return hand_over_text("", 0, text, capacity);
    char line[PCMTAPER_REMARK_TEXT_MAX];
    const int length = remark_line(*remark, line);
    if (length < 0) return hand_over_text("", 0, text, capacity);
    // A line longer than the buffer (no remark of this version's) is cut.
    const std::size_t whole = static_cast<std::size_t>(length) < sizeof line ? static_cast<std::size_t>(length)
                                                                              : sizeof line - 1;
    return hand_over_text(line, whole, text, capacity);
}

}  // extern "C"
