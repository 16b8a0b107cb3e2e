// The RIFF/WAVE container: the lenient walk over the input header up to the
// sample data, and the header of the 8-bit output.
//
// Usage: wav_input_header h; if (read_input_header(in, &h) == header_status::ok) ...
//        (print h.messages), then write_output_header(out, output_layout_for(bytes), bytes, rate).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class metadata_set;

inline constexpr int chunk_search_limit = 10;            // skipped chunks before giving up
inline constexpr std::uint32_t required_bits_per_sample = 16;

// What the header walk found. Everything but `ok` refuses the input.
enum class header_status {
    ok,
    not_linear_pcm,      // format tag is not 1 (nor extensible with the PCM sub-format)
    not_mono,            // channel count is not 1
    not_16_bit,          // bits per sample not 16, or not stated
    bad_sample_rate,     // 0, or 2^31 Hz and above
    fmt_not_found,       // the chunk limit ran out before "fmt "
    data_not_found,      // the chunk limit ran out before "data"
    ends_inside_header,  // the file ends before the first sample byte
    read_error,          // the input stream reported an I/O error
};

struct wav_input_header {
    std::uint32_t sample_rate_hz = 0;   // as stored in the "fmt " chunk
    // Bytes of sample data: the "data" chunk's 32-bit size field, or, in an
    // RF64 file whose field holds the 0xFFFFFFFF placeholder, the 64-bit size
    // of its "ds64" chunk.
    std::uint64_t data_size_bytes = 0;
    bool data_size_from_ds64 = false;
    // What the walk has to say, in order, each line ending in "\r\n": the
    // remarks on unexpected ids and then the refusal, if any. The caller
    // prints them (where depends on the command line).
    std::string messages;
    // Set by the caller to keep the metadata (--keep-metadata): the walk then
    // reads the metadata chunks it meets on its way to the data into it,
    // instead of skipping them, and their remarks join `messages`.
    metadata_set* metadata = nullptr;
};

// Told how the skipping of an unexpected chunk is getting on: the walk never
// seeks (a pipe works too), so a chunk of up to 4 GiB is read through, which
// from a slow stream takes a while. `chunk_id` is shown as in the remarks.
struct header_skip_progress {
    void (*report)(void* context, const char* chunk_id, std::uint64_t bytes_skipped, std::uint64_t chunk_bytes);
    void* context;
};

// Walks the header from the start of `input`. On ok, `input` stands at the
// first sample byte and `header` holds the stored rate and data size; on any
// other result only header->messages is to be used. `progress`, when given,
// hears of every chunk skipped, a few times per MiB.
header_status read_input_header(std::FILE* input, wav_input_header* header,
                                const header_skip_progress* progress = nullptr);

// The two headers the output can have. A canonical 44-byte header whenever the
// 32-bit size fields can state the sizes; past that an RF64 header, whose
// "ds64" chunk holds the 64-bit sizes (and whose 32-bit fields hold 0xFFFFFFFF).
enum class output_layout { riff, rf64 };
inline constexpr int riff_header_len = 44;
inline constexpr int rf64_header_len = 80;
inline constexpr int max_output_header_len = rf64_header_len;

output_layout output_layout_for(std::uint64_t data_bytes);
int output_header_len(output_layout layout);

// The header of an 8-bit mono PCM output holding `data_bytes` sample bytes
// (one per sample); an odd count is followed by one pad byte, which the RIFF
// size counts. Returns the number of bytes written to `bytes`.
int output_header_bytes(output_layout layout, std::uint64_t data_bytes, std::uint32_t sample_rate_hz,
                        unsigned char bytes[max_output_header_len]);

// Writes those bytes at the stream's position. Returns false on a write error.
bool write_output_header(std::FILE* output, output_layout layout, std::uint64_t data_bytes,
                         std::uint32_t sample_rate_hz);
