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

// The dither of every draw: exact, and rounded to a double for the quick
// rounding of the quantiser. A draw's entry is filled on its first use: a
// short file draws few of the 32768, and each correctly rounded atan costs
// about a tenth of a microsecond. Until then its rounded offset is a NaN.
struct dither_table {
    extended exact[dither_draws];
    double rounded[dither_draws];
    bool zero_dc;  // the mean taken off (--zero-dc)
};
// The table of the plain dither, or of the one with its mean taken off.
dither_table& dither_offsets(bool zero_dc);
void fill_dither_entry(dither_table* table, int r);
// Fills every entry of the table at once, before conversions run on several
// threads: filled on first use, an entry would be written by one thread
// while another reads it.
void fill_dither_offsets(bool zero_dc);

}  // namespace pcmtaper
