// The double-double evaluations behind correctly_rounded.h and their error
// bounds, for the tests that measure those errors against MPFR.
#pragma once

namespace xmath {

// hi + lo, |lo| at most about half an ulp of hi.
struct double_double {
    double hi;
    double lo;
};

// Relative error bounds of the evaluations below (the rounding test assumes
// them; the tests check that the measured errors stay 2^6 times smaller).
inline constexpr double atan_error = 0x1p-84;
inline constexpr double sin_cos_error = 0x1p-77;
inline constexpr double reduction_error = 0x1p-128;  // absolute, added to sin_cos_error |value|
inline constexpr double log10_error = 0x1p-84;
inline constexpr double pow_error = 0x1p-78;
inline constexpr double pow_error_per_unit_exponent = 0x1p-92;  // times |y log x|, added

double_double atan_value(double x);  // 2^-27 <= |x| < 2^54
double_double sin_value(double x);   // 2^-27 <= |x| <= 2^20
double_double cos_value(double x);   // 2^-27 <= |x| <= 2^20
double_double log10_value(double x);  // x > 0 finite
// x > 0, |y log x| < 700: the value divided by 2^scale.
double_double pow_value(double x, double y, int* scale);

}  // namespace xmath
