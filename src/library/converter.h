// The converter behind the public handle: a pipeline state, the block being
// gathered from the caller's samples, and the output of the last block not
// yet handed over.
//
// Usage: pcmtaper_converter* c; pcmtaper_create(&config, &c);
//        pcmtaper_process(c, ...) ...; pcmtaper_finish(c, ...) until it writes 0
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "input/input_stage.h"
#include "internal/kernel_table.h"
#include "pcmtaper/pcmtaper.h"
#include "pipeline/lookahead.h"
#include "pipeline/pipeline.h"
#include "resample/resampler.h"

// The config as the converter keeps it: the caller's fields that this
// version knows, checked, for every entry point that takes one; the fields
// of a later version than the caller's hold their defaults. With
// `rate_from_file` its sample rate, input type, valid bits and channel count
// are not checked (the WAV functions take the file's), and the channel
// choice only against PCMTAPER_MAX_CHANNELS. Nothing of the caller's config
// past its struct_size is read.
pcmtaper_status checked_config(const pcmtaper_config* config, pcmtaper_config* known, bool rate_from_file = false);

// The input stage a checked config describes (checked_config accepted it
// without `rate_from_file`).
pcmtaper::input_stage input_stage_of(const pcmtaper_config& known);

// The rate the shaper runs at: the output's.
inline std::uint32_t output_rate_of(const pcmtaper_config& config) {
    return config.output_rate_hz != 0 ? config.output_rate_hz : config.sample_rate_hz;
}
inline bool resamples(const pcmtaper_config& config) { return output_rate_of(config) != config.sample_rate_hz; }

// Runs the body of a C entry point: no exception leaves the library. The
// library throws none of its own; what the C++ library throws is an
// allocation that failed, or a thread or lock the system could not give
// (out of memory); anything else comes from a C++ caller's callback, and
// stops the call.
template <class body_fn>
pcmtaper_status guarded(body_fn body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PCMTAPER_ERROR_OUT_OF_MEMORY;
    } catch (const std::length_error&) {
        return PCMTAPER_ERROR_OUT_OF_MEMORY;
    } catch (const std::system_error&) {
        return PCMTAPER_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return PCMTAPER_ERROR_STOPPED;
    }
}

struct pcmtaper_converter {
    // Set by pcmtaper_init; a handle without it (freed, or never made) is
    // refused where that can be told.
    std::uint32_t magic;
    void* allocation;  // what pcmtaper_create allocated, else null
    pcmtaper_config config;
    const pcmtaper::kernel_table* kernels;
    bool align;

    pcmtaper::converter_state state;
    // The blocks in flight: run in order on the caller's thread, or with the
    // look-ahead on worker threads (config.threads). Made at the first block.
    std::optional<pcmtaper::block_lookahead> blocks;
    bool may_start_threads;                 // made by pcmtaper_create (pcmtaper_init starts none)
    std::uint64_t expected_blocks;          // blocks the stream should hold, when known (else UINT64_MAX)
    double gathering[pcmtaper::block_len];  // samples of the next block, sample scale
    int gathered;                           // how many of them are there
    bool started;                           // the first block went to the analysis
    bool finishing;                         // pcmtaper_finish was called
    bool broken;                            // a call failed mid-block: only reset or destroy
    std::uint64_t blocks_fed;               // blocks handed to the pipeline
    std::uint64_t blocks_quantised;         // blocks whose output was made
    std::uint64_t samples_in;               // samples received
    std::uint64_t skip_left;                // leading output samples still to drop (align: the delay)
    std::uint64_t output_limit;             // samples the output may hold (align, once finishing)
    std::uint64_t samples_out;              // output samples made (kept ones)
    std::uint8_t pending[pcmtaper::block_len];  // output made but not yet handed over
    int pending_at, pending_end;

    pcmtaper::input_stage input;             // decode, channel choice, gain, clip
    pcmtaper::input_statistics input_stats;  // this stream's clipping, sample scale
    std::uint64_t frames_in;                 // input frames received
    // One past the last input frame one 8-bit step or more from 0 after the
    // channel choice and the gain (0: none), noted as the frames are decoded,
    // for callers that say what the delay cuts off.
    std::uint64_t audible_end;
    bool tail_settled;                       // finishing: the last partial block cut, or the align limit set

    // With resampling (pcmtaper_create only): the input goes through the
    // resampler in chunks of `chunk_frames`, and what it gives waits in
    // `resampled` from `resampled_at` until it fits into blocks. A chunk is
    // taken only once that queue is empty, so it holds at most one chunk's
    // output and the flush's (its capacity is reserved at create).
    std::unique_ptr<pcmtaper::resampler> resampler;
    std::vector<double> resampled;
    std::size_t resampled_at;
    std::uint64_t resampled_count;  // samples the resampler gave in this stream
    std::size_t chunk_frames;
    double decoded[256];            // a chunk of the input stage's samples
};

// One 8-bit step on the sample scale (256 in 16-bit units): a sample this far
// from 0 or more is audible in the output.
inline constexpr double audible_level = 256 * pcmtaper::sample_scale;

// Moves *audible_end past the last of `count` samples, numbered from
// `first_frame`, that is audible.
inline void note_audible(const double* samples, std::size_t count, std::uint64_t first_frame,
                         std::uint64_t* audible_end) {
    for (std::size_t i = count; i > 0; --i) {
        if (samples[i - 1] >= audible_level || samples[i - 1] <= -audible_level) {
            *audible_end = first_frame + i;
            return;
        }
    }
}

inline constexpr std::uint32_t converter_magic = 0x70636D74u;  // "pcmt"

// The reports of the blocks fed and not yet run, for a caller that stops
// because the block after them cannot be read: the program prints a block's
// report before it reads the next block. Their output is dropped.
void report_before_failure(pcmtaper_converter* c);

// Hands block `block_number`'s report to the report callback of `config`
// (not null), in the API's terms.
void send_report(const pcmtaper_config& config, const pcmtaper::block_report& r,
                 std::uint64_t block_number);

// Tells the converter how many blocks its stream should hold, before the
// first: a short one starts no thread.
void expect_blocks(pcmtaper_converter* c, std::uint64_t blocks);
