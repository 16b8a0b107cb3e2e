// The levels of a block's report in dB, and what its printed integers are.
#include <climits>
#include <cmath>

#include "internal/math_calls.h"
#include "shaping/shaping.h"

namespace pcmtaper {
namespace {

constexpr double db_per_decade = 20.0;  // amplitude ratio to dB

}  // namespace

int report_integer(double value) {
    if (std::isnan(value)) return 0;
    // Every double below 2^31 truncates into range; INT_MIN - 1 is exact in a double.
    if (value >= 2147483648.0) return INT_MAX;
    if (value <= static_cast<double>(INT_MIN) - 1.0) return INT_MIN;
    return static_cast<int>(value);
}

void report_levels(const block_report& report, double* masking_db, double* noise_db) {
    double re[response_len];
    double im[response_len];
    tap_response(report.taps, max_taps, re, im);
    for (int i = 0; i < band_count; ++i) {
        masking_db[i] = -db_per_decade * math_log10(report.band_weight[i]);
        noise_db[i] = db_per_decade * math_log10(std::sqrt(re[i] * re[i] + im[i] * im[i]));
    }
}

}  // namespace pcmtaper
