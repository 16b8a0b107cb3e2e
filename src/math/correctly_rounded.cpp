#include "math/correctly_rounded.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>

#include "math/big_float.h"
#include "math/evaluations.h"

namespace xmath {

namespace {

#include "math/math_tables.inc"

// ---- Error-free transformations (plain double operations, no fused
// multiply-add: -ffp-contract=off keeps every product rounded) -------------

inline double_double two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

inline double_double fast_two_sum(double a, double b) {  // |a| >= |b| or a == 0
    const double s = a + b;
    return {s, b - (s - a)};
}

// Veltkamp's split: hi has 26 significant bits, lo the rest (|a| < 2^995).
inline void split(double a, double* hi, double* lo) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    *hi = c - (c - a);
    *lo = a - *hi;
}

// Dekker's exact product: a * b == p.hi + p.lo.
inline double_double two_prod(double a, double b) {
    const double p = a * b;
    double ah, al, bh, bl;
    split(a, &ah, &al);
    split(b, &bh, &bl);
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

inline double_double dd_neg(double_double a) { return {-a.hi, -a.lo}; }

// Error below 2^-105 (|a| + |b|): every sum below adds terms that cannot
// cancel to less than a third of the larger one.
inline double_double dd_add(double_double a, double_double b) {
    const double_double s = two_sum(a.hi, b.hi);
    return fast_two_sum(s.hi, s.lo + (a.lo + b.lo));
}

inline double_double dd_add_d(double_double a, double b) {
    const double_double s = two_sum(a.hi, b);
    return fast_two_sum(s.hi, s.lo + a.lo);
}

inline double_double dd_mul(double_double a, double_double b) {
    const double_double p = two_prod(a.hi, b.hi);
    return fast_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

inline double_double dd_mul_d(double_double a, double b) {
    const double_double p = two_prod(a.hi, b);
    return fast_two_sum(p.hi, p.lo + a.lo * b);
}

// q1 + q2 with q2 the quotient of the remainder a - q1 b: relative error
// about 2^-104.
inline double_double dd_div(double_double a, double_double b) {
    const double q1 = a.hi / b.hi;
    const double_double p = dd_mul_d(b, q1);
    const double_double r = two_sum(a.hi, -p.hi);  // r.hi is exact (Sterbenz)
    const double q2 = ((r.hi + r.lo) - p.lo + a.lo) / b.hi;
    return fast_two_sum(q1, q2);
}

inline double magnitude(double x) { return x < 0 ? -x : x; }

// The double nearest to v when every value within abs_error of v.hi + v.lo
// rounds to it. abs_error includes a margin for the two roundings below (each
// under 2^-105 |v|), which the callers' bounds far exceed.
inline bool round_if_decided(double_double v, double abs_error, double* result) {
    const double down = v.hi + (v.lo - abs_error);
    const double up = v.hi + (v.lo + abs_error);
    *result = down;
    return down == up;
}

double quiet_nan() { return std::numeric_limits<double>::quiet_NaN(); }
double infinity() { return std::numeric_limits<double>::infinity(); }

double power_of_two(int e) {  // normal range only
    const std::uint64_t b = static_cast<std::uint64_t>(e + 1023) << 52;
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// The correctly rounded value by multi-word evaluation at 640, 1280 and 2560
// bits. None of sin, cos, atan and log10 has a midpoint between two doubles as
// value at a double argument (except at exact zeros and whole numbers, which
// are doubles themselves); pow can, and an exact midpoint never leaves the
// loop: past 2560 bits it is taken as one and rounded to even.
template <class evaluate>
double decide_by_big(evaluate eval) {
    big_float v;
    double r;
    for (int limbs : {10, 20, 40}) {
        v = eval(limbs);
        if (big_round_if_decided(v, &r)) return r;
    }
    return big_round_midpoint_to_even(v);
}

// ---- atan -------------------------------------------------------------------

// atan(c) + atan(t) for c = k/512 and t = num/den, |t| <= 2^-10: atan(c) from
// the table, atan(t) by its series.
double_double atan_table_plus_ratio(int k, double_double num, double_double den) {
    const double_double t = dd_div(num, den);
    // atan(t) = t + t^3 (-1/3 + s (1/5 - s/7 + s^2/9 - s^3/11)), s = t^2 <= 2^-20.
    const double_double s = dd_mul(t, t);
    const double sh = s.hi;
    const double tail = sh * (1.0 / 5 + sh * (-1.0 / 7 + sh * (1.0 / 9 + sh * (-1.0 / 11))));
    const double_double p = dd_add_d(dd_neg(one_third_dd), tail);
    const double_double t3 = dd_mul(t, s);
    const double_double atan_t = dd_add(t, dd_mul(t3, p));
    return dd_add(atan_table[k], atan_t);
}

// atan(x) for x in [0, 1]: c = k/512 nearest x, t = (x - c)/(1 + x c).
double_double atan_up_to_one(double x) {
    const int k = static_cast<int>(x * 512.0 + 0.5);
    const double c = k * (1.0 / 512);
    const double_double num = {x - c, 0.0};  // exact (Sterbenz, or c = 0)
    const double_double den = dd_add_d(two_prod(c, x), 1.0);
    return atan_table_plus_ratio(k, num, den);
}

// atan(x) for x > 1: pi/2 - atan(1/x), with c = k/512 nearest 1/x and
// atan(1/x) = atan(c) + atan(t), t = (1 - c x)/(x + c).
double_double atan_above_one(double x) {
    const int k = static_cast<int>((1.0 / x) * 512.0 + 0.5);
    const double c = k * (1.0 / 512);
    const double_double cx = two_prod(c, x);
    const double_double num = two_sum(1.0 - cx.hi, -cx.lo);  // 1 - cx.hi exact: cx.hi in [1/2, 2] or 0
    const double_double den = two_sum(x, c);
    return dd_add(half_pi_dd, dd_neg(atan_table_plus_ratio(k, num, den)));
}

// ---- sin and cos --------------------------------------------------------------

// sin and cos of r = r.hi + r.lo, |r| <= pi/4 + 2^-40: table at c = j/64
// nearest |r|, then the series of s = |r| - c, |s| <= 2^-7.
void sin_cos_quarter(double_double r, double_double* sin_r, double_double* cos_r) {
    const bool negative = r.hi < 0;
    if (negative) r = dd_neg(r);
    const int j = static_cast<int>(r.hi * 64.0 + 0.5);
    const double c = j * (1.0 / 64);
    const double_double s = two_sum(r.hi - c, r.lo);  // r.hi - c is exact (Sterbenz)
    const double_double s2 = dd_mul(s, s);
    const double q = s2.hi;
    // sin s = s + s^3 (-1/6 + q (1/120 - q/5040 + q^2/362880))
    const double sin_tail = q * (1.0 / 120 + q * (-1.0 / 5040 + q * (1.0 / 362880)));
    const double_double sin_p = dd_add_d(dd_neg(one_sixth_dd), sin_tail);
    const double_double sin_s = dd_add(s, dd_mul(dd_mul(s2, s), sin_p));
    // cos s = 1 + s^2 (-1/2 + q (1/24 - q/720 + q^2/40320 - q^3/3628800))
    const double cos_tail =
        q * (1.0 / 24 + q * (-1.0 / 720 + q * (1.0 / 40320 + q * (-1.0 / 3628800))));
    const double_double cos_p = two_sum(-0.5, cos_tail);
    const double_double cos_s = dd_add_d(dd_mul(s2, cos_p), 1.0);
    if (j == 0) {
        *sin_r = sin_s;
        *cos_r = cos_s;
    } else {
        // sin(c + s) = sin c cos s + cos c sin s; cos(c + s) = cos c cos s - sin c sin s.
        *sin_r = dd_add(dd_mul(sin_table[j], cos_s), dd_mul(cos_table[j], sin_s));
        *cos_r = dd_add(dd_mul(cos_table[j], cos_s), dd_neg(dd_mul(sin_table[j], sin_s)));
    }
    if (negative) *sin_r = dd_neg(*sin_r);
}

// sin or cos of x, 2^-27 <= |x| <= 2^20: x = k pi/2 + r, |r| <= pi/4 (a
// little more where k was rounded up); k * part is exact for the first three
// parts of pi/2, and so is the first subtraction.
double_double sin_cos_value(double x, bool want_sin) {
    const double ax = magnitude(x);
    const double k = static_cast<double>(static_cast<int>(ax * 0x1.45f306dc9c883p-1 + 0.5));
    const double r1 = ax - k * half_pi_parts[0];
    double_double r = two_sum(r1, -(k * half_pi_parts[1]));
    r = dd_add_d(r, -(k * half_pi_parts[2]));
    r = dd_add_d(r, -(k * half_pi_parts[3]));
    double_double sin_r, cos_r;
    sin_cos_quarter(r, &sin_r, &cos_r);
    const int quarter = static_cast<int>(k) & 3;
    double_double v;
    if (want_sin) {
        v = (quarter & 1) == 0 ? sin_r : cos_r;
        if (quarter >= 2) v = dd_neg(v);
        if (x < 0) v = dd_neg(v);
    } else {
        v = (quarter & 1) == 0 ? cos_r : sin_r;
        if (quarter == 1 || quarter == 2) v = dd_neg(v);
    }
    return v;
}

bool sin_cos_fast(double x, bool want_sin, double* result) {
    if (x != x || magnitude(x) == infinity()) {
        *result = quiet_nan();
        return true;
    }
    const double ax = magnitude(x);
    if (ax < 0x1p-27) {  // sin x = x (1 - x^2/6 ...), cos x = 1 - x^2/2: within a quarter ulp
        *result = want_sin ? x : 1.0;
        return true;
    }
    if (ax > 0x1p20) return false;  // beyond the three-part reduction
    const double_double v = sin_cos_value(x, want_sin);
    return round_if_decided(v, magnitude(v.hi) * sin_cos_error + reduction_error, result);
}

// ---- log ------------------------------------------------------------------

// log(x) for x > 0 finite: x = m 2^e, m in [0.75, 1.5); r = 1/c rounded, c the
// table point within 2^-10 of m; log x = e log 2 - log r + log(m r), and
// log(1 + z) = 2 atanh(u), u = z/(2 + z), |u| <= 2^-10.5.
double_double log_dd(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    int e = static_cast<int>((b >> 52) & 0x7FF);
    if (e == 0) {  // subnormal: scale into the normal range
        x = x * 0x1p64;
        std::memcpy(&b, &x, sizeof b);
        e = static_cast<int>((b >> 52) & 0x7FF) - 64;
    }
    e = e - 1023;
    b = (b & 0xFFFFFFFFFFFFFull) | 0x3FF0000000000000ull;
    double m;
    std::memcpy(&m, &b, sizeof m);
    if (m >= 1.5) {
        m = m * 0.5;
        e = e + 1;
    }
    const int i = static_cast<int>((m - 0.75) * 512.0 + 0.5);
    const double_double p = two_prod(m, log_reciprocal[i]);
    const double_double z = two_sum(p.hi - 1.0, p.lo);  // exact: p.hi - 1 by Sterbenz
    const double_double u = dd_div(z, dd_add_d(z, 2.0));
    const double_double u2 = dd_mul(u, u);
    const double q = u2.hi;
    // atanh u = u + u^3 (1/3 + q (1/5 + q/7 + q^2/9))
    const double tail = q * (1.0 / 5 + q * (1.0 / 7 + q * (1.0 / 9)));
    const double_double s = dd_add_d(one_third_dd, tail);
    double_double log1p = dd_add(u, dd_mul(dd_mul(u2, u), s));
    log1p = {2.0 * log1p.hi, 2.0 * log1p.lo};
    const double_double scaled = dd_mul_d(ln2_dd, static_cast<double>(e));
    return dd_add(dd_add(scaled, minus_log_reciprocal[i]), log1p);
}

// ---- exp ------------------------------------------------------------------

// exp(t) = 2^(k/64) exp(r) for |t.hi| < 700, returned as 2^scale * v with v in
// [0.7, 1.5): k = round(64 t / log 2), r = t - k log2/64 (|r| < 0.0055, the
// first two parts times k exact), exp(r) - 1 by its series.
double_double exp_dd(double_double t, int* scale) {
    const int k = static_cast<int>(t.hi * 0x1.71547652b82fep+6 + (t.hi < 0 ? -0.5 : 0.5));
    const double kd = k;
    const double r1 = t.hi - kd * ln2_over_64_parts[0];
    double_double r = two_sum(r1, -(kd * ln2_over_64_parts[1]));
    r = dd_add_d(r, t.lo);
    r = dd_add_d(r, -(kd * ln2_over_64_parts[2]));
    const double rh = r.hi;
    const double tail =
        rh * (1.0 / 24 +
              rh * (1.0 / 120 + rh * (1.0 / 720 + rh * (1.0 / 5040 + rh * (1.0 / 40320 + rh * (1.0 / 362880))))));
    const double_double q = dd_add_d(one_sixth_dd, tail);
    const double_double p = dd_add_d(dd_mul(r, q), 0.5);
    const double_double em1 = dd_add(r, dd_mul(dd_mul(r, r), p));
    const double_double base = exp2_table[k & 63];
    *scale = k >> 6;  // floor(k / 64)
    return dd_add(base, dd_mul(base, em1));
}

// pow(x, y) for x > 0 finite, x != 1, y finite nonzero.
bool pow_positive_fast(double x, double y, double* result) {
    const double_double log_x = log_dd(x);
    const double t_estimate = log_x.hi * y;
    if (!(magnitude(t_estimate) < 700.0)) return false;  // near or past the range, or |y| huge
    const double_double t = dd_mul_d(log_x, y);
    int scale;
    const double_double v = exp_dd(t, &scale);
    const double bound = magnitude(v.hi) * (pow_error + magnitude(t.hi) * pow_error_per_unit_exponent);
    double rounded;
    if (!round_if_decided(v, bound, &rounded)) return false;
    *result = rounded * power_of_two(scale);  // exact: the result is a normal double
    return true;
}

double pow_positive(double x, double y) {
    double r;
    if (pow_positive_fast(x, y, &r)) return r;
    const double t_estimate = log_dd(x).hi * y;
    if (t_estimate > 720.0) return infinity();  // e^720 > 2^1038
    if (t_estimate < -760.0) return 0.0;        // e^-760 < 2^-1096
    return decide_by_big([x, y](int limbs) { return big_pow(x, y, limbs); });
}

}  // namespace

double_double atan_value(double x) {
    const double ax = magnitude(x);
    const double_double v = ax > 1.0 ? atan_above_one(ax) : atan_up_to_one(ax);
    return x < 0 ? dd_neg(v) : v;
}

double_double sin_value(double x) { return sin_cos_value(x, true); }
double_double cos_value(double x) { return sin_cos_value(x, false); }
double_double log10_value(double x) { return dd_mul(log_dd(x), inv_ln10_dd); }

double_double pow_value(double x, double y, int* scale) {
    return exp_dd(dd_mul_d(log_dd(x), y), scale);
}

bool atan_fast(double x, double* result) {
    if (x != x) {
        *result = x + x;
        return true;
    }
    const double ax = magnitude(x);
    if (ax < 0x1p-27) {  // atan x = x (1 - x^2/3 ...): within a quarter ulp of x
        *result = x;
        return true;
    }
    if (ax >= 0x1p54) {  // pi/2 - 1/x, 1/x under a quarter ulp of pi/2 below it
        *result = x < 0 ? -half_pi_dd.hi : half_pi_dd.hi;
        return true;
    }
    const double_double v = atan_value(x);
    return round_if_decided(v, magnitude(v.hi) * atan_error, result);
}

bool sin_fast(double x, double* result) { return sin_cos_fast(x, true, result); }
bool cos_fast(double x, double* result) { return sin_cos_fast(x, false, result); }

bool log10_fast(double x, double* result) {
    if (x != x || x < 0) {
        *result = quiet_nan();
        return true;
    }
    if (x == 0) {
        *result = -infinity();
        return true;
    }
    if (x == infinity()) {
        *result = x;
        return true;
    }
    const double_double v = log10_value(x);
    return round_if_decided(v, magnitude(v.hi) * log10_error, result);
}

bool pow_fast(double x, double y, double* result) {
    if (y == 0 || x == 1.0 || x != x || y != y || x <= 0 || x == infinity() || magnitude(y) == infinity()) {
        *result = cr_pow(x, y);  // the special cases are exact
        return true;
    }
    return pow_positive_fast(x, y, result);
}

double cr_atan(double x) {
    double r;
    if (atan_fast(x, &r)) return r;
    return decide_by_big([x](int limbs) { return big_atan(x, limbs); });
}

double cr_sin(double x) {
    double r;
    if (sin_fast(x, &r)) return r;
    return decide_by_big([x](int limbs) { return big_sin(x, limbs); });
}

double cr_cos(double x) {
    double r;
    if (cos_fast(x, &r)) return r;
    return decide_by_big([x](int limbs) { return big_cos(x, limbs); });
}

double cr_log10(double x) {
    double r;
    if (log10_fast(x, &r)) return r;
    return decide_by_big(
        [x](int limbs) { return big_mul(big_log(x, limbs + 1), big_reciprocal(big_ln10(limbs + 1))); });
}

double cr_pow(double x, double y) {
    if (y == 0) return 1.0;
    if (x == 1.0) return 1.0;
    if (x != x || y != y) return x + y;
    const double ay = magnitude(y);
    // Whole and odd exponents (every |y| >= 2^53 is whole and even).
    bool y_whole = true;
    bool y_odd = false;
    if (ay < 0x1p53) {
        const std::int64_t w = static_cast<std::int64_t>(ay);
        y_whole = static_cast<double>(w) == ay;
        y_odd = y_whole && (w & 1) != 0;
    }
    std::uint64_t x_bits;
    std::memcpy(&x_bits, &x, sizeof x_bits);
    const bool x_negative = (x_bits >> 63) != 0;
    if (x == 0) {
        if (y < 0) return y_odd && x_negative ? -infinity() : infinity();
        return y_odd && x_negative ? -0.0 : 0.0;
    }
    const double ax = magnitude(x);
    if (ay == infinity()) {
        if (ax == 1.0) return 1.0;
        return (ax < 1.0) == (y < 0) ? infinity() : 0.0;
    }
    if (ax == infinity()) {
        const double r = y < 0 ? 0.0 : infinity();
        return x_negative && y_odd ? -r : r;
    }
    if (x < 0) {
        if (!y_whole) return quiet_nan();
        const double r = ax == 1.0 ? 1.0 : pow_positive(ax, y);
        return y_odd ? -r : r;
    }
    return pow_positive(x, y);
}

}  // namespace xmath
