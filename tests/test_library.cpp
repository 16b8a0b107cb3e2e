// The public C API: its contracts call by call, the determinism of streaming
// (any split of the input and of the output capacity, every kernel level, any
// number of threads), the one-call conversion against the program, and the
// shared library's exported symbols against the header.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "library/versioned.h"
#include "pcmtaper/pcmtaper.h"
#include "program_runner.h"
#include "signals.h"
#include "wav/wav.h"
#include "wav_fixtures.h"

namespace {

using bytes = std::vector<std::uint8_t>;

pcmtaper_config config_for(std::uint32_t rate_hz, unsigned flags,
                           pcmtaper_kernel_level level = PCMTAPER_KERNELS_AUTO) {
    pcmtaper_config c;
    pcmtaper_config_init(&c);
    c.sample_rate_hz = rate_hz;
    c.flags = flags;
    c.kernel_level = level;
    return c;
}

// The whole stream in one process call and a drain with room for everything.
bytes convert_in_one_call(const pcmtaper_config& config, const std::vector<std::int16_t>& in) {
    pcmtaper_converter* c = nullptr;
    EXPECT_EQ(pcmtaper_create(&config, &c), PCMTAPER_OK);
    bytes out(pcmtaper_output_bound(c, in.size()));
    size_t used = 0, written = 0, total = 0;
    EXPECT_EQ(pcmtaper_process(c, in.data(), in.size(), &used, out.data(), out.size(), &written), PCMTAPER_OK);
    EXPECT_EQ(used, in.size());
    total = written;
    do {
        EXPECT_EQ(pcmtaper_finish(c, out.data() + total, out.size() - total, &written), PCMTAPER_OK);
        total += written;
    } while (written > 0 && total < out.size());
    EXPECT_LT(total, out.size()) << "the bound left no room to tell the end";
    pcmtaper_destroy(c);
    out.resize(total);
    return out;
}

// The same stream in random pieces with random output capacities (1 byte
// up), each call given what the last one left.
bytes convert_in_random_calls(const pcmtaper_config& config, const std::vector<std::int16_t>& in,
                              std::uint32_t seed) {
    std::mt19937 random(seed);
    pcmtaper_converter* c = nullptr;
    EXPECT_EQ(pcmtaper_create(&config, &c), PCMTAPER_OK);
    bytes out;
    std::uint8_t buffer[300];
    std::size_t at = 0;
    while (at < in.size()) {
        const std::size_t piece = std::min<std::size_t>(in.size() - at, random() % 200);
        const std::size_t capacity = random() % 4 == 0 ? 1 : random() % sizeof buffer;
        size_t used = 0, written = 0;
        EXPECT_EQ(pcmtaper_process(c, in.data() + at, piece, &used, buffer, capacity, &written), PCMTAPER_OK);
        EXPECT_LE(written, capacity);
        EXPECT_LE(used, piece);
        out.insert(out.end(), buffer, buffer + written);
        at += used;
    }
    for (size_t written = 1; written > 0;) {
        const std::size_t capacity = 1 + random() % (sizeof buffer - 1);
        EXPECT_EQ(pcmtaper_finish(c, buffer, capacity, &written), PCMTAPER_OK);
        EXPECT_LE(written, capacity);
        out.insert(out.end(), buffer, buffer + written);
    }
    pcmtaper_destroy(c);
    return out;
}

// Where a reader, a writer or a callback fails or lies.
struct faults {
    std::size_t read_fails_at = SIZE_MAX;      // a read reaching this byte fails
    bool read_claims_more = false;             // a read says it got a byte more than asked for
    bool stream = false;                       // of unknown size, without a rewind
    std::size_t write_fails_after = SIZE_MAX;  // bytes written before a write fails
    unsigned flags = 0;
    bool start_stops = false, report_throws = false;
};

// A file in memory behind a reader and a writer.
struct memory_io {
    explicit memory_io(std::string file = {}, faults how = {}) : input(std::move(file)), f(how) {}
    std::string input;
    faults f;
    std::size_t at = 0, out_at = 0;
    std::string output;

    pcmtaper_reader reader() {
        return {sizeof(pcmtaper_reader), read, this, f.stream ? -1 : static_cast<std::int64_t>(input.size()), seek};
    }
    pcmtaper_writer writer() { return {sizeof(pcmtaper_writer), write, f.stream ? nullptr : rewind, this}; }
    static size_t read(void* user, void* buffer, size_t capacity, int* failed) {
        auto* io = static_cast<memory_io*>(user);
        const std::size_t n = std::min(capacity, io->input.size() - io->at);
        if (io->at + n > io->f.read_fails_at) *failed = 1;
        if (io->f.read_claims_more || *failed) return io->f.read_claims_more ? capacity + 1 : 0;
        std::memcpy(buffer, io->input.data() + io->at, n);
        io->at += n;
        return n;
    }
    static int seek(void* user, std::uint64_t offset) {
        static_cast<memory_io*>(user)->at = static_cast<std::size_t>(offset);
        return 0;
    }
    static int write(void* user, const void* bytes, size_t count) {
        auto* io = static_cast<memory_io*>(user);
        if (io->out_at + count > io->f.write_fails_after) return 1;
        io->output.resize(std::max(io->output.size(), io->out_at + count));
        std::memcpy(io->output.data() + io->out_at, bytes, count);
        io->out_at += count;
        return 0;
    }
    static int rewind(void* user) {
        static_cast<memory_io*>(user)->out_at = 0;
        return 0;
    }
};

std::vector<pcmtaper_kernel_level> levels_here() {
    std::vector<pcmtaper_kernel_level> levels;
    for (int level = PCMTAPER_KERNELS_REFERENCE; level <= PCMTAPER_KERNELS_SIMD128; ++level)
        if (pcmtaper_kernel_level_available(static_cast<pcmtaper_kernel_level>(level)))
            levels.push_back(static_cast<pcmtaper_kernel_level>(level));
    return levels;
}

// ---- contracts ----------------------------------------------------------------

TEST(LibraryContracts, EachCallRefusesWhatItMustAndAcceptsTheRest) {
    const pcmtaper_config good = config_for(44100, 0);
    pcmtaper_converter* c = nullptr;
    ASSERT_EQ(pcmtaper_create(&good, &c), PCMTAPER_OK);
    const std::int16_t in[64] = {};
    std::uint8_t out[64];
    size_t used = 7, written = 7;
    pcmtaper_config later = good;
    struct row {
        const char* call;
        pcmtaper_status got;
        pcmtaper_status expected;
    };
    pcmtaper_config bad_rate = good, bad_flags = good, bad_threads = good, bad_level = good;
    bad_rate.sample_rate_hz = 0;
    bad_flags.flags = 32;
    bad_threads.threads = 0;
    bad_level.kernel_level = static_cast<pcmtaper_kernel_level>(17);
    pcmtaper_converter* never = reinterpret_cast<pcmtaper_converter*>(&later);
    memory_io io;
    const pcmtaper_reader io_reader = io.reader();
    const pcmtaper_writer io_writer = io.writer();
    const row rows[] = {
        {"create, null config", pcmtaper_create(nullptr, &never), PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"create, null handle", pcmtaper_create(&good, nullptr), PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"create, rate 0", pcmtaper_create(&bad_rate, &never), PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"create, unknown flag", pcmtaper_create(&bad_flags, &never), PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"create, 0 threads", pcmtaper_create(&bad_threads, &never), PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"create, no such level", pcmtaper_create(&bad_level, &never), PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"init, too little memory", pcmtaper_init(out, sizeof out, &good, &never), PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"process, null converter", pcmtaper_process(nullptr, in, 1, &used, out, 1, &written),
         PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"process, null samples", pcmtaper_process(c, nullptr, 1, &used, out, 1, &written),
         PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"process, null output", pcmtaper_process(c, in, 1, &used, nullptr, 1, &written),
         PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"process, null counts", pcmtaper_process(c, in, 1, nullptr, out, 1, &written),
         PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"process, nothing at all", pcmtaper_process(c, nullptr, 0, &used, nullptr, 0, &written), PCMTAPER_OK},
        {"finish, no capacity", pcmtaper_finish(c, out, 0, &written), PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"reset, null", pcmtaper_reset(nullptr), PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"level from name, unknown", pcmtaper_kernel_level_from_name("avx3", &bad_level.kernel_level),
         PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"convert memory, null size", pcmtaper_convert_wav_memory(in, 0, &good, nullptr, out, 1, nullptr),
         PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"convert, null reader", pcmtaper_convert_wav(nullptr, &io_writer, &good, nullptr, nullptr),
         PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"convert, null writer", pcmtaper_convert_wav(&io_reader, nullptr, &good, nullptr, nullptr),
         PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"convert, null config", pcmtaper_convert_wav(&io_reader, &io_writer, nullptr, nullptr, nullptr),
         PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"read header, null header", pcmtaper_wav_read_header(&io_reader, nullptr, nullptr), PCMTAPER_ERROR_INVALID_ARGUMENT},
        {"convert memory, empty input", pcmtaper_convert_wav_memory(in, 0, &good, nullptr, out, 1, &used),
         PCMTAPER_ERROR_HEADER_INCOMPLETE},
    };
    for (const row& r : rows) EXPECT_EQ(r.got, r.expected) << r.call;
    EXPECT_EQ(never, nullptr) << "a refused create leaves no handle";

    // After finish, process is refused until reset; then the stream starts afresh.
    ASSERT_EQ(pcmtaper_finish(c, out, sizeof out, &written), PCMTAPER_OK);
    EXPECT_EQ(written, 0u) << "nothing was given";
    EXPECT_EQ(pcmtaper_process(c, in, 1, &used, out, 1, &written), PCMTAPER_ERROR_BAD_STATE);
    EXPECT_EQ(pcmtaper_reset(c), PCMTAPER_OK);
    EXPECT_EQ(pcmtaper_process(c, in, 64, &used, out, sizeof out, &written), PCMTAPER_OK);
    EXPECT_EQ(used, 64u);
    EXPECT_EQ(written, 32u) << "the first block's output comes with the second block";
    pcmtaper_destroy(c);
    pcmtaper_destroy(nullptr);

    EXPECT_STREQ(pcmtaper_version_string(), PCMTAPER_VERSION_STRING);
    for (int s = 0; s >= PCMTAPER_ERROR_ALLOCATION_NEEDED; --s)
        EXPECT_STRNE(pcmtaper_status_string(static_cast<pcmtaper_status>(s)), "unknown status") << s;
    EXPECT_STREQ(pcmtaper_status_string(static_cast<pcmtaper_status>(-99)), "unknown status");
    for (pcmtaper_kernel_level level : levels_here()) {
        pcmtaper_kernel_level back;
        ASSERT_EQ(pcmtaper_kernel_level_from_name(pcmtaper_kernel_level_name(level), &back), PCMTAPER_OK);
        EXPECT_EQ(back, level);
    }
}

// Every call that takes a config reads it by its struct_size: a size that no
// version has is refused with nothing read past it (the config is a block of
// that size, which AddressSanitizer watches), and a later version's larger
// config is taken while its extra bytes are zero.
TEST(LibraryContracts, EveryCallTakingAConfigReadsItByItsSize) {
    const std::string wav = mono16_wav_bytes(8000, std::vector<std::int16_t>(320, 1));
    pcmtaper_config defaults;
    pcmtaper_config_init(&defaults);
    std::vector<unsigned char> memory(pcmtaper_converter_size(&defaults));
    std::uint8_t out[1024];
    size_t out_size = 0;
    pcmtaper_converter* c = nullptr;
    const std::function<pcmtaper_status(const pcmtaper_config*)> calls[] = {
        [&](auto* config) { return pcmtaper_create(config, &c); },
        [&](auto* config) { return pcmtaper_converter_size(config) ? PCMTAPER_OK : PCMTAPER_ERROR_INVALID_ARGUMENT; },
        [&](auto* config) { return pcmtaper_init(memory.data(), memory.size(), config, &c); },
        [&](auto* config) {
            memory_io io(wav);
            const pcmtaper_reader r = io.reader();
            const pcmtaper_writer w = io.writer();
            return pcmtaper_convert_wav(&r, &w, config, nullptr, nullptr);
        },
        [&](auto* config) {
            return pcmtaper_convert_wav_memory(wav.data(), wav.size(), config, nullptr, out, 1024, &out_size);
        },
    };
    const auto size_alone = std::make_unique<std::size_t>(sizeof(std::size_t));
    std::vector<unsigned char> later(sizeof defaults + 24, 0);
    defaults.struct_size = later.size();
    std::memcpy(later.data(), &defaults, sizeof defaults);
    const auto* grown = reinterpret_cast<const pcmtaper_config*>(later.data());
    for (std::size_t call = 0; call < std::size(calls); ++call) {
        EXPECT_EQ(calls[call](reinterpret_cast<const pcmtaper_config*>(size_alone.get())),
                  PCMTAPER_ERROR_INVALID_ARGUMENT) << "call " << call;
        later.back() = 0;
        EXPECT_EQ(calls[call](grown), PCMTAPER_OK) << "call " << call;
        pcmtaper_destroy(c);
        later.back() = 1;  // a field this version does not know, set
        EXPECT_NE(calls[call](grown), PCMTAPER_OK) << "call " << call;
    }
    EXPECT_EQ(pcmtaper_create(grown, &c), PCMTAPER_ERROR_UNSUPPORTED_CONFIG);
}

TEST(LibraryContracts, LatencyOutputProgressAndCallerMemory) {
    const std::vector<std::int16_t> in = make_example_signal(example_kind::music, 22050, 0.1);
    for (unsigned flags : {0u, PCMTAPER_FLAG_ALIGN}) {
        const pcmtaper_config config = config_for(22050, flags);
        // The caller's memory, at an odd address, gives the same bytes.
        std::vector<unsigned char> memory(pcmtaper_converter_size(&config) + 1);
        pcmtaper_converter* c = nullptr;
        ASSERT_EQ(pcmtaper_init(memory.data() + 1, memory.size() - 1, &config, &c), PCMTAPER_OK);
        EXPECT_EQ(pcmtaper_latency(c), flags != 0 ? 0u : 224u);
        // A one-byte output makes progress a byte at a time.
        bytes out;
        std::size_t at = 0;
        std::uint8_t byte;
        size_t used, written;
        while (at < in.size()) {
            ASSERT_EQ(pcmtaper_process(c, in.data() + at, in.size() - at, &used, &byte, 1, &written), PCMTAPER_OK);
            ASSERT_TRUE(used > 0 || written == 1) << "no progress at sample " << at;
            if (written == 1) out.push_back(byte);
            at += used;
        }
        do {
            ASSERT_EQ(pcmtaper_finish(c, &byte, 1, &written), PCMTAPER_OK);
            if (written == 1) out.push_back(byte);
        } while (written == 1);
        pcmtaper_destroy(c);
        EXPECT_EQ(out, convert_in_one_call(config, in));
        EXPECT_EQ(out.size(), flags != 0 ? in.size() : in.size() / 32 * 32);
    }
}

// Callbacks that fail or lie: each ends the conversion with a status, and
// with the program's line where it has one. One that throws (from C++)
// stops the call; a converter whose call stopped mid-block then takes only
// reset and destroy.
int last_remark_code = 0;

TEST(LibraryContracts, FailingAndLyingCallbacksEachEndTheConversionWithAStatus) {
    using namespace fixtures;
    const std::string data = samples_le(make_example_signal(example_kind::music, 8000, 0.1));
    const std::string list = chunk("LIST", "INFO" + chunk("INAM", std::string("name\0", 5)));
    const std::string wav = riff(chunk("fmt ", fmt_body(1, 1, 8000)) + chunk("data", data) + list);
    const struct {
        const char* what;
        faults f;
        pcmtaper_status expected;
        int remark;  // the last remark's code, 0 for none
    } rows[] = {
        {"a read fails in the samples", {.read_fails_at = 144}, PCMTAPER_ERROR_READ, PCMTAPER_REMARK_READ_ERROR},
        {"a read claims more", {.read_claims_more = true}, PCMTAPER_ERROR_READ, PCMTAPER_REMARK_READ_ERROR},
        {"a read of the tags after the samples fails",
         {.read_fails_at = wav.size() - 4, .flags = PCMTAPER_FLAG_KEEP_METADATA}, PCMTAPER_ERROR_READ,
         PCMTAPER_REMARK_READ_ERROR},
        {"a write fails", {.write_fails_after = 200}, PCMTAPER_ERROR_WRITE, PCMTAPER_REMARK_WRITE_ERROR},
        {"a stream ends early, no rewind", {.stream = true},
         PCMTAPER_ERROR_HEADER_NOT_REWRITABLE, PCMTAPER_REMARK_HEADER_NOT_REWRITABLE},
        {"the start event stops it", {.start_stops = true}, PCMTAPER_ERROR_STOPPED, 0},
        {"the report callback throws", {.report_throws = true}, PCMTAPER_ERROR_STOPPED, 0},
    };
    const auto throwing_report = [](void*, const pcmtaper_block_report*) { throw std::runtime_error("stop"); };
    for (const auto& r : rows) {
        memory_io io(r.f.stream ? wav.substr(0, 300) : wav, r.f);
        pcmtaper_config config = config_for(1, r.f.flags);
        if (r.f.report_throws) config.report = throwing_report;
        pcmtaper_wav_events events{};
        events.struct_size = sizeof events;
        events.remark = [](void*, const pcmtaper_remark* remark) { last_remark_code = remark->code; };
        if (r.f.start_stops) events.start = [](void*, const pcmtaper_wav_plan*) { return 1; };
        last_remark_code = 0;
        const pcmtaper_reader reader = io.reader();
        const pcmtaper_writer writer = io.writer();
        EXPECT_EQ(pcmtaper_convert_wav(&reader, &writer, &config, &events, nullptr), r.expected) << r.what;
        EXPECT_EQ(last_remark_code, r.remark) << r.what;
    }

    pcmtaper_config config = config_for(8000, 0);
    config.report = throwing_report;
    pcmtaper_converter* c = nullptr;
    ASSERT_EQ(pcmtaper_create(&config, &c), PCMTAPER_OK);
    const std::vector<std::int16_t> in(256, 100);
    std::uint8_t out[512];
    size_t used = 0, written = 0;
    EXPECT_EQ(pcmtaper_process(c, in.data(), in.size(), &used, out, sizeof out, &written), PCMTAPER_ERROR_STOPPED);
    EXPECT_EQ(pcmtaper_process(c, in.data(), in.size(), &used, out, sizeof out, &written), PCMTAPER_ERROR_BAD_STATE);
    EXPECT_EQ(pcmtaper_finish(c, out, sizeof out, &written), PCMTAPER_ERROR_BAD_STATE);
    EXPECT_EQ(pcmtaper_reset(c), PCMTAPER_OK);
    EXPECT_EQ(pcmtaper_process(c, in.data(), 32, &used, out, sizeof out, &written), PCMTAPER_OK);
    pcmtaper_destroy(c);
}

// ---- determinism ----------------------------------------------------------------

TEST(LibraryDeterminism, RandomSplitsGiveTheBytesOfOneCallAtEveryLevel) {
    const std::vector<std::int16_t> in = make_example_signal(example_kind::bursts, 16000, 0.25);
    const unsigned flag_sets[] = {0u, PCMTAPER_FLAG_ALIGN, PCMTAPER_FLAG_ALIGN | PCMTAPER_FLAG_ZERO_DC};
    for (unsigned flags : flag_sets) {
        const bytes whole = convert_in_one_call(config_for(16000, flags, PCMTAPER_KERNELS_REFERENCE), in);
        for (pcmtaper_kernel_level level : levels_here()) {
            SCOPED_TRACE(pcmtaper_kernel_level_name(level));
            for (std::uint32_t seed : {1u, 2u, 3u})
                EXPECT_EQ(convert_in_random_calls(config_for(16000, flags, level), in, seed), whole)
                    << "flags " << flags << ", seed " << seed;
        }
    }
}

// One converter on worker threads (config.threads): the bytes and the
// reports of one thread, in one call (as pcmtaper_output_bound sizes it) and
// in random calls, with and without --align, and a stream shorter than the
// look-ahead.
struct collected_reports {
    std::vector<pcmtaper_block_report> reports;
    static void add(void* user, const pcmtaper_block_report* r) {
        static_cast<collected_reports*>(user)->reports.push_back(*r);
    }
};

TEST(LibraryThreads, WorkerThreadsGiveTheBytesAndReportsOfOne) {
    struct stream {
        example_kind kind;
        std::uint32_t rate_hz;
        double seconds;
        unsigned flags;
    };
    const stream streams[] = {
        {example_kind::music, 22050, 13.0, 0u},  // 8960 blocks: the reports of blocks 8192 to 8195 too
        {example_kind::bursts, 8000, 2.0, PCMTAPER_FLAG_ALIGN | PCMTAPER_FLAG_ZERO_DC},
        {example_kind::chirp, 44100, 0.05, PCMTAPER_FLAG_ALIGN},
    };
    for (const stream& st : streams) {
        const std::vector<std::int16_t> in = make_example_signal(st.kind, st.rate_hz, st.seconds);
        collected_reports one;
        pcmtaper_config config = config_for(st.rate_hz, st.flags);
        config.report = collected_reports::add;
        config.report_user = &one;
        const bytes expected = convert_in_one_call(config, in);
        for (unsigned threads : {2u, 3u, 8u}) {
            collected_reports many;
            config.threads = threads;
            config.report_user = &many;
            EXPECT_EQ(convert_in_random_calls(config, in, threads), expected) << threads << " threads";
            ASSERT_EQ(many.reports.size(), one.reports.size()) << threads << " threads";
            EXPECT_EQ(convert_in_one_call(config, in), expected) << threads << " threads, one call";
            // Mid-stream, the bound counts the blocks in flight, which finish writes.
            pcmtaper_converter* c = nullptr;
            ASSERT_EQ(pcmtaper_create(&config, &c), PCMTAPER_OK);
            bytes out(pcmtaper_output_bound(c, in.size()));
            size_t used = 0, written = 0, drained = 0;
            ASSERT_EQ(pcmtaper_process(c, in.data(), in.size(), &used, out.data(), out.size(), &written), PCMTAPER_OK);
            const size_t bound = pcmtaper_output_bound(c, 0);
            do {
                ASSERT_EQ(pcmtaper_finish(c, out.data(), out.size(), &written), PCMTAPER_OK);
                drained += written;
            } while (written > 0);
            EXPECT_LE(drained, bound) << threads << " threads";
            pcmtaper_destroy(c);
            for (std::size_t i = 0; i < one.reports.size(); ++i)
                EXPECT_EQ(std::memcmp(&many.reports[i], &one.reports[i], sizeof one.reports[i]), 0)
                    << threads << " threads, report " << i;
        }
    }
}

// Different inputs on several threads at once (each with its own converter,
// both dither tables filling from scratch) give the bytes of one at a time.
void convert_on_threads(int threads) {
    std::vector<std::vector<std::int16_t>> inputs;
    std::vector<pcmtaper_config> configs;
    const example_kind kinds[] = {example_kind::music, example_kind::noise, example_kind::chirp, example_kind::tone};
    for (int t = 0; t < threads; ++t) {
        inputs.push_back(make_example_signal(kinds[t % 4], 11025 + 1000 * t, 0.3));
        configs.push_back(config_for(11025 + 1000 * t, t % 2 == 0 ? 0u : PCMTAPER_FLAG_ZERO_DC));
    }
    std::vector<bytes> together(threads);
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t)
        running.emplace_back([&, t] { together[t] = convert_in_random_calls(configs[t], inputs[t], 7u + t); });
    for (std::thread& r : running) r.join();
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(together[t], convert_in_one_call(configs[t], inputs[t])) << "thread " << t;
}

TEST(LibraryThreads, TwoThreadsGiveTheBytesOfOneAtATime) { convert_on_threads(2); }
TEST(LibraryThreads, FourThreadsGiveTheBytesOfOneAtATime) { convert_on_threads(4); }

// ---- the one-call conversion against the program ----------------------------------

// The program's standard output (without the file names), made from the
// data of a conversion's callbacks by the library's formatting helpers; the
// data kept too.
struct collected_text {
    std::string text;
    std::vector<pcmtaper_remark> remarks;
    std::vector<pcmtaper_block_report> reports;

    static void remark(void* user, const pcmtaper_remark* r) {
        char line[PCMTAPER_REMARK_TEXT_MAX];
        pcmtaper_format_remark(r, line, sizeof line);
        static_cast<collected_text*>(user)->text += line;
        static_cast<collected_text*>(user)->remarks.push_back(*r);
    }
    static int start(void* user, const pcmtaper_wav_plan* plan) {
        EXPECT_EQ(plan->struct_size, sizeof *plan);
        static_cast<collected_text*>(user)->text += "SAMPLE RATE: " + std::to_string(plan->sample_rate_hz) +
                                                    "\r\n FRAMES NUM: " + std::to_string(plan->blocks) + "\r\n";
        return 0;
    }
    static void report(void* user, const pcmtaper_block_report* r) {
        char lines[PCMTAPER_REPORT_TEXT_MAX];
        pcmtaper_format_report(r, lines, sizeof lines);
        static_cast<collected_text*>(user)->text += lines;
        static_cast<collected_text*>(user)->reports.push_back(*r);
    }
    pcmtaper_wav_events events() {
        return pcmtaper_wav_events{sizeof(pcmtaper_wav_events), this, remark, start, nullptr, nullptr};
    }
    void report_into(pcmtaper_config* config) {
        config->report = report;
        config->report_user = this;
    }
};

TEST(LibraryWav, OneCallGivesTheProgramsFileAndStandardOutput) {
    const std::string wav = mono16_wav_bytes(8000, make_example_signal(example_kind::music, 8000, 2.5));
    const fixtures::scratch_dir dir;
    dir.write("in.wav", wav);
    for (const char* option : {"", "-a", "-z"}) {
        SCOPED_TRACE(option);
        std::vector<std::string> args;
        if (*option != '\0') args.push_back(option);
        args.push_back("in.wav");
        args.push_back("out.wav");
        std::filesystem::remove(fixtures::utf8_path(dir.path("out.wav")));
        const fixtures::run_result run = dir.run(args);
        ASSERT_EQ(run.exit_code, 0);
        pcmtaper_config config = config_for(1, std::string(option) == "-a"   ? PCMTAPER_FLAG_ALIGN
                                               : std::string(option) == "-z" ? PCMTAPER_FLAG_ZERO_DC
                                                                             : 0u);
        collected_text text;
        const pcmtaper_wav_events events = text.events();
        text.report_into(&config);
        bytes out(pcmtaper_wav_output_bound(wav.size(), config.flags));
        size_t out_size = 0;
        ASSERT_EQ(pcmtaper_convert_wav_memory(wav.data(), wav.size(), &config, &events, out.data(), out.size(),
                                              &out_size),
                  PCMTAPER_OK);
        EXPECT_EQ(std::string(out.begin(), out.begin() + static_cast<long>(out_size)), dir.read("out.wav"));
        EXPECT_EQ("in.wav\r\nout.wav\r\n" + text.text, run.out);
    }
    // A refusal: the status of exit code 3 and the program's line.
    std::string stereo = wav;
    stereo[22] = 2;
    collected_text text;
    const pcmtaper_wav_events events = text.events();
    const pcmtaper_config config = config_for(1, 0);
    bytes out(100);
    size_t out_size = 0;
    EXPECT_EQ(pcmtaper_convert_wav_memory(stereo.data(), stereo.size(), &config, &events, out.data(), out.size(),
                                          &out_size),
              PCMTAPER_ERROR_NOT_MONO);
    EXPECT_EQ(out_size, 0u);
    EXPECT_EQ(text.text, "This is not a Monaural sound(Stereo, Surround, etc.).\r\n");
    // Too small an output buffer is a write error, never an overrun.
    EXPECT_EQ(pcmtaper_convert_wav_memory(wav.data(), wav.size(), &config, nullptr, out.data(), out.size(), &out_size),
              PCMTAPER_ERROR_WRITE);
    EXPECT_LE(out_size, out.size());
}

// A stream that ends early leaves an output whose header states more samples
// than follow it. Only a writer with rewind has the header written again, at
// its start; one without is told so and gets nothing more, as does a writer
// once a write has failed.
struct stream {
    std::string bytes;
    std::size_t at = 0;
    std::size_t fail_from = SIZE_MAX;  // writes reaching this byte fail
    int writes_after_failure = -1;     // -1: none failed
};
std::size_t read_stream(void* user, void* buffer, std::size_t capacity, int*) {
    auto* in = static_cast<stream*>(user);
    const std::size_t n = in->bytes.copy(static_cast<char*>(buffer), capacity, in->at);
    in->at += n;
    return n;
}
int write_stream(void* user, const void* bytes, std::size_t count) {
    auto* out = static_cast<stream*>(user);
    if (out->writes_after_failure >= 0 || out->at + count > out->fail_from) {
        ++out->writes_after_failure;
        return 1;
    }
    out->bytes.replace(out->at, std::min(count, out->bytes.size() - out->at), static_cast<const char*>(bytes), count);
    out->at += count;
    return 0;
}
int rewind_stream(void* user) {
    static_cast<stream*>(user)->at = 0;
    return 0;
}

TEST(LibraryWav, AnOutputThatCannotBeRewoundGetsNoSecondHeader) {
    // 400 samples of 800 declared, read as a stream: 12 whole blocks.
    const std::string wav = mono16_wav_bytes(8000, make_example_signal(example_kind::music, 8000, 0.1)).substr(0, 844);
    const struct {
        bool rewind;
        std::size_t fail_from;
        pcmtaper_status status;
        unsigned stated_samples;  // by the header; 0: not checked
    } cases[] = {{false, SIZE_MAX, PCMTAPER_ERROR_HEADER_NOT_REWRITABLE, 800},
                 {true, SIZE_MAX, PCMTAPER_OK, 384},
                 {false, 100, PCMTAPER_ERROR_WRITE, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.rewind ? "rewind" : "no rewind") + (c.fail_from < SIZE_MAX ? ", failing" : ""));
        stream in{wav}, out;
        out.fail_from = c.fail_from;
        const pcmtaper_reader reader{sizeof(pcmtaper_reader), read_stream, &in, -1, nullptr};
        const pcmtaper_writer writer{sizeof(pcmtaper_writer), write_stream, c.rewind ? rewind_stream : nullptr, &out};
        const pcmtaper_config config = config_for(1, 0);
        pcmtaper_wav_plan plan{};
        plan.struct_size = sizeof plan;
        EXPECT_EQ(pcmtaper_convert_wav(&reader, &writer, &config, nullptr, &plan), c.status);
        EXPECT_LE(out.writes_after_failure, 0);
        if (c.stated_samples == 0) continue;
        EXPECT_EQ(out.bytes.size(), 44 + 384u);
        EXPECT_EQ(std::uint8_t(out.bytes[40]) | std::uint8_t(out.bytes[41]) << 8, c.stated_samples);
    }
}

// ---- versioned structs ---------------------------------------------------------------

// A struct as a client built against another layout passes it: struct_size
// bytes (zero past the fields it sets), then guard bytes. The library touches
// neither the guard nor a later version's fields past its own.
template <class T>
struct client_struct {
    std::size_t size;
    bytes memory;

    client_struct(const T& value, std::size_t struct_size)
        : size(std::max(struct_size, sizeof(std::size_t))), memory(size + 32, 0xA5) {
        std::fill(memory.begin(), memory.begin() + static_cast<long>(size), 0);
        std::memcpy(memory.data(), &value, std::min(sizeof(T), size));
        get()->struct_size = struct_size;
    }
    T* get() { return reinterpret_cast<T*>(memory.data()); }
    bytes past_known() const { return bytes(memory.begin() + static_cast<long>(std::min(sizeof(T), size)), memory.end()); }
};

// Every size a client may pass for T: short of the first layout (refused),
// the first layout without its tail padding (an older client's), and a later
// version's, zero past this version's fields or not (refused where the
// library `reads` the struct as a request). `run` says what came of it.
template <class T, class Run>
void check_every_size(const char* what, const T& value, bool reads, Run run) {
    SCOPED_TRACE(what);
    std::string expected;
    ASSERT_EQ(run(&value, &expected), PCMTAPER_OK);
    const std::size_t first = first_size_of<T>(), later = sizeof(T) + 24;
    const struct {
        std::size_t size;
        bool later_field_set;
        pcmtaper_status status;
    } sizes[] = {{0, false, PCMTAPER_ERROR_INVALID_ARGUMENT},
                 {first - 1, false, PCMTAPER_ERROR_INVALID_ARGUMENT},
                 {first, false, PCMTAPER_OK},
                 {later, false, PCMTAPER_OK},
                 {later, true, reads ? PCMTAPER_ERROR_UNSUPPORTED_CONFIG : PCMTAPER_OK}};
    for (const auto& c : sizes) {
        client_struct<T> client(value, c.size);
        if (c.later_field_set) client.memory[sizeof(T) + 8] = 1;
        const bytes untouched = client.past_known();
        std::string got;
        EXPECT_EQ(run(client.get(), &got), c.status) << "struct_size " << c.size;
        if (c.status == PCMTAPER_OK) {
            EXPECT_EQ(got, expected) << "struct_size " << c.size;
        }
        EXPECT_EQ(client.past_known(), untouched) << "struct_size " << c.size;
    }
}

// An output in memory that can be rewound.
struct memory_file {
    std::string bytes;
    std::size_t at = 0;
    static int write(void* user, const void* data, size_t count) {
        auto* f = static_cast<memory_file*>(user);
        f->bytes.replace(f->at, std::min(count, f->bytes.size() - f->at), static_cast<const char*>(data), count);
        f->at += count;
        return 0;
    }
    static int rewind(void* user) { return static_cast<memory_file*>(user)->at = 0, 0; }
};

// Each struct through every entry point and callback that takes it, on a
// file with a skipped chunk whose samples end early: remarks, counts,
// reports and a header written again.
TEST(LibraryVersionedStructs, EverySizeOfEveryStructIsReadAndWrittenOnlyAsFarAsItsStructSize) {
    std::string file = mono16_wav_bytes(8000, make_example_signal(example_kind::music, 8000, 0.2));
    file.insert(36, std::string("junk\x04\0\0\0abcd", 12));
    file.resize(file.size() - 101);
    memory_bytes in{reinterpret_cast<const unsigned char*>(file.data()), file.size(), 0};
    memory_file out;
    collected_text said;
    const pcmtaper_reader reader{sizeof reader, read_memory, &in, -1, nullptr};
    const pcmtaper_writer writer{sizeof writer, memory_file::write, memory_file::rewind, &out};
    const pcmtaper_wav_events events = said.events();
    pcmtaper_config config = config_for(1, 0);
    said.report_into(&config);
    pcmtaper_wav_plan plan{};
    plan.struct_size = sizeof plan;
    const auto start_again = [&] {
        in.at = 0;
        out = memory_file{};
        said = collected_text{};
    };
    const auto convert = [&](const pcmtaper_reader* r, const pcmtaper_writer* w, const pcmtaper_wav_events* e,
                             const pcmtaper_wav_plan* p, std::string* outcome) {
        start_again();
        const pcmtaper_status status = pcmtaper_convert_wav(r, w, &config, e, const_cast<pcmtaper_wav_plan*>(p));
        *outcome = out.bytes + said.text + std::to_string(p->samples_written);
        return status;
    };
    check_every_size("reader", reader, true, [&](auto* r, auto* o) { return convert(r, &writer, &events, &plan, o); });
    check_every_size("writer", writer, true, [&](auto* w, auto* o) { return convert(&reader, w, &events, &plan, o); });
    check_every_size("events", events, true, [&](auto* e, auto* o) { return convert(&reader, &writer, e, &plan, o); });
    check_every_size("plan", plan, false, [&](auto* p, auto* o) { return convert(&reader, &writer, &events, p, o); });
    ASSERT_NE(said.text.find("data!=junk"), std::string::npos);
    ASSERT_NE(said.text.find("The input ended after"), std::string::npos);
    const std::string converted = out.bytes;
    const collected_text data = said;
    ASSERT_FALSE(data.reports.empty());

    pcmtaper_wav_header header{};
    header.struct_size = sizeof header;
    check_every_size("WAV header", header, false, [&](const pcmtaper_wav_header* h, std::string* o) {
        start_again();
        const pcmtaper_status status = pcmtaper_wav_read_header(&reader, const_cast<pcmtaper_wav_header*>(h), &events);
        *o = said.text + std::to_string(h->sample_rate_hz) + " " + std::to_string(h->data_size_bytes) + " " +
             std::to_string(h->header_bytes) + " " + std::to_string(h->remark_count);
        return status;
    });
    pcmtaper_wav_8_bit_header eight{};
    eight.struct_size = sizeof eight;
    check_every_size("8-bit header", eight, false, [&](const pcmtaper_wav_8_bit_header* h, std::string* o) {
        int is_8_bit = 0;
        const pcmtaper_status status =
            pcmtaper_wav_is_8_bit(reinterpret_cast<const std::uint8_t*>(converted.data()), converted.size(), &is_8_bit,
                                  const_cast<pcmtaper_wav_8_bit_header*>(h));
        *o = std::to_string(is_8_bit) + " " + std::to_string(h->sample_rate_hz) + " " + std::to_string(h->samples);
        return status;
    });

    // What the library hands to callbacks, given to its helpers by a client
    // of another layout.
    const auto formatted = [](auto format, const auto* s, std::string* o) {
        char text[PCMTAPER_REPORT_TEXT_MAX];
        *o = std::string(text, format(s, text, sizeof text));
        return o->empty() ? PCMTAPER_ERROR_INVALID_ARGUMENT : PCMTAPER_OK;
    };
    EXPECT_EQ(data.reports[0].struct_size, sizeof(pcmtaper_block_report));
    check_every_size("block report", data.reports[0], false,
                     [&](auto* r, auto* o) { return formatted(pcmtaper_format_report, r, o); });
    for (const pcmtaper_remark& r : data.remarks) {
        EXPECT_EQ(r.struct_size, sizeof r);
        check_every_size("remark", r, false, [&](auto* m, auto* o) { return formatted(pcmtaper_format_remark, m, o); });
    }
}

// ---- exported symbols ---------------------------------------------------------------

#if defined(PCMTAPER_SHARED_LIBRARY) && defined(PCMTAPER_PUBLIC_HEADER)
// Every function the header declares carries PCMTAPER_API (without it the
// definition stays hidden, and a program using it fails to link), and the
// library's dynamic symbols are exactly those functions: none missing, nothing
// else of any kind (an internal function or object given default visibility,
// a C++ name let through).
TEST(LibraryExports, TheSharedLibraryExportsExactlyTheHeadersFunctions) {
    std::ifstream header_file(PCMTAPER_PUBLIC_HEADER);
    std::stringstream header;
    header << header_file.rdbuf();
    // The declarations without the comments, which name functions too.
    const std::string text = std::regex_replace(header.str(), std::regex(R"(/\*[\s\S]*?\*/|//[^\n]*)"), " ");
    const auto names_of = [&](const std::regex& pattern) {
        std::set<std::string> names;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern); it != std::sregex_iterator(); ++it)
            names.insert((*it)[1]);
        return names;
    };
    const std::set<std::string> declared = names_of(std::regex(R"(\b(pcmtaper_[a-z0-9_]+)\s*\()"));
    const std::set<std::string> declared_with_api =
        names_of(std::regex(R"(PCMTAPER_API[^;(]*\b(pcmtaper_[a-z0-9_]+)\s*\()"));
    ASSERT_GT(declared.size(), 20u);
    EXPECT_EQ(declared_with_api, declared) << "a declaration without PCMTAPER_API";

    const fixtures::run_result nm =
        fixtures::run_command("nm -D --defined-only " + fixtures::shell_quote(PCMTAPER_SHARED_LIBRARY));
    ASSERT_EQ(nm.exit_code, 0);
    std::set<std::string> exported;
    std::istringstream lines(nm.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string address, kind, name;
        words >> address >> kind >> name;
        if (kind != "A") exported.insert(name);  // A: a version node's name, not a symbol
    }
    EXPECT_EQ(exported, declared);
}
#endif

}  // namespace
