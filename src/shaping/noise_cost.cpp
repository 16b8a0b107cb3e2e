// Weighted noise cost of a set of error-feedback taps, as literal formulas:
// the magnitude response of the taps at 16 frequencies 0 .. 15/32 of the
// sample rate, each floored at 0.6 and weighted by the band weight of its band.
#include <cmath>

#include "dsp/fft.h"
#include "shaping/shaping.h"

namespace pcmtaper {
namespace {

constexpr double magnitude_floor_sq = 0.36;  // squared floor: every bin counts at least 0.6

}  // namespace

void tap_response(const double* taps, int count, double* re, double* im) {
    for (int i = 0; i < count; ++i) {
        re[i] = taps[i];
        im[i] = 0.0;
    }
    for (int i = count; i < response_len; ++i) {
        re[i] = 0.0;
        im[i] = 0.0;
    }
    fft1(re, im, response_len, 0, 0);
}

void noise_magnitudes(const double* taps, int count, double* magnitudes) {
    double re[response_len];
    double im[response_len];
    tap_response(taps, count, re, im);
    for (int i = 0; i < weighted_bins; ++i)
        magnitudes[i] = std::sqrt(re[i] * re[i] + im[i] * im[i] + magnitude_floor_sq);
}

double weighted_sum(const double* weights, const double* factors) {
    double sum = 0.0;
    for (int i = 0; i < weighted_bins; ++i) sum = sum + weights[i] * factors[i];
    return sum;
}

double noise_cost(const double* weights, const double* taps, int count) {
    double magnitudes[weighted_bins];
    noise_magnitudes(taps, count, magnitudes);
    return weighted_sum(weights, magnitudes);
}

}  // namespace pcmtaper
