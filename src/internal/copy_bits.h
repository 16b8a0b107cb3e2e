// The bits of one trivially copyable type as another of the same size, by
// copying: std::bit_cast is missing from the C++ library of some toolchains
// that build this (Emscripten's).
#pragma once

#include <cstring>
#include <type_traits>

namespace pcmtaper {

template <class To, class From>
To copy_bits(const From& from) {
    static_assert(sizeof(To) == sizeof(From) && std::is_trivially_copyable_v<To> && std::is_trivially_copyable_v<From>);
    To to;
    std::memcpy(&to, &from, sizeof to);
    return to;
}

}  // namespace pcmtaper
