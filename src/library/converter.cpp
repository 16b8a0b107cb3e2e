// The public converter: config, lifecycle, streaming, reports, statuses,
// version. The bytes are the pipeline's, a block at a time, whatever the
// split of the caller's samples and output capacity into calls.
#include "library/converter.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "library/versioned.h"
#include "shaping/shaping.h"

using pcmtaper::block_len;
using pcmtaper::delay_samples;

namespace {

constexpr double input_sample_scale = pcmtaper::sample_scale;               // 16-bit sample -> sample scale
constexpr unsigned known_flags =
    PCMTAPER_FLAG_ZERO_DC | PCMTAPER_FLAG_ALIGN | PCMTAPER_FLAG_KEEP_METADATA | PCMTAPER_FLAG_SAMPLES_ONLY;
constexpr std::size_t converter_alignment = 64;  // the pipeline's vectors
constexpr std::uint32_t max_sample_rate_hz = 0x7FFFFFFFu;

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

void start_stream(pcmtaper_converter* c) {
    c->blocks.reset();  // its workers end here
    pcmtaper::start_conversion(&c->state, *c->kernels, static_cast<double>(c->config.sample_rate_hz),
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

pcmtaper_status checked_config(const pcmtaper_config* config, pcmtaper_config* known, bool rate_from_file) {
    // struct_size first, then nothing past the size it states (versioned.h).
    const pcmtaper_status versioned = read_versioned(config, known);
    if (versioned != PCMTAPER_OK) return versioned;
    if (!rate_from_file && (known->sample_rate_hz == 0 || known->sample_rate_hz > max_sample_rate_hz))
        return PCMTAPER_ERROR_INVALID_ARGUMENT;
    if ((known->flags & ~known_flags) != 0) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    if (known->threads == 0) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    // Read as the int it is stored as: a C caller may have put any int there,
    // which loaded as the enum type would be undefined.
    int level;
    static_assert(sizeof level == sizeof known->kernel_level);
    std::memcpy(&level, &known->kernel_level, sizeof level);
    if (level != PCMTAPER_KERNELS_AUTO && !is_level(level)) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    if (level != PCMTAPER_KERNELS_AUTO && !pcmtaper::machine_has(static_cast<pcmtaper::kernel_level>(level)))
        return PCMTAPER_ERROR_LEVEL_UNAVAILABLE;
    return PCMTAPER_OK;
}

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
        case PCMTAPER_ERROR_NOT_16_BIT: return "not 16 bits per sample";
        case PCMTAPER_ERROR_BAD_SAMPLE_RATE: return "sample rate not supported";
        case PCMTAPER_ERROR_FMT_NOT_FOUND: return "fmt chunk not found";
        case PCMTAPER_ERROR_DATA_NOT_FOUND: return "data chunk not found";
        case PCMTAPER_ERROR_HEADER_INCOMPLETE: return "input ends inside the header";
        case PCMTAPER_ERROR_READ: return "read error";
        case PCMTAPER_ERROR_WRITE: return "write error";
        case PCMTAPER_ERROR_HEADER_NOT_REWRITABLE: return "output header states more samples than were written";
        case PCMTAPER_ERROR_STOPPED: return "stopped by the caller";
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
}

size_t pcmtaper_converter_size(const pcmtaper_config* config) {
    pcmtaper_config known;
    if (checked_config(config, &known) != PCMTAPER_OK) return 0;
    return sizeof(pcmtaper_converter) + converter_alignment - 1;
}

pcmtaper_status pcmtaper_init(void* memory, size_t size, const pcmtaper_config* config,
                              pcmtaper_converter** converter) {
    if (converter == nullptr) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    *converter = nullptr;
    if (memory == nullptr) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    pcmtaper_config known;
    const pcmtaper_status checked = checked_config(config, &known);
    if (checked != PCMTAPER_OK) return checked;
    const auto address = reinterpret_cast<std::uintptr_t>(memory);
    const std::size_t padding = (converter_alignment - address % converter_alignment) % converter_alignment;
    if (size < sizeof(pcmtaper_converter) + padding) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    return guarded([&] {
        // The level's table first (made once per process, on its first use):
        // nothing after the converter is made can fail.
        const int level = static_cast<int>(known.kernel_level);
        const pcmtaper::kernel_table* kernels =
            level == PCMTAPER_KERNELS_AUTO ? &pcmtaper::best_kernels()
                                           : &pcmtaper::kernels_for(static_cast<pcmtaper::kernel_level>(level));
        auto* c = new (static_cast<unsigned char*>(memory) + padding) pcmtaper_converter;
        c->allocation = nullptr;
        c->config = known;
        c->kernels = kernels;
        c->align = (known.flags & PCMTAPER_FLAG_ALIGN) != 0;
        c->may_start_threads = false;
        start_stream(c);
        c->magic = converter_magic;
        *converter = c;
        return PCMTAPER_OK;
    });
}

pcmtaper_status pcmtaper_create(const pcmtaper_config* config, pcmtaper_converter** converter) {
    if (converter == nullptr) return PCMTAPER_ERROR_INVALID_ARGUMENT;
    *converter = nullptr;
    const std::size_t size = pcmtaper_converter_size(config);
    if (size == 0) {
        pcmtaper_config known;
        return checked_config(config, &known);
    }
    // Through operator new, as every other allocation of the library, so
    // that one replacement sees them all (the tests fail each in turn).
    void* memory = ::operator new(size, std::nothrow);
    if (memory == nullptr) return PCMTAPER_ERROR_OUT_OF_MEMORY;
    const pcmtaper_status status = pcmtaper_init(memory, size, config, converter);
    if (status != PCMTAPER_OK) {
        ::operator delete(memory);
        return status;
    }
    (*converter)->allocation = memory;
    (*converter)->may_start_threads = true;
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
        (out == nullptr && out_capacity > 0))
        return PCMTAPER_ERROR_INVALID_ARGUMENT;
    if (c->finishing) return PCMTAPER_ERROR_BAD_STATE;
    return streaming_call(c, [&] {
        std::size_t used = 0;
        std::size_t written = hand_over(c, out, out_capacity);
        // A block's output is made only when there is room to hand it over, so
        // no more input is taken while the output is full.
        while (used < in_frames && c->pending_at == c->pending_end) {
            std::size_t take = static_cast<std::size_t>(block_len - c->gathered);
            if (take > in_frames - used) take = in_frames - used;
            const bool completes_output_block = c->started && c->gathered + static_cast<int>(take) == block_len;
            const bool output_full = written == out_capacity;
            if (completes_output_block && output_full) --take;  // all but the sample that would make output
            for (std::size_t i = 0; i < take; ++i) c->gathering[c->gathered + i] = in[used + i] * input_sample_scale;
            c->gathered += static_cast<int>(take);
            used += take;
            c->samples_in += take;
            if (c->gathered == block_len) {
                c->gathered = 0;
                feed_block(c, c->gathering);
                written += hand_over(c, out + written, out_capacity - written);
            }
            if (completes_output_block && output_full) break;
        }
        *in_used = used;
        *out_written = written;
        return PCMTAPER_OK;
    });
}

pcmtaper_status pcmtaper_finish(pcmtaper_converter* c, uint8_t* out, size_t out_capacity, size_t* out_written) {
    if (out_written != nullptr) *out_written = 0;
    // Without room for a byte, "0 written" could not mean "drained".
    if (!usable(c) || out_written == nullptr || out == nullptr || out_capacity == 0)
        return PCMTAPER_ERROR_INVALID_ARGUMENT;
    return streaming_call(c, [&] {
        if (!c->finishing) {
            c->finishing = true;
            if (c->align) c->output_limit = c->samples_in;
            // Without --align a partial last block is not converted.
            if (!c->align) c->gathered = 0;
        }
        std::size_t written = hand_over(c, out, out_capacity);
        while (written < out_capacity && c->pending_at == c->pending_end && drain_step(c))
            written += hand_over(c, out + written, out_capacity - written);
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
    const std::size_t waiting = static_cast<std::size_t>(c->pending_end - c->pending_at) +
                                static_cast<std::size_t>(c->blocks_fed - c->blocks_quantised) * block_len;
    const std::size_t gathered = static_cast<std::size_t>(c->gathered);
    if (in_frames > SIZE_MAX - waiting - gathered - 2 * delay_samples) return SIZE_MAX;
    return waiting + gathered + in_frames + static_cast<std::size_t>(delay_samples) + 2 * block_len;
}

}  // extern "C"
