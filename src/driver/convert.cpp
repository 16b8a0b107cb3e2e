#include "driver/convert.h"

#include <cstdint>
#include <cstdio>

#include "driver/exit_codes.h"
#include "driver/system.h"
#include "pipeline/pipeline.h"
#include "wav/metadata.h"
#include "wav/wav.h"

using pcmtaper::block_len;
using pcmtaper::converter_state;

namespace {

constexpr int block_bytes = block_len * 2;  // 16-bit input samples per block
constexpr int block_bytes_shift = 6;        // log2(block_bytes)
static_assert(1 << block_bytes_shift == block_bytes);
constexpr std::uint64_t delay_samples = pcmtaper::analysis_len - block_len;  // 224: the analysis looks ahead
constexpr double input_sample_scale = pcmtaper::sample_scale;  // 16-bit sample -> sample scale
constexpr std::uint64_t wrap_bytes = std::uint64_t(1) << 32;  // what a 32-bit size field wraps at

int exit_code_for(header_status status) {
    switch (status) {
        case header_status::ok: return exit_ok;
        case header_status::not_linear_pcm: return exit_not_linear_pcm;
        case header_status::not_mono: return exit_not_mono;
        case header_status::not_16_bit: return exit_not_16_bit;
        case header_status::bad_sample_rate: return exit_bad_sample_rate;
        case header_status::read_error: return exit_read_error;
        case header_status::fmt_not_found:
        case header_status::data_not_found:
        case header_status::ends_inside_header: break;
    }
    return exit_header_incomplete;
}

// The number of data bytes to convert: the declared size, or what a regular
// file actually holds after the header when that is less (a cut-off file, or
// a streaming writer's placeholder size). A file holding 4 GiB or more beyond
// a 32-bit size is converted as declared, with a remark: the writer may have
// let the size wrap, and only it knows where the data really ends.
std::uint64_t usable_data_size(const input_source& input, const wav_input_header& header, console* con) {
    const std::uint64_t declared = header.data_size_bytes;
    if (!input.regular) return declared;
    const long long position = stream_position(input.stream);
    const long long size = input.size_bytes;
    const std::uint64_t left =
        (position >= 0 && size > position) ? static_cast<std::uint64_t>(size - position) : 0;
    char line[160];
    if (declared <= left) {
        if (!header.data_size_from_ds64 && left - declared >= wrap_bytes) {
            std::snprintf(line, sizeof line,
                          "The data chunk claims %llu bytes; the file holds %llu after the header. "
                          "The size may have wrapped past 4 GiB.\r\n",
                          static_cast<unsigned long long>(declared), static_cast<unsigned long long>(left));
            con->remark(line);
        }
        return declared;
    }
    std::snprintf(line, sizeof line, "The data chunk claims %llu bytes; the file holds %llu after the header.\r\n",
                  static_cast<unsigned long long>(declared), static_cast<unsigned long long>(left));
    con->remark(line);
    return left;
}

enum class block_read { ok, ended, failed };

// Reads the input's samples block by block.
//
// An input that ends early, a stream or a regular file that shrinks while it
// is read, ends the conversion at its last whole block: nothing is made up
// for the samples that never came. With --align, the input is followed by
// silence, and an early end only shortens it.
//
// It also notes where the last audible sample was (one whole 8-bit step or
// more), for the advice on what the delay cuts off.
class sample_reader {
  public:
    sample_reader(const input_source& input, bool align, std::uint64_t data_bytes)
        : input_(input), align_(align), bytes_left_(align ? data_bytes - data_bytes % 2 : data_bytes) {}

    block_read next(double* samples) {
        unsigned char bytes[block_bytes];
        std::size_t wanted = sizeof bytes;
        if (align_ && bytes_left_ < wanted) wanted = static_cast<std::size_t>(bytes_left_);
        const std::size_t got = wanted == 0 || ended_ ? 0 : std::fread(bytes, 1, wanted, input_.stream);
        if (got < wanted) {
            if (std::ferror(input_.stream)) return block_read::failed;
            ended_ = true;
        }
        if (align_) {
            bytes_left_ = ended_ ? 0 : bytes_left_ - got;
            samples_read_ += got / 2;
            decode(bytes, got - got % 2, samples, true);
            return block_read::ok;
        }
        if (got < sizeof bytes) return block_read::ended;
        samples_read_ += block_len;
        decode(bytes, got, samples, false);
        return block_read::ok;
    }

    // Reads the samples of the last part block, which the plain conversion
    // does not convert, only to see whether they are audible. Returns their count.
    std::uint64_t look_at_tail(std::uint64_t bytes) {
        unsigned char tail[block_bytes];
        if (ended_ || bytes >= sizeof tail) return 0;
        const std::size_t got = std::fread(tail, 1, static_cast<std::size_t>(bytes), input_.stream);
        double ignored[block_len];
        decode(tail, got - got % 2, ignored, true);
        return got / 2;
    }

    bool ended_early() const { return ended_; }
    std::uint64_t samples_read() const { return samples_read_; }
    // One past the last sample read that is one 8-bit step or more from 0.
    std::uint64_t audible_end() const { return audible_end_; }

  private:
    static constexpr int audible_level = 256;  // one 8-bit step in 16-bit units

    void decode(const unsigned char* bytes, std::size_t count, double* samples, bool zero_fill) {
        for (int i = 0; i < block_len; ++i) {
            const std::size_t low = 2 * static_cast<std::size_t>(i);
            if (low + 1 < count) {
                held_sample_ = static_cast<std::int16_t>(bytes[low] | bytes[low + 1] << 8);
                ++decoded_;
                if (held_sample_ >= audible_level || held_sample_ <= -audible_level) audible_end_ = decoded_;
            } else if (zero_fill) {
                held_sample_ = 0;
            } else if (low < count) {
                held_sample_ = static_cast<std::int16_t>(
                    (static_cast<std::uint16_t>(held_sample_) & 0xFF00u) | bytes[low]);
            }
            samples[i] = held_sample_ * input_sample_scale;
        }
    }

    input_source input_;
    bool align_;
    std::uint64_t bytes_left_;  // with --align: data bytes still to read
    std::uint64_t samples_read_ = 0;
    std::int16_t held_sample_ = 0;  // the sample held before the first read
    bool ended_ = false;
    std::uint64_t decoded_ = 0;      // whole samples decoded so far
    std::uint64_t audible_end_ = 0;
};

// The blocks a conversion runs and the samples it writes.
struct conversion_plan {
    std::uint64_t blocks;          // blocks processed
    std::uint64_t output_samples;  // samples written after the header
    std::uint64_t skipped;         // leading output samples dropped (the delay, with --align)
};

conversion_plan plan_for(std::uint64_t input_samples, bool align, std::uint64_t whole_blocks) {
    if (!align) return {whole_blocks, whole_blocks * block_len, 0};
    return {(input_samples + delay_samples + block_len - 1) / block_len, input_samples, delay_samples};
}

struct loop_result {
    int exit_code;
    std::uint64_t samples_written;
};

// Writes the part of each block's output that the plan keeps, in the output's format.
class output_writer {
  public:
    output_writer(std::FILE* stream, sample_writer* format, const conversion_plan& plan)
        : stream_(stream), format_(format), skip_left_(plan.skipped) {}
    bool write(const std::uint8_t* bytes, std::uint64_t output_samples) {
        std::uint64_t start = skip_left_ < block_len ? skip_left_ : block_len;
        skip_left_ -= start;
        std::uint64_t count = block_len - start;
        if (written_ + count > output_samples) count = output_samples - written_;
        written_ += count;
        return count == 0 || format_->write(stream_, bytes + start, static_cast<std::size_t>(count));
    }
    std::uint64_t written() const { return written_; }

  private:
    std::FILE* stream_;
    sample_writer* format_;
    std::uint64_t skip_left_;
    std::uint64_t written_ = 0;
};

// The block loop: 32 samples in, one block processed, 32 bytes out. Each block
// is read one ahead, so that its analysis runs alongside the quantiser of the
// block before it; the output and everything printed are as if the blocks
// were processed one after the other.
loop_result convert_blocks(converter_state* state, sample_reader* reader, conversion_plan* plan, bool align,
                           std::FILE* output, sample_writer* format, double seconds_per_block, console* con) {
    output_writer writer(output, format, *plan);
    if (plan->blocks == 0) return {exit_ok, 0};
    double next_samples[block_len];
    block_read next_read = reader->next(next_samples);
    if (next_read != block_read::ok) return {next_read == block_read::failed ? exit_read_error : exit_ok, 0};
    pcmtaper::start_blocks(state, next_samples);
    for (std::uint64_t n = 0; n < plan->blocks; ++n) {
        // The report is chosen by the block number modulo 8192, which the
        // number's low 32 bits keep.
        pcmtaper::block_report report;
        if (pcmtaper::search_taps(state, static_cast<std::uint32_t>(n), &report)) {
            con->end_progress();
            pcmtaper::print_block_report(report);  // on standard output, wherever that now points
        }
        next_read = n + 1 < plan->blocks ? reader->next(next_samples) : block_read::ended;
        if (next_read == block_read::failed) return {exit_read_error, writer.written()};
        if (align && reader->ended_early()) *plan = plan_for(reader->samples_read(), true, 0);
        pcmtaper::quantise_and_analyse_next(state, next_read == block_read::ok ? next_samples : nullptr);
        if (!writer.write(state->out_bytes, plan->output_samples)) return {exit_write_error, writer.written()};
        con->progress(n + 1, plan->blocks, seconds_per_block);
        if (next_read == block_read::ended) break;
    }
    con->end_progress();
    return {exit_ok, writer.written()};
}

// The refusals that a conversion by another program mends: after the
// converter's text, the command that makes a file this program takes.
void advise_on_refusal(header_status status, const char* name, console* con) {
    if (status != header_status::not_linear_pcm && status != header_status::not_mono &&
        status != header_status::not_16_bit)
        return;
    con->error("to convert %s, first make a mono 16-bit copy: sox %s -c 1 -b 16 -e signed-integer mono16.wav "
               "(or: ffmpeg -i %s -ac 1 -c:a pcm_s16le mono16.wav)",
               name, name, name);
}

// The plain conversion drops the last 224 samples (the look-ahead) and any
// part block after the last whole one: a short sound effect can vanish
// whole. Says so when what is dropped is audible.
void advise_on_cut_end(const sample_reader& reader, std::uint64_t tail_samples, std::uint64_t samples_written,
                       std::uint32_t sample_rate_hz, const char* name, console* con) {
    const std::uint64_t seen = reader.samples_read() + tail_samples;
    const std::uint64_t cut_from = samples_written > delay_samples ? samples_written - delay_samples : 0;
    if (reader.audible_end() <= cut_from || seen <= cut_from) return;
    const std::uint64_t cut = seen - cut_from;
    const double cut_ms = static_cast<double>(cut) * 1000.0 / static_cast<double>(sample_rate_hz);
    con->notice("%s: the last %llu samples (%.0f ms) are cut by the look-ahead delay; -a keeps them", name,
                static_cast<unsigned long long>(cut), cut_ms);
}

void report_header_skip(void* context, const char* chunk_id, std::uint64_t bytes_skipped, std::uint64_t chunk_bytes) {
    static_cast<console*>(context)->header_skip_progress(chunk_id, bytes_skipped, chunk_bytes);
}

int fail_output(output_sink* output, console* con, int code) {
    con->end_progress();
    if (code == exit_write_error) con->remark("Cannot write the output file.\r\n");
    if (code == exit_read_error) con->remark("Cannot read the input file.\r\n");
    output->discard();
    return code;
}

// Reads `count` bytes at byte `offset` of a seekable input.
bool read_input_at(void* context, std::uint64_t offset, void* bytes, std::size_t count) {
    auto* stream = static_cast<std::FILE*>(context);
    return seek_stream(stream, static_cast<long long>(offset)) && std::fread(bytes, 1, count, stream) == count;
}

// The metadata chunks after the sample data of a regular input, where many
// writers put them; the input is left where the samples start. A stream
// cannot go back, and keeps only the chunks before its data.
void read_metadata_after_samples(const input_source& input, std::uint64_t data_bytes, metadata_set* kept,
                                 console* con) {
    const long long data_start = stream_position(input.stream);
    if (!input.regular || data_start < 0) return;
    std::string remarks;
    read_metadata_after_data(read_input_at, input.stream, static_cast<std::uint64_t>(data_start) + data_bytes,
                             data_bytes, static_cast<std::uint64_t>(input.size_bytes), kept, &remarks);
    con->remark(remarks);
    if (!seek_stream(input.stream, data_start)) std::clearerr(input.stream);  // the read then reports it
}

}  // namespace

int convert_stream(converter_state* state, const input_source& input, const conversion_options& options,
                   output_sink* output, console* con) {
    wav_input_header header;
    metadata_set metadata;
    if (options.keep_metadata) header.metadata = &metadata;
    const header_skip_progress skip_progress{report_header_skip, con};
    const header_status status = read_input_header(input.stream, &header, &skip_progress);
    con->end_progress();
    con->remark(header.messages);
    if (status != header_status::ok) {
        advise_on_refusal(status, input.name, con);
        return exit_code_for(status);
    }

    const std::uint64_t declared_blocks = header.data_size_bytes >> block_bytes_shift;
    const std::uint64_t data_bytes = usable_data_size(input, header, con);
    if (options.keep_metadata) read_metadata_after_samples(input, data_bytes, &metadata, con);
    conversion_plan plan = plan_for(data_bytes / 2, options.align, data_bytes >> block_bytes_shift);
    const auto sample_rate_hz = static_cast<std::int32_t>(header.sample_rate_hz);  // below 2^31
    con->info("SAMPLE RATE: %d\r\n", sample_rate_hz);
    con->info(" FRAMES NUM: %llu\r\n", static_cast<unsigned long long>(plan.blocks));
    pcmtaper::start_conversion(state, static_cast<double>(sample_rate_hz), options.zero_dc);

    const std::uint64_t planned_samples = plan.output_samples;
    const output_sink::opened opened = output->open({header.sample_rate_hz, planned_samples});
    if (opened.stream == nullptr) {
        con->error("%s", opened.message.c_str());
        return opened.exit_code;
    }
    // The metadata's positions move with the sound: by the delay, which
    // --align takes off.
    const std::unique_ptr<sample_writer> format =
        make_sample_writer(options.format, &metadata, options.align ? 0 : delay_samples);
    const bool began = format->begin(opened.stream, planned_samples, header.sample_rate_hz);
    con->remark(format->take_remarks());
    if (!began) return fail_output(output, con, exit_write_error);

    sample_reader reader(input, options.align, data_bytes);
    const loop_result result = convert_blocks(state, &reader, &plan, options.align, opened.stream, format.get(),
                                              block_len / static_cast<double>(sample_rate_hz), con);
    if (result.exit_code != exit_ok) return fail_output(output, con, result.exit_code);
    const std::uint64_t tail_samples =
        options.align ? 0 : reader.look_at_tail(data_bytes - (data_bytes >> block_bytes_shift << block_bytes_shift));
    if (reader.ended_early()) {
        char line[96];
        std::snprintf(line, sizeof line, "The input ended after %llu of %llu frames.\r\n",
                      static_cast<unsigned long long>(reader.samples_read() / block_len),
                      static_cast<unsigned long long>(declared_blocks));
        con->remark(line);
    }
    if (!format->finish(opened.stream, result.samples_written)) return fail_output(output, con, exit_write_error);
    if (result.samples_written != planned_samples && format->states_sample_count()) {
        // The output is shorter than its header says (a stream that ended
        // early). The header is written again, with the same length, where the
        // output can be rewound; a device or a FIFO cannot be.
        if (!output->rewindable()) {
            con->remark("The output header states more samples than were written.\r\n");
            output->discard();
            return exit_read_error;
        }
        const bool rewritten = output->seek_to_start() && format->rewrite_begin(opened.stream, result.samples_written);
        con->remark(format->take_remarks());
        if (!rewritten) return fail_output(output, con, exit_write_error);
    }
    const output_sink::finished finished = output->commit();
    if (finished.exit_code != exit_ok) {
        if (finished.message.empty()) {
            con->remark("Cannot write the output file.\r\n");
        } else {
            con->error("%s", finished.message.c_str());
        }
        return finished.exit_code;
    }
    if (!options.align)
        advise_on_cut_end(reader, tail_samples, result.samples_written, header.sample_rate_hz, input.name, con);
    return exit_ok;
}
