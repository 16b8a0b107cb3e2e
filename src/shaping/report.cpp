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

void print_block_report(const block_report& report) {
    double re[response_len];
    double im[response_len];
    tap_response(report.taps, max_taps, re, im);

    std::printf("feedback:");
    for (int i = 0; i < max_taps; ++i) std::printf("%d ", report_integer(report.taps[i] * tap_print_scale));
    std::printf("\r\n masking:");
    for (int i = 0; i < band_count; ++i)
        std::printf("%d ", report_integer(-db_per_decade * math_log10(report.band_weight[i])));
    std::printf("\r\n   noise:");
    for (int i = 0; i < band_count; ++i)
        std::printf("%d ", report_integer(db_per_decade * math_log10(std::sqrt(re[i] * re[i] + im[i] * im[i]))));
    std::printf("\r\n   start:");
    for (int p = 0; p < fine_pass_max; ++p) std::printf("%d ", report.steps.lowest[p] + step_print_offset);
    std::printf("\r\n     end:");
    for (int p = 0; p < fine_pass_max; ++p) std::printf("%d ", report.steps.highest[p] + step_print_offset);
    std::printf("\r\n");
}

}  // namespace pcmtaper
