// The RIFF/WAVE container: the lenient walk over the input header up to the
// sample data, and the 44-byte header of the 8-bit output.
//
// Usage: wav_input_header h; if (read_input_header(in, stdout, &h) == header_status::ok) ...
//        write_output_header(out, block_count, h.sample_rate_hz);
#pragma once

#include <cstdint>
#include <cstdio>

inline constexpr int output_header_len = 44;            // bytes before the first sample
inline constexpr int chunk_search_limit = 10;            // skipped chunks before giving up
inline constexpr std::uint32_t required_bits_per_sample = 16;

// What the header walk found. Everything but `ok` refuses the input.
enum class header_status {
    ok,
    not_linear_pcm,      // format tag is not 1
    not_mono,            // channel count is not 1
    not_16_bit,          // bits per sample not 16, or not stated
    bad_sample_rate,     // 0, or 2^31 Hz and above
    fmt_not_found,       // the chunk limit ran out before "fmt "
    data_not_found,      // the chunk limit ran out before "data"
    ends_inside_header,  // the file ends before the first sample byte
    read_error,          // the input stream reported an I/O error
};

struct wav_input_header {
    std::uint32_t sample_rate_hz;   // as stored in the "fmt " chunk
    std::uint32_t data_size_bytes;  // as stored in the "data" chunk's size field
};

// Walks the header from the start of `input`, printing its remarks and its
// refusal (each ending in "\r\n") on `messages`. On ok, `input` stands at the
// first sample byte and `header` holds the stored rate and data size; on any
// other result `header` is not to be used.
header_status read_input_header(std::FILE* input, std::FILE* messages, wav_input_header* header);

// The 44 header bytes of an 8-bit mono PCM file of `block_count` blocks of 32
// samples. block_count must be below 2^26 so that the sizes fit 32 bits.
void output_header_bytes(std::uint32_t block_count, std::uint32_t sample_rate_hz,
                         unsigned char bytes[output_header_len]);

// Writes those bytes at the stream's position. Returns false on a write error.
bool write_output_header(std::FILE* output, std::uint32_t block_count,
                         std::uint32_t sample_rate_hz);
