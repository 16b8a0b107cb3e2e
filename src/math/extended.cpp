#include "math/extended.h"

#include <cstring>

#include "math/wide_int.h"

namespace xmath {

namespace {

std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

double double_of(std::uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

constexpr extended zero(bool negative) { return extended{0, 0, negative}; }

// Rounds hi:lo (hi's bit 63 set), whose lowest bit weighs 2^lo_exponent, to
// its top 64 bits. `lo` carries everything below them; any nonzero bits
// already dropped have been jammed into its lowest bit (which never makes lo
// look like an exact half, so the tie test stays right).
constexpr extended round_to_64(std::uint64_t hi, std::uint64_t lo, int lo_exponent, bool negative) {
    int exponent = lo_exponent + 64;
    const bool above_half = lo > 0x8000000000000000ull;
    const bool at_half = lo == 0x8000000000000000ull;
    if (above_half || (at_half && (hi & 1) != 0)) {
        hi = hi + 1;
        if (hi == 0) {  // carried out of the significand: 2^64
            hi = 0x8000000000000000ull;
            exponent = exponent + 1;
        }
    }
    return extended{hi, exponent, negative};
}


constexpr extended reciprocal_of(std::uint32_t n) {
    // Long division of 1 by n, one quotient bit at a time: 64 bits from the
    // leading one, then the rest of the quotient decides the rounding.
    std::uint64_t remainder = 1;
    int exponent = 0;
    while (remainder < n) {
        remainder = remainder << 1;
        exponent = exponent - 1;
    }
    std::uint64_t q = 0;
    for (int i = 0; i < 64; ++i) {
        const bool bit = remainder >= n;
        if (bit) remainder = remainder - n;
        q = (q << 1) | (bit ? 1 : 0);
        remainder = remainder << 1;
        exponent = exponent - 1;
    }
    // The next quotient bit and whether anything follows it.
    std::uint64_t lo = 0;
    if (remainder >= n) {
        lo = 0x8000000000000000ull;
        remainder = remainder - n;
    }
    if (remainder != 0) lo = lo | 1;
    return round_to_64(q, lo, exponent + 1 - 64, false);
}

// The converter's constants, rounded once at compile time.
constexpr extended inv_7500_value = reciprocal_of(7500);
constexpr extended inv_20_value = reciprocal_of(20);  // 0.05
constexpr extended inv_32767_value = reciprocal_of(32767);

}  // namespace

extended extended_from_double(double x) {
    const std::uint64_t b = bits_of(x);
    const bool negative = (b >> 63) != 0;
    const int field = static_cast<int>((b >> 52) & 0x7FF);
    std::uint64_t m = b & 0xFFFFFFFFFFFFFull;
    int exponent = -1074;
    if (field != 0) {
        m = m | (1ull << 52);
        exponent = field - 1075;
    }
    if (m == 0) return zero(negative);
    const int shift = leading_zeros64(m);
    return extended{m << shift, exponent - shift, negative};
}

extended extended_from_int(std::int64_t n) {
    if (n == 0) return zero(false);
    const bool negative = n < 0;
    const std::uint64_t m = negative ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
    const int shift = leading_zeros64(m);
    return extended{m << shift, -shift, negative};
}

extended extended_mul(extended a, extended b) {
    const bool negative = a.negative != b.negative;
    if (a.significand == 0 || b.significand == 0) return zero(negative);
    std::uint64_t hi;
    std::uint64_t lo;
    mul_64x64(a.significand, b.significand, &hi, &lo);
    int lo_exponent = a.exponent + b.exponent;
    if ((hi >> 63) == 0) {  // the product of two numbers in [1, 2) is below 2
        hi = (hi << 1) | (lo >> 63);
        lo = lo << 1;
        lo_exponent = lo_exponent - 1;
    }
    return round_to_64(hi, lo, lo_exponent, negative);
}

extended extended_add(extended a, extended b) {
    if (b.significand == 0) return a.significand == 0 ? zero(a.negative && b.negative) : a;
    if (a.significand == 0) return b;
    // a takes the larger magnitude (both are normalised).
    if (a.exponent < b.exponent || (a.exponent == b.exponent && a.significand < b.significand)) {
        const extended t = a;
        a = b;
        b = t;
    }
    // a is hi = significand, lo = 0; b shifted right by d under it. Bits of b
    // shifted out only when d > 64, and then a's lo is zero and b's remaining
    // bits sit in lo alone: the jammed bit stays two or more places below the
    // rounding position even after the one-place normalisation of a difference.
    const unsigned d = static_cast<unsigned>(a.exponent - b.exponent);
    std::uint64_t bhi = 0;
    std::uint64_t blo = 0;
    if (d == 0) {
        bhi = b.significand;
    } else if (d < 64) {
        bhi = b.significand >> d;
        blo = b.significand << (64 - d);
    } else if (d == 64) {
        blo = b.significand;
    } else if (d < 128) {
        blo = b.significand >> (d - 64);
        if ((b.significand << (128 - d)) != 0) blo = blo | 1;
    } else {
        blo = 1;  // only a trace of b: below every rounding position
    }
    std::uint64_t hi = a.significand;
    std::uint64_t lo = 0;
    int lo_exponent = a.exponent - 64;
    if (a.negative == b.negative) {
        lo = blo;
        const std::uint64_t sum_hi = hi + bhi;
        const bool carry = sum_hi < hi;
        hi = sum_hi;
        if (carry) {  // 2^64 <= sum: one place right, the dropped bit jammed
            const std::uint64_t dropped = lo & 1;
            lo = (lo >> 1) | (hi << 63) | dropped;
            hi = (hi >> 1) | 0x8000000000000000ull;
            lo_exponent = lo_exponent + 1;
        }
    } else {
        const std::uint64_t borrow = blo != 0 ? 1 : 0;
        lo = 0 - blo;
        hi = hi - bhi - borrow;
        if (hi == 0 && lo == 0) return zero(false);  // exact cancellation is +0
        while ((hi >> 63) == 0) {
            hi = (hi << 1) | (lo >> 63);
            lo = lo << 1;
            lo_exponent = lo_exponent - 1;
        }
    }
    return round_to_64(hi, lo, lo_exponent, a.negative);
}

extended extended_reciprocal(std::uint32_t n) { return reciprocal_of(n); }

extended extended_scale(extended a, int k) {
    if (a.significand != 0) a.exponent = a.exponent + k;
    return a;
}

double extended_to_double(extended a) {
    const std::uint64_t sign = a.negative ? 0x8000000000000000ull : 0;
    if (a.significand == 0) return double_of(sign);
    const int unbiased = a.exponent + 63;  // value in [2^unbiased, 2^(unbiased+1))
    if (unbiased > 1023) return double_of(sign | 0x7FF0000000000000ull);
    // Bits of the significand below the double's last place.
    int shift = 11;
    if (unbiased < -1022) shift = shift + (-1022 - unbiased);
    if (shift > 64) return double_of(sign);  // below half the smallest subnormal
    std::uint64_t kept;
    std::uint64_t rest;
    std::uint64_t half;
    if (shift == 64) {
        kept = 0;
        rest = a.significand;
        half = 0x8000000000000000ull;
    } else {
        kept = a.significand >> shift;
        rest = a.significand & ((1ull << shift) - 1);
        half = 1ull << (shift - 1);
    }
    if (rest > half || (rest == half && (kept & 1) != 0)) kept = kept + 1;
    // The exponent field plus the significand with its leading one: a carry
    // out of the significand moves into the exponent, as it should.
    std::uint64_t bits;
    if (unbiased < -1022) {
        bits = kept;  // subnormal; a round-up to 2^52 is the smallest normal
    } else {
        bits = (static_cast<std::uint64_t>(unbiased + 1022) << 52) + kept;
    }
    if (bits >= 0x7FF0000000000000ull) bits = 0x7FF0000000000000ull;
    return double_of(sign | bits);
}

std::int64_t extended_truncate(extended a) {
    if (a.significand == 0 || a.exponent <= -64) return 0;
    std::uint64_t m;
    if (a.exponent >= 0) {
        m = a.significand << a.exponent;  // caller keeps |a| below 2^63
    } else {
        m = a.significand >> (-a.exponent);
    }
    return a.negative ? -static_cast<std::int64_t>(m) : static_cast<std::int64_t>(m);
}

bool extended_less(extended a, extended b) {
    const bool a_zero = a.significand == 0;
    const bool b_zero = b.significand == 0;
    if (a_zero && b_zero) return false;
    if (a_zero) return !b.negative;
    if (b_zero) return a.negative;
    if (a.negative != b.negative) return a.negative;
    // Same sign: compare magnitudes, normalised.
    const bool a_smaller = a.exponent < b.exponent ||
                           (a.exponent == b.exponent && a.significand < b.significand);
    const bool equal = a.exponent == b.exponent && a.significand == b.significand;
    if (equal) return false;
    return a.negative ? !a_smaller : a_smaller;
}

// ---- The converter's quantities --------------------------------------------

extended inv_7500() { return inv_7500_value; }
extended db_to_decade_exponent_factor() { return inv_20_value; }
extended inv_32767() { return inv_32767_value; }

double bark_ratio_squared(double f_hz) {
    const extended q = extended_mul(extended_from_double(f_hz), inv_7500());
    return extended_to_double(extended_mul(q, q));
}

double decade_exponent_of_db(double db) {
    return extended_to_double(extended_mul(db_to_decade_exponent_factor(), extended_from_double(db)));
}

double dither_atan_argument(int r) {
    return extended_to_double(extended_mul(extended_from_int(4 * static_cast<std::int64_t>(r) - 2), inv_32767()));
}

extended dither_offset_of_atan(double a, double gain) {
    return extended_scale(extended_mul(extended_from_double(a), extended_from_double(gain)), -8);
}

double add_extended_dither(double target, extended offset) {
    return extended_to_double(extended_add(extended_from_double(target), offset));
}

extended shifted_step_value(double v) {
    return extended_add(extended_scale(extended_from_double(v), 8), extended_from_double(128.5));
}

}  // namespace xmath
