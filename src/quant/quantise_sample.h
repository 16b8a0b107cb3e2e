// The quantiser's work on one sample, for code that interleaves it with other
// work (and for quantise_block). Static and always inlined, so each caller
// compiles it for its own instruction set.
#pragma once

#include <cmath>
#include <cstdint>

#include "quant/quant.h"

namespace quantiser {

inline constexpr int step_limit = 126;           // largest step count, either sign
inline constexpr int zero_level_byte = 128;      // unsigned 8-bit PCM silence
inline constexpr double steps_per_unit = 256.0;  // output steps per unit of sample scale
inline constexpr double error_limit = 0.05;      // fed-back error bound, sample units (12.8 steps)
inline constexpr int dither_draws = 32768;       // dither_rand returns 0..32767

// The dither of every draw, from the same atan calls as dither_offset, once
// (768 KiB): exact, and rounded to a double for quick_step.
struct dither_table {
    long double exact[dither_draws];
    double rounded[dither_draws];
};
const dither_table& dither_offsets();

// The step count of target + dither in double arithmetic, or not_sure when
// it cannot be sure of it.
//
// Why it is right: with S = target + offset exactly, the dithered value of the
// extended-precision sum, v = double(target + offset), and the quick one,
// v' = target + double(offset), both lie within 2^-52 |S| + 2^-52 |offset| of
// S, so for |256 v'| < 1000 (|S| < 4) the two differ by less than 8 * 2^-52
// and 256 v and 256 v' by less than 5e-13. The step count is floor(256 v + 0.5)
// (before the clamp; the extended sum 256 v + 128.5 is exact wherever it is
// near a whole number). So when 256 v' + 0.5 is more than 1e-9 from a whole
// number, both round to the same step. Everything else (about one sample in
// a billion, and values far past the clamp or not numbers) takes the exact
// path. The sum z + 0.5 below errs by at most 2^-53 * 1000.5, far inside the
// margin, so its floor is that of the exact sum.
inline constexpr double quick_range = 1000.0;    // |256 v'| below this, in steps
inline constexpr double boundary_margin = 1e-9;  // of a step, around each rounding boundary
inline constexpr int not_sure = -1000;

__attribute__((always_inline)) static inline int quick_step(double target, double rounded_offset) {
    const double z = (target + rounded_offset) * steps_per_unit;
    if (!(std::fabs(z) < quick_range)) return not_sure;
    const double y = z + 0.5;
    double whole = static_cast<double>(static_cast<int>(y));  // toward zero
    if (whole > y) whole = whole - 1.0;                        // floor
    const double fraction = y - whole;                         // exact
    if (!(fraction > boundary_margin && fraction < 1.0 - boundary_margin)) return not_sure;
    int q = static_cast<int>(whole);
    if (q > step_limit) q = step_limit;
    if (q < -step_limit) q = -step_limit;
    return q;
}

// The clamped step count of target plus the dither of draw r, from the table.
__attribute__((always_inline)) static inline int step_from_table(const dither_table& t, double target, int r) {
    const int q = quick_step(target, t.rounded[r]);
    if (q != not_sure) return q;
    return quantise_to_step(static_cast<double>(static_cast<long double>(target) + t.exact[r]));
}

// One sample: the fed-back error removed, the dither drawn and added, the
// step count clamped, its error clamped and pushed into the delay line
// err[1..order-1] (ascending: each entry takes its upper neighbour's value
// from before this sample). Returns the output byte.
template <class step_fn>
__attribute__((always_inline)) static inline std::uint8_t quantise_sample(
    double sample, double* err, const double* coef, int order, std::uint32_t* dither_state,
    step_fn step_of) {
    const double target = sample - err[1];
    const int q = step_of(target, dither_rand(dither_state));
    double e = target - q / steps_per_unit;
    if (e < -error_limit) e = -error_limit;
    if (e > error_limit) e = error_limit;
    for (int k = 1; k < order; ++k) err[k] = err[k + 1] + e * coef[k];
    return static_cast<std::uint8_t>(q + zero_level_byte);
}

}  // namespace quantiser
