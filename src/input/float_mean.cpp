#include "input/float_mean.h"

#include <algorithm>
#include "internal/copy_bits.h"
#include <cmath>
#include <cstdint>

#include "math/wide_int.h"

namespace pcmtaper {

namespace {

// x * 2^k for a result that is a double, by products with powers of two
// that are normal doubles, each exact (kept out of the C library's ldexp, so
// that the library needs nothing of libm: a static link with -Bstatic takes
// glibc's libm.a, which does not link beside a shared libc).
double times_power_of_two(double x, int k) {
    constexpr int lowest_normal_exponent = -1022, highest_exponent = 1023, exponent_bias = 1023;
    while (k < lowest_normal_exponent) {
        x *= copy_bits<double>(std::uint64_t{1} << 52);  // 2^-1022
        k -= lowest_normal_exponent;
    }
    while (k > highest_exponent) {
        x *= copy_bits<double>(std::uint64_t{highest_exponent + exponent_bias} << 52);
        k -= highest_exponent;
    }
    return x * copy_bits<double>(static_cast<std::uint64_t>(k + exponent_bias) << 52);
}

// A fixed-point integer in units of 2^-1074 (the smallest subnormal), in
// which every finite double is an integer: a double is m * 2^e with m < 2^53
// and e >= -1074, so it is m placed at bit e + 1074 <= 2045, whose top bit is
// at most 2097. 64 such magnitudes sum below 2^2104: 33 limbs hold any sum of
// a frame without overflow. Positive and negative values go to two such
// magnitudes, so that adding only ever carries upward.
constexpr int accumulator_limbs = 33;

struct magnitude_sum {
    std::uint64_t limb[accumulator_limbs] = {};
    int bottom = accumulator_limbs;  // lowest limb written
    int top = -1;                    // highest limb written

    void add(std::uint64_t mantissa, int bit) {
        int i = bit / 64;
        const int shift = bit % 64;
        const std::uint64_t words[2] = {mantissa << shift, shift == 0 ? 0 : mantissa >> (64 - shift)};
        if (i < bottom) bottom = i;
        std::uint64_t carry = 0;
        for (const std::uint64_t w : words) {
            const std::uint64_t partial = limb[i] + w;
            const std::uint64_t total = partial + carry;
            carry = (partial < w ? 1 : 0) + (total < carry ? 1 : 0);
            limb[i++] = total;
        }
        for (; carry != 0; ++i) carry = ++limb[i] == 0 ? 1 : 0;
        if (i - 1 > top) top = i - 1;
    }
};

// The exact rounding of (q + f) * 2^e to a double, where q >= 2^57 is an
// integer and f in [0, 1) is known only as zero or not (`fraction`): the
// nearest multiple of the unit in the last place, ties to even. The unit is
// that of 53 significant bits, or 2^-1074 where that would be smaller (the
// subnormal range).
double round_scaled(std::uint64_t q, bool fraction, int e) {
    const int length = 64 - xmath::leading_zeros64(q);
    // Bits of q dropped: at least 5, so the guard bit lies inside q.
    const int dropped = std::max(length - 53, -1074 - e);
    std::uint64_t kept = 0;
    bool guard = false;
    bool below_guard = fraction;
    if (dropped < 64) {
        kept = q >> dropped;
        guard = ((q >> (dropped - 1)) & 1) != 0;
        below_guard = below_guard || (q & ((std::uint64_t{1} << (dropped - 1)) - 1)) != 0;
    } else if (dropped == 64) {
        guard = (q >> 63) != 0;
        below_guard = below_guard || (q << 1) != 0;
    } else {
        below_guard = true;  // q < 2^64 lies below half the unit: rounds to 0
    }
    if (guard && (below_guard || (kept & 1) != 0)) ++kept;
    // kept <= 2^53 at an exponent of at least -1074: a double, so the scaling is exact.
    return times_power_of_two(static_cast<double>(kept), e + dropped);
}

}  // namespace

// Every double is an integer in units of 2^-1074, so the sum S of the frame
// is an integer D of the accumulator, exactly. The mean on the sample scale
// is D * 2^-1074 / (2n). Let T be the top 64 bits of |D| (its highest bit at
// bit 63; D shifted up when shorter), so that |D| = T * 2^k + low with
// 0 <= low < 2^k (low = 0 when k <= 0). With T = q*n + r (0 <= r < n):
//     |D| / n = (q + (r * 2^k + low) / (n * 2^k)) * 2^k,
// and the fraction (r * 2^k + low) / (n * 2^k) lies in [0, 1) since
// r * 2^k + low < (r + 1) * 2^k <= n * 2^k; it is zero exactly when r and
// low are. As T >= 2^63 and n <= 64, q >= 2^57: 58 bits or more, enough for
// the 53 kept, the guard bit and a sticky one. The mean is then
// (q + fraction) * 2^(k - 1075), which round_scaled rounds once.
double float_frame_mean_exact(const double* values, int count) {
    magnitude_sum positive, negative;
    for (int i = 0; i < count; ++i) {
        const std::uint64_t bits = copy_bits<std::uint64_t>(values[i]);
        const int biased = static_cast<int>((bits >> 52) & 0x7FF);
        const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
        if (biased == 0 && fraction == 0) continue;
        // A normal number's mantissa has the hidden bit and sits one place
        // below its biased exponent; a subnormal's sits at bit 0.
        const std::uint64_t mantissa = biased == 0 ? fraction : fraction | std::uint64_t{1} << 52;
        const int bit = biased == 0 ? 0 : biased - 1;
        ((bits >> 63) != 0 ? negative : positive).add(mantissa, bit);
    }
    const int top = std::max(positive.top, negative.top);
    const int bottom = std::min(positive.bottom, negative.bottom);
    int differs = top;
    while (differs >= bottom && positive.limb[differs] == negative.limb[differs]) --differs;
    if (differs < bottom) return 0.0;
    const bool is_negative = negative.limb[differs] > positive.limb[differs];
    const magnitude_sum& larger = is_negative ? negative : positive;
    const magnitude_sum& smaller = is_negative ? positive : negative;
    std::uint64_t difference[accumulator_limbs] = {};
    std::uint64_t borrow = 0;
    for (int i = bottom; i <= differs; ++i) {
        const std::uint64_t a = larger.limb[i];
        const std::uint64_t b = smaller.limb[i];
        difference[i] = a - b - borrow;
        borrow = (a < b || (a == b && borrow != 0)) ? 1 : 0;
    }
    int high = differs;
    while (difference[high] == 0) --high;

    const int top_bits = 64 - xmath::leading_zeros64(difference[high]);
    const int k = 64 * high + top_bits - 64;  // |D| = T * 2^k + low
    std::uint64_t t;
    bool low_nonzero = false;
    if (top_bits == 64) {
        t = difference[high];
        for (int i = bottom; i < high; ++i) low_nonzero = low_nonzero || difference[i] != 0;
    } else if (high == 0) {
        t = difference[0] << (64 - top_bits);
    } else {
        const std::uint64_t next = difference[high - 1];
        t = difference[high] << (64 - top_bits) | next >> top_bits;
        low_nonzero = (next << (64 - top_bits)) != 0;
        for (int i = bottom; i < high - 1; ++i) low_nonzero = low_nonzero || difference[i] != 0;
    }
    const auto n = static_cast<std::uint64_t>(count);
    const double magnitude = round_scaled(t / n, t % n != 0 || low_nonzero, k - 1075);
    return is_negative ? -magnitude : magnitude;
}

// The cheap paths, each one IEEE operation rounding the exact mean once:
// - one value: v / 2 is v * 0.5, rounded once (it rounds only below 2^-1021).
// - two values: s = a + b rounded once, then s * 0.25, which is the
//   rounding of (a + b) / 4. Where |a + b| >= 2^-1020, s and s / 4 are
//   normal numbers and scaling by a power of two commutes with rounding.
//   Below 2^-1021, a + b (a multiple of 2^-1074, under 2^53 of them) is a
//   double: s is exact, the product the one rounding. Between, a + b is
//   k * 2^-1074 with 2^53 <= k < 2^54, where the doubles are the even k: an
//   even k is exact as before; an odd k is a tie that s breaks to the
//   multiple of 4 (the even significand), so s / 4 is exact and is the
//   integer nearest k / 4 (m for 4m + 1, m + 1 for 4m + 3), the one rounding
//   of (a + b) / 4 to a multiple of 2^-1074. Only an overflow of the sum
//   (two values near the largest double) leaves this path.
// - more: the running sum with each addition's error found exactly (Knuth's
//   two-sum, valid without overflow). When every error is zero, every
//   partial sum was exact and s is the frame's sum itself; the division by
//   2n (a small integer, exact) then rounds once, subnormals included. This
//   holds for most frames of 32-bit float files, whose values carry 24 bits;
//   the others take the accumulator.
double float_frame_mean(const double* values, int count) {
    if (count == 1) return values[0] * 0.5;
    if (count == 2) {
        const double sum = values[0] + values[1];
        if (std::isfinite(sum)) return sum * 0.25;
        return float_frame_mean_exact(values, count);
    }
    double sum = values[0];
    bool exact = true;
    for (int i = 1; i < count; ++i) {
        const double v = values[i];
        const double next = sum + v;
        const double v_part = next - sum;
        const double error = (sum - (next - v_part)) + (v - v_part);
        exact = exact && error == 0.0;
        sum = next;
    }
    if (exact && std::isfinite(sum)) return sum / (2.0 * count);
    return float_frame_mean_exact(values, count);
}

}  // namespace pcmtaper
