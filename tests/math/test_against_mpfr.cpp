// The correctly rounded functions against MPFR on every argument the
// converter passes (the window, the twiddles, the dither, the rate tables of
// the common rates and of random rates) and on random samples of the whole
// double range. Each group also counts how often the C library's function
// differs from the correctly rounded value, and prints the count.
#include <gtest/gtest.h>
#include <mpfr.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "math/correctly_rounded.h"
#include "math/evaluations.h"
#include "math/extended.h"
#include "model/model.h"

using namespace xmath;

namespace {

using mpfr_fn = int (*)(mpfr_ptr, mpfr_srcptr, mpfr_rnd_t);

struct mpfr_env {
    mpfr_env() {
        mpfr_set_emin(-1073);  // binary64 with its subnormals
        mpfr_set_emax(1024);
    }
} const env;

double reference(mpfr_fn f, double x) {
    mpfr_t a, r;
    mpfr_init2(a, 53);
    mpfr_init2(r, 53);
    mpfr_set_d(a, x, MPFR_RNDN);
    const int t = f(r, a, MPFR_RNDN);
    mpfr_subnormalize(r, t, MPFR_RNDN);
    const double d = mpfr_get_d(r, MPFR_RNDN);
    mpfr_clear(a);
    mpfr_clear(r);
    return d;
}

double reference_pow(double x, double y) {
    mpfr_t a, b, r;
    mpfr_inits2(53, a, b, r, static_cast<mpfr_ptr>(nullptr));
    mpfr_set_d(a, x, MPFR_RNDN);
    mpfr_set_d(b, y, MPFR_RNDN);
    const int t = mpfr_pow(r, a, b, MPFR_RNDN);
    mpfr_subnormalize(r, t, MPFR_RNDN);
    const double d = mpfr_get_d(r, MPFR_RNDN);
    mpfr_clears(a, b, r, static_cast<mpfr_ptr>(nullptr));
    return d;
}

std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

bool same(double a, double b) { return bits(a) == bits(b) || (a != a && b != b); }

// The error of a double-double evaluation v * 2^scale against the exact value
// (MPFR at 256 bits), as a fraction of the bound its rounding test assumes.
double error_in_bounds(xmath::double_double v, int scale, mpfr_srcptr exact, double relative_bound,
                       double absolute_bound) {
    mpfr_t a, d;
    mpfr_init2(a, 256);
    mpfr_init2(d, 256);
    mpfr_set_d(a, v.hi, MPFR_RNDN);
    mpfr_add_d(a, a, v.lo, MPFR_RNDN);  // exact at 256 bits
    mpfr_mul_2si(a, a, scale, MPFR_RNDN);
    mpfr_sub(d, a, exact, MPFR_RNDN);
    mpfr_abs(d, d, MPFR_RNDN);
    mpfr_t bound;
    mpfr_init2(bound, 64);
    mpfr_abs(bound, exact, MPFR_RNDN);
    mpfr_mul_d(bound, bound, relative_bound, MPFR_RNDN);
    mpfr_add_d(bound, bound, absolute_bound, MPFR_RNDN);
    mpfr_div(d, d, bound, MPFR_RNDN);
    const double ratio = mpfr_get_d(d, MPFR_RNDU);
    mpfr_clears(a, d, bound, static_cast<mpfr_ptr>(nullptr));
    return ratio;
}

// Tallies of one group of arguments.
struct tally {
    const char* name;
    long arguments = 0;
    long wrong = 0;         // ours against MPFR: must stay 0
    long libc_differs = 0;  // the C library against MPFR
    long undecided = 0;     // left to the multi-word evaluation by the fast path
    double worst = 0;       // largest double-double error over its bound
    void measured(double ratio) {
        if (ratio > worst) worst = ratio;
    }
    ~tally() {
        std::printf("[ math     ] %-40s %7ld args, %ld wrong, C library differs on %ld, fast path undecided on "
                    "%ld, worst error 2^%.1f of the bound\n",
                    name, arguments, wrong, libc_differs, undecided, worst > 0 ? std::log2(worst) : -999.0);
        // Every error at least 2^6 below the bound the rounding test assumes.
        EXPECT_LT(worst, 1.0 / 64) << name;
        EXPECT_GT(arguments, 0) << name << ": no argument reached the check";
    }
};

void check1(tally& t, double ours, double libc, double exact, double x) {
    ++t.arguments;
    if (!same(ours, exact)) {
        ++t.wrong;
        ADD_FAILURE() << t.name << " at " << std::hexfloat << x << ": " << ours << " != " << exact;
    }
    if (!same(libc, exact)) ++t.libc_differs;
}

using fast_fn = bool (*)(double, double*);

// One function of one argument: the result, the fast path's decision and the
// double-double error against MPFR.
void check_one(tally& t, double x, double ours, double libc, mpfr_fn f, fast_fn fast,
               xmath::double_double (*value)(double), bool in_value_domain, double relative_bound,
               double absolute_bound) {
    mpfr_t a, e;
    mpfr_init2(a, 53);
    mpfr_init2(e, 256);
    mpfr_set_d(a, x, MPFR_RNDN);
    f(e, a, MPFR_RNDN);
    check1(t, ours, libc, reference(f, x), x);
    double r;
    if (!fast(x, &r)) ++t.undecided;
    if (in_value_domain) t.measured(error_in_bounds(value(x), 0, e, relative_bound, absolute_bound));
    mpfr_clear(a);
    mpfr_clear(e);
}

bool in_sin_cos_domain(double x) { return std::fabs(x) >= 0x1p-27 && std::fabs(x) <= 0x1p20; }

void check_atan(tally& t, double x) {
    check_one(t, x, cr_atan(x), std::atan(x), mpfr_atan, atan_fast, atan_value,
              std::fabs(x) >= 0x1p-27 && std::fabs(x) < 0x1p54, atan_error, 0);
}
void check_sin(tally& t, double x) {
    check_one(t, x, cr_sin(x), std::sin(x), mpfr_sin, sin_fast, sin_value, in_sin_cos_domain(x), sin_cos_error,
              reduction_error);
}
void check_cos(tally& t, double x) {
    check_one(t, x, cr_cos(x), std::cos(x), mpfr_cos, cos_fast, cos_value, in_sin_cos_domain(x), sin_cos_error,
              reduction_error);
}
void check_log10(tally& t, double x) {
    check_one(t, x, cr_log10(x), std::log10(x), mpfr_log10, log10_fast, log10_value, x > 0 && x != INFINITY,
              log10_error, 0);
}
void check_pow(tally& t, double x, double y) {
    check1(t, cr_pow(x, y), std::pow(x, y), reference_pow(x, y), x);
    double r;
    if (!pow_fast(x, y, &r)) ++t.undecided;
    if (x > 0 && x != 1.0 && y != 0 && std::fabs(std::log(x) * y) < 700) {
        mpfr_t a, b, e;
        mpfr_inits2(256, a, b, e, static_cast<mpfr_ptr>(nullptr));
        mpfr_set_d(a, x, MPFR_RNDN);
        mpfr_set_d(b, y, MPFR_RNDN);
        mpfr_pow(e, a, b, MPFR_RNDN);
        int scale;
        const xmath::double_double v = pow_value(x, y, &scale);
        t.measured(error_in_bounds(v, scale, e, pow_error + std::fabs(std::log(x) * y) * pow_error_per_unit_exponent,
                                   0));
        mpfr_clears(a, b, e, static_cast<mpfr_ptr>(nullptr));
    }
}

// Every atan and pow argument of the rate tables at one rate: the program's
// own code fills them, with math that checks each argument against MPFR and
// returns the correctly rounded value, so each result feeds the next as in
// the program; the tables must come out as the program's.
tally* rate_atans = nullptr;
tally* rate_pows = nullptr;
double checked_atan(double x) {
    check_atan(*rate_atans, x);
    return cr_atan(x);
}
double checked_pow(double x, double y) {
    check_pow(*rate_pows, x, y);
    return cr_pow(x, y);
}

void check_rate(tally& atans, tally& pows, double rate) {
    rate_atans = &atans;
    rate_pows = &pows;
    static pcmtaper::rate_tables checked, plain;
    pcmtaper::fill_rate_tables_with(&checked, rate, {checked_atan, checked_pow});
    pcmtaper::fill_rate_tables(&plain, rate);
    EXPECT_EQ(std::memcmp(&checked, &plain, sizeof checked), 0) << "rate " << rate;
}

}  // namespace

TEST(MathAgainstMpfr, DitherAtanArguments) {
    tally t{"atan, 32768 dither arguments"};
    for (int r = 0; r < 32768; ++r) check_atan(t, dither_atan_argument(r));
}

TEST(MathAgainstMpfr, WindowAndTwiddles) {
    tally w{"sin, analysis window"};
    for (int i = 0; i < 256; ++i) check_sin(w, (i + 0.5) * 3.141592653589 / 256);
    tally s{"sin, twiddles n = 2..2^16"};
    tally c{"cos, twiddles n = 2..2^16"};
    const double pi = 3.141592653589793;
    for (int n = 2; n <= 65536; n *= 2) {
        for (int dir = 0; dir < 2; ++dir) {
            double theta = dir ? pi / n : -pi / n;
            for (int span = n; span >= 2; span /= 2) {
                theta = 2.0 * theta;
                for (int j = 0; j < span / 2; ++j) {
                    const double phi = j * theta;
                    check_cos(c, phi);
                    check_sin(s, phi);
                }
            }
        }
    }
}

TEST(MathAgainstMpfr, RateTablesOfCommonRates) {
    tally atans{"atan, rate tables, 18 common rates"};
    tally pows{"pow, rate tables, 18 common rates"};
    for (double rate : {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000, 88200, 96000,
                        176400, 192000, 352800, 384000, 705600, 768000})
        check_rate(atans, pows, rate);
}

TEST(MathAgainstMpfr, RateTablesOfRandomRates) {
    tally atans{"atan, rate tables, 400 random rates"};
    tally pows{"pow, rate tables, 400 random rates"};
    std::mt19937_64 g(31);
    for (int i = 0; i < 400; ++i) check_rate(atans, pows, static_cast<double>(1 + g() % 2147483647u));
    for (int rate = 1; rate <= 64; ++rate) check_rate(atans, pows, rate);
}

TEST(MathAgainstMpfr, RandomArguments) {
    std::mt19937_64 g(5);
    tally a{"atan, random doubles"};
    tally s{"sin, random |x| < 2^22"};
    tally c{"cos, random |x| < 2^22"};
    tally l{"log10, random positive doubles"};
    tally p{"pow, random x in 2^-8..2^8, |y| < 100"};
    for (int i = 0; i < 100000; ++i) {
        double x;
        const std::uint64_t b = g() & 0x7FFFFFFFFFFFFFFFull;
        std::memcpy(&x, &b, sizeof x);
        if (x != x || x == INFINITY) continue;
        check_log10(l, x);
        check_atan(a, (i & 1) ? -x : x);
        const double angle = std::ldexp(static_cast<double>(g() >> 11), -53 + static_cast<int>(g() % 46) - 24);
        check_sin(s, (i & 1) ? -angle : angle);
        check_cos(c, angle);
        const double base = std::ldexp(static_cast<double>(g() >> 11), -53 + static_cast<int>(g() % 16) - 7);
        const double exponent = (static_cast<double>(g() >> 11) * 0x1p-53 - 0.5) * 200;
        check_pow(p, base, exponent);
    }
    // Subnormals, powers of ten, neighbours of one.
    for (int k = -1074; k <= 1023; ++k) check_log10(l, std::ldexp(1.0, k));
    for (double x = 1.0; x < 1e300; x *= 10) check_log10(l, x);
    for (int k = 1; k < 2000; ++k) {
        check_log10(l, 1.0 + k * 0x1p-52);
        check_log10(l, 1.0 - k * 0x1p-53);
        check_log10(l, k * 0x1p-1074);
    }
}

TEST(MathAgainstMpfr, PowSpecialAndExactCases) {
    tally t{"pow, special and exact cases"};
    const double values[] = {0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 2.0, -2.0, 3.0, -3.0, 10.0, INFINITY, -INFINITY, NAN,
                             0x1p-1074, 1e308, 0x1.fffffffffffffp-1};
    for (double x : values)
        for (double y : values) check_pow(t, x, y);
    // Exact results and midpoints: odd significands squared, cubed, rooted.
    const double exact[][2] = {{0x1.ffffffcp26, 2}, {134217727.0, 2}, {3.0, 33}, {9.0, 0.5}, {0x1p-1074, 0.5},
                               {2.0, -1075}, {2.0, -1074}, {4.0, -537.5}, {10.0, 22}, {10.0, -1}, {27.0, 1.0 / 3}};
    for (const auto& e : exact) check_pow(t, e[0], e[1]);
}
