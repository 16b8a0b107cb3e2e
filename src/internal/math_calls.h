// Every call of sin, cos, atan, pow and log10 that the output depends on, and
// the extended-precision type of the formulas, in one place. The results of
// these calls (and of arithmetic in `extended`) are part of the output's
// definition, so whatever provides them is swapped here and nowhere else.
//
// Callers: the analysis window (model/analysis.cpp, kernels/vector_tables.cpp),
// the twiddle factors (dsp/fft.cpp, dsp/fft_tables.cpp), the rate tables
// (model/rate_tables.cpp: atan, pow and `extended`), the dither
// (quant/quantiser.cpp, kernels/vector_tables.cpp: atan and `extended`), the
// quantiser's rounding (quant/quantiser.cpp, kernels/vector_stages.h:
// `extended`) and the report (shaping/report.cpp: log10).
#pragma once

#include <cmath>

namespace pcmtaper {

// The x87 format: a 64-bit significand, round to nearest even. Every use is
// written as a conversion to it, operations in it, and a rounding back to
// double where the formula says so.
using extended = long double;
static_assert(sizeof(extended) >= 10, "extended needs the 64-bit significand of the x87 format");

// The C library's functions, called at run time: the build turns the compiler's
// built-in versions of them off, so no call is ever folded at compile time.
inline double math_sin(double x) { return std::sin(x); }
inline double math_cos(double x) { return std::cos(x); }
inline double math_atan(double x) { return std::atan(x); }
inline double math_pow(double base, double exponent) { return std::pow(base, exponent); }
inline double math_log10(double x) { return std::log10(x); }

}  // namespace pcmtaper
