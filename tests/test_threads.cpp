// Threads within one conversion: the look-ahead against the blocks run in
// order on one thread, in the pipeline (every block's report, bytes and
// state) and through the program (-j 1, 2, 3 and 8 on a table of inputs: the
// same output, standard output, standard error and exit code).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "pipeline/lookahead.h"
#include "program_runner.h"
#include "signals.h"
#include "wav_fixtures.h"

namespace {

using namespace pcmtaper;
using namespace fixtures;

struct block_outcome {
    bool reported;
    block_report report;
    std::uint8_t bytes[block_len];
};

// Converts `signal` block by block with the look-ahead allowed `threads`,
// pushing as far ahead as it takes; without `reports`, asking for none.
std::vector<block_outcome> convert_with(const std::vector<std::int16_t>& signal, std::uint32_t rate_hz, int threads,
                                        bool zero_dc, converter_state* state, int* workers,
                                        bool any_stage_anywhere = false, bool reports = true) {
    const std::uint64_t blocks = signal.size() / block_len;
    start_conversion(state, best_kernels(), rate_hz, zero_dc);
    std::vector<block_outcome> out(blocks);
    block_lookahead lookahead(state, threads, blocks, any_stage_anywhere);
    *workers = lookahead.workers();
    double samples[block_len];
    auto push = [&](std::uint64_t n) {
        for (int i = 0; i < block_len; ++i) samples[i] = signal[n * block_len + i] * sample_scale;
        lookahead.push(samples);
    };
    std::uint64_t pushed = 0;
    for (std::uint64_t n = 0; n < blocks; ++n) {
        for (; pushed < blocks && pushed <= n + static_cast<std::uint64_t>(lookahead.depth()); ++pushed) push(pushed);
        if (pushed == blocks) lookahead.end_of_input();
        block_outcome& o = out[n];
        std::memset(&o.report, 0, sizeof o.report);
        o.reported = lookahead.finish(static_cast<std::uint32_t>(n), reports ? &o.report : nullptr);
        std::memcpy(o.bytes, state->out_bytes, block_len);
    }
    return out;
}

TEST(Threads, TheLookAheadGivesEveryBlockAndTheStateOfOneThread) {
    struct input {
        example_kind kind;
        std::uint32_t rate_hz;
        double seconds;
        bool zero_dc;
    };
    const input inputs[] = {
        {example_kind::music, 44100, 3.0, false},
        {example_kind::bursts, 8000, 4.0, true},
        {example_kind::chirp, 22050, 1.0, false},
    };
    for (const input& in : inputs) {
        const std::vector<std::int16_t> signal = make_example_signal(in.kind, in.rate_hz, in.seconds);
        static converter_state one, many;
        int workers = 0;
        const std::vector<block_outcome> expected = convert_with(signal, in.rate_hz, 1, in.zero_dc, &one, &workers);
        ASSERT_EQ(workers, 0);
        // Each thread first taking its own stages, and every thread any stage;
        // and no report asked for.
        const struct {
            int threads;
            bool anywhere, reports;
        } runs[] = {{2, false, true}, {3, false, true},  {8, false, true},
                    {2, true, true},  {3, true, true},   {2, false, false}};
        for (const auto& [threads, anywhere, reports] : runs) {
            SCOPED_TRACE(testing::Message() << threads << " threads" << (anywhere ? ", any stage anywhere" : "")
                                            << (reports ? "" : ", no reports"));
            const std::vector<block_outcome> got =
                convert_with(signal, in.rate_hz, threads, in.zero_dc, &many, &workers, anywhere, reports);
            EXPECT_EQ(workers, std::min(threads, lookahead_max_threads) - 1);
            ASSERT_EQ(got.size(), expected.size());
            for (std::size_t n = 0; n < got.size(); ++n) {
                ASSERT_EQ(got[n].reported, expected[n].reported) << "block " << n;
                if (reports) {
                    ASSERT_EQ(std::memcmp(&got[n].report, &expected[n].report, sizeof got[n].report), 0)
                        << "block " << n;
                }
                ASSERT_EQ(std::memcmp(got[n].bytes, expected[n].bytes, block_len), 0)
                    << threads << " threads, block " << n;
            }
            // What the conversion leaves: the mask and weights of the last
            // block pushed, the history, taps, delay line and dither.
            EXPECT_EQ(std::memcmp(&many.analysis, &one.analysis, sizeof one.analysis), 0);
            EXPECT_EQ(std::memcmp(&many.search, &one.search, sizeof one.search), 0);
            EXPECT_EQ(std::memcmp(many.delay_line, one.delay_line, sizeof one.delay_line), 0);
            EXPECT_EQ(many.dither_state, one.dither_state);
        }
    }
}

TEST(Threads, ShortConversionsStartNoThread) {
    converter_state state;
    start_conversion(&state, best_kernels(), 44100);
    EXPECT_EQ(block_lookahead(&state, 8, lookahead_min_blocks - 1).workers(), 0);
    EXPECT_EQ(block_lookahead(&state, 1, 1u << 20).workers(), 0);
    EXPECT_EQ(block_lookahead(&state, 2, lookahead_min_blocks).workers(), 1);
}

// A block's coarse search is claimed once, also by a thread that looks late,
// when the block is done and its slot holds a later block.
TEST(Threads, ABlockIsClaimedOnceAndNeverAfterItsSlotMovedOn) {
    std::atomic<std::uint64_t> claim{0};
    const std::uint64_t ring = lookahead_ring_blocks;
    struct step { std::uint64_t block; bool claimed; };
    for (const step s : {step{3, true}, step{3, false}, step{3 + ring, true}, step{3, false},
                         step{3 + ring, false}, step{3 + 2 * ring, true}})
        EXPECT_EQ(claim_once(claim, s.block), s.claimed) << "block " << s.block;
    EXPECT_EQ(claim.load(), 3 + 2 * ring + 1);
}

// The program at -j 1, 2, 3 and 8: the same files and texts.
TEST(Threads, EveryNumberOfJobsGivesTheSameBytesAndText) {
    struct input {
        const char* what;
        std::string file;
        std::vector<std::string> options;
        std::string input_pipe;  // read through a pipe: a stream
    };
    auto wav = [](std::uint32_t rate_hz, std::size_t samples) {
        std::vector<std::int16_t> s = make_example_signal(example_kind::music, rate_hz, samples / double(rate_hz) + 1);
        s.resize(samples);
        return mono16_wav(rate_hz, s);
    };
    // A minute of music; under ThreadSanitizer, which runs the program some
    // ten times slower, ten seconds of it.
#if defined(__SANITIZE_THREAD__)
    constexpr double music_seconds = 10;
#else
    constexpr double music_seconds = 60;
#endif
    const std::string music = mono16_wav_bytes(44100, make_example_signal(example_kind::music, 44100, music_seconds));
    const std::string low_rate = mono16_wav(8000, make_example_signal(example_kind::bursts, 8000, 3));
    // 8196 blocks and a half: the reports of blocks 8192 to 8195 too.
    const std::string report_boundary = wav(22050, 8196 * 32 + 16);
    // A stream whose header declares more than it holds.
    std::string ends_early = wav(16000, 40000);
    ends_early.replace(40, 4, u32(2 * 60000));
    const input inputs[] = {
        {"empty", wav(44100, 0), {}, ""},
        {"one sample", wav(44100, 1), {}, ""},
        {"one block", wav(44100, 32), {}, ""},
        {"224 samples", wav(44100, 224), {}, ""},
        {"225 samples", wav(44100, 225), {}, ""},
        {"a report boundary", report_boundary, {}, ""},
        {"a minute of music", music, {}, ""},
        {"a stream that ends early", ends_early, {}, "cat in.wav | "},
        {"an aligned stream that ends early", ends_early, {"-a"}, "cat in.wav | "},
        {"aligned", low_rate, {"--align"}, ""},
        {"aligned, short", wav(44100, 225), {"-a"}, ""},
        {"without DC", low_rate, {"-z"}, ""},
    };
    for (const input& in : inputs) {
#ifdef _WIN32
        if (!in.input_pipe.empty()) continue;  // no cat in cmd.exe to make a stream of the file
#endif
        scratch_dir dir;
        dir.write("in.wav", in.file);
        std::string expected_out, expected_text, expected_errors;
        int expected_code = -1;
        for (const char* jobs : {"1", "2", "3", "8"}) {
            std::vector<std::string> args = in.options;
            args.insert(args.end(), {"-j", jobs, in.input_pipe.empty() ? "in.wav" : "-", "out.wav"});
            std::filesystem::remove(utf8_path(dir.path("out.wav")));  // each run writes a new file
            const run_result r = dir.run_with_errors(args, "", in.input_pipe);
            const std::string out = dir.read("out.wav");
            if (expected_code < 0) {
                expected_out = out;
                expected_text = r.out;
                expected_errors = r.err;
                expected_code = r.exit_code;
                EXPECT_EQ(r.exit_code, 0) << in.what;
                EXPECT_GE(out.size(), 44u) << in.what;
                continue;
            }
            EXPECT_EQ(r.exit_code, expected_code) << in.what << ", -j " << jobs;
            EXPECT_TRUE(out == expected_out) << in.what << ", -j " << jobs << ": the output differs";
            EXPECT_EQ(r.out, expected_text) << in.what << ", -j " << jobs;
            EXPECT_EQ(r.err, expected_errors) << in.what << ", -j " << jobs;
        }
    }
}

TEST(Threads, JobsMustBeAWholeNumberFromOne) {
    scratch_dir dir;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-j", "0", "in.wav"}, {"-j", "x", "in.wav"}, {"--jobs=-1", "in.wav"}, {"-j2x", "in.wav"}, {"in.wav", "-j"}}) {
        const run_result r = dir.run_with_errors(args);
        EXPECT_EQ(r.exit_code, 12) << args[0];
        EXPECT_NE(r.err.find("usage: pcmtaper"), std::string::npos) << args[0];
    }
    dir.write("in.wav", mono16_wav(44100, std::vector<std::int16_t>(64, 100)));
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"-j3", "in.wav"}, {"--jobs", "99999", "in.wav"}, {"-qj", "2", "in.wav"}})
        EXPECT_EQ(dir.run_with_errors(args).exit_code, 0) << args[0];
}

}  // namespace
