#include "convert.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "exit_codes.h"
#include "other_formats.h"
#include "system.h"

namespace {

// The run's side of the library's callbacks.
struct conversion_run {
    std::FILE* input;
    output_sink* output;
    console* con;
    sample_writer* format;        // frames the samples; null for a WAV file, which the library writes
    long long input_start = 0;    // where the input stood at the start, for the library's seeks
    std::FILE* stream = nullptr;  // the output, once opened
    int refused_code = exit_ok;   // why the output could not be opened
    double seconds_per_block = 0;
    decoded_input* decoded = nullptr;  // a file of another format, read as a WAV file
    bool starts_as_wav = true;         // false once the header walk remarked on the first id
};

std::size_t read_input(void* user, void* buffer, std::size_t capacity, int* failed) {
    std::FILE* in = static_cast<conversion_run*>(user)->input;
    const std::size_t n = std::fread(buffer, 1, capacity, in);
    if (n < capacity && std::ferror(in)) *failed = 1;
    return n;
}

std::size_t read_decoded(void* user, void* buffer, std::size_t capacity, int* failed) {
    return static_cast<conversion_run*>(user)->decoded->read(buffer, capacity, failed);
}

int seek_decoded(void* user, std::uint64_t offset) {
    return static_cast<conversion_run*>(user)->decoded->seek(offset) ? 0 : 1;
}

// Whether the regular file `stream` starts as a WAV file at `position`
// (where it is left).
bool file_starts_as_wav(std::FILE* stream, long long position) {
    unsigned char start[4];
    const std::size_t length = std::fread(start, 1, sizeof start, stream);
    return seek_stream(stream, position) && starts_as_wav(start, length);
}

int seek_input(void* user, std::uint64_t offset) {
    const auto* run = static_cast<conversion_run*>(user);
    return seek_stream(run->input, run->input_start + static_cast<long long>(offset)) ? 0 : 1;
}

int write_output(void* user, const void* bytes, std::size_t count) {
    const auto* run = static_cast<conversion_run*>(user);
    if (run->format != nullptr)
        return run->format->write(run->stream, static_cast<const std::uint8_t*>(bytes), count) ? 0 : 1;
    return std::fwrite(bytes, 1, count, run->stream) == count ? 0 : 1;
}

// A remark's line where remarks go.
void say_remark(console* con, const pcmtaper_remark& remark) {
    char text[PCMTAPER_REMARK_TEXT_MAX];
    pcmtaper_format_remark(&remark, text, sizeof text);
    con->remark(text);
}

// A remark of the program's own, on what happens outside the library's calls:
// said as the library says it.
void say_remark(console* con, pcmtaper_remark_code code) {
    pcmtaper_remark remark{};
    remark.struct_size = sizeof remark;
    remark.code = code;
    say_remark(con, remark);
}

// A write error outside the library's calls.
int fail_output(output_sink* output, console* con, int code) {
    con->end_progress();
    if (code == exit_write_error) say_remark(con, PCMTAPER_REMARK_WRITE_ERROR);
    output->discard();
    return code;
}

int rewind_output(void* user) {
    output_sink* output = static_cast<conversion_run*>(user)->output;
    if (!output->rewindable()) return 1;
    return output->seek_to_start() ? 0 : -1;
}

// The text the program prints: remarks where remarks go, the counts and the
// reports where information goes (standard output, unless quiet).
void print_remark(void* user, const pcmtaper_remark* remark) {
    auto* run = static_cast<conversion_run*>(user);
    if (remark->code == PCMTAPER_REMARK_RIFF_ID) run->starts_as_wav = false;
    say_remark(run->con, *remark);
}

void print_report(void* user, const pcmtaper_block_report* report) {
    char text[PCMTAPER_REPORT_TEXT_MAX];
    pcmtaper_format_report(report, text, sizeof text);
    static_cast<conversion_run*>(user)->con->info("%s", text);
}

// The header is accepted: the counts are said, and the output is opened now,
// so that a refused input creates nothing.
int open_output(void* user, const pcmtaper_wav_plan* plan) {
    auto* run = static_cast<conversion_run*>(user);
    run->con->info("%s", count_lines(*plan).c_str());
    constexpr double samples_per_block = 32.0;
    run->seconds_per_block = samples_per_block / static_cast<double>(plan->sample_rate_hz);
    const output_sink::opened opened = run->output->open();
    if (opened.stream == nullptr) {
        run->con->error("%s", opened.message.c_str());
        run->refused_code = opened.exit_code;
        return 1;
    }
    run->stream = opened.stream;
    if (run->format != nullptr && !run->format->begin(run->stream, plan->output_samples, plan->sample_rate_hz)) {
        run->refused_code = fail_output(run->output, run->con, exit_write_error);
        return 1;
    }
    return 0;
}

void show_skip_progress(void* user, const char* chunk_id, std::uint64_t bytes_skipped, std::uint64_t chunk_bytes) {
    static_cast<conversion_run*>(user)->con->header_skip_progress(chunk_id, bytes_skipped, chunk_bytes);
}

void show_progress(void* user, std::uint64_t blocks_done, std::uint64_t blocks_total) {
    auto* run = static_cast<conversion_run*>(user);
    run->con->progress(blocks_done, blocks_total, run->seconds_per_block);
}

}  // namespace

std::string count_lines(const pcmtaper_wav_plan& plan) {
    char lines[64];
    std::snprintf(lines, sizeof lines, "SAMPLE RATE: %d\r\n FRAMES NUM: %llu\r\n",
                  static_cast<int>(plan.sample_rate_hz), static_cast<unsigned long long>(plan.blocks));  // rate below 2^31
    return lines;
}

pcmtaper_config library_config(const conversion_options& options, bool samples_only) {
    pcmtaper_config config;
    pcmtaper_config_init(&config);
    config.flags = (options.align ? PCMTAPER_FLAG_ALIGN : 0u) | (options.zero_dc ? PCMTAPER_FLAG_ZERO_DC : 0u) |
                   (options.keep_metadata ? PCMTAPER_FLAG_KEEP_METADATA : 0u) |
                   (samples_only ? PCMTAPER_FLAG_SAMPLES_ONLY : 0u) |
                   (options.normalize ? PCMTAPER_FLAG_NORMALIZE : 0u);
    config.kernel_level = options.kernel_level;
    config.threads = options.threads > 0 ? static_cast<unsigned>(options.threads) : 1u;
    config.channel = options.channel;
    config.gain_db = options.gain_db;
    config.output_rate_hz = options.output_rate_hz;
    return config;
}

bool is_header_refusal(pcmtaper_status status) {
    switch (status) {
        case PCMTAPER_ERROR_NOT_LINEAR_PCM:
        case PCMTAPER_ERROR_NOT_MONO:
        case PCMTAPER_ERROR_NOT_16_BIT:
        case PCMTAPER_ERROR_BAD_SAMPLE_RATE:
        case PCMTAPER_ERROR_FMT_NOT_FOUND:
        case PCMTAPER_ERROR_DATA_NOT_FOUND:
        case PCMTAPER_ERROR_HEADER_INCOMPLETE: return true;
        default: return false;
    }
}

int exit_code_for(pcmtaper_status status) {
    switch (status) {
        case PCMTAPER_OK: return exit_ok;
        case PCMTAPER_ERROR_NOT_LINEAR_PCM: return exit_not_linear_pcm;
        case PCMTAPER_ERROR_NOT_MONO: return exit_not_mono;
        case PCMTAPER_ERROR_NOT_16_BIT: return exit_not_16_bit;
        case PCMTAPER_ERROR_BAD_SAMPLE_RATE: return exit_bad_sample_rate;
        case PCMTAPER_ERROR_FMT_NOT_FOUND:
        case PCMTAPER_ERROR_DATA_NOT_FOUND:
        case PCMTAPER_ERROR_HEADER_INCOMPLETE: return exit_header_incomplete;
        case PCMTAPER_ERROR_READ:
        case PCMTAPER_ERROR_HEADER_NOT_REWRITABLE: return exit_read_error;
        case PCMTAPER_ERROR_OUT_OF_MEMORY: return exit_out_of_memory;
        case PCMTAPER_ERROR_LEVEL_UNAVAILABLE: return exit_kernel_level_unavailable;
        case PCMTAPER_ERROR_NOT_SEEKABLE: return exit_usage;
        case PCMTAPER_ERROR_WRITE:
        case PCMTAPER_ERROR_INVALID_ARGUMENT:
        case PCMTAPER_ERROR_UNSUPPORTED_CONFIG:
        case PCMTAPER_ERROR_BAD_STATE:
        case PCMTAPER_ERROR_STOPPED:
        case PCMTAPER_ERROR_ALLOCATION_NEEDED: break;
    }
    return exit_write_error;
}

std::string refusal_advice(pcmtaper_status status, const std::string& input_name) {
    const std::string& n = input_name;
    if (status == PCMTAPER_ERROR_NOT_MONO)
        return "to convert " + n + ", choose its channels: -c mix for their mean, or -c N for channel N alone (as in: "
               "pcmtaper -c mix " + n + ")";
    if (status != PCMTAPER_ERROR_NOT_LINEAR_PCM && status != PCMTAPER_ERROR_NOT_16_BIT) return "";
    return "to convert " + n + ", first make a mono 16-bit copy: sox " + n +
           " -c 1 -b 16 -e signed-integer mono16.wav (or: ffmpeg -i " + n + " -ac 1 -c:a pcm_s16le mono16.wav)";
}

std::string cut_end_notice(const conversion_end& end) {
    if (!end.advise_on_cut_end) return "";
    constexpr std::uint64_t delay_samples = PCMTAPER_LATENCY_SAMPLES;
    // The input's frames counted in output samples, where the resampler
    // puts them (its output sample k stands at input frame k x in / out).
    const auto at_output_rate = [&](std::uint64_t frames) {
        if (end.input_rate_hz == 0 || end.input_rate_hz == end.sample_rate_hz) return frames;
        return static_cast<std::uint64_t>(std::floor(static_cast<double>(frames) * end.sample_rate_hz /
                                                          end.input_rate_hz + 0.5));
    };
    const std::uint64_t seen = at_output_rate(end.samples_read);
    const std::uint64_t cut_from = end.samples_written > delay_samples ? end.samples_written - delay_samples : 0;
    if (at_output_rate(end.audible_end) <= cut_from || seen <= cut_from) return "";
    const std::uint64_t cut = seen - cut_from;
    const double cut_ms = static_cast<double>(cut) * 1000.0 / static_cast<double>(end.sample_rate_hz);
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, ": the last %llu samples (%.0f ms) are cut by the look-ahead delay; -a keeps them",
                  static_cast<unsigned long long>(cut), cut_ms);
    return end.input_name + std::string(numbers);
}

conversion_end convert_until_commit(const input_source& input, const conversion_options& options,
                                    output_sink* output, console* con) {
    const std::unique_ptr<sample_writer> format = make_sample_writer(options.format);
    conversion_run run{input.stream, output, con, format.get()};
    pcmtaper_reader reader{sizeof reader, read_input, &run, -1, nullptr};
    std::unique_ptr<decoded_input> decoded_file;
    if (input.regular) {
        // What the input holds from here on: the file's size less where it
        // stands. It can seek, for the metadata after the samples.
        const long long position = stream_position(input.stream);
        reader.size_bytes = input.size_bytes > position && position >= 0 ? input.size_bytes - position : 0;
        run.input_start = position;
        if (position >= 0) reader.seek = seek_input;
        // Another format that the decoder reads is read as the WAV file of
        // its decoded samples; any other file goes to the header walk.
        if (position >= 0 && !decoder_version().empty() && !file_starts_as_wav(input.stream, position))
            decoded_file = open_decoded_input(input.stream, position, reader.size_bytes);
        if (decoded_file != nullptr) {
            run.decoded = decoded_file.get();
            reader = {sizeof reader, read_decoded, &run, decoded_file->size_bytes(), seek_decoded};
            if (options.keep_metadata)
                con->remark("Metadata is kept from WAV files only: none of this " + decoded_file->format_name() +
                            " file's is copied.\r\n");
        }
    }
    const pcmtaper_writer writer{sizeof writer, write_output, rewind_output, &run};
    pcmtaper_config config = library_config(options, format != nullptr);
    config.report = print_report;
    config.report_user = &run;
    pcmtaper_wav_events events{};
    events.struct_size = sizeof events;
    events.user = &run;
    events.remark = print_remark;
    events.start = open_output;
    events.progress = show_progress;
    events.skip_progress = show_skip_progress;

    conversion_end end;
    pcmtaper_wav_plan plan{};
    plan.struct_size = sizeof plan;
    const pcmtaper_status status = pcmtaper_convert_wav(&reader, &writer, &config, &events, &plan);
    con->end_progress();
    if (status == PCMTAPER_ERROR_STOPPED) {
        end.exit_code = run.refused_code;
        return end;
    }
    if (status == PCMTAPER_ERROR_OUT_OF_MEMORY) con->error("out of memory");
    // The command line refuses a normalised stream before anything is
    // opened; an input that only turns out to be one when open (a file the
    // system reports as empty) ends here.
    if (status == PCMTAPER_ERROR_NOT_SEEKABLE)
        con->error("--normalize reads the input twice, and %s cannot be read twice (its size is unknown)", input.name);
    // A channel the file does not have: the one config check that depends
    // on the file, so the library leaves the message to the program.
    const bool channel_missing = status == PCMTAPER_ERROR_INVALID_ARGUMENT && options.channel > 0 &&
                                 plan.input_channels != 0 &&
                                 static_cast<std::uint32_t>(options.channel) > plan.input_channels;
    if (channel_missing) {
        con->error("%s has %u channel%s; -c %d names none of them (1%s, or mix)", input.name,
                   static_cast<unsigned>(plan.input_channels), plan.input_channels == 1 ? "" : "s", options.channel,
                   plan.input_channels == 1 ? "" : (" to " + std::to_string(plan.input_channels)).c_str());
        end.exit_code = exit_not_mono;
        return end;
    }
    if (status != PCMTAPER_OK) {
        if (const std::string advice = refusal_advice(status, input.name); !advice.empty())
            con->error("%s", advice.c_str());
        if (!run.starts_as_wav && is_header_refusal(status))
            con->error("%s", not_wav_hint(input.name, !input.regular).c_str());
        if (run.stream != nullptr) output->discard();
        end.exit_code = exit_code_for(status);
        return end;
    }
    if (format != nullptr) {
        // The library wrote the samples alone: what comes after them, and
        // what comes before them again when a stream ended early and that
        // states their number.
        if (!format->finish(run.stream, plan.samples_written)) {
            end.exit_code = fail_output(output, con, exit_write_error);
            return end;
        }
        if (plan.samples_written != plan.output_samples && format->states_sample_count()) {
            if (!output->rewindable()) {
                say_remark(con, PCMTAPER_REMARK_HEADER_NOT_REWRITABLE);
                output->discard();
                end.exit_code = exit_read_error;
                return end;
            }
            if (!output->seek_to_start() || !format->rewrite_begin(run.stream, plan.samples_written)) {
                end.exit_code = fail_output(output, con, exit_write_error);
                return end;
            }
        }
    }
    // The last bytes handed to the system here, by the thread that made
    // them; a failure stays on the stream, where the commit finds it.
    std::fflush(run.stream);
    end.commit_due = true;
    end.exit_code = exit_ok;
    end.advise_on_cut_end = !options.align;
    end.samples_read = plan.samples_read;
    end.samples_written = plan.samples_written;
    end.audible_end = plan.audible_end;
    end.sample_rate_hz = plan.sample_rate_hz;
    end.input_rate_hz = plan.input_rate_hz;
    end.input_name = input.name;
    return end;
}

int finish_conversion(const conversion_end& end, output_sink* output, console* con) {
    if (!end.commit_due) return end.exit_code;
    const output_sink::finished finished = output->commit();
    if (finished.exit_code != exit_ok) {
        if (finished.message.empty()) {
            say_remark(con, PCMTAPER_REMARK_WRITE_ERROR);
        } else {
            con->error("%s", finished.message.c_str());
        }
        return finished.exit_code;
    }
    if (const std::string notice = cut_end_notice(end); !notice.empty()) con->notice("%s", notice.c_str());
    return exit_ok;
}

int convert_stream(const input_source& input, const conversion_options& options, output_sink* output, console* con) {
    return finish_conversion(convert_until_commit(input, options, output, con), output, con);
}
