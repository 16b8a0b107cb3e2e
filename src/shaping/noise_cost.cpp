// Weighted noise cost of a set of error-feedback taps: the magnitude response
// of the taps at 16 frequencies 0 .. 15/32 of the sample rate, each floored at
// 0.6 and weighted by the band weight of its band.
#include <cmath>

#include "dsp/fft.h"
#include "shaping/shaping.h"

namespace {

constexpr int response_points = 32;  // taps are zero-padded to this transform length
constexpr int weighted_bins = 16;    // bins 0..15; the Nyquist bin and the mirror are unused
constexpr double magnitude_floor_sq = 0.36;  // squared floor: every bin counts at least 0.6

}  // namespace

void noise_magnitudes(const double* taps, int count, double* magnitudes) {
    double re[response_points];
    double im[response_points];
    for (int i = 0; i < count; ++i) {
        re[i] = taps[i];
        im[i] = 0.0;
    }
    for (int i = count; i < response_points; ++i) {
        re[i] = 0.0;
        im[i] = 0.0;
    }
    fft1(re, im, response_points, 0, 0);
    for (int i = 0; i < weighted_bins; ++i)
        magnitudes[i] = std::sqrt(re[i] * re[i] + im[i] * im[i] + magnitude_floor_sq);
}

double noise_cost(const double* weights, const double* taps, int count) {
    double magnitudes[weighted_bins];
    noise_magnitudes(taps, count, magnitudes);
    double sum = 0.0;
    for (int i = 0; i < weighted_bins; ++i) sum = sum + weights[i] * magnitudes[i];
    return sum;
}
