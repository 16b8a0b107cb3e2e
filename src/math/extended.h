// The x87 extended format in software: a sign, a 64-bit significand and a wide
// exponent, every result rounded to 64 significant bits, to nearest, ties to
// even. Only the few operations the converter carries with a 64-bit
// significand are here; each gives on every platform the bits that an x87
// `long double` gives on x86 (tests check that, operation by operation).
//
// Usage: double z = extended_to_double(extended_mul(extended_from_double(f), inv_7500()));
#pragma once

#include <cstdint>

namespace xmath {

// value = (negative ? -1 : 1) * significand * 2^exponent. A nonzero value is
// normalised (bit 63 of significand set); zero has significand 0. Only finite
// values: the converter never forms an infinity or NaN in this format.
struct extended {
    std::uint64_t significand;  // 64-bit integer significand
    int exponent;               // power of two of the significand's lowest bit
    bool negative;
};

// Exact widening (a double has 53 significant bits, subnormals included).
extended extended_from_double(double x);
extended extended_from_int(std::int64_t n);

// Rounded to 64 significant bits, to nearest, ties to even.
extended extended_mul(extended a, extended b);
extended extended_add(extended a, extended b);
// 1/n rounded to 64 bits, for the constants (n >= 1).
extended extended_reciprocal(std::uint32_t n);
// Exact: a * 2^k (the format's exponent range is far wider than anything here).
extended extended_scale(extended a, int k);

// Rounded to the nearest double, ties to even (subnormal results included,
// overflow to infinity). Applied to a rounded product, this is the double
// rounding of `(double)(x * y)` on x86.
double extended_to_double(extended a);
// Toward zero, as (long long)x; |a| must be below 2^63.
std::int64_t extended_truncate(extended a);
// a < b, a >= b as real numbers.
bool extended_less(extended a, extended b);

// ---- The converter's extended-precision quantities -------------------------

// 1/7500, 0.05 and 1/32767 rounded to 64 significant bits.
extended inv_7500();
extended db_to_decade_exponent_factor();
extended inv_32767();

// (double)(q * q) for q = (long double)f_hz * (1/7500): the squared frequency
// ratio passed to the second atan of the Bark formula.
double bark_ratio_squared(double f_hz);
// (double)(0.05L * (long double)db): the exponent of ten of a level in dB.
double decade_exponent_of_db(double db);
// (double)((long double)(4r - 2) * (1/32767)): the atan argument of draw r.
double dither_atan_argument(int r);
// (long double)a * (long double)0.31 / 256: the dither of an atan value a, in
// sample units (the division by 256 is exact).
extended dither_offset_of_atan(double a, double gain);
// (double)((long double)target + offset): the dithered sample, rounded once.
double add_extended_dither(double target, extended offset);
// 256 * (long double)v + 128.5 in extended precision (256 v is exact, the sum
// is rounded to 64 bits): the step count plus 128.5, before truncation.
extended shifted_step_value(double v);

}  // namespace xmath
