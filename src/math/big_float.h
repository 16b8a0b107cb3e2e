// A slow multi-word binary floating-point arithmetic on 64-bit limbs, for the
// rare arguments where the double-double evaluation cannot decide the last
// bit of a correctly rounded result, and for making the functions' tables.
//
// Every operation truncates its result to `limbs` words (at most max_limbs),
// an error below two units of the last word. The functions here keep their
// total error below 2^(64 - 64 * limbs) relative to the result: the series and
// reductions take a few hundred operations and one spare word (64 bits)
// covers that many errors with a wide margin; the one cancellation (an angle
// minus a multiple of pi/2) is done with enough extra words for the largest
// double.
#pragma once

#include <cstdint>

namespace xmath {

inline constexpr int big_max_limbs = 64;

// value = (negative ? -1 : 1) * 0.limb[limbs-1]...limb[0] * 2^exponent, with
// bit 63 of limb[limbs-1] set, or zero when every limb is 0.
struct big_float {
    std::uint64_t limb[big_max_limbs];
    int limbs;      // words in use, the precision of this value
    long exponent;  // the value lies in [2^(exponent-1), 2^exponent)
    bool negative;
};

big_float big_from_double(double x, int limbs);
big_float big_from_int(std::int64_t n, int limbs);
bool big_is_zero(const big_float& a);
// Same value at another precision (truncated, or padded with zero words).
big_float big_resize(const big_float& a, int limbs);

big_float big_add(const big_float& a, const big_float& b);
big_float big_sub(const big_float& a, const big_float& b);
big_float big_mul(const big_float& a, const big_float& b);
big_float big_mul_small(const big_float& a, std::uint32_t m);
big_float big_div_small(const big_float& a, std::uint32_t d);
big_float big_scale(const big_float& a, long k);  // exact: a * 2^k
big_float big_neg(const big_float& a);
big_float big_reciprocal(const big_float& a);    // 1/a, a nonzero
big_float big_div(const big_float& a, const big_float& b);

// Constants and functions at `limbs` words.
big_float big_pi(int limbs);
big_float big_ln2(int limbs);
big_float big_ln10(int limbs);
big_float big_atan(double x, int limbs);
big_float big_sin(double x, int limbs);
big_float big_cos(double x, int limbs);
big_float big_log(double x, int limbs);  // x > 0, finite
big_float big_exp(const big_float& t);   // |t| < 2^20
big_float big_pow(double x, double y, int limbs);  // x > 0, both finite

// The double nearest to a (ties to even), with subnormals and overflow.
double big_to_double(const big_float& a);

// The correctly rounded double of the exact value that `approx` is within
// 2^(64 - 64 * limbs) (relative) of, if that bound decides it; else false.
bool big_round_if_decided(const big_float& approx, double* result);
// Of the two doubles around `approx` (within the same bound), the one with
// an even last bit: the rounding of an exact midpoint.
double big_round_midpoint_to_even(const big_float& approx);

}  // namespace xmath
