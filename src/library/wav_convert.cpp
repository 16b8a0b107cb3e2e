// The whole-file conversion: the input header, the counts, the output header,
// the samples block by block through a converter, the drain, the pad byte and
// the header written again when a stream ended early. Everything it has to
// say goes to the caller's events as data, in the program's order.
#include <cstdint>
#include <cstring>

#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "input/input_stage.h"
#include "internal/math_calls.h"
#include "library/converter.h"
#include "library/versioned.h"
#include "resample/resampler.h"
#include "wav/metadata.h"
#include "wav/wav.h"

using pcmtaper::block_len;
using pcmtaper::delay_samples;

namespace {

constexpr std::uint64_t wrap_bytes = std::uint64_t(1) << 32;  // what a 32-bit size field wraps at
// The largest frame: 64 channels of 8 bytes.
constexpr std::size_t max_frame_bytes = PCMTAPER_MAX_CHANNELS * 8;
// The normalisation's gain stops here: a file of near silence (a float file
// of subnormals, say) is brought up at most this far, a factor of 10^15.
constexpr double max_normalize_gain_db = 300.0;

// The caller's events, as far as its struct_size reaches (the rest null).
struct event_sink {
    pcmtaper_wav_events events;

    void remark(const pcmtaper_remark& r) const {
        if (events.remark != nullptr) events.remark(events.user, &r);
    }
    void remarks(const remark_list& list) const {
        for (const pcmtaper_remark& r : list) remark(r);
    }
    void remark(pcmtaper_remark_code code, pcmtaper_status status = PCMTAPER_OK) const {
        remark(make_remark(code, status));
    }
};

// The number of data bytes to convert: the declared size, or what an input of
// known size actually holds after the header when that is less (a cut-off
// file, or a streaming writer's placeholder size). One holding 4 GiB or more
// beyond a 32-bit size is converted as declared, with a remark: the writer may
// have let the size wrap, and only it knows where the data really ends.
std::uint64_t usable_data_size(const pcmtaper_reader& reader, const wav_input_header& header,
                               const event_sink& sink) {
    const std::uint64_t declared = header.data_size_bytes;
    if (reader.size_bytes < 0) return declared;
    const auto size = static_cast<std::uint64_t>(reader.size_bytes);
    const std::uint64_t left = size > header.header_bytes ? size - header.header_bytes : 0;
    const auto remark = [&](pcmtaper_remark_code code) {
        pcmtaper_remark r = make_remark(code);
        r.data_bytes_claimed = declared;
        r.data_bytes_held = left;
        sink.remark(r);
    };
    if (declared <= left) {
        if (!header.data_size_from_ds64 && left - declared >= wrap_bytes) remark(PCMTAPER_REMARK_SIZE_WRAPPED);
        return declared;
    }
    remark(PCMTAPER_REMARK_DATA_SHORT);
    return left;
}

enum class block_read { ok, ended, failed };

// Reads the input's frames a block (32 frames) at a time.
//
// An input that ends early, a stream or a file that shrinks while it is
// read, ends the conversion at its last whole block: nothing is made up for
// the samples that never came. Where every frame is converted (--align, or
// a rate change, whose resampler takes the frames of a last partial block
// too) the last block may be partial, and an early end only shortens the
// input. A partial frame at the end is never read as samples.
//
// The converter notes the last audible frame of what it converts; the
// frames of a last part block that the plain conversion leaves out are
// decoded here, only to see whether they are audible.
class sample_reader {
  public:
    sample_reader(byte_source* input, const pcmtaper::input_stage& stage, bool every_frame, std::uint64_t frames)
        : input_(input), stage_(stage), frame_bytes_(stage.frame_bytes), every_frame_(every_frame),
          frames_left_(frames) {}

    // The next block's frames into `bytes` (block_len frames' room), *count
    // of them (block_len but for the last where every frame is converted).
    block_read next(unsigned char* bytes, std::size_t* count) {
        std::size_t wanted = block_len;
        if (every_frame_ && frames_left_ < wanted) wanted = static_cast<std::size_t>(frames_left_);
        const std::size_t wanted_bytes = wanted * frame_bytes_;
        const std::size_t got = wanted == 0 || ended_ ? 0 : input_->read(bytes, wanted_bytes);
        if (got < wanted_bytes) {
            if (input_->failed) return block_read::failed;
            ended_ = true;
        }
        const std::size_t frames = got / frame_bytes_;
        if (every_frame_) {
            frames_left_ = ended_ ? 0 : frames_left_ - frames;
        } else if (frames < block_len) {
            return block_read::ended;
        }
        frames_read_ += frames;
        *count = frames;
        return block_read::ok;
    }

    // Reads the frames of the last part block, which the plain conversion
    // does not convert, moving *audible_end past the last audible one.
    // Returns their count.
    std::uint64_t look_at_tail(std::uint64_t frames, std::uint64_t* audible_end) {
        unsigned char tail[block_len * max_frame_bytes];
        double samples[block_len];
        if (ended_ || frames >= block_len) return 0;
        const std::size_t got = input_->read(tail, static_cast<std::size_t>(frames) * frame_bytes_) / frame_bytes_;
        pcmtaper::input_statistics ignored;  // not converted: no clip to count
        pcmtaper::convert_input_frames(stage_, tail, got, samples, &ignored);
        note_audible(samples, got, frames_read_, audible_end);
        return got;
    }

    bool ended_early() const { return ended_; }
    bool input_left() const { return !every_frame_ || (frames_left_ > 0 && !ended_); }
    std::uint64_t frames_read() const { return frames_read_; }

  private:
    byte_source* input_;
    const pcmtaper::input_stage& stage_;
    std::size_t frame_bytes_;
    bool every_frame_;
    std::uint64_t frames_left_;  // where every frame is converted: frames still to read
    std::uint64_t frames_read_ = 0;
    bool ended_ = false;
};

// The blocks a conversion runs and the samples it writes.
struct conversion_plan {
    std::uint64_t blocks;          // output blocks processed
    std::uint64_t output_samples;  // samples written after the header
};

// For `samples` samples at the output's rate (the input's frames, or what the
// resampler makes of them): the whole blocks, or with --align all of them.
conversion_plan plan_for(std::uint64_t samples, bool align) {
    if (!align) return {samples / block_len, samples / block_len * block_len};
    return {(samples + delay_samples + block_len - 1) / block_len, samples};
}

bool write_all(const pcmtaper_writer& writer, const void* bytes, std::size_t count) {
    return count == 0 || writer.write(writer.user, bytes, count) == 0;
}

// Whether two remarks about clamped positions say the same.
bool same_remarks(const remark_list& a, const remark_list& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].code != b[i].code || std::memcmp(a[i].chunk_id, b[i].chunk_id, sizeof a[i].chunk_id) != 0 ||
            a[i].positions_clamped != b[i].positions_clamped)
            return false;
    return true;
}

// The output's header: the WAV header with the kept metadata chunks between
// "fmt " and "data", their positions moved by the output's delay. Written
// again for fewer samples it keeps its layout and its length (the chunks are
// as long for any count), and says only the clamped positions not said before.
class output_header {
  public:
    output_header(const metadata_set* metadata, const rate_change& rates, std::uint64_t shift_samples,
                  std::uint64_t samples)
        : metadata_(metadata), rates_(rates), shift_samples_(shift_samples), rate_hz_(rates.out_rate_hz) {
        const std::string chunks = chunks_for(samples);
        layout_ = output_layout_for(samples, chunks.size());
        bytes_ = output_header_with_chunks(layout_, samples, rate_hz_, chunks);
    }
    std::size_t length() const { return bytes_.size(); }
    // The header for `samples`, and the remarks it has that were not taken.
    const std::string& bytes_for(std::uint64_t samples) {
        if (samples != samples_) bytes_ = output_header_with_chunks(layout_, samples, rate_hz_, chunks_for(samples));
        return bytes_;
    }
    remark_list take_remarks() { return std::exchange(remarks_, {}); }

  private:
    std::string chunks_for(std::uint64_t samples) {
        samples_ = samples;
        if (metadata_ == nullptr || metadata_->empty()) return {};
        remark_list remarks;
        std::string chunks = metadata_->for_output(rates_, shift_samples_, samples, &remarks);
        if (!same_remarks(remarks, said_)) remarks_.insert(remarks_.end(), remarks.begin(), remarks.end());
        said_ = remarks;
        return chunks;
    }

    const metadata_set* metadata_;
    rate_change rates_;
    std::uint64_t shift_samples_;
    std::uint32_t rate_hz_;
    std::uint64_t samples_ = 0;
    output_layout layout_ = output_layout::riff;
    std::string bytes_;
    remark_list remarks_;
    remark_list said_;
};

// The metadata chunks after the sample data of an input that can seek, where
// many writers put them; the input is left where the samples start. False
// when the reader or its seek failed: a chunk that could not be read is not
// dropped silently, and the conversion fails as on a failed read of the
// samples (a chunk cut short by an input that ends early is left out with a
// remark). A stream cannot go back, and keeps only the chunks before its data.
struct seek_reader {
    const pcmtaper_reader* reader;
    bool failed = false;
};

bool read_at(void* user, std::uint64_t offset, void* bytes, std::size_t count) {
    auto* context = static_cast<seek_reader*>(user);
    const pcmtaper_reader* r = context->reader;
    if (r->seek(r->user, offset) != 0) {
        context->failed = true;
        return false;
    }
    byte_source source{r};
    const bool whole = source.read(bytes, count) == count;
    if (source.failed) context->failed = true;
    return whole;
}

bool read_metadata_after_samples(const pcmtaper_reader& reader, const wav_input_header& header,
                                 std::uint64_t data_bytes, metadata_set* kept, const event_sink& sink) {
    if (reader.seek == nullptr || reader.size_bytes < 0) return true;
    seek_reader context{&reader};
    remark_list remarks;
    read_metadata_after_data(read_at, &context, header.header_bytes + data_bytes, data_bytes,
                             static_cast<std::uint64_t>(reader.size_bytes), kept, &remarks);
    sink.remarks(remarks);
    return !context.failed && reader.seek(reader.user, header.header_bytes) == 0;
}

struct converter_owner {
    pcmtaper_converter* converter = nullptr;
    ~converter_owner() { pcmtaper_destroy(converter); }
};

pcmtaper_status fail(const event_sink& sink, pcmtaper_status status) {
    if (status == PCMTAPER_ERROR_WRITE) sink.remark(PCMTAPER_REMARK_WRITE_ERROR, status);
    if (status == PCMTAPER_ERROR_READ) sink.remark(PCMTAPER_REMARK_READ_ERROR, status);
    return status;
}

// Hands the converter's output for `count` frames of `frame_bytes` bytes
// (or the drain, with in == null) to the writer.
pcmtaper_status convert_and_write(pcmtaper_converter* c, const unsigned char* in, std::size_t count,
                                  std::size_t frame_bytes, const pcmtaper_writer& writer,
                                  std::uint64_t* samples_written) {
    std::uint8_t out[4 * block_len];
    for (;;) {
        std::size_t used = 0, written = 0;
        const pcmtaper_status status = in != nullptr
                                           ? pcmtaper_process_frames(c, in, count, &used, out, sizeof out, &written)
                                           : pcmtaper_finish(c, out, sizeof out, &written);
        if (status != PCMTAPER_OK) return status;
        if (!write_all(writer, out, written)) return PCMTAPER_ERROR_WRITE;
        *samples_written += written;
        if (in != nullptr) {
            in += used * frame_bytes;
            count -= used;
            if (count == 0) return PCMTAPER_OK;
        } else if (written == 0) {
            return PCMTAPER_OK;
        }
    }
}

// The peak magnitude (sample scale) of the samples that the conversion would
// shape: the file's frames from the reader's position through the input
// stage and, with a rate change, the resampler. A stage that clips (a float
// file beyond full scale, or a gain that takes the samples beyond it) hides
// the peak, so the frames are then read once more with the stage's factor
// lowered by a power of two (exact) until nothing clips; infinities stay at
// full scale. False when the reader failed.
bool find_peak(const pcmtaper_reader& reader, std::uint64_t start, std::uint64_t frames, pcmtaper::input_stage stage,
               const pcmtaper::resampler_config* rates, double* peak) {
    std::unique_ptr<pcmtaper::resampler> resampler;
    if (rates != nullptr) {
        resampler = pcmtaper::resampler::create(*rates);
        if (!resampler) throw std::bad_alloc();  // not reached: checked_config took both rates
    }
    constexpr std::size_t piece_frames = 4096;
    std::vector<unsigned char> bytes(piece_frames * stage.frame_bytes);
    std::vector<double> samples(piece_frames), resampled;
    double scale = 1.0;  // what the peak found is multiplied by
    for (int pass = 0; pass < 2; ++pass) {
        if (reader.seek(reader.user, start) != 0) return false;
        byte_source input{&reader};
        pcmtaper::input_statistics statistics;
        double largest = 0.0;
        const auto take = [&](const std::vector<double>& values, std::size_t count) {
            for (std::size_t i = 0; i < count; ++i) {
                const double magnitude = values[i] < 0 ? -values[i] : values[i];
                if (magnitude > largest) largest = magnitude;
            }
        };
        for (std::uint64_t left = frames; left > 0;) {
            const std::size_t wanted = left < piece_frames ? static_cast<std::size_t>(left) : piece_frames;
            const std::size_t got = input.read(bytes.data(), wanted * stage.frame_bytes) / stage.frame_bytes;
            if (input.failed) return false;
            pcmtaper::convert_input_frames(stage, bytes.data(), got, samples.data(), &statistics);
            if (resampler != nullptr) {
                resampled.clear();
                resampler->process(samples.data(), got, &resampled);
                take(resampled, resampled.size());
            } else {
                take(samples, got);
            }
            if (got < wanted) break;
            left -= got;
        }
        if (resampler != nullptr) {
            resampled.clear();
            resampler->flush(&resampled);
            take(resampled, resampled.size());
        }
        *peak = largest * scale;
        const bool clipped = statistics.clipped_samples > 0;
        const bool finite = statistics.peak - statistics.peak == 0.0;  // not an infinity
        if (!clipped || !finite || pass == 1) return true;
        // Lowered by 2^k until the largest magnitude is within full scale.
        while (statistics.peak > pcmtaper::full_scale) {
            statistics.peak *= 0.5;
            stage.gain_factor *= 0.5;
            scale *= 2.0;
        }
    }
    return true;
}

// The gain in dB that brings `peak` (sample scale) to PCMTAPER_NORMALIZE_PEAK
// of full scale, computed once: 20 log10(target / peak) with the correctly
// rounded log10. Silence gets none.
double normalize_gain_db_for(double peak) {
    if (!(peak > 0.0)) return 0.0;
    const double gain_db = 20.0 * pcmtaper::math_log10(PCMTAPER_NORMALIZE_PEAK * pcmtaper::full_scale / peak);
    return gain_db < max_normalize_gain_db ? gain_db : max_normalize_gain_db;
}

// The caller's reader and events as this version knows them (events may be
// null: no callbacks).
pcmtaper_status read_reader_and_events(const pcmtaper_reader* reader, const pcmtaper_wav_events* events,
                                       pcmtaper_reader* known_reader, event_sink* sink) {
    pcmtaper_status status = read_versioned(reader, known_reader);
    if (status != PCMTAPER_OK) return status;
    if (known_reader->read == nullptr) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    std::memset(&sink->events, 0, sizeof sink->events);
    if (events != nullptr && (status = read_versioned(events, &sink->events)) != PCMTAPER_OK) return status;
    return PCMTAPER_OK;
}

void skip_progress_to_events(void* user, const char* id, std::uint64_t skipped, std::uint64_t bytes) {
    const auto* e = static_cast<const pcmtaper_wav_events*>(user);
    e->skip_progress(e->user, id, skipped, bytes);
}

// Walks the input header, with the caller's skip_progress, and hands its
// remarks over.
header_status walk_input_header(byte_source* input, wav_input_header* header, const event_sink& sink,
                                metadata_set* metadata, bool mono_only = false) {
    const header_skip_progress skip_progress{skip_progress_to_events,
                                             const_cast<pcmtaper_wav_events*>(&sink.events)};
    const header_status walked =
        read_input_header(input, header, sink.events.skip_progress != nullptr ? &skip_progress : nullptr, metadata,
                          mono_only);
    sink.remarks(header->remarks);
    return walked;
}

// The caller's plan, written back as far as its struct_size on every return.
struct plan_hand_back {
    pcmtaper_wav_plan plan;
    pcmtaper_wav_plan* caller;
    ~plan_hand_back() {
        if (caller != nullptr) write_versioned(plan, caller);
    }
};

}  // namespace

extern "C" {

pcmtaper_status pcmtaper_wav_read_header(const pcmtaper_reader* reader, pcmtaper_wav_header* header,
                                         const pcmtaper_wav_events* events) {
    return guarded([&]() -> pcmtaper_status {
        pcmtaper_reader known_reader;
        event_sink sink;
        pcmtaper_status status = check_receiving(header);
        if (status == PCMTAPER_OK) status = read_reader_and_events(reader, events, &known_reader, &sink);
        if (status != PCMTAPER_OK) return status;
        byte_source input{&known_reader};
        wav_input_header walked;
        status = status_of(walk_input_header(&input, &walked, sink, nullptr));
        pcmtaper_wav_header out;
        std::memset(&out, 0, sizeof out);
        out.struct_size = sizeof out;
        out.remark_count = static_cast<std::uint32_t>(walked.remarks.size());
        if (status == PCMTAPER_OK) {
            out.sample_rate_hz = walked.sample_rate_hz;
            out.data_size_bytes = walked.data_size_bytes;
            out.data_size_from_ds64 = walked.data_size_from_ds64 ? 1 : 0;
            out.rf64 = walked.rf64 ? 1 : 0;
            out.header_bytes = walked.header_bytes;
            out.sample_type = walked.sample_type;
            out.bits_per_sample = walked.bits_per_sample;
            out.valid_bits = walked.valid_bits;
            out.channels = walked.channels;
        }
        write_versioned(out, header);
        return status;
    });
}

size_t pcmtaper_wav_output_header(uint64_t samples, uint32_t sample_rate_hz, uint8_t bytes[PCMTAPER_WAV_HEADER_MAX]) {
    if (bytes == nullptr) return 0;
    return static_cast<size_t>(output_header_bytes(output_layout_for(samples), samples, sample_rate_hz, bytes));
}

pcmtaper_status pcmtaper_wav_is_8_bit(const uint8_t* bytes, size_t length, int* is_8_bit,
                                      pcmtaper_wav_8_bit_header* header) {
    if (is_8_bit != nullptr) *is_8_bit = 0;
    if (is_8_bit == nullptr || (bytes == nullptr && length > 0)) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    if (header != nullptr) {
        const pcmtaper_status checked = check_receiving(header);
        if (checked != PCMTAPER_OK) return checked;
    }
    pcmtaper_wav_8_bit_header found;
    *is_8_bit = bytes != nullptr && read_8_bit_wav_header(bytes, length, &found) ? 1 : 0;
    if (*is_8_bit == 0) std::memset(&found, 0, sizeof found);
    found.struct_size = sizeof found;
    if (header != nullptr) write_versioned(found, header);
    return PCMTAPER_OK;
}

size_t pcmtaper_wav_output_bound(size_t input_bytes, unsigned flags) {
    // At most one output sample per input byte (an 8-bit mono input), the
    // largest header and the pad byte. The kept chunks come from input bytes
    // that are not samples, at most one of each of the four kinds, each
    // perhaps with a pad byte that the input left out.
    if ((flags & PCMTAPER_FLAG_KEEP_METADATA) != 0) return input_bytes + PCMTAPER_WAV_HEADER_MAX + 1 + 4;
    return input_bytes + PCMTAPER_WAV_HEADER_MAX + 1;
}

size_t pcmtaper_wav_memory_output_bound(const void* input, size_t input_size, const pcmtaper_config* config) {
    constexpr size_t refused = PCMTAPER_WAV_HEADER_MAX;
    pcmtaper_config known;
    if ((input == nullptr && input_size > 0) || read_versioned(config, &known) != PCMTAPER_OK) return refused;
    size_t bound_bytes = refused;
    guarded([&]() -> pcmtaper_status {
        memory_bytes memory{static_cast<const unsigned char*>(input), input_size, 0};
        const pcmtaper_reader reader{sizeof reader, read_memory, &memory, static_cast<std::int64_t>(input_size),
                                     nullptr};
        byte_source source{&reader};
        wav_input_header header;
        if (read_input_header(&source, &header) != header_status::ok) return PCMTAPER_ERROR_INVALID_ARGUMENT;
        // The samples the file holds, at the output's rate: --align gives as
        // many, a plain conversion its whole blocks of them.
        const std::uint64_t held = input_size - header.header_bytes;
        const std::uint64_t data_bytes = header.data_size_bytes < held ? header.data_size_bytes : held;
        const rate_change rates{header.sample_rate_hz,
                                known.output_rate_hz != 0 ? known.output_rate_hz : header.sample_rate_hz};
        const std::uint64_t samples = rates.scaled(data_bytes / header.frame_bytes());
        // Then the header and the pad byte, and the kept chunks, which come
        // from the input's other bytes (each perhaps with a pad byte it left out).
        const std::uint64_t chunks = (known.flags & PCMTAPER_FLAG_KEEP_METADATA) != 0 ? input_size + 4 : 0;
        const std::uint64_t bound = samples + PCMTAPER_WAV_HEADER_MAX + 1 + chunks;
        bound_bytes = bound < SIZE_MAX ? static_cast<size_t>(bound) : SIZE_MAX;
        return PCMTAPER_OK;
    });
    return bound_bytes;
}

pcmtaper_status pcmtaper_convert_wav(const pcmtaper_reader* reader, const pcmtaper_writer* writer,
                                     const pcmtaper_config* config, const pcmtaper_wav_events* events,
                                     pcmtaper_wav_plan* plan_out) {
    return guarded([&]() -> pcmtaper_status {
        plan_hand_back hand_back{{}, nullptr};
        pcmtaper_wav_plan* const plan = &hand_back.plan;
        std::memset(plan, 0, sizeof *plan);
        plan->struct_size = sizeof *plan;
        if (plan_out != nullptr) {
            const pcmtaper_status checked = check_receiving(plan_out);
            if (checked != PCMTAPER_OK) return checked;
            hand_back.caller = plan_out;
        }
        pcmtaper_reader known_reader;
        pcmtaper_writer known_writer;
        event_sink sink;
        {
            pcmtaper_status checked = read_reader_and_events(reader, events, &known_reader, &sink);
            if (checked == PCMTAPER_OK) checked = read_versioned(writer, &known_writer);
            if (checked != PCMTAPER_OK) return checked;
            if (known_writer.write == nullptr) return PCMTAPER_ERROR_INVALID_ARGUMENT;
        }
        // The file gives the rate and the format: the rest of the config is
        // checked before anything is read.
        pcmtaper_config known;
        if (const pcmtaper_status checked = checked_config(config, &known, true); checked != PCMTAPER_OK) return checked;
        const bool align = (known.flags & PCMTAPER_FLAG_ALIGN) != 0;
        const bool samples_only = (known.flags & PCMTAPER_FLAG_SAMPLES_ONLY) != 0;
        const bool keep_metadata = (known.flags & PCMTAPER_FLAG_KEEP_METADATA) != 0 && !samples_only;
        const bool normalize = (known.flags & PCMTAPER_FLAG_NORMALIZE) != 0;
        // Normalising reads the samples twice: from a pipe, the first pass
        // would use them up.
        if (normalize && (known_reader.seek == nullptr || known_reader.size_bytes < 0))
            return PCMTAPER_ERROR_NOT_SEEKABLE;
        metadata_set metadata;

        byte_source input{&known_reader};
        wav_input_header header;
        const header_status walked = walk_input_header(&input, &header, sink, keep_metadata ? &metadata : nullptr,
                                                       known.channel == PCMTAPER_CHANNEL_ONLY);
        if (walked != header_status::ok) return status_of(walked);

        const std::uint32_t in_rate_hz = header.sample_rate_hz;  // below 2^31
        const std::uint32_t out_rate_hz = known.output_rate_hz != 0 ? known.output_rate_hz : in_rate_hz;
        const rate_change rates{in_rate_hz, out_rate_hz};
        const bool resampling = in_rate_hz != out_rate_hz;
        const std::uint64_t frame_bytes = header.frame_bytes();
        const std::uint64_t declared_frames = header.data_size_bytes / frame_bytes;
        plan->sample_rate_hz = out_rate_hz;
        plan->input_rate_hz = in_rate_hz;
        plan->input_frames = declared_frames;
        plan->input_channels = header.channels;
        // A channel the file does not have.
        if (known.channel > 0 && static_cast<std::uint32_t>(known.channel) > header.channels)
            return PCMTAPER_ERROR_INVALID_ARGUMENT;

        known.sample_rate_hz = in_rate_hz;
        known.input_type = header.sample_type;
        known.input_valid_bits = header.valid_bits == header.bits_per_sample ? 0 : header.valid_bits;
        known.input_channels = header.channels;
        // The config now describes the file, as checked_config wants it: the
        // walk refused more channels than one without a channel choice.
        pcmtaper::input_stage stage = input_stage_of(known);

        const std::uint64_t data_bytes = usable_data_size(known_reader, header, sink);
        const std::uint64_t data_frames = data_bytes / frame_bytes;  // a partial last frame is not read
        if (keep_metadata && !read_metadata_after_samples(known_reader, header, data_bytes, &metadata, sink))
            return fail(sink, PCMTAPER_ERROR_READ);
        if (normalize) {
            const pcmtaper::resampler_config resampler_rates{in_rate_hz, out_rate_hz};
            double peak = 0.0;
            if (!find_peak(known_reader, header.header_bytes, data_frames, stage, resampling ? &resampler_rates : nullptr,
                           &peak) ||
                known_reader.seek(known_reader.user, header.header_bytes) != 0)
                return fail(sink, PCMTAPER_ERROR_READ);
            plan->normalize_gain_db = normalize_gain_db_for(peak);
            known.gain_db += plan->normalize_gain_db;
            // The gain the conversion runs with, for the audible end of the
            // part block left out (pcmtaper_create below checks its factor).
            stage = input_stage_of(known);
        }
        // Samples at the output's rate: the frames, or what the resampler
        // makes of them.
        const auto output_samples_of = [&](std::uint64_t frames) { return rates.scaled(frames); };
        const conversion_plan conversion = plan_for(output_samples_of(data_frames), align);

        converter_owner owner;
        const pcmtaper_status created = pcmtaper_create(&known, &owner.converter);
        if (created != PCMTAPER_OK) return created;
        expect_blocks(owner.converter, conversion.blocks);

        const std::uint64_t planned_samples = conversion.output_samples;
        // The metadata's positions move with the sound: scaled to the output's
        // rate, and by the delay, which PCMTAPER_FLAG_ALIGN takes off.
        output_header out_header(keep_metadata ? &metadata : nullptr, rates, pcmtaper_latency(owner.converter),
                                 planned_samples);
        plan->blocks = conversion.blocks;
        plan->output_samples = planned_samples;
        plan->header_len = samples_only ? 0 : out_header.length();
        if (sink.events.start != nullptr && sink.events.start(sink.events.user, plan) != 0) return PCMTAPER_ERROR_STOPPED;
        if (!samples_only) {
            const std::string& bytes = out_header.bytes_for(planned_samples);
            const bool began = write_all(known_writer, bytes.data(), bytes.size());
            sink.remarks(out_header.take_remarks());
            if (!began) return fail(sink, PCMTAPER_ERROR_WRITE);
        }

        // Every frame goes to the converter where the output's samples do not
        // follow the input's blocks one for one.
        const bool every_frame = align || resampling;
        sample_reader samples(&input, stage, every_frame, data_frames);
        std::uint64_t written = 0;
        const std::uint64_t input_blocks =
            every_frame ? (data_frames + block_len - 1) / block_len : data_frames / block_len;
        std::vector<unsigned char> block(block_len * frame_bytes);
        for (std::uint64_t n = 0; n < input_blocks && samples.input_left(); ++n) {
            std::size_t count = 0;
            const block_read read = samples.next(block.data(), &count);
            if (read == block_read::failed) {
                report_before_failure(owner.converter);
                return fail(sink, PCMTAPER_ERROR_READ);
            }
            if (read == block_read::ended) break;
            const pcmtaper_status status =
                convert_and_write(owner.converter, block.data(), count, frame_bytes, known_writer, &written);
            if (status != PCMTAPER_OK) return fail(sink, status);
            if (sink.events.progress != nullptr)
                sink.events.progress(sink.events.user, owner.converter->blocks_quantised, conversion.blocks);
        }
        const pcmtaper_status drained = convert_and_write(owner.converter, nullptr, 0, frame_bytes, known_writer, &written);
        if (drained != PCMTAPER_OK) return fail(sink, drained);
        if (sink.events.progress != nullptr)
            sink.events.progress(sink.events.user, owner.converter->blocks_quantised, owner.converter->blocks_quantised);
        plan->samples_written = written;
        std::uint64_t audible_end = owner.converter->audible_end;
        const std::uint64_t tail_frames =
            every_frame ? 0 : samples.look_at_tail(data_frames % block_len, &audible_end);
        plan->samples_read = samples.frames_read() + tail_frames;
        plan->audible_end = audible_end;

        if (samples.ended_early()) {
            pcmtaper_remark ended = make_remark(PCMTAPER_REMARK_INPUT_ENDED);
            ended.blocks_read = output_samples_of(samples.frames_read()) / block_len;
            ended.blocks_declared = output_samples_of(declared_frames) / block_len;
            sink.remark(ended);
        }
        // The converter's count: the samples it converted (not the tail it
        // only looked at), clipped by the input stage or after the resampler.
        if (const pcmtaper::input_statistics& clipping = owner.converter->input_stats; clipping.clipped_samples > 0) {
            pcmtaper_remark clipped = make_remark(PCMTAPER_REMARK_CLIPPED);
            clipped.samples_clipped = clipping.clipped_samples;
            clipped.peak = clipping.peak / pcmtaper::full_scale;
            sink.remark(clipped);
        }
        if (samples_only) return PCMTAPER_OK;
        const unsigned char pad = 0;  // the RIFF pad byte after an odd count
        if (written % 2 != 0 && !write_all(known_writer, &pad, 1)) return fail(sink, PCMTAPER_ERROR_WRITE);
        if (written != planned_samples) {
            // The output is shorter than its header says (a stream that ended
            // early). The header is written again, with the same layout, where the
            // output can be rewound; a device or a FIFO cannot be.
            const int rewound = known_writer.rewind != nullptr ? known_writer.rewind(known_writer.user) : 1;
            if (rewound == 1) {
                sink.remark(PCMTAPER_REMARK_HEADER_NOT_REWRITABLE, PCMTAPER_ERROR_HEADER_NOT_REWRITABLE);
                return PCMTAPER_ERROR_HEADER_NOT_REWRITABLE;
            }
            if (rewound != 0) return fail(sink, PCMTAPER_ERROR_WRITE);
            const std::string& bytes = out_header.bytes_for(written);
            const bool rewritten = write_all(known_writer, bytes.data(), bytes.size());
            sink.remarks(out_header.take_remarks());
            if (!rewritten) return fail(sink, PCMTAPER_ERROR_WRITE);
        }
        return PCMTAPER_OK;
    });
}

}  // extern "C"

namespace {

struct memory_out {
    unsigned char* bytes;
    std::size_t capacity;
    std::size_t at;
    std::size_t end;  // the furthest byte written
};

int write_memory(void* user, const void* bytes, std::size_t count) {
    auto* m = static_cast<memory_out*>(user);
    if (count > m->capacity - m->at) return 1;
    std::memcpy(m->bytes + m->at, bytes, count);
    m->at += count;
    if (m->at > m->end) m->end = m->at;
    return 0;
}

int rewind_memory(void* user) {
    static_cast<memory_out*>(user)->at = 0;
    return 0;
}

}  // namespace

extern "C" pcmtaper_status pcmtaper_convert_wav_memory(const void* input, size_t input_size,
                                                      const pcmtaper_config* config, const pcmtaper_wav_events* events,
                                                      void* out, size_t out_capacity, size_t* out_size) {
    if (out_size != nullptr) *out_size = 0;
    if ((input == nullptr && input_size > 0) || (out == nullptr && out_capacity > 0) || out_size == nullptr)
        return PCMTAPER_ERROR_INVALID_ARGUMENT;
    memory_bytes in{static_cast<const unsigned char*>(input), input_size, 0};
    memory_out o{static_cast<unsigned char*>(out), out_capacity, 0, 0};
    const pcmtaper_reader reader{sizeof reader, read_memory, &in, static_cast<std::int64_t>(input_size), seek_memory};
    const pcmtaper_writer writer{sizeof writer, write_memory, rewind_memory, &o};
    const pcmtaper_status status = pcmtaper_convert_wav(&reader, &writer, config, events, nullptr);
    *out_size = o.end;
    return status;
}
