#include "math/big_float.h"

#include <cstring>

#include "math/extended.h"
#include "math/wide_int.h"

namespace xmath {

namespace {

constexpr int work_max = 2 * big_max_limbs + 2;  // scratch words of a product

big_float zero_of(int limbs) {
    big_float z;
    std::memset(z.limb, 0, sizeof z.limb);
    z.limbs = limbs;
    z.exponent = 0;
    z.negative = false;
    return z;
}

// 0.w[count-1]...w[0] * 2^exponent, normalised and truncated to `limbs` words.
big_float pack(const std::uint64_t* w, int count, long exponent, bool negative, int limbs) {
    big_float r = zero_of(limbs);
    int top = count - 1;
    while (top >= 0 && w[top] == 0) {
        --top;
        exponent -= 64;
    }
    if (top < 0) return r;
    const int shift = leading_zeros64(w[top]);
    exponent -= shift;
    // Word i of the result (from the top) takes bits from w[top - i] and w[top - i - 1].
    for (int i = 0; i < limbs; ++i) {
        const int src = top - i;
        std::uint64_t hi = src >= 0 ? w[src] : 0;
        std::uint64_t lo = src - 1 >= 0 ? w[src - 1] : 0;
        r.limb[limbs - 1 - i] = shift == 0 ? hi : (hi << shift) | (lo >> (64 - shift));
    }
    r.exponent = exponent;
    r.negative = negative;
    return r;
}

// |a| < |b| (a and b normalised and nonzero, the same number of words).
bool magnitude_less(const big_float& a, const big_float& b) {
    if (a.exponent != b.exponent) return a.exponent < b.exponent;
    for (int i = a.limbs - 1; i >= 0; --i)
        if (a.limb[i] != b.limb[i]) return a.limb[i] < b.limb[i];
    return false;
}

// w (count words) shifted right by d bits, in place; bits below w[0] are lost.
void shift_right(std::uint64_t* w, int count, long d) {
    const long words = d / 64;
    const int bits = static_cast<int>(d % 64);
    for (int i = 0; i < count; ++i) {
        const long src = i + words;
        const std::uint64_t lo = src < count ? w[src] : 0;
        const std::uint64_t hi = src + 1 < count ? w[src + 1] : 0;
        w[i] = bits == 0 ? lo : (lo >> bits) | (hi << (64 - bits));
    }
}

big_float add_signed(const big_float& x, const big_float& y, bool y_negative) {
    const int n = x.limbs > y.limbs ? x.limbs : y.limbs;
    if (big_is_zero(y)) return big_resize(x, n);
    if (big_is_zero(x)) {
        big_float r = big_resize(y, n);
        r.negative = y_negative;
        return r;
    }
    const big_float xa = big_resize(x, n);
    big_float ya = big_resize(y, n);
    ya.negative = y_negative;
    const bool swap = magnitude_less(xa, ya);
    const big_float& a = swap ? ya : xa;
    const big_float& b = swap ? xa : ya;
    // One guard word below, one carry word above.
    std::uint64_t wa[big_max_limbs + 2] = {};
    std::uint64_t wb[big_max_limbs + 2] = {};
    for (int i = 0; i < n; ++i) {
        wa[i + 1] = a.limb[i];
        wb[i + 1] = b.limb[i];
    }
    const long d = a.exponent - b.exponent;
    if (d >= 64L * (n + 1)) {
        for (int i = 0; i <= n; ++i) wb[i] = 0;
    } else if (d > 0) {
        shift_right(wb, n + 1, d);
    }
    std::uint64_t out[big_max_limbs + 2] = {};
    if (a.negative == b.negative) {
        std::uint64_t carry = 0;
        for (int i = 0; i <= n; ++i) {
            const std::uint64_t s = wa[i] + wb[i];
            const std::uint64_t c1 = s < wa[i] ? 1 : 0;
            out[i] = s + carry;
            const std::uint64_t c2 = out[i] < s ? 1 : 0;
            carry = c1 + c2;
        }
        out[n + 1] = carry;
        return pack(out, n + 2, a.exponent + 64, a.negative, n);
    }
    std::uint64_t borrow = 0;
    for (int i = 0; i <= n; ++i) {
        const std::uint64_t s = wa[i] - wb[i];
        const std::uint64_t b1 = wa[i] < wb[i] ? 1 : 0;
        out[i] = s - borrow;
        const std::uint64_t b2 = s < borrow ? 1 : 0;
        borrow = b1 + b2;
    }
    return pack(out, n + 1, a.exponent, a.negative, n);
}

// sum of (+-) u^(2i+1) / (2i+1) * scale_i for the arctangent-like series:
// atan (alternating) or atanh (all positive) of u.
big_float odd_power_series(const big_float& u, bool alternating) {
    const int n = u.limbs;
    big_float sum = u;
    if (big_is_zero(u)) return sum;
    const big_float u2 = big_mul(u, u);
    big_float power = u;
    for (std::uint32_t k = 3;; k += 2) {
        power = big_mul(power, u2);
        if (power.exponent < sum.exponent - 64L * n - 4) break;
        const big_float term = big_div_small(power, k);
        const bool subtract = alternating && ((k / 2) % 2 == 1);
        sum = subtract ? big_sub(sum, term) : big_add(sum, term);
    }
    return sum;
}

// atan(1/k) or atanh(1/k) for a small whole k.
big_float arc_of_inverse(std::uint32_t k, bool alternating, int limbs) {
    const big_float u = big_div_small(big_from_int(1, limbs), k);
    return odd_power_series(u, alternating);
}

// sin (odd) or cos (even) of r, |r| <= 1, by its Taylor series.
big_float sin_cos_series(const big_float& r, bool odd) {
    const int n = r.limbs;
    const big_float r2 = big_mul(r, r);
    big_float term = odd ? r : big_from_int(1, n);
    big_float sum = term;
    if (big_is_zero(r)) return sum;
    for (std::uint32_t k = odd ? 2 : 1;; k += 2) {
        term = big_div_small(big_mul(term, r2), k * (k + 1));
        if (term.exponent < sum.exponent - 64L * n - 4) break;
        // sin: k = 2, 4, ... gives r^(k+1)/(k+1)!; cos: k = 1, 3, ... gives r^(k+1)/(k+1)!.
        sum = ((k / 2) % 2 == (odd ? 1u : 0u)) ? big_sub(sum, term) : big_add(sum, term);
    }
    return sum;
}

void split_double(double x, std::uint64_t* m, int* e) {
    // x = m * 2^e with m an integer below 2^53 (x positive, finite).
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    const int field = static_cast<int>((b >> 52) & 0x7FF);
    *m = b & 0xFFFFFFFFFFFFFull;
    if (field != 0) {
        *m |= 1ull << 52;
        *e = field - 1075;
    } else {
        *e = -1074;
    }
}

}  // namespace

bool big_is_zero(const big_float& a) { return a.limb[a.limbs - 1] == 0; }

big_float big_from_int(std::int64_t v, int limbs) {
    std::uint64_t w[1] = {v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v)};
    return pack(w, 1, 64, v < 0, limbs);
}

big_float big_from_double(double x, int limbs) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    std::uint64_t m;
    int e;
    split_double(x < 0 ? -x : x, &m, &e);
    std::uint64_t w[1] = {m};
    return pack(w, 1, 64 + e, (b >> 63) != 0, limbs);
}

big_float big_resize(const big_float& a, int limbs) {
    big_float r = zero_of(limbs);
    r.exponent = a.exponent;
    r.negative = a.negative;
    for (int i = 0; i < limbs; ++i) {
        const int src = a.limbs - limbs + i;
        r.limb[i] = src >= 0 ? a.limb[src] : 0;
    }
    return r;
}

big_float big_add(const big_float& a, const big_float& b) { return add_signed(a, b, b.negative); }
big_float big_sub(const big_float& a, const big_float& b) { return add_signed(a, b, !b.negative); }

big_float big_neg(const big_float& a) {
    big_float r = a;
    r.negative = !a.negative;
    return r;
}

big_float big_scale(const big_float& a, long k) {
    big_float r = a;
    if (!big_is_zero(a)) r.exponent += k;
    return r;
}

big_float big_mul(const big_float& a, const big_float& b) {
    const int n = a.limbs > b.limbs ? a.limbs : b.limbs;
    if (big_is_zero(a) || big_is_zero(b)) return zero_of(n);
    const big_float x = big_resize(a, n);
    const big_float y = big_resize(b, n);
    std::uint64_t p[work_max] = {};
    for (int i = 0; i < n; ++i) {
        std::uint64_t carry = 0;
        for (int j = 0; j < n; ++j) {
            std::uint64_t hi;
            std::uint64_t lo;
            mul_64x64(x.limb[i], y.limb[j], &hi, &lo);
            std::uint64_t s = p[i + j] + lo;
            hi += s < lo ? 1 : 0;
            const std::uint64_t t = s + carry;
            hi += t < s ? 1 : 0;
            p[i + j] = t;
            carry = hi;
        }
        p[i + n] = carry;
    }
    return pack(p, 2 * n, a.exponent + b.exponent, a.negative != b.negative, n);
}

big_float big_mul_small(const big_float& a, std::uint32_t m) {
    const int n = a.limbs;
    std::uint64_t w[big_max_limbs + 1] = {};
    std::uint64_t carry = 0;
    for (int i = 0; i < n; ++i) {
        std::uint64_t hi;
        std::uint64_t lo;
        mul_64x64(a.limb[i], m, &hi, &lo);
        const std::uint64_t s = lo + carry;
        hi += s < lo ? 1 : 0;
        w[i] = s;
        carry = hi;
    }
    w[n] = carry;
    return pack(w, n + 1, a.exponent + 64, a.negative, n);
}

big_float big_div_small(const big_float& a, std::uint32_t d) {
    const int n = a.limbs;
    // (a's words followed by one zero word) / d, 32 bits at a time.
    std::uint64_t q[big_max_limbs + 1] = {};
    std::uint64_t rem = 0;
    for (int i = n; i >= 0; --i) {
        const std::uint64_t word = i >= 1 ? a.limb[i - 1] : 0;
        std::uint64_t cur = (rem << 32) | (word >> 32);
        const std::uint64_t q_hi = cur / d;
        rem = cur % d;
        cur = (rem << 32) | (word & 0xFFFFFFFFu);
        const std::uint64_t q_lo = cur / d;
        rem = cur % d;
        q[i] = (q_hi << 32) | q_lo;
    }
    // q holds a * 2^64 / d as n + 1 words, the same scale as a one word up.
    return pack(q, n + 1, a.exponent, a.negative, n);
}

big_float big_reciprocal(const big_float& a) {
    const int n = a.limbs;
    // m = |a| scaled into [1/2, 1); start from the double reciprocal and let
    // Newton's step y + y (1 - m y) double the correct bits each time.
    big_float m = a;
    m.exponent = 0;
    m.negative = false;
    const double m_approx = static_cast<double>(m.limb[n - 1] >> 11) * (1.0 / 9007199254740992.0);
    big_float y = big_from_double(1.0 / m_approx, n);
    const big_float one = big_from_int(1, n);
    for (int bits = 48; bits < 64 * n + 64; bits *= 2) {
        const big_float e = big_sub(one, big_mul(m, y));
        y = big_add(y, big_mul(y, e));
    }
    y.exponent -= a.exponent;
    y.negative = a.negative;
    return y;
}

big_float big_div(const big_float& a, const big_float& b) { return big_mul(a, big_reciprocal(b)); }

big_float big_pi(int limbs) {
    // Machin: pi = 16 atan(1/5) - 4 atan(1/239).
    const int w = limbs + 1;
    const big_float a5 = arc_of_inverse(5, true, w);
    const big_float a239 = arc_of_inverse(239, true, w);
    return big_resize(big_sub(big_scale(a5, 4), big_scale(a239, 2)), limbs);
}

big_float big_ln2(int limbs) {
    // ln 2 = 2 atanh(1/3).
    const int w = limbs + 1;
    return big_resize(big_scale(arc_of_inverse(3, false, w), 1), limbs);
}

big_float big_ln10(int limbs) {
    // ln 10 = 3 ln 2 + ln(5/4), ln(5/4) = 2 atanh(1/9).
    const int w = limbs + 1;
    const big_float ln2 = big_ln2(w);
    const big_float ln54 = big_scale(arc_of_inverse(9, false, w), 1);
    return big_resize(big_add(big_mul_small(ln2, 3), ln54), limbs);
}

big_float big_atan(double x, int limbs) {
    const int w = limbs + 1;
    big_float s = big_from_double(x < 0 ? -x : x, w);
    if (big_is_zero(s)) return zero_of(limbs);
    const big_float one = big_from_int(1, w);
    const bool inverted = magnitude_less(one, s);
    if (inverted) s = big_reciprocal(s);  // atan(s) = pi/2 - atan(1/s)
    const big_float pi = big_pi(w);
    big_float sum;
    if (s.exponent >= 0) {
        // s in [1/2, 1]: atan(s) = pi/4 + atan((s - 1)/(s + 1)), |(s-1)/(s+1)| <= 1/3.
        const big_float u = big_div(big_sub(s, one), big_add(s, one));
        sum = big_add(big_scale(pi, -2), odd_power_series(u, true));
    } else {
        sum = odd_power_series(s, true);
    }
    if (inverted) sum = big_sub(big_scale(pi, -1), sum);
    sum.negative = x < 0;
    return big_resize(sum, limbs);
}

namespace {

// |x| = (k + f) pi/2 with k whole and |f| <= 1/2: returns k mod 4 and f pi/2
// at `limbs` words. The product |x| 2/pi is formed with enough extra words
// that f keeps its precision even for the doubles nearest a multiple of pi/2
// (none is closer than 2^-62 to one).
int reduce_quarter_turns(double x, int limbs, big_float* r) {
    std::uint64_t m;
    int e;
    split_double(x < 0 ? -x : x, &m, &e);
    const int top = e + 53;  // |x| < 2^top
    int extra = 2 + (top > 0 ? (top + 130) / 64 + 1 : 0);
    const int w = limbs + extra;
    const big_float pi = big_pi(w);
    const big_float y = big_mul(big_from_double(x < 0 ? -x : x, w), big_scale(big_reciprocal(pi), 1));
    // y = Y * 2^(exponent - 64 w) with Y the words as one integer: the
    // fraction is its low F bits.
    const long fraction_bits = 64L * w - y.exponent;
    std::uint64_t frac[big_max_limbs] = {};
    int quarter = 0;
    bool round_up = false;
    if (fraction_bits > 64L * w) {  // y < 1/2
        for (int i = 0; i < w; ++i) frac[i] = y.limb[i];
    } else {
        auto bit = [&](long pos) -> int {
            if (pos < 0 || pos >= 64L * w) return 0;
            return static_cast<int>((y.limb[pos / 64] >> (pos % 64)) & 1);
        };
        quarter = bit(fraction_bits) + 2 * bit(fraction_bits + 1);
        round_up = bit(fraction_bits - 1) != 0;
        for (int i = 0; i < w; ++i) {
            const long lo_bit = 64L * i;
            if (lo_bit + 64 <= fraction_bits) {
                frac[i] = y.limb[i];
            } else if (lo_bit < fraction_bits) {
                frac[i] = y.limb[i] & ((1ull << (fraction_bits - lo_bit)) - 1);
            }
        }
    }
    big_float f = pack(frac, w, y.exponent, false, w);
    if (round_up) {
        // f - 1: the fraction minus one whole turn of the quarter.
        f = big_sub(f, big_from_int(1, w));
        quarter = (quarter + 1) % 4;
    }
    *r = big_resize(big_mul(f, big_scale(big_resize(pi, w), -1)), limbs);
    return quarter;
}

big_float sin_or_cos(double x, int limbs, bool want_sin) {
    const int w = limbs + 1;
    big_float r;
    const int quarter = reduce_quarter_turns(x, w, &r);
    // sin(k pi/2 + r) and cos(k pi/2 + r) by the quarter k mod 4.
    static const bool use_sin[2][4] = {{false, true, false, true}, {true, false, true, false}};
    static const bool flip[2][4] = {{false, true, true, false}, {false, false, true, true}};
    big_float v = sin_cos_series(r, use_sin[want_sin][quarter]);
    if (flip[want_sin][quarter]) v.negative = !v.negative;
    if (want_sin && x < 0) v.negative = !v.negative;
    return big_resize(v, limbs);
}

}  // namespace

big_float big_sin(double x, int limbs) { return sin_or_cos(x, limbs, true); }
big_float big_cos(double x, int limbs) { return sin_or_cos(x, limbs, false); }

big_float big_log(double x, int limbs) {
    const int w = limbs + 1;
    std::uint64_t m;
    int e;
    split_double(x, &m, &e);
    // x = mant * 2^k with mant in [sqrt(1/2), sqrt(2)).
    const int shift = leading_zeros64(m) - 11;  // bring subnormals to 53 bits
    m <<= shift;
    int k = e - shift + 52;
    big_float mant = big_scale(big_from_int(static_cast<std::int64_t>(m), w), -52);
    if (m > 6369051672525773ull) {  // above 2^52 sqrt(2)
        mant = big_scale(mant, -1);
        k = k + 1;
    }
    const big_float one = big_from_int(1, w);
    const big_float s = big_div(big_sub(mant, one), big_add(mant, one));
    big_float sum = big_scale(odd_power_series(s, false), 1);  // 2 atanh(s)
    if (k != 0) {
        big_float kl = big_mul_small(big_ln2(w), static_cast<std::uint32_t>(k < 0 ? -k : k));
        kl.negative = k < 0;
        sum = big_add(kl, sum);
    }
    return big_resize(sum, limbs);
}

big_float big_exp(const big_float& t) {
    const int n = t.limbs;
    const int w = n + 1;
    const double t_approx = big_to_double(t);
    // k = t / ln 2 rounded; r = t - k ln 2, |r| < 0.35.
    const double kd = t_approx * 1.4426950408889634;
    long k = static_cast<long>(kd < 0 ? kd - 0.5 : kd + 0.5);
    big_float kl = big_mul_small(big_ln2(w), static_cast<std::uint32_t>(k < 0 ? -k : k));
    kl.negative = k < 0;
    const big_float r = big_sub(big_resize(t, w), kl);
    big_float term = big_from_int(1, w);
    big_float sum = term;
    if (!big_is_zero(r)) {
        for (std::uint32_t i = 1;; ++i) {
            term = big_div_small(big_mul(term, r), i);
            if (big_is_zero(term) || term.exponent < sum.exponent - 64L * w - 4) break;
            sum = big_add(sum, term);
        }
    }
    return big_resize(big_scale(sum, k), n);
}

big_float big_pow(double x, double y, int limbs) {
    const int w = limbs + 2;
    const big_float t = big_mul(big_log(x, w), big_from_double(y, w));
    return big_resize(big_exp(t), limbs);
}

double big_to_double(const big_float& a) {
    if (big_is_zero(a)) return a.negative ? -0.0 : 0.0;
    std::uint64_t sig = a.limb[a.limbs - 1];
    for (int i = 0; i < a.limbs - 1; ++i)
        if (a.limb[i] != 0) sig |= 1;  // jammed: never mistaken for a tie
    long e = a.exponent - 64;
    if (e > 4000) e = 4000;
    if (e < -4000) e = -4000;
    return extended_to_double(extended{sig, static_cast<int>(e), a.negative});
}

namespace {

// The roundings of approx minus and plus twice its error bound
// (|error| < 2^(64 - 64 n) |value| <= 2^(exponent + 64 - 64 n)).
void round_bounds(const big_float& approx, double* lo, double* hi) {
    const int n = approx.limbs;
    big_float eps = big_from_int(1, n);
    eps.exponent = approx.exponent + 65 - 64L * n + 1;
    *lo = big_to_double(big_sub(approx, eps));
    *hi = big_to_double(big_add(approx, eps));
}

}  // namespace

bool big_round_if_decided(const big_float& approx, double* result) {
    double lo;
    double hi;
    round_bounds(approx, &lo, &hi);
    *result = lo;
    return lo == hi;
}

double big_round_midpoint_to_even(const big_float& approx) {
    double lo;
    double hi;
    round_bounds(approx, &lo, &hi);
    std::uint64_t b;
    std::memcpy(&b, &lo, sizeof b);
    return (b & 1) == 0 ? lo : hi;
}

}  // namespace xmath
