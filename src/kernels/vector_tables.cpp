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

namespace {

// Zero-initialised: every entry unfilled, no code run at start-up.
constinit dither_table plain_dither;
constinit dither_table centred_dither;

}  // namespace

dither_table& dither_offsets(bool zero_dc) { return zero_dc ? centred_dither : plain_dither; }

extended fill_dither_entry(dither_table* t, int r, bool zero_dc) {
    // atan((4r - 2)/32767) with its argument rounded to a double, then times
    // 0.31 (less the mean, with --zero-dc), then over 256 (exact), in
    // extended precision.
    const double a = math_atan(xmath::dither_atan_argument(r));
    extended x = xmath::extended_mul(xmath::extended_from_double(a), xmath::extended_from_double(dither_gain));
    if (zero_dc) x = xmath::extended_add(x, xmath::extended_from_double(-dither_mean_steps));
    const extended exact = xmath::extended_scale(x, -8);
    if (!t->claimed[r].exchange(true, std::memory_order_relaxed)) {
        t->exact[r] = exact;
        const double rounded = xmath::extended_to_double(exact);
        __atomic_store_n(&t->rounded_bits[r], bits_of_double(rounded) ^ dither_table::unfilled_bits,
                         __ATOMIC_RELEASE);
    }
    return exact;
}

}  // namespace pcmtaper
