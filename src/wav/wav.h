// The RIFF/WAVE container: the lenient walk over the input header up to the
// sample data, the header of the 8-bit output, and the one chunk walker that
// tells an 8-bit WAV file (what the converter writes) from anything else.
// Input comes through the caller's read callback, never a FILE*.
//
// Usage: byte_source in{&reader}; wav_input_header h;
//        if (read_input_header(&in, &h) == header_status::ok) ... (h.remarks: what to hand over)
//        output_header_bytes(output_layout_for(samples), samples, rate, bytes)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pcmtaper/pcmtaper.h"
#include "wav/remark.h"

class metadata_set;

inline constexpr int chunk_search_limit = 10;            // skipped chunks before giving up

// The caller's reader, with the count of bytes taken from it. A read asks
// again after a short count until the callback gives nothing (a pipe may
// hand over less than was asked), so a short result means the end or an error.
struct byte_source {
    const pcmtaper_reader* reader;
    std::uint64_t consumed = 0;
    bool failed = false;  // the callback reported an error

    // Bytes read into destination, up to count.
    std::size_t read(void* destination, std::size_t count);
};

// What the header walk found. Everything but `ok` refuses the input.
enum class header_status {
    ok,
    not_linear_pcm,      // format tag neither 1 nor 3 (nor extensible with the PCM or float sub-format)
    not_mono,            // 0 or more than 64 channels, or more than 1 where the caller reads mono only
    not_16_bit,          // a sample size not read (or not stated), or a block align that disagrees with it
    bad_sample_rate,     // 0, or 2^31 Hz and above
    fmt_not_found,       // the chunk limit ran out before "fmt "
    data_not_found,      // the chunk limit ran out before "data"
    ends_inside_header,  // the file ends before the first sample byte
    read_error,          // the reader reported an I/O error
};
pcmtaper_status status_of(header_status status);

// What the walk found: rate, sample format, data size, and the remarks in
// order (the unexpected ids and the metadata left out, then the refusal, if any).
struct wav_input_header {
    std::uint32_t sample_rate_hz = 0;  // as stored in "fmt "
    pcmtaper_sample_type sample_type = PCMTAPER_SAMPLE_S16;
    std::uint32_t bits_per_sample = 16;  // the container: 8, 16, 24, 32 or 64
    std::uint32_t valid_bits = 16;       // significant bits at the container's top
    std::uint32_t channels = 1;          // 1 .. PCMTAPER_MAX_CHANNELS
    // Bytes of one frame (a sample of every channel).
    std::uint32_t frame_bytes() const { return channels * (bits_per_sample / 8); }
    std::uint64_t data_size_bytes = 0;
    bool data_size_from_ds64 = false;
    bool rf64 = false;                 // the file starts with "RF64" or "BW64"
    std::uint64_t header_bytes = 0;    // bytes read, up to the first sample byte
    remark_list remarks;
};

// Told how the skipping of an unexpected chunk is getting on: the walk never
// seeks (a pipe works too), so a chunk of up to 4 GiB is read through, which
// from a slow stream takes a while. `chunk_id` is shown as in the remarks.
struct header_skip_progress {
    void (*report)(void* context, const char* chunk_id, std::uint64_t bytes_skipped, std::uint64_t chunk_bytes);
    void* context;
};

// Walks the header from the source's position. On ok, the source stands at the
// first sample byte and `header` holds the stored rate and data size; on any
// other result only the remarks are to be used. `progress`, when given, hears
// of every chunk skipped, a few times per MiB. With `metadata`, the metadata
// chunks met on the way (metadata.h) are kept in it instead of skipped, and
// what it leaves out is remarked on (PCMTAPER_REMARK_METADATA_*). With
// `mono_only`, a file of more than one channel is refused (not_mono) where
// the channel count is read, before its sample size and rate.
header_status read_input_header(byte_source* input, wav_input_header* header,
                                const header_skip_progress* progress = nullptr, metadata_set* metadata = nullptr,
                                bool mono_only = false);

// The two headers the output can have. A canonical 44-byte header whenever the
// 32-bit size fields can state the sizes; past that an RF64 header, whose
// "ds64" chunk holds the 64-bit sizes (and whose 32-bit fields hold 0xFFFFFFFF).
enum class output_layout { riff, rf64 };
inline constexpr int riff_header_len = 44;
inline constexpr int rf64_header_len = 80;
inline constexpr int max_output_header_len = rf64_header_len;
static_assert(max_output_header_len == PCMTAPER_WAV_HEADER_MAX);

// The layout for `data_bytes` sample bytes, with `chunk_bytes` of whole
// chunks (of even length) between "fmt " and "data".
output_layout output_layout_for(std::uint64_t data_bytes, std::uint64_t chunk_bytes = 0);
int output_header_len(output_layout layout);

// The header of an 8-bit mono PCM output holding `data_bytes` sample bytes
// (one per sample); an odd count is followed by one pad byte, which the RIFF
// size counts. Returns the number of bytes written to `bytes`.
int output_header_bytes(output_layout layout, std::uint64_t data_bytes, std::uint32_t sample_rate_hz,
                        unsigned char bytes[max_output_header_len]);
// The same header with `chunks` (whole chunks, each of even length) between
// "fmt " and "data", whose RIFF size (or the "ds64" chunk's 64-bit one) counts
// them. The layout must be output_layout_for(data_bytes, chunks.size()) or
// one that holds more (a header written again keeps its first layout).
std::string output_header_with_chunks(output_layout layout, std::uint64_t data_bytes, std::uint32_t sample_rate_hz,
                                      const std::string& chunks);

// A reader over bytes in memory, for pcmtaper_reader: `read_memory` as its
// read callback, `seek_memory` as its seek (an offset past the end fails).
struct memory_bytes {
    const unsigned char* bytes;
    std::size_t length;
    std::size_t at;  // the next byte to read
};
std::size_t read_memory(void* user, void* buffer, std::size_t capacity, int* failed);
int seek_memory(void* user, std::uint64_t offset);

// Whether `bytes` (the start of a file) are the header of an 8-bit mono PCM
// WAV file: RIFF or RF64, "WAVE", and a "fmt " chunk of linear PCM, one
// channel, 8 bits, found by the walk's own chunk rules within the bytes given;
// then its rate, and its sample count when the walk reaches the data chunk's
// size within the bytes.
bool read_8_bit_wav_header(const unsigned char* bytes, std::size_t length, pcmtaper_wav_8_bit_header* header);
