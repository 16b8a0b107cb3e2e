// In-place radix-2 complex FFT on split real/imaginary arrays.
//
// Usage: fft1(re, im, 32, 0, 0);   // forward, unscaled, natural order
#pragma once

// Transforms re/im (n doubles each) in place. n must be a power of two >= 2;
// k is log2(n), or any value below 1 to derive it from n. flag == 0: forward,
// X[m] = sum x[j] e^(-2 pi i jm/n), unscaled. flag != 0: e^(+2 pi i jm/n)
// scaled by 1/sqrt(n). A bad size prints one line on standard error and
// leaves the arrays untouched.
void fft1(double* re, double* im, int n, int k, int flag);
