// The quantiser as literal formulas: the reference every kernel level is
// compared with. It shares no code with the vector forms in src/kernels/.
#include "internal/constants.h"
#include "internal/math_calls.h"
#include "quant/quant.h"

namespace pcmtaper {

extended dither_offset(int r) {
    const extended inv32767 = 1.0L / 32767.0L;  // rounded to 64 significant bits
    // The atan argument is rounded to a double; the scaling is carried in
    // extended precision (the division by 256 is exact).
    const double a = math_atan(static_cast<double>(static_cast<extended>(4 * r - 2) * inv32767));
    return static_cast<extended>(a) * static_cast<extended>(dither_gain) / 256.0L;
}

double add_dither(double target, int r) {
    return static_cast<double>(static_cast<extended>(target) + dither_offset(r));
}

int quantise_to_step(double v) {
    const extended shifted = 256.0L * static_cast<extended>(v) + 128.5L;
    // Outside [2, 255) the step count is past a clamp (no conversion of an
    // out-of-range value); not a number, which finite taps never produce, is 0.
    if (!(shifted >= 2.0L)) return shifted != shifted ? 0 : -step_limit;
    if (shifted >= 255.0L) return step_limit;
    return static_cast<int>(shifted) - zero_level_byte;
}

void quantise_block_reference(const quantiser_job& job) {
    double* err = job.delay_line;
    for (int j = 0; j < block_len; ++j) {
        const double target = job.samples[j] - err[1];
        const int q = quantise_to_step(add_dither(target, dither_rand(job.dither_state)));
        double e = target - q / steps_per_unit;
        if (e < -error_limit) e = -error_limit;
        if (e > error_limit) e = error_limit;
        for (int k = 1; k < job.order; ++k) err[k] = err[k + 1] + e * job.taps[k];
        job.out_bytes[j] = static_cast<std::uint8_t>(q + zero_level_byte);
    }
}

}  // namespace pcmtaper
