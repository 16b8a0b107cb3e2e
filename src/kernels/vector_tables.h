// Tables of the vector stages, filled once at start-up: the analysis window
// and the dither of every draw. They are filled by code of their own from the
// same formulas as the reference's, so that a fault in either shows when the
// two are compared.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "internal/constants.h"
#include "internal/math_calls.h"
#include "quant/quant.h"

namespace pcmtaper {

// w[i] = sin((i + 0.5) * window_pi / 256); the window applied is w[i] squared,
// as two products.
struct window_table {
    alignas(64) double w[history_len];
};
const window_table& analysis_window();

// The dither of every draw: exact, and rounded to a double for the quick
// rounding of the quantiser. A draw's entry is filled on its first use: a
// short file draws few of the 32768, and each correctly rounded atan costs
// about a tenth of a microsecond. Every thread may fill an entry; the value
// is the same whoever computes it, and the first to claim it publishes it:
// `exact` is written once before `rounded_bits` is stored (release), and read
// only after `rounded_bits` was seen filled (acquire). The rounded offset is
// stored as its bits XOR those of a quiet NaN, so that the zero-initialised
// storage of a static table reads as NaN (not filled), on which the quick
// rounding never decides. `rounded_bits` is read and written only with the
// compiler's atomic built-ins, which call nothing: the kernel levels' files
// read it, and a function of the C++ library they called would be compiled
// with their instruction sets (see rounded_dither).
struct dither_table {
    extended exact[dither_draws]{};
    std::uint64_t rounded_bits[dither_draws]{};
    std::atomic<bool> claimed[dither_draws];
    static constexpr std::uint64_t unfilled_bits = 0x7FF8000000000000ull;  // a quiet NaN
};

// Each file that includes these has its own copy (static): a kernel level's
// file compiles them with its own instruction set, and the linker must not
// take one level's copy for another's, as it may for an inline function
// that an unoptimised build leaves out of line.
//
// The bits of a double and back, by copying (std::bit_cast is missing from
// the C++ library of some toolchains that build this, Emscripten's).
static inline double double_of_bits(std::uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}
static inline std::uint64_t bits_of_double(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}
// Draw r's dither rounded to a double, or a NaN while its entry is not filled.
static inline double rounded_dither(const dither_table& t, int r) {
    return double_of_bits(__atomic_load_n(&t.rounded_bits[r], __ATOMIC_ACQUIRE) ^ dither_table::unfilled_bits);
}
// The table of the plain dither, or of the one with its mean taken off;
// static storage, filled as draws are made.
dither_table& dither_offsets(bool zero_dc);
// Computes draw r's exact dither, publishes it in `table` unless another
// thread did, and returns it.
extended fill_dither_entry(dither_table* table, int r, bool zero_dc);

}  // namespace pcmtaper
