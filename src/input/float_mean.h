// The mean of a frame's float channels on the sample scale, rounded once:
// the same double on every platform, whatever the order or the magnitudes of
// the channels' values.
//
// Usage: double x = float_frame_mean(values, channels);  // values finite
#pragma once

namespace pcmtaper {

// The exact value (values[0] + ... + values[count - 1]) / (2 * count),
// rounded once to the nearest double (ties to even, subnormals included):
// the mean of `count` (1..64) finite float samples, halved onto the sample
// scale. Cheap paths where one IEEE operation is that rounding, else the
// exact accumulator below.
double float_frame_mean(const double* values, int count);

// The same value by the exact fixed-point accumulator alone (what
// float_frame_mean falls back on), for the tests.
double float_frame_mean_exact(const double* values, int count);

}  // namespace pcmtaper
