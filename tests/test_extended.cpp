// The software extended format against the x87 `long double` it reproduces,
// operation by operation, on random values built to hit exact ties and the
// double rounding of a 64-bit result to a double. Only where the compiler's
// long double is the x87 format (x86 with GCC or Clang).
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <cstring>
#include <random>

#include "math/extended.h"

using namespace xmath;

#if (defined(__x86_64__) || defined(__i386__)) && LDBL_MANT_DIG == 64

namespace {

long double to_long_double(extended a) {
    long double v = static_cast<long double>(a.significand);  // exact: 64 bits
    int e = a.exponent;
    while (e > 0) { v = v * 2.0L; --e; }
    while (e < 0) { v = v * 0.5L; ++e; }
    return a.negative ? -v : v;
}

std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// A random extended value with few or many significant bits, so that products
// and sums land exactly on ties now and then.
extended random_extended(std::mt19937_64& g) {
    const int width = 1 + static_cast<int>(g() % 64);
    std::uint64_t m = g() | (1ull << (width - 1));
    if (width < 64) m &= (1ull << width) - 1;
    extended e = extended_from_int(static_cast<std::int64_t>(m >> 1) | 1);
    e.negative = (g() & 1) != 0;
    return extended_scale(e, static_cast<int>(g() % 40) - 20);
}

double random_double(std::mt19937_64& g) {
    const int width = 1 + static_cast<int>(g() % 53);
    const double m = static_cast<double>((g() >> (64 - width)) | 1);
    double x = m;
    for (int i = static_cast<int>(g() % 30); i > 0; --i) x = x * 0.5;
    return (g() & 1) ? -x : x;
}

}  // namespace

TEST(ExtendedFormat, ConstantsAreTheX87Values) {
    EXPECT_EQ(to_long_double(inv_7500()), 1.0L / 7500.0L);
    EXPECT_EQ(to_long_double(db_to_decade_exponent_factor()), 0.05L);
    EXPECT_EQ(to_long_double(inv_32767()), 1.0L / 32767.0L);
    for (std::uint32_t n = 1; n < 5000; n += 7)
        EXPECT_EQ(to_long_double(extended_reciprocal(n)), 1.0L / static_cast<long double>(n)) << n;
}

TEST(ExtendedFormat, OperationsMatchTheX87) {
    std::mt19937_64 g(12);
    int ties_seen = 0;
    for (int i = 0; i < 400000; ++i) {
        const extended a = random_extended(g);
        const extended b = random_extended(g);
        const long double la = to_long_double(a);
        const long double lb = to_long_double(b);
        const extended p = extended_mul(a, b);
        const extended s = extended_add(a, b);
        ASSERT_EQ(to_long_double(p), la * lb) << i;
        ASSERT_EQ(to_long_double(s), la + lb) << i;
        ASSERT_EQ(bits(extended_to_double(p)), bits(static_cast<double>(la * lb))) << i;
        ASSERT_EQ(bits(extended_to_double(s)), bits(static_cast<double>(la + lb))) << i;
        ASSERT_EQ(extended_less(a, b), la < lb) << i;
        // A 64-bit value halfway between two doubles (ties to even on the double).
        if ((p.significand & 0x7FF) == 0x400) ++ties_seen;
    }
    EXPECT_GT(ties_seen, 100);  // the double-rounding ties were exercised
}

TEST(ExtendedFormat, ConverterQuantitiesMatchTheX87) {
    const long double inv7500 = 1.0L / 7500.0L;
    const long double inv32767 = 1.0L / 32767.0L;
    for (int r = 0; r < 32768; ++r) {
        const double arg = static_cast<double>(static_cast<long double>(4 * r - 2) * inv32767);
        ASSERT_EQ(bits(dither_atan_argument(r)), bits(arg)) << r;
    }
    std::mt19937_64 g(7);
    for (int i = 0; i < 300000; ++i) {
        // Bin frequencies: rates of every size, offsets 0.4..127.4 bins.
        const double rate = static_cast<double>(1 + g() % 2147483647u);
        const double f = (0.4 + static_cast<double>(g() % 129)) * rate / 256.0;
        const long double q = static_cast<long double>(f) * inv7500;
        ASSERT_EQ(bits(bark_ratio_squared(f)), bits(static_cast<double>(q * q))) << f;
        const double db = random_double(g) * 100.0;
        ASSERT_EQ(bits(decade_exponent_of_db(db)), bits(static_cast<double>(0.05L * static_cast<long double>(db))))
            << db;
        // Dither: an atan value, a target near the output steps.
        const double a = random_double(g);
        const double target = random_double(g);
        const long double offset = static_cast<long double>(a) * static_cast<long double>(0.31) / 256.0L;
        ASSERT_EQ(to_long_double(dither_offset_of_atan(a, 0.31)), offset);
        const double v = add_extended_dither(target, dither_offset_of_atan(a, 0.31));
        ASSERT_EQ(bits(v), bits(static_cast<double>(static_cast<long double>(target) + offset)));
        const long double shifted = 256.0L * static_cast<long double>(v) + 128.5L;
        ASSERT_EQ(to_long_double(shifted_step_value(v)), shifted);
        if (shifted > -1e18L && shifted < 1e18L) {
            ASSERT_EQ(extended_truncate(shifted_step_value(v)), static_cast<long long>(shifted));
        }
    }
    // Steps exactly at and next to a half: v = (q - 0.5)/256 and its neighbours.
    for (int q = -130; q <= 130; ++q) {
        double v = (q - 0.5) / 256.0;
        for (int k = 0; k < 3; ++k) {
            const long double shifted = 256.0L * static_cast<long double>(v) + 128.5L;
            ASSERT_EQ(extended_truncate(shifted_step_value(v)), static_cast<long long>(shifted)) << v;
            std::uint64_t b = bits(v) + (k == 0 ? 1 : 0) - (k == 1 ? 2 : 0);
            std::memcpy(&v, &b, sizeof v);
        }
    }
}

#endif
