// In-place radix-2 complex FFT on split real/imaginary arrays, and the tables
// of its twiddle factors for the table-driven transforms of the kernels.
//
// Usage: fft1(re, im, 32, 0, 0);   // forward, unscaled, natural order
#pragma once

#include "internal/constants.h"

namespace pcmtaper {

// Transforms re/im (n doubles each) in place. n must be a power of two >= 2;
// k is log2(n), or any value below 1 to derive it from n. flag == 0: forward,
// X[m] = sum x[j] e^(-2 pi i jm/n), unscaled. flag != 0: e^(+2 pi i jm/n)
// scaled by 1/sqrt(n). A bad size (n below 2, or not 2^k) returns false and
// leaves the arrays untouched; the converter's sizes are constants.
bool fft1(double* re, double* im, int n, int k, int flag);

// cos and sin of j * theta for every stage of fft1's forward transform of
// length n, from the very calls fft1 makes: stage s (span n >> s) holds
// (n >> s) / 2 entries from offset n - (n >> s). The table-driven transforms
// perform, for every value they produce, exactly fft1's operations in fft1's
// order with these factors, leaving out only operations whose result is exact
// without them (adding or subtracting a zero input, unused outputs), so their
// results equal fft1's bit for bit.
struct forward_twiddles {
    alignas(64) double wr[analysis_len];
    alignas(64) double wi[analysis_len];
};

// The tables for n = response_len (32) and n = analysis_len (256), filled on first use.
const forward_twiddles& response_twiddles();
const forward_twiddles& analysis_twiddles();

}  // namespace pcmtaper
