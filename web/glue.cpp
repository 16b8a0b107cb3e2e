// The web page's WebAssembly entry points: one conversion of a WAV file held
// in memory, through the library's pcmtaper_convert_wav, with what it says
// kept as data for pcmtaper.mjs (the output's bytes and samples, the texts
// by kind, the remarks by code, the block reports as numbers, the exit code),
// and, for the page's plots and player, the signal the shaper took: the
// file's frames through the library's own input stage and resampler.
// The program's rules come from the driver's own functions: the output's
// name, the checks of the options, the C and raw formats, the exit codes and
// the lines on standard error. Names and options are data here, never a
// command line.
//
// JavaScript is called back from inside a conversion only through
// pcmtaper_web_progress, which never throws (pcmtaper.mjs catches what the
// page's callback throws and answers "stop"): no exception unwinds through
// these frames, so the stack and the heap stay whole whatever the callback does.
#include <emscripten.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "cli.h"
#include "convert.h"
#include "exit_codes.h"
#include "formats.h"
#include "input/input_stage.h"
#include "pcmtaper/pcmtaper.h"
#include "resample/resampler.h"

// Calls the page's progress callback; returns nonzero when it asks the
// conversion to stop (it threw).
EM_JS(int, pcmtaper_web_progress, (double done, double total), {
    try {
        const report = Module["pcmtaperProgress"];
        return report ? (report(done, total) ? 1 : 0) : 0;
    } catch (error) {
        return 1;
    }
});

namespace {

// One piece of the program's text on standard output, by kind (the module
// names them 'remark', 'counts' and 'report').
enum text_kind : int { text_remark = 0, text_counts = 1, text_report = 2 };
struct text_piece {
    text_kind kind;
    std::string text;
};

}  // namespace

// Everything a conversion leaves for pcmtaper.mjs, until pcmtaper_web_release.
struct pcmtaper_web_conversion {
    int exit_code = exit_ok;
    bool stopped = false;  // the progress callback asked to stop
    std::string output_name;
    std::vector<std::uint8_t> output;
    std::vector<std::uint8_t> samples;  // the unsigned 8-bit samples, in every format
    std::vector<text_piece> texts;      // standard output after the two name lines, in order
    std::vector<pcmtaper_remark> remarks;
    std::vector<std::string> remark_lines;  // each remark's line, as the program prints it
    std::vector<pcmtaper_block_report> reports;
    std::string errors;  // standard error's lines, each ending in "\n"
    std::string advice;  // the line of `errors` on what to do about a refusal, or ""
    pcmtaper_wav_plan plan{};
    pcmtaper_wav_header header{};  // the input's, when its header was accepted
    bool header_read = false;
    // The shaper's input: after the channel choice, the gain, the resampler
    // and the normalising gain, at the output's rate, in 16-bit steps
    // (32768 is full scale; a 16-bit file at its own rate gives its samples).
    std::unique_ptr<float[]> shaper_input;
    std::size_t shaper_input_count = 0;
    std::size_t latency_samples = 0;  // by which the output trails the input
};

namespace {

// How pcmtaper.mjs gives the channel: not at all, as mix, or as a number.
enum channel_given : int { channel_not_given = 0, channel_given_mix = 1, channel_given_number = 2 };

// The usage error of choices the program would refuse, as it says it
// (their values as numbers, not as typed), or ""; the channel chosen in *channel.
std::string input_choices_error(int given, int number, double gain_db, double output_rate_hz, int* channel) {
    *channel = given == channel_given_mix ? PCMTAPER_CHANNEL_MIX : given == channel_given_number ? number : PCMTAPER_CHANNEL_ONLY;
    if (given == channel_given_number && (number < 1 || number > PCMTAPER_MAX_CHANNELS))
        return "invalid channel '" + std::to_string(number) + "' (mix, or a channel number from 1 to " +
               std::to_string(PCMTAPER_MAX_CHANNELS) + ")";
    pcmtaper_config config;
    pcmtaper_config_init(&config);
    config.gain_db = gain_db;
    if (pcmtaper_converter_size(&config) == 0) {
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", gain_db);
        return std::string("gain '") + text + "' out of range (its factor 10^(DB/20) overflows or vanishes)";
    }
    if (output_rate_hz != 0 && !(output_rate_hz >= PCMTAPER_MIN_OUTPUT_RATE_HZ &&
                                 output_rate_hz <= PCMTAPER_MAX_OUTPUT_RATE_HZ &&
                                 output_rate_hz == static_cast<double>(static_cast<std::uint32_t>(output_rate_hz)))) {
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", output_rate_hz);
        return std::string("invalid rate '") + text + "' (a whole number of hertz from " +
               std::to_string(PCMTAPER_MIN_OUTPUT_RATE_HZ) + " to " + std::to_string(PCMTAPER_MAX_OUTPUT_RATE_HZ) + ")";
    }
    return "";
}

// The run's side of the library's callbacks.
struct web_run {
    web_run(pcmtaper_web_conversion* r, const std::uint8_t* in, std::size_t in_size)
        : result(r), input(in), input_size(in_size) {}
    pcmtaper_web_conversion* result;
    const std::uint8_t* input;
    std::size_t input_size;
    std::size_t read_at = 0;
    std::size_t write_at = 0;
    sample_writer* format = nullptr;  // null for a WAV file, which the library writes
    std::FILE* framed = nullptr;  // the other formats' output, through the driver's writers
    int percent_shown = -1;
};

std::size_t read_input(void* user, void* buffer, std::size_t capacity, int* failed) {
    auto* run = static_cast<web_run*>(user);
    if (run->result->stopped) {
        *failed = 1;
        return 0;
    }
    const std::size_t n = std::min(capacity, run->input_size - run->read_at);
    std::memcpy(buffer, run->input + run->read_at, n);
    run->read_at += n;
    return n;
}

int seek_input(void* user, std::uint64_t offset) {
    auto* run = static_cast<web_run*>(user);
    if (offset > run->input_size) return 1;
    run->read_at = static_cast<std::size_t>(offset);
    return 0;
}

int write_output(void* user, const void* bytes, std::size_t count) {
    auto* run = static_cast<web_run*>(user);
    if (run->result->stopped) return 1;
    const auto* b = static_cast<const std::uint8_t*>(bytes);
    if (run->format != nullptr) {
        run->result->samples.insert(run->result->samples.end(), b, b + count);
        return run->format->write(run->framed, b, count) ? 0 : 1;
    }
    std::vector<std::uint8_t>& out = run->result->output;
    if (out.size() < run->write_at + count) out.resize(run->write_at + count);
    std::memcpy(out.data() + run->write_at, b, count);
    run->write_at += count;
    return 0;
}

int rewind_output(void* user) {
    static_cast<web_run*>(user)->write_at = 0;
    return 0;
}

// The remarks and reports as data, and as the lines the program prints.
void keep_remark_of(pcmtaper_web_conversion* result, const pcmtaper_remark& remark) {
    char line[PCMTAPER_REMARK_TEXT_MAX];
    pcmtaper_format_remark(&remark, line, sizeof line);
    result->remarks.push_back(remark);
    result->remark_lines.push_back(line);
    result->texts.push_back({text_remark, line});
}

void keep_remark(void* user, const pcmtaper_remark* remark) { keep_remark_of(static_cast<web_run*>(user)->result, *remark); }

void keep_report(void* user, const pcmtaper_block_report* report) {
    auto* result = static_cast<web_run*>(user)->result;
    char lines[PCMTAPER_REPORT_TEXT_MAX];
    pcmtaper_format_report(report, lines, sizeof lines);
    result->reports.push_back(*report);
    result->texts.push_back({text_report, lines});
}

int begin_output(void* user, const pcmtaper_wav_plan* plan) {
    auto* run = static_cast<web_run*>(user);
    const std::string counts = count_lines(*plan);  // one piece per line, as the module hands them on
    const std::size_t second = counts.find("\r\n") + 2;
    run->result->texts.push_back({text_counts, counts.substr(0, second)});
    run->result->texts.push_back({text_counts, counts.substr(second)});
    if (run->format == nullptr) return 0;
    return run->format->begin(run->framed, plan->output_samples, plan->sample_rate_hz) ? 0 : 1;
}

// Calls the page once per percent, and at the end.
void show_progress(void* user, std::uint64_t blocks_done, std::uint64_t blocks_total) {
    auto* run = static_cast<web_run*>(user);
    const int percent = blocks_total == 0 ? 100 : static_cast<int>(blocks_done * 100 / blocks_total);
    if (percent == run->percent_shown || run->result->stopped) return;
    run->percent_shown = percent;
    if (pcmtaper_web_progress(static_cast<double>(blocks_done), static_cast<double>(blocks_total)) != 0)
        run->result->stopped = true;
}

// The program's derived name; a page only names a download, so a name the
// program derives none from gets the format's suffix appended.
std::string download_name(const std::string& input_name, file_format format) {
    std::string name = derive_output_name(input_name, format);
    if (name == input_name) name += derived_suffix(format);
    return name;
}

void say_error(pcmtaper_web_conversion* result, const std::string& line) {
    if (!line.empty()) result->errors += "pcmtaper: " + line + "\n";
}

// The input's header, as the library's header walk finds it.
void read_input_header(pcmtaper_web_conversion* result, const std::uint8_t* input, std::size_t input_size) {
    web_run run{result, input, input_size};
    const pcmtaper_reader reader{sizeof reader, read_input, &run, static_cast<std::int64_t>(input_size), seek_input};
    result->header.struct_size = sizeof result->header;
    result->header_read = pcmtaper_wav_read_header(&reader, &result->header, nullptr) == PCMTAPER_OK;
}

// The signal the shaper took, for the plots and the player: the file's
// frames through the library's input stage and resampler, the stages the
// conversion ran, then the normalising gain (as a factor; the plots need no
// exactness there). Made a block at a time into memory taken without
// throwing (a failed allocation would end the module: no exception is
// caught in it); left empty when there is no memory for it.
void keep_shaper_input(pcmtaper_web_conversion* result, const std::uint8_t* input, std::size_t input_size,
                       const pcmtaper_config& config) {
    using namespace pcmtaper;
    const pcmtaper_wav_header& h = result->header;
    static constexpr sample_type types[] = {sample_type::s16, sample_type::u8,  sample_type::s24,
                                            sample_type::s32, sample_type::f32, sample_type::f64};
    if (!result->header_read || h.sample_type < 0 || h.sample_type > PCMTAPER_SAMPLE_F64) return;
    input_settings settings{};
    settings.format.type = types[h.sample_type];
    settings.format.valid_bits = h.valid_bits == h.bits_per_sample ? 0 : static_cast<int>(h.valid_bits);
    settings.format.channels = static_cast<int>(h.channels);
    settings.channel = config.channel == PCMTAPER_CHANNEL_MIX ? mix_all_channels
                       : config.channel == PCMTAPER_CHANNEL_ONLY ? 1
                                                                 : config.channel;
    settings.gain_db = config.gain_db;
    input_stage stage{};
    if (prepare_input_stage(settings, &stage) != input_setup_status::ok) return;
    const std::uint64_t present = input_size - h.header_bytes;
    const std::uint64_t frames = std::min(h.data_size_bytes, present) / stage.frame_bytes;
    const std::uint32_t out_rate_hz = result->plan.sample_rate_hz;
    std::unique_ptr<resampler> rate_change;
    if (out_rate_hz != h.sample_rate_hz) {
        rate_change = resampler::create({h.sample_rate_hz, out_rate_hz});
        if (rate_change == nullptr) return;
    }
    // The resampler gives round(frames x out / in) samples at most.
    const std::uint64_t most = rate_change ? (frames * out_rate_hz + h.sample_rate_hz / 2) / h.sample_rate_hz : frames;
    constexpr std::size_t block_frames = 8192;
    std::unique_ptr<float[]> kept(new (std::nothrow) float[std::max<std::uint64_t>(most, 1)]);
    std::unique_ptr<double[]> block(new (std::nothrow) double[block_frames]);
    if (!kept || !block) return;
    const double steps_per_sample = 65536.0 * gain_factor_of_db(result->plan.normalize_gain_db);
    std::uint64_t count = 0;
    const auto keep = [&](const double* samples, std::size_t n) {
        for (std::size_t i = 0; i < n && count < most; ++i) kept[count++] = static_cast<float>(samples[i] * steps_per_sample);
    };
    std::vector<double> resampled;
    input_statistics stats;
    for (std::uint64_t at = 0; at < frames; at += block_frames) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block_frames, frames - at));
        convert_input_frames(stage, input + h.header_bytes + at * stage.frame_bytes, n, block.get(), &stats);
        if (!rate_change) {
            keep(block.get(), n);
            continue;
        }
        resampled.clear();
        rate_change->process(block.get(), n, &resampled);
        keep(resampled.data(), resampled.size());
    }
    if (rate_change) {
        resampled.clear();
        rate_change->flush(&resampled);
        keep(resampled.data(), resampled.size());
    }
    result->shaper_input = std::move(kept);
    result->shaper_input_count = static_cast<std::size_t>(count);
}

// The WAV output: what the library wrote. The other formats: the driver's
// writer frames the samples in a stream over memory, finished as the
// program finishes it.
int convert(pcmtaper_web_conversion* result, const std::uint8_t* input, std::size_t input_size,
            const std::string& input_name, const conversion_options& options) {
    const std::unique_ptr<sample_writer> format = make_sample_writer(options.format);
    web_run run{result, input, input_size};
    run.format = format.get();
    char* framed_bytes = nullptr;
    std::size_t framed_size = 0;
    if (format != nullptr) {
        run.framed = open_memstream(&framed_bytes, &framed_size);
        if (run.framed == nullptr) {
            say_error(result, "out of memory");
            return exit_out_of_memory;
        }
    }
    const pcmtaper_reader reader{sizeof reader, read_input, &run, static_cast<std::int64_t>(input_size), seek_input};
    const pcmtaper_writer writer{sizeof writer, write_output, rewind_output, &run};
    pcmtaper_config config = library_config(options, format != nullptr);
    config.report = keep_report;
    config.report_user = &run;
    pcmtaper_wav_events events{};
    events.struct_size = sizeof events;
    events.user = &run;
    events.remark = keep_remark;
    events.start = begin_output;
    events.progress = show_progress;
    result->plan.struct_size = sizeof result->plan;
    pcmtaper_status status = pcmtaper_convert_wav(&reader, &writer, &config, &events, &result->plan);
    int code = exit_code_for(status);
    if (status == PCMTAPER_OK && format != nullptr) {
        // What comes after the samples, and what comes before them again
        // when the input ended early and that states their number.
        const pcmtaper_wav_plan& plan = result->plan;
        const bool restate = plan.samples_written != plan.output_samples && format->states_sample_count();
        if (!format->finish(run.framed, plan.samples_written) ||
            (restate && (std::fseek(run.framed, 0, SEEK_SET) != 0 ||
                         !format->rewrite_begin(run.framed, plan.samples_written) ||
                         std::fseek(run.framed, 0, SEEK_END) != 0)) ||
            std::fflush(run.framed) != 0) {
            pcmtaper_remark remark{};
            remark.struct_size = sizeof remark;
            remark.code = PCMTAPER_REMARK_WRITE_ERROR;
            keep_remark_of(result, remark);
            code = exit_write_error;
        }
    }
    if (run.framed != nullptr) {
        std::fclose(run.framed);
        if (code == exit_ok) result->output.assign(framed_bytes, framed_bytes + framed_size);
        std::free(framed_bytes);
    }
    if (status == PCMTAPER_ERROR_OUT_OF_MEMORY) say_error(result, "out of memory");
    result->advice = refusal_advice(status, input_name);
    say_error(result, result->advice);
    if (code != exit_ok) {
        result->output.clear();
        result->samples.clear();
        return code;
    }
    keep_shaper_input(result, input, input_size, config);
    // The delay is that of the shaper at the output's rate (the resampler's
    // is taken off): a converter of mono 16-bit input at that rate tells it.
    pcmtaper_config shaper_config;
    pcmtaper_config_init(&shaper_config);
    shaper_config.flags = config.flags & (PCMTAPER_FLAG_ALIGN | PCMTAPER_FLAG_ZERO_DC);
    shaper_config.sample_rate_hz = result->plan.sample_rate_hz;
    pcmtaper_converter* converter = nullptr;
    if (pcmtaper_create(&shaper_config, &converter) == PCMTAPER_OK) result->latency_samples = pcmtaper_latency(converter);
    pcmtaper_destroy(converter);
    if (format == nullptr) {
        const std::uint8_t* at = result->output.data() + result->plan.header_len;
        result->samples.assign(at, at + result->plan.samples_written);
    }
    conversion_end end;
    end.advise_on_cut_end = !options.align;
    end.samples_read = result->plan.samples_read;
    end.samples_written = result->plan.samples_written;
    end.audible_end = result->plan.audible_end;
    end.sample_rate_hz = result->plan.sample_rate_hz;
    end.input_rate_hz = result->plan.input_rate_hz;
    end.input_name = input_name.c_str();
    say_error(result, cut_end_notice(end));
    return exit_ok;
}

}  // namespace

extern "C" {

// The name the program derives for the output of `name` (its `name_size`
// bytes) in the format named by the `format_size` bytes at `format` (wav
// when unknown), in a string that
// pcmtaper_web_free_string frees (download_name).
EMSCRIPTEN_KEEPALIVE std::string* pcmtaper_web_output_name(const char* name, std::size_t name_size,
                                                           const char* format, std::size_t format_size) {
    file_format f = file_format::wav;
    parse_file_format(std::string(format, format_size), &f);
    return new (std::nothrow) std::string(download_name(std::string(name, name_size), f));
}

EMSCRIPTEN_KEEPALIVE const char* pcmtaper_web_string_data(const std::string* s) { return s->data(); }
EMSCRIPTEN_KEEPALIVE std::size_t pcmtaper_web_string_size(const std::string* s) { return s->size(); }
EMSCRIPTEN_KEEPALIVE void pcmtaper_web_free_string(std::string* s) { delete s; }

// Converts the WAV file input[0..input_size) named `name` as the program
// would with these options, and keeps the result (null when there is no
// memory for it). `format`, `c_name` and `c_attribute` are strings of the
// given sizes; a size of -1 means the option was not given. `channel_how`
// is a channel_given (with the number in `channel`); `gain_db` 0 and
// `output_rate_hz` 0 are -g and -r not given.
EMSCRIPTEN_KEEPALIVE pcmtaper_web_conversion* pcmtaper_web_convert(
    const std::uint8_t* input, std::size_t input_size, const char* name, std::size_t name_size, int zero_dc,
    int align, int keep_metadata, const char* format, int format_size, const char* c_name, int c_name_size,
    const char* c_attribute, int c_attribute_size, int channel_how, int channel, double gain_db, int normalize,
    double output_rate_hz) {
    auto* result = new (std::nothrow) pcmtaper_web_conversion;
    if (result == nullptr) return nullptr;
    const auto given = [](const char* text, int size) {
        return size < 0 ? std::unique_ptr<std::string>() : std::make_unique<std::string>(text, std::size_t(size));
    };
    const std::unique_ptr<std::string> format_text = given(format, format_size);
    const std::unique_ptr<std::string> c_name_text = given(c_name, c_name_size);
    const std::unique_ptr<std::string> c_attribute_text = given(c_attribute, c_attribute_size);
    const std::string input_name(name, name_size);
    conversion_options options;
    options.align = align != 0;
    options.zero_dc = zero_dc != 0;
    options.keep_metadata = keep_metadata != 0;
    std::string refused =
        output_options_error({format_text.get(), options.keep_metadata, c_name_text.get(), c_attribute_text.get()},
                             &options.format.format);
    if (refused.empty()) refused = input_choices_error(channel_how, channel, gain_db, output_rate_hz, &options.channel);
    result->output_name = download_name(input_name, options.format.format);
    if (!refused.empty()) {
        // As the program says a usage error, without its usage lines (the
        // page has no command line).
        say_error(result, refused);
        result->exit_code = exit_usage;
        return result;
    }
    options.format.c_name = c_array_name(c_name_text ? *c_name_text : "", result->output_name, input_name);
    options.format.c_guard = c_header_guard(options.format.c_name, result->output_name, input_name);
    options.format.c_attribute = c_attribute_text ? *c_attribute_text : "";
    options.gain_db = gain_db;
    options.normalize = normalize != 0;
    options.output_rate_hz = static_cast<std::uint32_t>(output_rate_hz);
    read_input_header(result, input, input_size);
    result->exit_code = convert(result, input, input_size, input_name, options);
    return result;
}

EMSCRIPTEN_KEEPALIVE void pcmtaper_web_release(pcmtaper_web_conversion* r) { delete r; }

EMSCRIPTEN_KEEPALIVE int pcmtaper_web_exit_code(const pcmtaper_web_conversion* r) { return r->exit_code; }
EMSCRIPTEN_KEEPALIVE int pcmtaper_web_stopped(const pcmtaper_web_conversion* r) { return r->stopped ? 1 : 0; }
EMSCRIPTEN_KEEPALIVE const std::string* pcmtaper_web_name(const pcmtaper_web_conversion* r) { return &r->output_name; }
EMSCRIPTEN_KEEPALIVE const std::string* pcmtaper_web_errors(const pcmtaper_web_conversion* r) { return &r->errors; }
EMSCRIPTEN_KEEPALIVE const std::uint8_t* pcmtaper_web_output(const pcmtaper_web_conversion* r) { return r->output.data(); }
EMSCRIPTEN_KEEPALIVE std::size_t pcmtaper_web_output_size(const pcmtaper_web_conversion* r) { return r->output.size(); }
EMSCRIPTEN_KEEPALIVE const std::uint8_t* pcmtaper_web_samples(const pcmtaper_web_conversion* r) { return r->samples.data(); }
EMSCRIPTEN_KEEPALIVE std::size_t pcmtaper_web_sample_count(const pcmtaper_web_conversion* r) { return r->samples.size(); }
EMSCRIPTEN_KEEPALIVE const std::string* pcmtaper_web_advice(const pcmtaper_web_conversion* r) { return &r->advice; }
// The input file's format as its header states it (all 0 when the header
// was refused): field 0 the rate in Hz, 1 the channels, 2 the sample type
// (pcmtaper_sample_type), 3 the bits per sample, 4 the valid bits.
EMSCRIPTEN_KEEPALIVE double pcmtaper_web_input_format(const pcmtaper_web_conversion* r, int field) {
    if (!r->header_read) return 0;
    const pcmtaper_wav_header& h = r->header;
    const double fields[] = {double(h.sample_rate_hz), double(h.channels), double(h.sample_type),
                             double(h.bits_per_sample), double(h.valid_bits)};
    return field >= 0 && field < 5 ? fields[field] : 0;
}
EMSCRIPTEN_KEEPALIVE double pcmtaper_web_output_rate_hz(const pcmtaper_web_conversion* r) { return r->plan.sample_rate_hz; }
EMSCRIPTEN_KEEPALIVE double pcmtaper_web_normalize_gain_db(const pcmtaper_web_conversion* r) {
    return r->plan.normalize_gain_db;
}
EMSCRIPTEN_KEEPALIVE const float* pcmtaper_web_shaper_input(const pcmtaper_web_conversion* r) {
    return r->shaper_input.get();
}
EMSCRIPTEN_KEEPALIVE double pcmtaper_web_shaper_input_count(const pcmtaper_web_conversion* r) {
    return static_cast<double>(r->shaper_input_count);
}
EMSCRIPTEN_KEEPALIVE double pcmtaper_web_blocks(const pcmtaper_web_conversion* r) {
    return static_cast<double>(r->plan.blocks);
}
EMSCRIPTEN_KEEPALIVE double pcmtaper_web_latency_samples(const pcmtaper_web_conversion* r) {
    return static_cast<double>(r->latency_samples);
}

EMSCRIPTEN_KEEPALIVE std::size_t pcmtaper_web_text_count(const pcmtaper_web_conversion* r) { return r->texts.size(); }
EMSCRIPTEN_KEEPALIVE int pcmtaper_web_text_kind(const pcmtaper_web_conversion* r, std::size_t i) { return r->texts[i].kind; }
EMSCRIPTEN_KEEPALIVE const std::string* pcmtaper_web_text(const pcmtaper_web_conversion* r, std::size_t i) {
    return &r->texts[i].text;
}

EMSCRIPTEN_KEEPALIVE std::size_t pcmtaper_web_remark_count(const pcmtaper_web_conversion* r) { return r->remarks.size(); }
EMSCRIPTEN_KEEPALIVE int pcmtaper_web_remark_code(const pcmtaper_web_conversion* r, std::size_t i) {
    return r->remarks[i].code;
}
EMSCRIPTEN_KEEPALIVE const char* pcmtaper_web_remark_text(const pcmtaper_web_conversion* r, std::size_t i) {
    return r->remark_lines[i].c_str();
}

// The block reports: block i's number, and its fields as arrays (field 0:
// taps, 1: band weights, 2: masking level in dB, 3: the filter's noise gain
// in dB, doubles; 4: lowest and 5: highest step exponent of each fine pass,
// ints, PCMTAPER_REPORT_NO_STEP for none), with their lengths.
EMSCRIPTEN_KEEPALIVE std::size_t pcmtaper_web_report_count(const pcmtaper_web_conversion* r) { return r->reports.size(); }
EMSCRIPTEN_KEEPALIVE double pcmtaper_web_report_block(const pcmtaper_web_conversion* r, std::size_t i) {
    return static_cast<double>(r->reports[i].block_number);
}
EMSCRIPTEN_KEEPALIVE const void* pcmtaper_web_report_field(const pcmtaper_web_conversion* r, std::size_t i, int field) {
    const pcmtaper_block_report& b = r->reports[i];
    const void* fields[] = {b.taps, b.band_weight, b.masking_level_db, b.noise_gain_db, b.step_lowest, b.step_highest};
    return field >= 0 && field < 6 ? fields[field] : nullptr;
}
EMSCRIPTEN_KEEPALIVE int pcmtaper_web_report_field_length(int field) {
    const int lengths[] = {PCMTAPER_REPORT_TAPS,  PCMTAPER_REPORT_BANDS,  PCMTAPER_REPORT_BANDS,
                           PCMTAPER_REPORT_BANDS, PCMTAPER_REPORT_PASSES, PCMTAPER_REPORT_PASSES};
    return field >= 0 && field < 6 ? lengths[field] : 0;
}

}  // extern "C"
