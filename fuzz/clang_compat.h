// Force-included in the fuzz build (clang) only, which is also compiled for
// the machine it runs on (-march=native): the fast path's 32-byte vector
// helpers are written for GCC, which passes them without AVX; clang refuses to.
//
// GCC's two-vector
// __builtin_shuffle(a, b, mask) has no clang spelling with a mask vector
// (clang's __builtin_shufflevector takes the indices as constants, which GCC
// 12 also accepts: the code that uses __builtin_shuffle could move to that and
// make this file unneeded). Here it is done lane by lane: the same lanes move,
// no value is computed, so the results are those of the GCC build.
#pragma once

#if defined(__clang__)
template <class vector, class mask>
inline vector pcmtaper_clang_shuffle(vector a, vector b, mask m) {
    constexpr int lanes = sizeof(vector) / sizeof(a[0]);
    vector r;
    for (int i = 0; i < lanes; ++i) {
        const int k = static_cast<int>(m[i]) & (2 * lanes - 1);
        r[i] = k < lanes ? a[k] : b[k - lanes];
    }
    return r;
}
#define __builtin_shuffle pcmtaper_clang_shuffle
#endif

#if defined(__clang__)
// clang (14) emits a function with target_clones under a name that only
// callers which see the attribute on their declaration reach; the fuzz build
// is compiled for the machine it runs on (-march=native), so one version is enough.
#define target_clones(...)
#endif
