// 64-bit limb helpers in plain uint64 arithmetic with explicit carries, so
// that every compiler (with or without a 128-bit integer type) builds them.
#pragma once

#include <cstdint>

namespace xmath {

// Number of leading zero bits of m (64 for m == 0).
constexpr int leading_zeros64(std::uint64_t m) {
    if (m == 0) return 64;
    int n = 0;
    if ((m >> 32) == 0) { n += 32; m <<= 32; }
    if ((m >> 48) == 0) { n += 16; m <<= 16; }
    if ((m >> 56) == 0) { n += 8; m <<= 8; }
    if ((m >> 60) == 0) { n += 4; m <<= 4; }
    if ((m >> 62) == 0) { n += 2; m <<= 2; }
    if ((m >> 63) == 0) { n += 1; }
    return n;
}

// The full 128-bit product a * b as hi:lo.
constexpr void mul_64x64(std::uint64_t a, std::uint64_t b, std::uint64_t* hi, std::uint64_t* lo) {
    const std::uint64_t a_lo = a & 0xFFFFFFFFu;
    const std::uint64_t a_hi = a >> 32;
    const std::uint64_t b_lo = b & 0xFFFFFFFFu;
    const std::uint64_t b_hi = b >> 32;
    const std::uint64_t ll = a_lo * b_lo;
    const std::uint64_t lh = a_lo * b_hi;
    const std::uint64_t hl = a_hi * b_lo;
    const std::uint64_t hh = a_hi * b_hi;
    // Middle column: at most 3 * (2^32 - 1), no overflow in 64 bits.
    const std::uint64_t mid = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
    *lo = (mid << 32) | (ll & 0xFFFFFFFFu);
    *hi = hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
}

}  // namespace xmath
