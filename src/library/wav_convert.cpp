// The whole-file conversion: the input header, the counts, the output header,
// the samples block by block through a converter, the drain, the pad byte and
// the header written again when a stream ended early. Everything it has to
// say goes to the caller's events as data, in the program's order.
#include <cstring>

#include <string>
#include <utility>

#include "library/converter.h"
#include "library/versioned.h"
#include "wav/metadata.h"
#include "wav/wav.h"

using pcmtaper::block_len;
using pcmtaper::delay_samples;

namespace {

constexpr int block_bytes = block_len * 2;  // 16-bit input samples per block
constexpr int block_bytes_shift = 6;        // log2(block_bytes)
static_assert(1 << block_bytes_shift == block_bytes);
constexpr std::uint64_t wrap_bytes = std::uint64_t(1) << 32;  // what a 32-bit size field wraps at

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

// Reads the input's samples block by block.
//
// An input that ends early, a stream or a file that shrinks while it is
// read, ends the conversion at its last whole block: nothing is made up for
// the samples that never came. With --align only the samples read are given
// (the converter follows them with silence), and an early end only shortens
// the input.
//
// It also notes where the last audible sample was (one whole 8-bit step or
// more from 0), for callers that say what the delay cuts off.
class sample_reader {
  public:
    sample_reader(byte_source* input, bool align, std::uint64_t data_bytes)
        : input_(input), align_(align), bytes_left_(align ? data_bytes - data_bytes % 2 : data_bytes) {}

    // The next block's samples into `samples`, *count of them (block_len but
    // for --align's last).
    block_read next(std::int16_t* samples, std::size_t* count) {
        unsigned char bytes[block_bytes];
        std::size_t wanted = sizeof bytes;
        if (align_ && bytes_left_ < wanted) wanted = static_cast<std::size_t>(bytes_left_);
        const std::size_t got = wanted == 0 || ended_ ? 0 : input_->read(bytes, wanted);
        if (got < wanted) {
            if (input_->failed) return block_read::failed;
            ended_ = true;
        }
        if (align_) {
            bytes_left_ = ended_ ? 0 : bytes_left_ - got;
            samples_read_ += got / 2;
            *count = decode(bytes, got / 2, samples);
            return block_read::ok;
        }
        if (got < sizeof bytes) return block_read::ended;
        samples_read_ += block_len;
        *count = decode(bytes, block_len, samples);
        return block_read::ok;
    }

    // Reads the samples of the last part block, which the plain conversion
    // does not convert, only to see whether they are audible. Returns their count.
    std::uint64_t look_at_tail(std::uint64_t bytes) {
        unsigned char tail[block_bytes];
        std::int16_t ignored[block_len];
        if (ended_ || bytes >= sizeof tail) return 0;
        const std::size_t got = input_->read(tail, static_cast<std::size_t>(bytes));
        return decode(tail, got / 2, ignored);
    }

    bool ended_early() const { return ended_; }
    bool input_left() const { return !align_ || (bytes_left_ > 0 && !ended_); }
    std::uint64_t samples_read() const { return samples_read_; }
    std::uint64_t audible_end() const { return audible_end_; }

  private:
    static constexpr int audible_level = 256;  // one 8-bit step in 16-bit units

    std::size_t decode(const unsigned char* bytes, std::size_t count, std::int16_t* samples) {
        for (std::size_t i = 0; i < count; ++i) {
            samples[i] = static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
            ++decoded_;
            if (samples[i] >= audible_level || samples[i] <= -audible_level) audible_end_ = decoded_;
        }
        return count;
    }

    byte_source* input_;
    bool align_;
    std::uint64_t bytes_left_;  // with --align: data bytes still to read
    std::uint64_t samples_read_ = 0;
    bool ended_ = false;
    std::uint64_t decoded_ = 0;  // whole samples decoded so far
    std::uint64_t audible_end_ = 0;
};

// The blocks a conversion runs and the samples it writes.
struct conversion_plan {
    std::uint64_t blocks;          // blocks processed
    std::uint64_t output_samples;  // samples written after the header
};

conversion_plan plan_for(std::uint64_t input_samples, bool align, std::uint64_t whole_blocks) {
    if (!align) return {whole_blocks, whole_blocks * block_len};
    return {(input_samples + delay_samples + block_len - 1) / block_len, input_samples};
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
    output_header(const metadata_set* metadata, std::uint64_t shift_samples, std::uint64_t samples,
                  std::uint32_t rate_hz)
        : metadata_(metadata), shift_samples_(shift_samples), rate_hz_(rate_hz) {
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
        std::string chunks = metadata_->for_output(shift_samples_, samples, &remarks);
        if (!same_remarks(remarks, said_)) remarks_.insert(remarks_.end(), remarks.begin(), remarks.end());
        said_ = remarks;
        return chunks;
    }

    const metadata_set* metadata_;
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

// Hands the converter's output for `count` samples (or the drain, with
// in == null) to the writer.
pcmtaper_status convert_and_write(pcmtaper_converter* c, const std::int16_t* in, std::size_t count,
                                  const pcmtaper_writer& writer, std::uint64_t* samples_written) {
    std::uint8_t out[4 * block_len];
    for (;;) {
        std::size_t used = 0, written = 0;
        const pcmtaper_status status = in != nullptr ? pcmtaper_process(c, in, count, &used, out, sizeof out, &written)
                                                     : pcmtaper_finish(c, out, sizeof out, &written);
        if (status != PCMTAPER_OK) return status;
        if (!write_all(writer, out, written)) return PCMTAPER_ERROR_WRITE;
        *samples_written += written;
        if (in != nullptr) {
            in += used;
            count -= used;
            if (count == 0) return PCMTAPER_OK;
        } else if (written == 0) {
            return PCMTAPER_OK;
        }
    }
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
    // At most one output sample per two input bytes, the largest header and
    // the pad byte. The kept chunks come from input bytes that are not
    // samples, at most one of each of the four kinds, each perhaps with a pad
    // byte that the input left out.
    if ((flags & PCMTAPER_FLAG_KEEP_METADATA) != 0) return input_bytes + PCMTAPER_WAV_HEADER_MAX + 1 + 4;
    return input_bytes / 2 + PCMTAPER_WAV_HEADER_MAX + 1;
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
        // The file gives the rate.
        pcmtaper_config known;
        if (const pcmtaper_status checked = checked_config(config, &known, true); checked != PCMTAPER_OK) return checked;
        const bool align = (known.flags & PCMTAPER_FLAG_ALIGN) != 0;
        const bool samples_only = (known.flags & PCMTAPER_FLAG_SAMPLES_ONLY) != 0;
        const bool keep_metadata = (known.flags & PCMTAPER_FLAG_KEEP_METADATA) != 0 && !samples_only;
        metadata_set metadata;

        byte_source input{&known_reader};
        wav_input_header header;
        const header_status walked =
            walk_input_header(&input, &header, sink, keep_metadata ? &metadata : nullptr, true);
        if (walked != header_status::ok) return status_of(walked);
        if (header.sample_type != PCMTAPER_SAMPLE_S16 || header.valid_bits != 16) {
            sink.remark(PCMTAPER_REMARK_REFUSAL, PCMTAPER_ERROR_NOT_16_BIT);
            return PCMTAPER_ERROR_NOT_16_BIT;
        }

        const std::uint64_t declared_blocks = header.data_size_bytes >> block_bytes_shift;
        const std::uint64_t data_bytes = usable_data_size(known_reader, header, sink);
        if (keep_metadata && !read_metadata_after_samples(known_reader, header, data_bytes, &metadata, sink))
            return fail(sink, PCMTAPER_ERROR_READ);
        conversion_plan conversion = plan_for(data_bytes / 2, align, data_bytes >> block_bytes_shift);
        const std::uint32_t rate_hz = header.sample_rate_hz;  // below 2^31

        known.sample_rate_hz = rate_hz;
        converter_owner owner;
        const pcmtaper_status created = pcmtaper_create(&known, &owner.converter);
        if (created != PCMTAPER_OK) return created;
        expect_blocks(owner.converter, conversion.blocks);

        const std::uint64_t planned_samples = conversion.output_samples;
        // The metadata's positions move with the sound: by the delay, which
        // PCMTAPER_FLAG_ALIGN takes off.
        output_header out_header(keep_metadata ? &metadata : nullptr, align ? 0 : delay_samples, planned_samples, rate_hz);
        plan->sample_rate_hz = rate_hz;
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

        sample_reader samples(&input, align, data_bytes);
        std::uint64_t written = 0;
        const std::uint64_t input_blocks = align ? (data_bytes / 2 + block_len - 1) / block_len : conversion.blocks;
        for (std::uint64_t n = 0; n < input_blocks && samples.input_left(); ++n) {
            std::int16_t block[block_len];
            std::size_t count = 0;
            const block_read read = samples.next(block, &count);
            if (read == block_read::failed) {
                report_before_failure(owner.converter);
                return fail(sink, PCMTAPER_ERROR_READ);
            }
            if (read == block_read::ended) break;
            const pcmtaper_status status = convert_and_write(owner.converter, block, count, known_writer, &written);
            if (status != PCMTAPER_OK) return fail(sink, status);
            if (sink.events.progress != nullptr)
                sink.events.progress(sink.events.user, owner.converter->blocks_quantised, conversion.blocks);
        }
        const pcmtaper_status drained = convert_and_write(owner.converter, nullptr, 0, known_writer, &written);
        if (drained != PCMTAPER_OK) return fail(sink, drained);
        if (sink.events.progress != nullptr)
            sink.events.progress(sink.events.user, owner.converter->blocks_quantised, owner.converter->blocks_quantised);
        plan->samples_written = written;
        const std::uint64_t tail_samples =
            align ? 0 : samples.look_at_tail(data_bytes - (data_bytes >> block_bytes_shift << block_bytes_shift));
        plan->samples_read = samples.samples_read() + tail_samples;
        plan->audible_end = samples.audible_end();

        if (samples.ended_early()) {
            pcmtaper_remark ended = make_remark(PCMTAPER_REMARK_INPUT_ENDED);
            ended.blocks_read = samples.samples_read() / block_len;
            ended.blocks_declared = declared_blocks;
            sink.remark(ended);
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
