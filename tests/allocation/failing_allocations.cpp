// Every allocation of the library failed in turn, one per run: each call
// returns a status (out of memory, or success with the same bytes where it
// can do without) and nothing leaks. A binary of its own: it replaces the
// global operator new and delete, which the main test binary keeps as the
// sanitizers give them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "pcmtaper/pcmtaper.h"
#include "signals.h"
#include "wav_fixtures.h"

namespace {

std::atomic<long> allocations_before_failure{0};  // the one that brings it to 0 fails
std::atomic<long> live_blocks{0};

// From malloc, with room in front for where the block starts.
void* allocate(std::size_t size, std::size_t alignment) {
    long left = allocations_before_failure.load();
    while (left > 0 && !allocations_before_failure.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 1) return nullptr;
    alignment = std::max(alignment, alignof(std::max_align_t));
    char* raw = static_cast<char*>(std::malloc(size + alignment + sizeof(void*)));
    if (raw == nullptr) return nullptr;
    char* block = raw + sizeof(void*) + alignment - (reinterpret_cast<std::uintptr_t>(raw) + sizeof(void*)) % alignment;
    reinterpret_cast<void**>(block)[-1] = raw;
    ++live_blocks;
    return block;
}
void* allocate_or_throw(std::size_t size, std::size_t alignment) {
    if (void* block = allocate(size, alignment)) return block;
    throw std::bad_alloc();
}
void release(void* block) {
    if (block == nullptr) return;
    --live_blocks;
    std::free(static_cast<void**>(block)[-1]);
}

}  // namespace

void* operator new(std::size_t n) { return allocate_or_throw(n, 0); }
void* operator new[](std::size_t n) { return allocate_or_throw(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate_or_throw(n, std::size_t(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate_or_throw(n, std::size_t(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(n, std::size_t(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(n, std::size_t(a));
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }

namespace {

struct outcome {
    pcmtaper_status status = PCMTAPER_OK;
    std::vector<std::uint8_t> out;
    bool failed = false;  // the allocation set to fail came
    long leaked = 0;
};

// A WAV file with tags to keep converted in one call, or its samples
// streamed (create, process in two calls, finish), with the allocation
// made n-th by the library failing (none for 0); resampled to
// output_rate_hz unless 0.
outcome convert(const std::string& wav, const std::vector<std::int16_t>& in, bool whole_file, unsigned threads,
                std::uint32_t output_rate_hz, long n) {
    outcome o;
    o.out.resize(pcmtaper_wav_output_bound(wav.size(), PCMTAPER_FLAG_KEEP_METADATA));
    pcmtaper_config config;
    pcmtaper_config_init(&config);
    config.sample_rate_hz = 22050;
    config.flags = whole_file ? PCMTAPER_FLAG_KEEP_METADATA : 0;
    config.threads = threads;
    config.output_rate_hz = output_rate_hz;
    std::size_t total = 0, used = 0, written = 0;
    const long live_before = live_blocks;
    allocations_before_failure = n;
    pcmtaper_converter* c = nullptr;
    if (whole_file) {
        o.status = pcmtaper_convert_wav_memory(wav.data(), wav.size(), &config, nullptr, o.out.data(),
                                               o.out.size(), &total);
    } else {
        o.status = pcmtaper_create(&config, &c);
        for (std::size_t at = 0; at < in.size() && o.status == PCMTAPER_OK; at += used) {
            const std::size_t piece = at == 0 ? in.size() / 2 : in.size() - at;
            o.status = pcmtaper_process(c, in.data() + at, piece, &used, o.out.data() + total, o.out.size() - total,
                                        &written);
            total += written;
        }
        for (written = 1; o.status == PCMTAPER_OK && written > 0; total += written)
            o.status = pcmtaper_finish(c, o.out.data() + total, o.out.size() - total, &written);
        pcmtaper_destroy(c);
    }
    o.failed = n > 0 && allocations_before_failure.exchange(0) == 0;
    o.leaked = live_blocks - live_before;
    o.out.resize(total);
    return o;
}

TEST(FailingAllocations, EachOneGivesAStatusAndLeaksNothing) {
    using namespace fixtures;
    // 300 blocks: enough for the look-ahead to start its threads.
    const std::vector<std::int16_t> in = make_example_signal(example_kind::music, 22050, 300 * 32 / 22050.0);
    const std::string wav = riff(chunk("fmt ", fmt_body(1, 1, 22050)) + chunk("data", samples_le(in)) +
                                 chunk("LIST", "INFO" + chunk("INAM", std::string("name\0", 5))));
    for (bool whole_file : {false, true}) {
        for (const auto& [threads, output_rate_hz] : {std::pair{1u, 0u}, std::pair{3u, 0u}, std::pair{3u, 8000u}}) {
            SCOPED_TRACE(testing::Message() << (whole_file ? "whole file, " : "stream, ") << threads << " threads, "
                                            << output_rate_hz << " Hz out");
            // Also fills what is filled once.
            const outcome expected = convert(wav, in, whole_file, threads, output_rate_hz, 0);
            ASSERT_EQ(expected.status, PCMTAPER_OK);
            long n = 1;
            for (;; ++n) {
                ASSERT_LT(n, 10000) << "the allocations never ended";
                const outcome got = convert(wav, in, whole_file, threads, output_rate_hz, n);
                EXPECT_EQ(got.leaked, 0) << "allocation " << n << " failed";
                if (got.status == PCMTAPER_OK) {
                    EXPECT_EQ(got.out, expected.out) << "allocation " << n << " failed";
                } else {
                    EXPECT_EQ(got.status, PCMTAPER_ERROR_OUT_OF_MEMORY) << "allocation " << n << " failed";
                }
                if (!got.failed) break;
            }
            EXPECT_GT(n, 1) << "the library allocated nothing";
        }
    }
}

}  // namespace
