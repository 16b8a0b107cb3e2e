// The output rules that need no system call: which existing files the
// program may replace.
#include <cstdint>
#include <cstring>

#include "driver/output.h"

namespace {

std::uint32_t le32(const unsigned char* b) {
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
}

}  // namespace

bool may_replace_existing_output(const std::string& name) {
    unsigned char start[4096];
    std::size_t length = 0;
    std::FILE* f = open_input_file(name);  // a UTF-8 name on every system
    if (f == nullptr) return false;
    length = std::fread(start, 1, sizeof start, f);
    std::fclose(f);
    return length == 0 || looks_like_8_bit_wav(start, length);
}

bool looks_like_8_bit_wav(const unsigned char* bytes, std::size_t length) {
    if (length < 12 || (std::memcmp(bytes, "RIFF", 4) != 0 && std::memcmp(bytes, "RF64", 4) != 0) ||
        std::memcmp(bytes + 8, "WAVE", 4) != 0)
        return false;
    // The chunks up to "fmt ": the program writes it first (after "ds64"),
    // other writers may put a few chunks before it.
    std::size_t at = 12;
    while (at + 8 <= length) {
        const std::uint32_t size = le32(bytes + at + 4);
        if (std::memcmp(bytes + at, "fmt ", 4) == 0) {
            if (size < 16 || at + 8 + 16 > length) return false;
            const unsigned char* fmt = bytes + at + 8;
            return fmt[0] == 1 && fmt[1] == 0 && fmt[2] == 1 && fmt[3] == 0 && fmt[14] == 8 && fmt[15] == 0;
        }
        if (size > length) return false;
        at += 8 + size + size % 2;
    }
    return false;
}
