// Builders of WAV files as byte strings, for driving the header walk and the
// program with exactly the bytes a test needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fixtures {

inline std::string u16(std::uint16_t v) {
    return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

inline std::string u32(std::uint32_t v) { return u16(v & 0xFFFF) + u16(v >> 16); }

// One chunk: id, size and body, with the pad byte after an odd body unless
// `pad` is false (as some writers do).
inline std::string chunk(const std::string& id, const std::string& body, bool pad = true) {
    std::string c = id + u32(static_cast<std::uint32_t>(body.size())) + body;
    if (pad && body.size() % 2 == 1) c += '\0';
    return c;
}

inline std::string fmt_body(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate_hz,
                            std::uint16_t bits = 16, const std::string& extension = "") {
    const std::uint16_t align = static_cast<std::uint16_t>(channels * bits / 8);
    return u16(tag) + u16(channels) + u32(rate_hz) + u32(rate_hz * align) + u16(align) + u16(bits) +
           extension;
}

inline std::string riff(const std::string& chunks, const std::string& riff_id = "RIFF",
                        const std::string& form = "WAVE") {
    return riff_id + u32(static_cast<std::uint32_t>(4 + chunks.size())) + form + chunks;
}

inline std::string samples_le(const std::vector<std::int16_t>& samples) {
    std::string s;
    for (std::int16_t v : samples) s += u16(static_cast<std::uint16_t>(v));
    return s;
}

// A canonical 44-byte-header mono 16-bit file.
inline std::string mono16_wav(std::uint32_t rate_hz, const std::vector<std::int16_t>& samples) {
    return riff(chunk("fmt ", fmt_body(1, 1, rate_hz)) + chunk("data", samples_le(samples)));
}

// The 44-byte header of an output of `blocks` blocks at `rate_hz`.
inline std::string output_header(std::uint32_t blocks, std::uint32_t rate_hz) {
    return "RIFF" + u32(blocks * 32 + 36) + "WAVEfmt " + u32(16) + u16(1) + u16(1) + u32(rate_hz) +
           u32(rate_hz) + u16(1) + u16(8) + "data" + u32(blocks * 32);
}

}  // namespace fixtures
