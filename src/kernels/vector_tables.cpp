// The tables of the vector stages, filled on first use (see vector_tables.h).
#include "kernels/vector_tables.h"

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

const dither_table& dither_offsets() {
    static const dither_table* const table = [] {
        static dither_table t;
        const extended inv32767 = 1.0L / 32767.0L;
        for (int r = 0; r < dither_draws; ++r) {
            // atan((4r - 2)/32767) with its argument rounded to a double, then
            // scaled by 0.31/256 in extended precision (the division is exact).
            const double a = math_atan(static_cast<double>(static_cast<extended>(4 * r - 2) * inv32767));
            t.exact[r] = static_cast<extended>(a) * static_cast<extended>(dither_gain) / 256.0L;
            t.rounded[r] = static_cast<double>(t.exact[r]);
        }
        return &t;
    }();
    return *table;
}

}  // namespace pcmtaper
