// The tables of the vector stages, filled on first use (see vector_tables.h).
#include "kernels/vector_tables.h"

#include <limits>

#include "model/model.h"

namespace pcmtaper {

const window_table& analysis_window() {
    static const window_table table = [] {
        window_table t{};
        for (int i = 0; i < history_len; ++i) t.w[i] = math_sin((i + 0.5) * window_pi / history_len);
        return t;
    }();
    return table;
}

namespace {

dither_table* empty_dither_table(bool zero_dc) {
    auto* t = new dither_table;  // lives for the whole process
    for (double& x : t->rounded) x = std::numeric_limits<double>::quiet_NaN();
    t->zero_dc = zero_dc;
    return t;
}

}  // namespace

dither_table& dither_offsets(bool zero_dc) {
    static dither_table* const plain = empty_dither_table(false);
    if (!zero_dc) return *plain;
    static dither_table* const centred = empty_dither_table(true);
    return *centred;
}

void fill_dither_offsets(bool zero_dc) {
    dither_table& t = dither_offsets(zero_dc);
    for (int r = 0; r < dither_draws; ++r)
        if (t.rounded[r] != t.rounded[r]) fill_dither_entry(&t, r);
}

void fill_dither_entry(dither_table* t, int r) {
    // atan((4r - 2)/32767) with its argument rounded to a double, then times
    // 0.31 (less the mean, with --zero-dc), then over 256 (exact), in
    // extended precision.
    const double a = math_atan(xmath::dither_atan_argument(r));
    extended x = xmath::extended_mul(xmath::extended_from_double(a), xmath::extended_from_double(dither_gain));
    if (t->zero_dc) x = xmath::extended_add(x, xmath::extended_from_double(-dither_mean_steps));
    t->exact[r] = xmath::extended_scale(x, -8);
    t->rounded[r] = xmath::extended_to_double(t->exact[r]);
}

}  // namespace pcmtaper
