#include "dsp/fft.h"

#include <cmath>

#include "internal/math_calls.h"

namespace pcmtaper {
namespace {

// Decimation-in-frequency butterflies; leaves the spectrum in bit-reversed order.
// The twiddles come from cos and sin of j*theta for every column, with no
// recurrence, so that every build computes the very same bits.
void butterfly_stages(double* re, double* im, int n, int stages, double theta) {
    int span = n;
    for (int stage = 0; stage < stages; ++stage) {
        const int half = span / 2;
        theta = 2.0 * theta;
        for (int j = 0; j < half; ++j) {
            const double phi = j * theta;
            const double wr = math_cos(phi);
            const double wi = math_sin(phi);
            for (int q = 0; q < n; q += span) {
                const int a = q + j;
                const int b = a + half;
                const double dr = re[a] - re[b];
                const double di = im[a] - im[b];
                re[a] = re[a] + re[b];
                im[a] = im[a] + im[b];
                re[b] = dr * wr - di * wi;
                im[b] = di * wr + dr * wi;
            }
        }
        span = half;
    }
}

void bit_reverse_reorder(double* re, double* im, int n) {
    int r = n / 2;
    for (int i = 1; i <= n - 2; ++i) {
        if (i < r) {
            const double tr = re[i];
            re[i] = re[r];
            re[r] = tr;
            const double ti = im[i];
            im[i] = im[r];
            im[r] = ti;
        }
        int m = n / 2;
        while (m <= r) {
            r = r - m;
            m = m / 2;
        }
        r = r + m;
    }
}

}  // namespace

bool fft1(double* re, double* im, int n, int k, int flag) {
    if (n < 2) return false;
    if (k < 1) {
        k = 0;
        for (int halved = n; halved > 1; halved /= 2) ++k;
    }
    // 2^k no longer fits the length's type from k = 31 on: such a k never matches.
    long long power = 1;
    for (int i = 0; i < k && power <= n; ++i) power *= 2;
    if (k >= 31 || power != n) return false;
    const double theta = flag != 0 ? pi / n : -pi / n;
    butterfly_stages(re, im, n, k, theta);
    bit_reverse_reorder(re, im, n);
    if (flag != 0) {
        const double g = 1.0 / std::sqrt(static_cast<double>(n));
        for (int i = 0; i < n; ++i) {
            re[i] = re[i] * g;
            im[i] = im[i] * g;
        }
    }
    return true;
}

}  // namespace pcmtaper
