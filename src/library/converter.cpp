// The public converter: config, lifecycle, streaming, reports, statuses,
// version. The bytes are the pipeline's, a block at a time, whatever the
// split of the caller's samples and output capacity into calls.
#include "library/converter.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include "library/versioned.h"
#include "shaping/shaping.h"

using pcmtaper::block_len;
using pcmtaper::delay_samples;

namespace {

constexpr unsigned known_flags = PCMTAPER_FLAG_ZERO_DC | PCMTAPER_FLAG_ALIGN | PCMTAPER_FLAG_KEEP_METADATA |
                                 PCMTAPER_FLAG_SAMPLES_ONLY | PCMTAPER_FLAG_NORMALIZE;
constexpr std::size_t converter_alignment = 64;  // the pipeline's vectors
constexpr std::uint32_t max_sample_rate_hz = 0x7FFFFFFFu;
// Input frames the resampler is given at a time, at most: each chunk's
// output waits in the queue until it fits into blocks.
constexpr std::size_t resample_chunk_frames = sizeof pcmtaper_converter::decoded / sizeof(double);

// pcmtaper_sample_type's values, in order, as the input stage names them.
constexpr pcmtaper::sample_type sample_types[] = {pcmtaper::sample_type::s16, pcmtaper::sample_type::u8,
                                                  pcmtaper::sample_type::s24, pcmtaper::sample_type::s32,
                                                  pcmtaper::sample_type::f32, pcmtaper::sample_type::f64};
static_assert(PCMTAPER_SAMPLE_S16 == 0 && PCMTAPER_SAMPLE_U8 == 1 && PCMTAPER_SAMPLE_S24 == 2 &&
              PCMTAPER_SAMPLE_S32 == 3 && PCMTAPER_SAMPLE_F32 == 4 && PCMTAPER_SAMPLE_F64 == 5 &&
              std::size(sample_types) == pcmtaper::sample_type_count);
static_assert(PCMTAPER_MAX_CHANNELS == pcmtaper::max_input_channels);
static_assert(PCMTAPER_MIN_OUTPUT_RATE_HZ == pcmtaper::resampler_min_out_rate_hz &&
              PCMTAPER_MAX_OUTPUT_RATE_HZ == pcmtaper::resampler_max_out_rate_hz);

static_assert(PCMTAPER_REPORT_TAPS == pcmtaper::max_taps);
static_assert(PCMTAPER_LATENCY_SAMPLES == delay_samples);
static_assert(PCMTAPER_REPORT_BANDS == pcmtaper::band_count);
static_assert(PCMTAPER_REPORT_PASSES == pcmtaper::fine_pass_max);
static_assert(static_cast<int>(pcmtaper::kernel_level::reference) == PCMTAPER_KERNELS_REFERENCE &&
              static_cast<int>(pcmtaper::kernel_level::sse2) == PCMTAPER_KERNELS_SSE2 &&
              static_cast<int>(pcmtaper::kernel_level::avx2) == PCMTAPER_KERNELS_AVX2 &&
              static_cast<int>(pcmtaper::kernel_level::avx512vl) == PCMTAPER_KERNELS_AVX512VL &&
              static_cast<int>(pcmtaper::kernel_level::avx512) == PCMTAPER_KERNELS_AVX512 &&
              static_cast<int>(pcmtaper::kernel_level::neon) == PCMTAPER_KERNELS_NEON &&
              static_cast<int>(pcmtaper::kernel_level::simd128) == PCMTAPER_KERNELS_SIMD128 &&
              pcmtaper::kernel_level_count == PCMTAPER_KERNELS_SIMD128 + 1);

bool is_level(int level) { return level >= 0 && level < pcmtaper::kernel_level_count; }

bool usable(const pcmtaper_converter* c) { return c != nullptr && c->magic == converter_magic; }

// An int stored in an enum field, read as the int it is: a C caller may
// have put any int there, which loaded as the enum type would be undefined.
template <class enum_type>
int stored_int(const enum_type& field) {
    int value;
    static_assert(sizeof value == sizeof field);
    std::memcpy(&value, &field, sizeof value);
    return value;
}

void start_stream(pcmtaper_converter* c) {
    c->blocks.reset();  // its workers end here
    // The shaper's rate tables are those of the output's rate.
    pcmtaper::start_conversion(&c->state, *c->kernels, static_cast<double>(output_rate_of(c->config)),
                               (c->config.flags & PCMTAPER_FLAG_ZERO_DC) != 0);
    c->gathered = 0;
    c->started = false;
    c->finishing = false;
    c->broken = false;
    c->expected_blocks = UINT64_MAX;
    c->blocks_fed = 0;
    c->blocks_quantised = 0;
    c->samples_in = 0;
    c->skip_left = c->align ? delay_samples : 0;
    c->output_limit = UINT64_MAX;
    c->samples_out = 0;
    c->pending_at = c->pending_end = 0;
    c->input_stats = {};
    c->frames_in = 0;
    c->audible_end = 0;
    c->tail_settled = false;
    if (c->resampler) c->resampler->reset();
    c->resampled.clear();  // its capacity stays
    c->resampled_at = 0;
    c->resampled_count = 0;
}

}  // namespace

void send_report(const pcmtaper_config& config, const pcmtaper::block_report& r,
                 std::uint64_t block_number) {
    pcmtaper_block_report out;
    std::memset(&out, 0, sizeof out);  // the padding too: a report compares bytewise
    out.struct_size = sizeof out;
    out.block_number = block_number;
    std::memcpy(out.taps, r.taps, sizeof out.taps);
    std::memcpy(out.band_weight, r.band_weight, sizeof out.band_weight);
    pcmtaper::report_levels(r, out.masking_level_db, out.noise_gain_db);
    out.fine_passes = r.steps.passes;
    for (int p = 0; p < PCMTAPER_REPORT_PASSES; ++p) {
        const bool stepped = r.steps.lowest[p] <= r.steps.highest[p];
        out.step_lowest[p] = stepped ? r.steps.lowest[p] : PCMTAPER_REPORT_NO_STEP;
        out.step_highest[p] = stepped ? r.steps.highest[p] : PCMTAPER_REPORT_NO_STEP;
    }
    config.report(config.report_user, &out);
}

namespace {

// Searches and quantises the oldest block not yet run, and puts the part of
// its output that is kept into `pending`. The block after it is in, or the
// input has ended. The report is chosen by the block number modulo 8192,
// which the number's low 32 bits keep.
void run_block(pcmtaper_converter* c) {
    const std::uint64_t n = c->blocks_quantised;
    pcmtaper::block_report report;
    if (c->blocks->finish(static_cast<std::uint32_t>(n), &report) && c->config.report != nullptr)
        send_report(c->config, report, n);
    ++c->blocks_quantised;
    std::uint64_t start = c->skip_left < block_len ? c->skip_left : block_len;
    c->skip_left -= start;
    std::uint64_t count = block_len - start;
    if (c->samples_out + count > c->output_limit) count = c->output_limit - c->samples_out;
    c->samples_out += count;
    std::memcpy(c->pending, c->state.out_bytes + start, count);
    c->pending_at = 0;
    c->pending_end = static_cast<int>(count);
}

// A whole block of samples. The oldest block not yet run runs once the
// blocks the look-ahead wants after it are in: on the caller's thread alone,
// the next one (each block lets the block before it run).
void feed_block(pcmtaper_converter* c, const double* samples) {
    if (!c->started) {
        const unsigned wanted = c->may_start_threads ? c->config.threads : 1u;
        const int threads = wanted < static_cast<unsigned>(pcmtaper::lookahead_max_threads)
                                ? static_cast<int>(wanted)
                                : pcmtaper::lookahead_max_threads;
        c->blocks.emplace(&c->state, threads, c->expected_blocks);
        c->started = true;
    }
    c->blocks->push(samples);
    ++c->blocks_fed;
    if (c->blocks_fed - c->blocks_quantised > static_cast<std::uint64_t>(c->blocks->depth())) run_block(c);
}

std::size_t hand_over(pcmtaper_converter* c, std::uint8_t* out, std::size_t capacity) {
    std::size_t n = static_cast<std::size_t>(c->pending_end - c->pending_at);
    if (n > capacity) n = capacity;
    if (n > 0) std::memcpy(out, c->pending + c->pending_at, n);
    c->pending_at += static_cast<int>(n);
    return n;
}

// Takes up to `available` samples into the block being gathered, made by
// `fill(first_sample, count, destination)`, while no output waits. A block
// makes output only when there is room for it: with the output full, it
// stops before the sample that would complete a block whose output comes
// out (the first block's comes with the second). Returns the samples taken;
// *stopped is set when it stopped there.
template <class fill_fn>
std::size_t gather(pcmtaper_converter* c, std::size_t available, std::uint8_t* out, std::size_t capacity,
                   std::size_t* written, bool* stopped, fill_fn fill) {
    std::size_t used = 0;
    *stopped = false;
    while (used < available && c->pending_at == c->pending_end) {
        std::size_t take = static_cast<std::size_t>(block_len - c->gathered);
        if (take > available - used) take = available - used;
        const bool completes_output_block = c->started && c->gathered + static_cast<int>(take) == block_len;
        const bool output_full = *written == capacity;
        if (completes_output_block && output_full) --take;  // all but the sample that would make output
        if (take > 0) fill(used, take, c->gathering + c->gathered);
        c->gathered += static_cast<int>(take);
        used += take;
        c->samples_in += take;
        if (c->gathered == block_len) {
            c->gathered = 0;
            feed_block(c, c->gathering);
            *written += hand_over(c, out + *written, capacity - *written);
        }
        if (completes_output_block && output_full) {
            *stopped = true;
            break;
        }
    }
    return used;
}

// The resampler's waiting samples into blocks, as far as the output has
// room. Returns false when it stopped for want of room.
bool gather_resampled(pcmtaper_converter* c, std::uint8_t* out, std::size_t capacity, std::size_t* written) {
    bool stopped = false;
    const double* queue = c->resampled.data() + c->resampled_at;
    c->resampled_at += gather(c, c->resampled.size() - c->resampled_at, out, capacity, written, &stopped,
                              [&](std::size_t first, std::size_t count, double* to) {
                                  // The filter's ripple can carry a full-scale input past full scale.
                                  std::memcpy(to, queue + first, count * sizeof(double));
                                  pcmtaper::clip_samples(to, count, &c->input_stats);
                              });
    if (c->resampled_at == c->resampled.size()) {
        c->resampled.clear();
        c->resampled_at = 0;
    }
    return !stopped;
}

// The input of a process call: without resampling its frames go straight
// into blocks, a frame no sooner than its block can make output; with it,
// a chunk goes through the resampler only once the samples it gave before
// are all in blocks. Returns the frames used.
std::size_t take_input(pcmtaper_converter* c, const unsigned char* in, std::size_t in_frames, std::uint8_t* out,
                       std::size_t capacity, std::size_t* written) {
    const std::size_t frame_bytes = c->input.frame_bytes;
    if (!c->resampler) {
        bool stopped = false;
        const std::size_t used = gather(c, in_frames, out, capacity, written, &stopped,
                                        [&](std::size_t first, std::size_t count, double* to) {
                                            pcmtaper::convert_input_frames(c->input, in + first * frame_bytes, count,
                                                                           to, &c->input_stats);
                                            note_audible(to, count, c->frames_in + first, &c->audible_end);
                                        });
        c->frames_in += used;
        return used;
    }
    std::size_t used = 0;
    for (;;) {
        if (!gather_resampled(c, out, capacity, written) || c->pending_at != c->pending_end) break;
        if (used == in_frames) break;
        std::size_t chunk = in_frames - used;
        if (chunk > c->chunk_frames) chunk = c->chunk_frames;
        pcmtaper::convert_input_frames(c->input, in + used * frame_bytes, chunk, c->decoded, &c->input_stats);
        note_audible(c->decoded, chunk, c->frames_in, &c->audible_end);
        const std::size_t before = c->resampled.size();
        c->resampler->process(c->decoded, chunk, &c->resampled);
        c->resampled_count += c->resampled.size() - before;
        used += chunk;
        c->frames_in += chunk;
    }
    return used;
}

// At the end of the input, once every sample is in the blocks: without
// --align a partial last block is not converted; with it, the output is
// cut to as many samples as came in.
void settle_tail(pcmtaper_converter* c) {
    if (c->align) c->output_limit = c->samples_in;
    else c->gathered = 0;
    c->tail_settled = true;
}

// One step of the drain: with --align, the blocks of silence after the input
// up to the first whole block at least 224 samples past its end (the last
// partial block padded with silence); then the last block, quantised with no
// block after it. Returns false when nothing is left.
bool drain_step(pcmtaper_converter* c) {
    if (c->align) {
        const std::uint64_t blocks_total = (c->samples_in + delay_samples + block_len - 1) / block_len;
        if (c->blocks_fed < blocks_total) {
            for (int i = c->gathered; i < block_len; ++i) c->gathering[i] = 0.0;
            c->gathered = 0;
            feed_block(c, c->gathering);
            return true;
        }
    }
    // Then the blocks still in flight, each now with no block after the last.
    if (c->started && c->blocks_quantised < c->blocks_fed) {
        c->blocks->end_of_input();
        run_block(c);
        return true;
    }
    return false;
}

// A call that failed mid-block (an exception caught: out of memory, or a
// report callback that threw) leaves the stream between two states: the
// converter then takes only reset and destroy.
template <class body_fn>
pcmtaper_status streaming_call(pcmtaper_converter* c, body_fn body) {
    if (c->broken) return PCMTAPER_ERROR_BAD_STATE;
    const pcmtaper_status status = guarded(body);
    if (status != PCMTAPER_OK) c->broken = true;
    return status;
}

}  // namespace

void report_before_failure(pcmtaper_converter* c) {
    if (!c->started || c->finishing || c->config.report == nullptr) return;
    c->blocks->end_of_input();
    for (; c->blocks_quantised < c->blocks_fed; ++c->blocks_quantised) {
        pcmtaper::block_report report;
        if (c->blocks->finish(static_cast<std::uint32_t>(c->blocks_quantised), &report))
            send_report(c->config, report, c->blocks_quantised);
    }
}

void expect_blocks(pcmtaper_converter* c, std::uint64_t blocks) { c->expected_blocks = blocks; }

namespace {

// The fields 2.1 added, each at its default where the caller's struct does
// not hold it whole (a 2.0 caller's holds none of them; read_versioned left
// them zero, and a channel count of 0 is no default).
void default_input_past(std::size_t caller_size, pcmtaper_config* known) {
    const auto held = [&](std::size_t offset, std::size_t size) { return caller_size >= offset + size; };
    if (!held(offsetof(pcmtaper_config, gain_db), sizeof known->gain_db)) known->gain_db = 0.0;
    if (!held(offsetof(pcmtaper_config, input_type), sizeof known->input_type)) known->input_type = PCMTAPER_SAMPLE_S16;
    if (!held(offsetof(pcmtaper_config, input_valid_bits), sizeof known->input_valid_bits))
        known->input_valid_bits = 0;
    if (!held(offsetof(pcmtaper_config, input_channels), sizeof known->input_channels)) known->input_channels = 1;
    if (!held(offsetof(pcmtaper_config, channel), sizeof known->channel)) known->channel = PCMTAPER_CHANNEL_ONLY;
    if (!held(offsetof(pcmtaper_config, output_rate_hz), sizeof known->output_rate_hz)) known->output_rate_hz = 0;
}

// The input stage's settings for a config whose type, valid bits and
// channel counts are in range. PCMTAPER_CHANNEL_ONLY is the first channel
// of a mono input.
pcmtaper::input_settings input_settings_of(const pcmtaper_config& known) {
    pcmtaper::input_settings settings;
    settings.format.type = sample_types[stored_int(known.input_type)];
    settings.format.valid_bits = static_cast<int>(known.input_valid_bits);
    settings.format.channels = static_cast<int>(known.input_channels);
    settings.channel = known.channel == PCMTAPER_CHANNEL_MIX ? pcmtaper::mix_all_channels
                       : known.channel == PCMTAPER_CHANNEL_ONLY ? 1
                                                                 : known.channel;
    settings.gain_db = known.gain_db;
    return settings;
}

// The input's description. From a file (`format_from_file`) only the
// channel choice's range and the gain can be told before the file is read.
bool input_valid(const pcmtaper_config& known, bool format_from_file) {
    pcmtaper_config checked = known;
    if (format_from_file) {
        if (known.channel < PCMTAPER_CHANNEL_MIX || known.channel > PCMTAPER_MAX_CHANNELS) return false;
        checked.input_type = PCMTAPER_SAMPLE_S16;
        checked.input_valid_bits = 0;
        checked.input_channels = PCMTAPER_MAX_CHANNELS;
        if (known.channel == PCMTAPER_CHANNEL_ONLY) checked.input_channels = 1;
    } else {
        const int type = stored_int(known.input_type);
        if (type < 0 || type >= pcmtaper::sample_type_count) return false;
        if (known.input_valid_bits > 64) return false;
        if (known.input_channels < 1 || known.input_channels > PCMTAPER_MAX_CHANNELS) return false;
        // Channel choices that the input stage has no name for.
        if (known.channel == PCMTAPER_CHANNEL_ONLY && known.input_channels != 1) return false;
        if (known.channel < PCMTAPER_CHANNEL_MIX) return false;
    }
    pcmtaper::input_stage stage;
    return pcmtaper::prepare_input_stage(input_settings_of(checked), &stage) == pcmtaper::input_setup_status::ok;
}

}  // namespace

pcmtaper_status checked_config(const pcmtaper_config* config, pcmtaper_config* known, bool rate_from_file) {
    // struct_size first, then nothing past the size it states (versioned.h).
    const pcmtaper_status versioned = read_versioned(config, known);
    if (versioned != PCMTAPER_OK) return versioned;
    if (!rate_from_file && (known->sample_rate_hz == 0 || known->sample_rate_hz > max_sample_rate_hz))
        return PCMTAPER_ERROR_INVALID_ARGUMENT;
    if ((known->flags & ~known_flags) != 0) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    if (known->threads == 0) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    default_input_past(config->struct_size, known);
    if (!input_valid(*known, rate_from_file)) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    if (known->output_rate_hz != 0 && (known->output_rate_hz < PCMTAPER_MIN_OUTPUT_RATE_HZ ||
                                       known->output_rate_hz > PCMTAPER_MAX_OUTPUT_RATE_HZ))
        return PCMTAPER_ERROR_INVALID_ARGUMENT;
    const int level = stored_int(known->kernel_level);
    if (level != PCMTAPER_KERNELS_AUTO && !is_level(level)) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    if (level != PCMTAPER_KERNELS_AUTO && !pcmtaper::machine_has(static_cast<pcmtaper::kernel_level>(level)))
        return PCMTAPER_ERROR_LEVEL_UNAVAILABLE;
    return PCMTAPER_OK;
}

pcmtaper::input_stage input_stage_of(const pcmtaper_config& known) {
    pcmtaper::input_stage stage{};
    pcmtaper::prepare_input_stage(input_settings_of(known), &stage);
    return stage;
}

namespace {

// Bytes of memory a converter needs at any alignment.
constexpr std::size_t converter_bytes = sizeof(pcmtaper_converter) + converter_alignment - 1;

std::size_t padding_for(void* memory) {
    const auto address = reinterpret_cast<std::uintptr_t>(memory);
    return (converter_alignment - address % converter_alignment) % converter_alignment;
}

// Makes the converter for a checked config in `memory` (converter_bytes of
// it at least), without a resampler. The level's table comes first (made
// once per process, on its first use): nothing after the converter is made
// can fail.
pcmtaper_converter* construct(void* memory, const pcmtaper_config& known) {
    const int level = static_cast<int>(known.kernel_level);
    const pcmtaper::kernel_table* kernels =
        level == PCMTAPER_KERNELS_AUTO ? &pcmtaper::best_kernels()
                                       : &pcmtaper::kernels_for(static_cast<pcmtaper::kernel_level>(level));
    auto* c = new (static_cast<unsigned char*>(memory) + padding_for(memory)) pcmtaper_converter;
    c->magic = 0;
    c->allocation = nullptr;
    c->config = known;
    c->kernels = kernels;
    c->align = (known.flags & PCMTAPER_FLAG_ALIGN) != 0;
    c->may_start_threads = false;
    c->input = input_stage_of(known);
    c->resampled_at = 0;
    c->chunk_frames = resample_chunk_frames;
    start_stream(c);
    return c;
}

// The resampler, at the converter's kernel level, and room for what it
// gives: one chunk's output and what the filter holds back, twice over
// (a chunk may complete outputs held back before it; the flush gives the
// rest). Going up, chunks are shorter, so that a chunk's output stays near
// resample_chunk_frames samples.
void add_resampler(pcmtaper_converter* c) {
    const std::uint64_t in_rate_hz = c->config.sample_rate_hz, out_rate_hz = c->config.output_rate_hz;
    c->resampler = pcmtaper::resampler::create(
        {static_cast<std::int64_t>(in_rate_hz), static_cast<std::int64_t>(out_rate_hz)}, *c->kernels);
    if (!c->resampler) throw std::bad_alloc();  // not reached: checked_config took both rates
    std::uint64_t chunk = resample_chunk_frames * in_rate_hz / out_rate_hz;
    if (chunk < 1) chunk = 1;
    if (chunk > resample_chunk_frames) chunk = resample_chunk_frames;
    c->chunk_frames = static_cast<std::size_t>(chunk);
    const std::uint64_t chunk_output = (chunk * out_rate_hz + in_rate_hz - 1) / in_rate_hz;
    c->resampled.reserve(static_cast<std::size_t>(chunk_output + 2 * c->resampler->latency() + 2 * block_len));
}

// round(frames * out / in), halves up, the samples the resampler gives for
// `frames` in all; UINT64_MAX where that does not fit.
std::uint64_t resampled_total(std::uint64_t frames, std::uint64_t in_rate_hz, std::uint64_t out_rate_hz) {
    const std::uint64_t whole = frames / in_rate_hz, part = frames % in_rate_hz;
    if (whole > (UINT64_MAX - out_rate_hz) / out_rate_hz) return UINT64_MAX;
    return whole * out_rate_hz + (2 * part * out_rate_hz + in_rate_hz) / (2 * in_rate_hz);
}

std::uint64_t add_saturating(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// The body of pcmtaper_process and pcmtaper_process_frames.
pcmtaper_status process_bytes(pcmtaper_converter* c, const void* frames, size_t in_frames, size_t* frames_used,
                              uint8_t* out, size_t out_capacity, size_t* out_written) {
    return streaming_call(c, [&] {
        std::size_t written = hand_over(c, out, out_capacity);
        *frames_used = take_input(c, static_cast<const unsigned char*>(frames), in_frames, out, out_capacity, &written);
        *out_written = written;
        return PCMTAPER_OK;
    });
}

}  // namespace

extern "C" {

const char* pcmtaper_version_string(void) { return PCMTAPER_VERSION_STRING; }

const char* pcmtaper_status_string(pcmtaper_status status) {
    switch (status) {
        case PCMTAPER_OK: return "ok";
        case PCMTAPER_ERROR_INVALID_ARGUMENT: return "invalid argument";
        case PCMTAPER_ERROR_UNSUPPORTED_CONFIG: return "config from a later version with fields this version lacks";
        case PCMTAPER_ERROR_BAD_STATE: return "call not allowed in the converter's state";
        case PCMTAPER_ERROR_OUT_OF_MEMORY: return "out of memory";
        case PCMTAPER_ERROR_LEVEL_UNAVAILABLE: return "kernel level not available on this machine";
        case PCMTAPER_ERROR_NOT_LINEAR_PCM: return "not linear PCM";
        case PCMTAPER_ERROR_NOT_MONO: return "not mono";
        case PCMTAPER_ERROR_NOT_16_BIT: return "sample size not supported";
        case PCMTAPER_ERROR_BAD_SAMPLE_RATE: return "sample rate not supported";
        case PCMTAPER_ERROR_FMT_NOT_FOUND: return "fmt chunk not found";
        case PCMTAPER_ERROR_DATA_NOT_FOUND: return "data chunk not found";
        case PCMTAPER_ERROR_HEADER_INCOMPLETE: return "input ends inside the header";
        case PCMTAPER_ERROR_READ: return "read error";
        case PCMTAPER_ERROR_WRITE: return "write error";
        case PCMTAPER_ERROR_HEADER_NOT_REWRITABLE: return "output header states more samples than were written";
        case PCMTAPER_ERROR_STOPPED: return "stopped by the caller";
        case PCMTAPER_ERROR_NOT_SEEKABLE: return "normalising needs an input of known size that can seek";
        case PCMTAPER_ERROR_ALLOCATION_NEEDED: return "resampling needs memory of its own: use pcmtaper_create";
    }
    return "unknown status";
}

int pcmtaper_kernel_level_available(pcmtaper_kernel_level level) {
    if (level == PCMTAPER_KERNELS_AUTO) return 1;
    return is_level(level) && pcmtaper::machine_has(static_cast<pcmtaper::kernel_level>(level)) ? 1 : 0;
}

const char* pcmtaper_kernel_level_name(pcmtaper_kernel_level level) {
    if (level == PCMTAPER_KERNELS_AUTO) return "auto";
    return is_level(level) ? pcmtaper::level_name(static_cast<pcmtaper::kernel_level>(level)) : nullptr;
}

pcmtaper_status pcmtaper_kernel_level_from_name(const char* name, pcmtaper_kernel_level* level) {
    if (name == nullptr || level == nullptr) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    if (std::strcmp(name, "auto") == 0) {
        *level = PCMTAPER_KERNELS_AUTO;
        return PCMTAPER_OK;
    }
    for (const pcmtaper::kernel_level_name& entry : pcmtaper::kernel_level_names) {
        if (std::strcmp(name, entry.name) != 0) continue;
        *level = static_cast<pcmtaper_kernel_level>(entry.level);
        return PCMTAPER_OK;
    }
    return PCMTAPER_ERROR_INVALID_ARGUMENT;
}

void pcmtaper_config_init(pcmtaper_config* config) {
    if (config == nullptr) return;
    std::memset(config, 0, sizeof *config);
    config->struct_size = sizeof *config;
    config->sample_rate_hz = 44100;
    config->flags = 0;
    config->kernel_level = PCMTAPER_KERNELS_AUTO;
    config->report = nullptr;
    config->report_user = nullptr;
    config->threads = 1;
    config->gain_db = 0.0;
    config->input_type = PCMTAPER_SAMPLE_S16;
    config->input_valid_bits = 0;
    config->input_channels = 1;
    config->channel = PCMTAPER_CHANNEL_ONLY;
    config->output_rate_hz = 0;
}

size_t pcmtaper_converter_size(const pcmtaper_config* config) {
    pcmtaper_config known;
    if (checked_config(config, &known) != PCMTAPER_OK) return 0;
    return converter_bytes;
}

pcmtaper_status pcmtaper_init(void* memory, size_t size, const pcmtaper_config* config,
                              pcmtaper_converter** converter) {
    if (converter == nullptr) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    *converter = nullptr;
    if (memory == nullptr) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    pcmtaper_config known;
    const pcmtaper_status checked = checked_config(config, &known);
    if (checked != PCMTAPER_OK) return checked;
    if (resamples(known)) return PCMTAPER_ERROR_ALLOCATION_NEEDED;
    const std::size_t padding = padding_for(memory);
    if (size < sizeof(pcmtaper_converter) + padding) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    return guarded([&] {
        pcmtaper_converter* c = construct(memory, known);
        c->magic = converter_magic;
        *converter = c;
        return PCMTAPER_OK;
    });
}

pcmtaper_status pcmtaper_create(const pcmtaper_config* config, pcmtaper_converter** converter) {
    if (converter == nullptr) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    *converter = nullptr;
    pcmtaper_config known;
    const pcmtaper_status checked = checked_config(config, &known);
    if (checked != PCMTAPER_OK) return checked;
    // Through operator new, as every other allocation of the library, so
    // that one replacement sees them all (the tests fail each in turn).
    void* memory = ::operator new(converter_bytes, std::nothrow);
    if (memory == nullptr) return PCMTAPER_ERROR_OUT_OF_MEMORY;
    pcmtaper_converter* c = nullptr;
    const pcmtaper_status made = guarded([&] {
        c = construct(memory, known);
        c->allocation = memory;
        c->may_start_threads = true;
        if (resamples(known)) add_resampler(c);
        return PCMTAPER_OK;
    });
    if (made != PCMTAPER_OK) {
        if (c != nullptr) c->~pcmtaper_converter();
        ::operator delete(memory);
        return made;
    }
    c->magic = converter_magic;
    *converter = c;
    return PCMTAPER_OK;
}

void pcmtaper_destroy(pcmtaper_converter* converter) {
    if (!usable(converter)) return;
    void* allocation = converter->allocation;
    converter->magic = 0;
    converter->~pcmtaper_converter();
    ::operator delete(allocation);
}

pcmtaper_status pcmtaper_reset(pcmtaper_converter* converter) {
    if (!usable(converter)) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    return guarded([&] {
        start_stream(converter);
        return PCMTAPER_OK;
    });
}

pcmtaper_status pcmtaper_process(pcmtaper_converter* c, const int16_t* in, size_t in_frames, size_t* in_used,
                                 uint8_t* out, size_t out_capacity, size_t* out_written) {
    if (in_used != nullptr) *in_used = 0;
    if (out_written != nullptr) *out_written = 0;
    if (!usable(c) || in_used == nullptr || out_written == nullptr || (in == nullptr && in_frames > 0) ||
        (out == nullptr && out_capacity > 0) || c->config.input_type != PCMTAPER_SAMPLE_S16)
        return PCMTAPER_ERROR_INVALID_ARGUMENT;
    if (c->finishing) return PCMTAPER_ERROR_BAD_STATE;
    // int16_t in memory is the little-endian 16-bit type on every platform
    // the library builds for.
    return process_bytes(c, in, in_frames, in_used, out, out_capacity, out_written);
}

pcmtaper_status pcmtaper_process_frames(pcmtaper_converter* c, const void* frames, size_t in_frames,
                                        size_t* frames_used, uint8_t* out, size_t out_capacity,
                                        size_t* out_written) {
    if (frames_used != nullptr) *frames_used = 0;
    if (out_written != nullptr) *out_written = 0;
    if (!usable(c) || frames_used == nullptr || out_written == nullptr || (frames == nullptr && in_frames > 0) ||
        (out == nullptr && out_capacity > 0))
        return PCMTAPER_ERROR_INVALID_ARGUMENT;
    if (c->finishing) return PCMTAPER_ERROR_BAD_STATE;
    return process_bytes(c, frames, in_frames, frames_used, out, out_capacity, out_written);
}

pcmtaper_status pcmtaper_get_input_stats(const pcmtaper_converter* c, pcmtaper_input_stats* stats) {
    if (!usable(c)) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    const pcmtaper_status checked = check_receiving(stats);
    if (checked != PCMTAPER_OK) return checked;
    pcmtaper_input_stats full;
    std::memset(&full, 0, sizeof full);
    full.struct_size = sizeof full;
    full.clipped_samples = c->input_stats.clipped_samples;
    full.peak = c->input_stats.peak / pcmtaper::full_scale;  // exact: a power of two
    write_versioned(full, stats);
    return PCMTAPER_OK;
}

pcmtaper_status pcmtaper_finish(pcmtaper_converter* c, uint8_t* out, size_t out_capacity, size_t* out_written) {
    if (out_written != nullptr) *out_written = 0;
    // Without room for a byte, "0 written" could not mean "drained".
    if (!usable(c) || out_written == nullptr || out == nullptr || out_capacity == 0)
        return PCMTAPER_ERROR_INVALID_ARGUMENT;
    return streaming_call(c, [&] {
        if (!c->finishing) {
            c->finishing = true;
            if (c->resampler) {
                const std::size_t before = c->resampled.size();
                c->resampler->flush(&c->resampled);
                c->resampled_count += c->resampled.size() - before;
            }
        }
        std::size_t written = hand_over(c, out, out_capacity);
        // The resampler's last samples into blocks first; then the tail.
        while (written < out_capacity && c->pending_at == c->pending_end) {
            if (!gather_resampled(c, out, out_capacity, &written) || c->pending_at != c->pending_end) break;
            if (!c->tail_settled) settle_tail(c);
            if (!drain_step(c)) break;
            written += hand_over(c, out + written, out_capacity - written);
        }
        *out_written = written;
        return PCMTAPER_OK;
    });
}

size_t pcmtaper_latency(const pcmtaper_converter* converter) {
    if (!usable(converter)) return 0;
    return converter->align ? 0 : static_cast<size_t>(delay_samples);
}

size_t pcmtaper_output_bound(const pcmtaper_converter* c, size_t in_frames) {
    if (!usable(c)) return 0;
    // Every sample in gives at most one out; the drain adds at most the
    // delay's blocks of silence and one block; plus what waits to be handed
    // over, and the blocks in flight.
    // over, and the blocks in flight. With resampling, the samples in come
    // from the resampler: those waiting, and round(frames * out / in) in
    // all for the stream's frames, less those it gave.
    const std::uint64_t waiting = static_cast<std::uint64_t>(c->pending_end - c->pending_at) +
                                  (c->blocks_fed - c->blocks_quantised) * block_len +
                                  static_cast<std::uint64_t>(c->gathered);
    std::uint64_t to_come = in_frames;
    if (c->resampler) {
        const std::uint64_t total = c->finishing ? c->resampled_count
                                                 : resampled_total(add_saturating(c->frames_in, in_frames),
                                                                   c->config.sample_rate_hz, c->config.output_rate_hz);
        to_come = add_saturating(c->resampled.size() - c->resampled_at,
                                 total > c->resampled_count ? total - c->resampled_count : 0);
    }
    const std::uint64_t bound =
        add_saturating(add_saturating(waiting, to_come), static_cast<std::uint64_t>(delay_samples) + 2 * block_len);
    return bound > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(bound);
}

}  // extern "C"
