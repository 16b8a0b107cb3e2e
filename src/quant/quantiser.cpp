#include <cmath>

#include "model/model.h"
#include "quant/quant.h"
#include "quant/quantise_sample.h"

using namespace quantiser;

namespace {

constexpr double dither_gain = 0.31;  // 0x3FD3D70A3D70A3D7

}  // namespace

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

const dither_table& quantiser::dither_offsets() {
    static const dither_table* const table = [] {
        static dither_table t;
        for (int r = 0; r < dither_draws; ++r) {
            t.exact[r] = dither_offset(r);
            t.rounded[r] = static_cast<double>(t.exact[r]);
        }
        return &t;
    }();
    return *table;
}

int quantise_to_step(double v) {
    const long double shifted = 256.0L * static_cast<long double>(v) + 128.5L;
    // Outside [2, 255) the step count is past a clamp (no conversion of an
    // out-of-range value); not a number, which finite taps never produce, is 0.
    if (!(shifted >= 2.0L)) return shifted != shifted ? 0 : -step_limit;
    if (shifted >= 255.0L) return step_limit;
    return static_cast<int>(shifted) - zero_level_byte;
}

namespace {

template <class step_fn>
inline void quantise_samples(shaper_state* state, step_fn step_of) {
    for (int j = 0; j < block_len; ++j)
        state->out_bytes[j] = quantise_sample(state->history[j], state->err_state, state->coef,
                                              state->order, &state->dither_state, step_of);
    for (int k = 0; k < history_len - block_len; ++k) state->history[k] = state->history[k + block_len];
}

}  // namespace

void quantise_block_plain(shaper_state* state) {
    quantise_samples(state, [](double target, int r) { return quantise_to_step(add_dither(target, r)); });
}

namespace {

// SSE3 brings a truncating conversion from extended precision that needs no
// change of the rounding mode, for the rare exact path; the bytes are the
// same either way. (Kept local: a function with clones is called through a
// plain one, which every compiler links alike.)
__attribute__((target_clones("sse3", "default")))
void quantise_from_table(shaper_state* state) {
    const dither_table& offsets = dither_offsets();
    quantise_samples(state, [&offsets](double target, int r) { return step_from_table(offsets, target, r); });
}

}  // namespace

void quantise_block_fast(shaper_state* state) { quantise_from_table(state); }

void quantise_block(shaper_state* state) {
#ifdef PCMTAPER_PLAIN
    quantise_block_plain(state);
#else
    quantise_block_fast(state);
#endif
}
