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
constexpr int dither_draws = 32768;        // dither_rand returns 0..32767

}  // namespace

int dither_rand(std::uint32_t* generator_state) {
    *generator_state = *generator_state * lcg_multiplier + lcg_increment;
    return static_cast<int>((*generator_state >> 16) & 0x7FFFu);
}

long double dither_offset(int r) {
    const long double inv32767 = 1.0L / 32767.0L;  // rounded to 64 significant bits
    // The atan argument is rounded to a double; the scaling is carried with a
    // 64-bit significand (the division by 256 is exact).
    const double a = std::atan(static_cast<double>(static_cast<long double>(4 * r - 2) * inv32767));
    return static_cast<long double>(a) * static_cast<long double>(dither_gain) / 256.0L;
}

double add_dither(double target, int r) {
    return static_cast<double>(static_cast<long double>(target) + dither_offset(r));
}

namespace {

// The offsets of all 32768 draws, from the same atan calls, once: 512 KiB.
const long double* dither_offsets() {
    static const long double* const table = [] {
        static long double offsets[dither_draws];
        for (int r = 0; r < dither_draws; ++r) offsets[r] = dither_offset(r);
        return offsets;
    }();
    return table;
}

}  // namespace

int quantise_to_step(double v) {
    const long double shifted = 256.0L * static_cast<long double>(v) + 128.5L;
    // Outside [2, 255) the step count is past a clamp (no conversion of an
    // out-of-range value); not a number, which finite taps never produce, is 0.
    if (!(shifted >= 2.0L)) return shifted != shifted ? 0 : -step_limit;
    if (shifted >= 255.0L) return step_limit;
    return static_cast<int>(shifted) - zero_level_byte;
}

namespace {

// The per-sample loop; `offset_of_draw` gives dither_offset(r), computed or
// looked up.
template <class dither_offset_fn>
inline void quantise_samples(shaper_state* state, dither_offset_fn offset_of_draw) {
    const int order = state->order;
    double* err = state->err_state;
    const double* coef = state->coef;
    for (int j = 0; j < block_len; ++j) {
        const double target = state->history[j] - err[1];
        const int r = dither_rand(&state->dither_state);
        const double v = static_cast<double>(static_cast<long double>(target) + offset_of_draw(r));
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

}  // namespace

void quantise_block_plain(shaper_state* state) { quantise_samples(state, dither_offset); }

// SSE3 brings a truncating conversion from extended precision that needs no
// change of the rounding mode; the bytes are the same either way.
__attribute__((target_clones("sse3", "default")))
void quantise_block_fast(shaper_state* state) {
    const long double* offsets = dither_offsets();
    quantise_samples(state, [offsets](int r) { return offsets[r]; });
}

void quantise_block(shaper_state* state) {
#ifdef PCMTAPER_PLAIN
    quantise_block_plain(state);
#else
    quantise_block_fast(state);
#endif
}
