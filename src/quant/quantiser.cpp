// The quantiser as literal formulas: the reference every kernel level is
// compared with. It shares no code with the vector forms in src/kernels/.
#include "internal/constants.h"
#include "internal/math_calls.h"
#include "quant/quant.h"

namespace pcmtaper {

extended dither_offset(int r, bool zero_dc) {
    // The atan argument is rounded to a double; the scaling is carried in
    // extended precision (the division by 256 is exact). With zero_dc the mean
    // comes off before the division, so that it is subtracted in steps.
    const double a = math_atan(xmath::dither_atan_argument(r));
    if (!zero_dc) return xmath::dither_offset_of_atan(a, dither_gain);
    const extended scaled = xmath::extended_mul(xmath::extended_from_double(a), xmath::extended_from_double(dither_gain));
    return xmath::extended_scale(xmath::extended_add(scaled, xmath::extended_from_double(-dither_mean_steps)), -8);
}

double add_dither(double target, int r, bool zero_dc) {
    return xmath::add_extended_dither(target, dither_offset(r, zero_dc));
}

int quantise_to_step(double v) {
    // Not a number, which finite taps never produce, is 0.
    if (v != v) return 0;
    const extended shifted = xmath::shifted_step_value(v);  // 256 v + 128.5
    // Outside [2, 255) the step count is past a clamp (no conversion of an
    // out-of-range value).
    if (xmath::extended_less(shifted, xmath::extended_from_double(2.0))) return -step_limit;
    if (!xmath::extended_less(shifted, xmath::extended_from_double(255.0))) return step_limit;
    return static_cast<int>(xmath::extended_truncate(shifted)) - zero_level_byte;
}

void quantise_block_reference(const quantiser_job& job) {
    double* err = job.delay_line;
    for (int j = 0; j < block_len; ++j) {
        const double target = job.samples[j] - err[1];
        const int q = quantise_to_step(add_dither(target, dither_rand(job.dither_state), job.zero_dc));
        double e = target - q / steps_per_unit;
        if (e < -error_limit) e = -error_limit;
        if (e > error_limit) e = error_limit;
        for (int k = 1; k < job.order; ++k) err[k] = err[k + 1] + e * job.taps[k];
        job.out_bytes[j] = static_cast<std::uint8_t>(q + zero_level_byte);
    }
}

}  // namespace pcmtaper
