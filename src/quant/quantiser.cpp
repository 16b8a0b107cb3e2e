#include <cmath>

#include "model/model.h"
#include "quant/quant.h"

namespace {

constexpr std::uint32_t lcg_multiplier = 22695477u;  // 0x015A4E35
constexpr std::uint32_t lcg_increment = 1u;
constexpr int step_limit = 126;            // largest step count, either sign
constexpr int zero_level_byte = 128;       // unsigned 8-bit PCM silence
constexpr double steps_per_unit = 256.0;   // output steps per unit of sample scale
constexpr double error_limit = 0.05;       // fed-back error bound, sample units (12.8 steps)
constexpr double dither_gain = 0.31;       // 0x3FD3D70A3D70A3D7

}  // namespace

int dither_rand(std::uint32_t* generator_state) {
    *generator_state = *generator_state * lcg_multiplier + lcg_increment;
    return static_cast<int>((*generator_state >> 16) & 0x7FFFu);
}

double add_dither(double target, int r) {
    const long double inv32767 = 1.0L / 32767.0L;  // rounded to 64 significant bits
    // The atan argument is rounded to a double; the scaling and the sum are
    // carried with a 64-bit significand and rounded once.
    const double a = std::atan(static_cast<double>(static_cast<long double>(4 * r - 2) * inv32767));
    return static_cast<double>(static_cast<long double>(target) +
                               static_cast<long double>(a) *
                                   static_cast<long double>(dither_gain) / 256.0L);
}

int quantise_to_step(double v) {
    int q = static_cast<int>(256.0L * static_cast<long double>(v) + 128.5L) - zero_level_byte;
    if (q > step_limit) q = step_limit;
    if (q < -step_limit) q = -step_limit;
    return q;
}

void quantise_block(shaper_state* state) {
    const int order = state->order;
    double* err = state->err_state;
    const double* coef = state->coef;
    for (int j = 0; j < block_len; ++j) {
        const double target = state->history[j] - err[1];
        const int r = dither_rand(&state->dither_state);
        const double v = add_dither(target, r);
        const int q = quantise_to_step(v);
        double e = target - q / steps_per_unit;
        if (e < -error_limit) e = -error_limit;
        if (e > error_limit) e = error_limit;
        // Ascending: each entry takes its upper neighbour's value from before this sample.
        for (int k = 1; k < order; ++k) err[k] = err[k + 1] + e * coef[k];
        state->out_bytes[j] = static_cast<std::uint8_t>(q + zero_level_byte);
    }
    for (int k = 0; k < history_len - block_len; ++k) state->history[k] = state->history[k + block_len];
}
