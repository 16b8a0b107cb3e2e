// The numbers of a block's report: the taps (times 1000), the band weights as
// levels in dB, the taps' gain per band in dB, and the first and last step
// exponent of every fine-search pass (plus 10).
#include <climits>
#include <cmath>

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

void report_numbers(const block_report& report, printed_report* numbers) {
    double re[response_len];
    double im[response_len];
    tap_response(report.taps, max_taps, re, im);
    for (int i = 0; i < max_taps; ++i) numbers->feedback[i] = report_integer(report.taps[i] * tap_print_scale);
    for (int i = 0; i < band_count; ++i) {
        numbers->masking[i] = report_integer(-db_per_decade * math_log10(report.band_weight[i]));
        numbers->noise[i] = report_integer(db_per_decade * math_log10(std::sqrt(re[i] * re[i] + im[i] * im[i])));
    }
    for (int p = 0; p < fine_pass_max; ++p) {
        numbers->step_start[p] = report.steps.lowest[p] + step_print_offset;
        numbers->step_end[p] = report.steps.highest[p] + step_print_offset;
    }
}

}  // namespace pcmtaper
