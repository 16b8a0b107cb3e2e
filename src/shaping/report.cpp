// The five-line report of a block: the taps (times 1000), the band weights as
// levels in dB, the taps' gain per band in dB, and the first and last step
// exponent of every fine-search pass (plus 10).
#include <climits>
#include <cmath>
#include <cstdio>

#include "internal/math_calls.h"
#include "shaping/shaping.h"

namespace pcmtaper {
namespace {

constexpr double tap_print_scale = 1000.0;
constexpr double db_per_decade = 20.0;   // amplitude ratio to dB
constexpr int step_print_offset = 10;

}  // namespace

int report_integer(double value) {
    if (std::isnan(value)) return 0;
    // Every double below 2^31 truncates into range; INT_MIN - 1 is exact in a double.
    if (value >= 2147483648.0) return INT_MAX;
    if (value <= static_cast<double>(INT_MIN) - 1.0) return INT_MIN;
    return static_cast<int>(value);
}

std::string format_block_report(const block_report& report) {
    double re[response_len];
    double im[response_len];
    tap_response(report.taps, max_taps, re, im);

    std::string text;
    char number[16];
    auto put = [&](int value) {
        std::snprintf(number, sizeof number, "%d ", value);
        text += number;
    };
    text += "feedback:";
    for (int i = 0; i < max_taps; ++i) put(report_integer(report.taps[i] * tap_print_scale));
    text += "\r\n masking:";
    for (int i = 0; i < band_count; ++i) put(report_integer(-db_per_decade * math_log10(report.band_weight[i])));
    text += "\r\n   noise:";
    for (int i = 0; i < band_count; ++i)
        put(report_integer(db_per_decade * math_log10(std::sqrt(re[i] * re[i] + im[i] * im[i]))));
    text += "\r\n   start:";
    for (int p = 0; p < fine_pass_max; ++p) put(report.steps.lowest[p] + step_print_offset);
    text += "\r\n     end:";
    for (int p = 0; p < fine_pass_max; ++p) put(report.steps.highest[p] + step_print_offset);
    text += "\r\n";
    return text;
}

void print_block_report(const block_report& report) { std::fputs(format_block_report(report).c_str(), stdout); }

}  // namespace pcmtaper
