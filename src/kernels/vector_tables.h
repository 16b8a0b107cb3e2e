// Tables of the vector stages, filled once at start-up: the analysis window
// and the dither of every draw. They are filled by code of their own from the
// same formulas as the reference's, so that a fault in either shows when the
// two are compared.
#pragma once

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

// The dither of every draw (768 KiB): exact, and rounded to a double for the
// quick rounding of the quantiser.
struct dither_table {
    extended exact[dither_draws];
    double rounded[dither_draws];
};
const dither_table& dither_offsets();

}  // namespace pcmtaper
