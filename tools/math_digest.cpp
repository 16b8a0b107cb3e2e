// Prints a digest of the math's results on the converter's argument sets and
// on random samples, for comparing builds: every platform must print the same.
//
// Usage: math_digest
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "math/correctly_rounded.h"
#include "math/extended.h"

namespace {

std::uint64_t digest = 1469598103934665603ull;  // FNV-1a over the result bits

void mix(double x) {
    unsigned char b[8];
    std::memcpy(b, &x, 8);
    for (unsigned char c : b) digest = (digest ^ c) * 1099511628211ull;
}

std::uint64_t state = 88172645463325252ull;
std::uint64_t next() {  // xorshift64
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

}  // namespace

int main() {
    using namespace xmath;
    for (int r = 0; r < 32768; ++r) mix(cr_atan(dither_atan_argument(r)));
    for (int i = 0; i < 256; ++i) mix(cr_sin((i + 0.5) * 3.141592653589 / 256));
    const double pi = 3.141592653589793;
    for (int n = 2; n <= 256; n *= 2) {
        double theta = -pi / n;
        for (int span = n; span >= 2; span /= 2) {
            theta = 2.0 * theta;
            for (int j = 0; j < span / 2; ++j) {
                mix(cr_cos(j * theta));
                mix(cr_sin(j * theta));
            }
        }
    }
    for (int i = 0; i < 20000; ++i) {
        double x;
        const std::uint64_t b = next() & 0x7FEFFFFFFFFFFFFFull;
        std::memcpy(&x, &b, 8);
        mix(cr_log10(x));
        mix(cr_atan(x));
        const double f = static_cast<double>(next() % 1000000) * 0.37;
        mix(bark_ratio_squared(f));
        mix(decade_exponent_of_db(f * 1e-4));
        mix(cr_pow(10.0, f * 1e-5));
        mix(cr_pow(0.316, f * 1e-6));
        mix(cr_sin(f * 1e-5));
        mix(add_extended_dither(f * 1e-6, dither_offset_of_atan(f * 1e-7, 0.31)));
    }
    std::printf("%016llx\n", static_cast<unsigned long long>(digest));
    return 0;
}
