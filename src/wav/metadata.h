// The metadata that --keep-metadata carries from the input to a WAV output:
// the sampler's loops ("smpl"), the cue points ("cue "), the text tags (a
// "LIST" chunk of type "INFO") and the instrument ("inst"). Everything here
// works on byte buffers; the header walk collects the chunks.
//
// Usage: remark_list remarks; metadata_set kept; kept.add(id, body, &remarks) for each chunk met;
//        const std::string chunks = kept.for_output({in_hz, out_hz}, shift_samples, output_samples, &remarks);
//        (the bytes that go between the output's "fmt " and "data" chunks)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "wav/remark.h"

// A kept chunk's body is held in memory: a larger one is left out (with a
// remark), so that a crafted size cannot make the program allocate gigabytes.
inline constexpr std::uint32_t max_metadata_chunk_bytes = 1u << 20;

// Calls say(line) with each line of the remarks that the functions below
// append (each line with its end; a last line without one is passed too).
template <typename Say>
void remark_lines(const std::string& remarks, Say&& say) {
    for (std::size_t at = 0; at < remarks.size();) {
        std::size_t end = remarks.find('\n', at);
        end = end == std::string::npos ? remarks.size() : end + 1;
        say(remarks.substr(at, end - at).c_str());
        at = end;
    }
}

// Whether a chunk with this id may be kept (a "LIST" of another type than
// "INFO" is met by this test too; add() leaves it out).
bool is_metadata_chunk_id(const char id[4]);

// A conversion's rates: sample positions of the input at in_rate_hz name the
// same instant at out_rate_hz.
struct rate_change {
    std::uint32_t in_rate_hz;   // 1 .. 2^31 - 1
    std::uint32_t out_rate_hz;  // 1 .. 2^31 - 1
    // round(position * out / in), halves up, in integers (the position itself
    // at equal rates).
    std::uint64_t scaled(std::uint64_t position) const;
};

class metadata_set {
  public:
    // Offers one chunk, as read (its body without the pad byte). The first
    // chunk of each kind is kept, whole; a later one of the same kind, a
    // malformed or an oversized one is left out with a remark appended to
    // `remarks`. A "LIST" chunk of another type than "INFO" is
    // not metadata this program copies, and is passed over without a word.
    void add(const char id[4], std::string body, remark_list* remarks);
    // A chunk that is left out unread: larger than max_metadata_chunk_bytes,
    // or cut off by the end of the file. Says so in a remark.
    void too_large(const char id[4], std::uint64_t size_bytes, remark_list* remarks);
    void cut_off(const char id[4], remark_list* remarks);

    bool empty() const;

    // The kept chunks as the output carries them, in the order smpl, cue ,
    // LIST, inst, each with its pad byte. Sample positions (the loops' starts
    // and ends, the cue points' positions and sample offsets) are scaled to
    // the output's rate and then moved by `shift_samples`, the output's delay
    // against the input (output samples), so that they mark the same sound; a
    // position past the last of `output_samples` samples (or past what 32 bits
    // hold) is set to that last sample, with one remark per chunk. Always the
    // same length for the same set.
    std::string for_output(const rate_change& rates, std::uint64_t shift_samples, std::uint64_t output_samples,
                           remark_list* remarks) const;

  private:
    enum kind { smpl, cue, list_info, inst, kinds };
    std::string body_[kinds];
    bool kept_[kinds] = {};
};

// The chunks that follow the sample data, where many writers put their loops
// and tags: walks the chunks of a seekable input from byte `data_end` (just
// after the data chunk's `data_size` bytes, where a zero pad byte follows an
// odd size unless the writer left it out) to `file_size`, and offers every metadata
// chunk to `kept`. `read_at` reads `count` bytes at byte `offset` of the input
// and says whether it got them all. The walk stops at the end of the file, at
// a chunk that runs past it, or after 64 chunks; nothing found there is an
// error, since the samples are complete without it. A metadata chunk whose
// body cannot be read is remarked as cut off (the caller's read_at tells an
// input that ended from a reader that failed).
using read_at_fn = bool (*)(void* context, std::uint64_t offset, void* bytes, std::size_t count);
void read_metadata_after_data(read_at_fn read_at, void* context, std::uint64_t data_end, std::uint64_t data_size,
                              std::uint64_t file_size, metadata_set* kept, remark_list* remarks);
