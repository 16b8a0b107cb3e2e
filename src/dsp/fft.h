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

// ---- Table-driven forms of the same transform --------------------------------
//
// They perform, for every value they produce, exactly the operations of fft1
// in the same order, with the twiddle factors taken from tables that are
// filled at start-up by the very cos and sin calls fft1 makes. The only
// operations left out are those whose result is exact without them: adding or
// subtracting an input that is known to be zero (padding, a zero imaginary
// part), and outputs that are never used. Their results are therefore equal,
// bit for bit, to those of fft1.

// cos and sin of j * theta for every stage of fft1's forward transform of
// length n: stage s (span n >> s) holds (n >> s) / 2 entries from offset
// n - (n >> s). 2 <= n <= max_table_len, a power of two.
inline constexpr int max_table_len = 256;
struct forward_twiddles {
    alignas(64) double wr[max_table_len];
    alignas(64) double wi[max_table_len];
};

// The tables for n = 32 and n = 256, filled on first use.
const forward_twiddles& twiddles_32();
const forward_twiddles& twiddles_256();

// Fills `t` for length n with the calls fft1 makes.
void fill_forward_twiddles(int n, forward_twiddles* t);

// For a real input x of 256 samples, the magnitudes sqrt(re*re + im*im) of
// bins 0..127 of fft1(x, zeros, 256, 0, 0).
void fft256_real_lower_magnitudes(const double* x, double* magnitude);
