// Force-included in the fuzz build (clang) only, which is also compiled for
// the machine it runs on (-march=native, see CMakeLists.txt): clang refuses to
// pass the fast path's 32-byte vectors between functions built without AVX,
// where GCC only warns.
#pragma once

#if defined(__clang__)
// clang (14) emits a function with target_clones under a name that only
// callers which see the attribute on their own declaration reach, so a call
// from another file fails to link. Built for the machine it runs on, the fuzz
// build needs one version only.
#define target_clones(...)
#endif
