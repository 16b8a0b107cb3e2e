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

// The offsets of all 32768 draws, from the same atan calls, once (768 KiB):
// exact, and rounded to a double for the quick rounding below.
struct dither_table {
    long double exact[dither_draws];
    double rounded[dither_draws];
};

const dither_table& dither_offsets() {
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

// The step count of target + dither in double arithmetic, or -1000 when it
// cannot be sure of it.
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
constexpr double quick_range = 1000.0;        // |256 v'| below this, in steps
constexpr double boundary_margin = 1e-9;      // of a step, around each rounding boundary
constexpr int not_sure = -1000;

inline int quick_step(double target, double rounded_offset) {
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

// The per-sample loop; `step_of(target, r)` gives the clamped step count of
// target plus the dither of draw r.
template <class step_fn>
inline void quantise_samples(shaper_state* state, step_fn step_of) {
    const int order = state->order;
    double* err = state->err_state;
    const double* coef = state->coef;
    for (int j = 0; j < block_len; ++j) {
        const double target = state->history[j] - err[1];
        const int q = step_of(target, dither_rand(&state->dither_state));
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

void quantise_block_plain(shaper_state* state) {
    quantise_samples(state, [](double target, int r) { return quantise_to_step(add_dither(target, r)); });
}

// SSE3 brings a truncating conversion from extended precision that needs no
// change of the rounding mode, for the rare exact path; the bytes are the
// same either way.
__attribute__((target_clones("sse3", "default")))
void quantise_block_fast(shaper_state* state) {
    const dither_table& offsets = dither_offsets();
    quantise_samples(state, [&offsets](double target, int r) {
        const int q = quick_step(target, offsets.rounded[r]);
        if (q != not_sure) return q;
        return quantise_to_step(static_cast<double>(static_cast<long double>(target) + offsets.exact[r]));
    });
}

void quantise_block(shaper_state* state) {
#ifdef PCMTAPER_PLAIN
    quantise_block_plain(state);
#else
    quantise_block_fast(state);
#endif
}
