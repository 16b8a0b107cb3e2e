// sin, cos, atan, pow and log10, correctly rounded (to nearest, ties to even)
// on every double argument, the same bits on every platform and compiler.
//
// Each is computed in double-double arithmetic with a known error bound; when
// that bound leaves the last bit undecided (the result lies too near a
// midpoint between two doubles, about once in 2^25 arguments or less), a
// multi-word evaluation of 640 bits and more decides it (big_float.h). No C
// library function is called.
//
// Usage: double w = xmath::cr_sin((i + 0.5) * 3.141592653589 / 256);
#pragma once

namespace xmath {

double cr_sin(double x);
double cr_cos(double x);
double cr_atan(double x);
// log10(+0) = -inf, log10(x < 0) = NaN, log10(+inf) = +inf.
double cr_log10(double x);
// With the special cases of C's pow: pow(x, +-0) = 1, pow(1, y) = 1, a
// negative base only with a whole exponent, zeros and infinities as C says.
double cr_pow(double x, double y);

// The double-double evaluations alone, for the tests: true with the result
// when they decide it, false when the multi-word evaluation has to.
bool sin_fast(double x, double* result);
bool cos_fast(double x, double* result);
bool atan_fast(double x, double* result);
bool log10_fast(double x, double* result);
bool pow_fast(double x, double y, double* result);

}  // namespace xmath
