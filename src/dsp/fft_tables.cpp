// The twiddle tables of the table-driven transforms (see fft.h).
#include "dsp/fft.h"
#include "internal/math_calls.h"

namespace pcmtaper {
namespace {

// Fills `t` for length n with the calls fft1 makes.
forward_twiddles forward_twiddles_for(int n) {
    forward_twiddles t{};
    double theta = -pi / n;  // as fft1 forms it for the forward direction
    int offset = 0;
    for (int span = n; span >= 2; span /= 2) {
        theta = 2.0 * theta;
        for (int j = 0; j < span / 2; ++j) {
            const double phi = j * theta;
            t.wr[offset + j] = math_cos(phi);
            t.wi[offset + j] = math_sin(phi);
        }
        offset += span / 2;
    }
    return t;
}

}  // namespace

const forward_twiddles& response_twiddles() {
    static const forward_twiddles table = forward_twiddles_for(response_len);
    return table;
}

const forward_twiddles& analysis_twiddles() {
    static const forward_twiddles table = forward_twiddles_for(analysis_len);
    return table;
}

}  // namespace pcmtaper
