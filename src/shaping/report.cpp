// The five-line diagnostic report of a block: the taps (times 1000), the band
// weights as levels in dB, the taps' gain per band in dB, and the first and
// last step exponent of every fine-search pass (plus 10).
#include <climits>
#include <cmath>
#include <cstdio>

#include "dsp/fft.h"
#include "model/model.h"
#include "shaping/shaping.h"

namespace {

constexpr int response_points = 32;  // taps are zero-padded to this transform length
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

void print_diagnostic_report(const shaper_state* state) {
    double re[response_points];
    double im[response_points];
    for (int i = 0; i < max_taps; ++i) {
        re[i] = state->coef[i];
        im[i] = 0.0;
    }
    for (int i = max_taps; i < response_points; ++i) {
        re[i] = 0.0;
        im[i] = 0.0;
    }
    fft1(re, im, response_points, 0, 0);

    std::printf("feedback:");
    for (int i = 0; i < max_taps; ++i) std::printf("%d ", report_integer(state->coef[i] * tap_print_scale));
    std::printf("\r\n masking:");
    for (int i = 0; i < band_count; ++i)
        std::printf("%d ", report_integer(-db_per_decade * std::log10(state->band_weight[i])));
    std::printf("\r\n   noise:");
    for (int i = 0; i < band_count; ++i)
        std::printf("%d ", report_integer(db_per_decade * std::log10(std::sqrt(re[i] * re[i] + im[i] * im[i]))));
    std::printf("\r\n   start:");
    for (int p = 0; p < fine_pass_max; ++p) std::printf("%d ", state->step_lo[p] + step_print_offset);
    std::printf("\r\n     end:");
    for (int p = 0; p < fine_pass_max; ++p) std::printf("%d ", state->step_hi[p] + step_print_offset);
    std::printf("\r\n");
}
