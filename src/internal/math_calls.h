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

#include "math/correctly_rounded.h"
#include "math/extended.h"

namespace pcmtaper {

// The x87 format (a 64-bit significand, round to nearest even), in software:
// the same bits on every platform, whatever the compiler's long double is.
// Every use is a conversion to it, operations in it, and a rounding back to
// double where the formula says so (math/extended.h names each).
using extended = xmath::extended;

#if defined(PCMTAPER_LIBC_MATH_YARDSTICK)
// The speed benchmark's yardstick only (bench/whole_file.sh, CMake option
// PCMTAPER_LIBC_MATH_YARDSTICK, which builds neither the tests nor an
// installable program): the C library's functions, as a plain transcription
// of the formulas would call them. Their last bit is the library's, so the
// bytes may differ from the program's.
inline double math_sin(double x) { return std::sin(x); }
inline double math_cos(double x) { return std::cos(x); }
inline double math_atan(double x) { return std::atan(x); }
inline double math_pow(double base, double exponent) { return std::pow(base, exponent); }
inline double math_log10(double x) { return std::log10(x); }
#else
// Correctly rounded (to nearest, ties to even) on every double argument: the
// one definition that every platform reproduces. The C library's last bit
// differs between libraries and between CPUs with and without FMA.
inline double math_sin(double x) { return xmath::cr_sin(x); }
inline double math_cos(double x) { return xmath::cr_cos(x); }
inline double math_atan(double x) { return xmath::cr_atan(x); }
inline double math_pow(double base, double exponent) { return xmath::cr_pow(base, exponent); }
inline double math_log10(double x) { return xmath::cr_log10(x); }
#endif

}  // namespace pcmtaper
