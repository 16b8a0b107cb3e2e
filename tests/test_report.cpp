// Diagnostic report: its exact lines, the conversion of its numbers to
// integers, and the blocks that print it.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "internal/kernel_table.h"
#include "library/converter.h"
#include "pcmtaper/pcmtaper.h"
#include "pipeline/pipeline.h"
#include "search_fixtures.h"
#include "shaping/shaping.h"

namespace {

std::string repeat(const std::string& item, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += item;
    return out;
}

using namespace pcmtaper;

// The report of a block that has the fixture's taps and weights, and steps
// that no pass recorded.
struct report_fixture {
    block_report r;
};

report_fixture fixture_with(const double* weights) {
    report_fixture f;
    search_fixture s;
    prepare_search_state(&s, weights);
    std::memcpy(f.r.taps, s.search.taps, sizeof f.r.taps);
    std::memcpy(f.r.band_weight, weights, sizeof f.r.band_weight);
    reset_steps(&f.r.steps);
    return f;
}

// The report's text as the program gets it: handed to the caller's report
// callback as the converter hands it, then formatted by the library.
std::string text_of(const block_report& r) {
    pcmtaper_config config;
    pcmtaper_config_init(&config);
    pcmtaper_block_report sent{};
    config.report_user = &sent;
    config.report = [](void* user, const pcmtaper_block_report* report) {
        *static_cast<pcmtaper_block_report*>(user) = *report;
    };
    send_report(config, r, 0);
    char text[PCMTAPER_REPORT_TEXT_MAX];
    const std::size_t length = pcmtaper_format_report(&sent, text, sizeof text);
    EXPECT_EQ(length, std::strlen(text));
    return text;
}

std::string report_of(const report_fixture& s) { return text_of(s.r); }

// The report split at its "\r\n" line ends; the last entry is what follows
// the final line end (empty).
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    lines.push_back(text.substr(start));
    return lines;
}

TEST(Report, ResetTapsPrintExactLines) {
    const double unit_weights[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    report_fixture s = fixture_with(unit_weights);
    const std::string expected = "feedback:1000 " + repeat("0 ", 15) + "\r\n" +
                                 " masking:" + repeat("0 ", 16) + "\r\n" +
                                 "   noise:" + repeat("0 ", 16) + "\r\n" +
                                 "   start:" + repeat("42 ", 22) + "\r\n" +
                                 "     end:" + repeat("10 ", 22) + "\r\n";
    EXPECT_EQ(report_of(s), expected);
}

TEST(Report, NumbersTruncateTowardZeroWithDefinedValuesOutOfRange) {
    const double weights[16] = {1.0, 0.005, 150.0, 0.0, -1.0, 1e-300, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    report_fixture s = fixture_with(weights);
    s.r.taps[1] = -0.4567;
    s.r.taps[2] = 0.0009;
    s.r.taps[3] = 2.5e6;   // 2.5e9 does not fit an int
    s.r.taps[4] = -2.5e6;
    s.r.taps[5] = std::numeric_limits<double>::quiet_NaN();
    s.r.taps[6] = 2.147483647e6;  // exactly INT_MAX
    s.r.taps[7] = -2.1474836485e6;  // INT_MIN - 0.5, truncates to INT_MIN
    const std::vector<std::string> lines = lines_of(report_of(s));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "feedback:1000 -456 0 2147483647 -2147483648 0 2147483647 -2147483648 " +
                            repeat("0 ", 8));
    // Weight 0: -20*log10(0) is +inf; a negative weight has no logarithm (NaN).
    EXPECT_EQ(lines[1], " masking:0 46 -43 2147483647 0 6000 " + repeat("0 ", 10));
    EXPECT_EQ(lines[5], "");
}

TEST(Report, NoiseLineOfAllSixteenTapsWithIntMinForAZeroBin) {
    const double unit_weights[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    report_fixture s = fixture_with(unit_weights);
    s.r.taps[1] = -1.0;  // |H| = 2 sin(pi k/32): 0 at bin 0
    const std::vector<std::string> lines = lines_of(report_of(s));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2], "   noise:-2147483648 -14 -8 -4 -2 0 0 2 3 3 4 4 5 5 5 5 ");
    EXPECT_EQ(lines[3], "   start:" + repeat("42 ", 22));

    // Taps past order enter the noise line too: |H| = |1 + 0.5 (-i)^k|.
    s.r.taps[1] = 0.0;
    s.r.taps[8] = 0.5;
    EXPECT_EQ(lines_of(report_of(s))[2], "   noise:" + repeat("3 0 -6 0 ", 4));
}

TEST(ReportInteger, TruncatesAndSaturates) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(report_integer(999.9), 999);
    EXPECT_EQ(report_integer(-3.7), -3);
    EXPECT_EQ(report_integer(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(report_integer(inf), INT_MAX);
    EXPECT_EQ(report_integer(-inf), INT_MIN);
    EXPECT_EQ(report_integer(2147483647.9), INT_MAX);
    EXPECT_EQ(report_integer(2147483648.0), INT_MAX);
    EXPECT_EQ(report_integer(-2147483648.9), INT_MIN);
    EXPECT_EQ(report_integer(-2147483649.0), INT_MIN);
}

TEST(Report, SearchThatAcceptsNothingPrintsItsTwoFinePasses) {
    search_fixture s;
    prepare_search_state(&s, flat_optimal_weights);
    block_report r;
    r.steps = search_block(best_kernels(), s.band_weight, &s.search).steps;
    std::memcpy(r.taps, s.search.taps, sizeof r.taps);
    std::memcpy(r.band_weight, s.band_weight, sizeof r.band_weight);
    const std::vector<std::string> lines = lines_of(text_of(r));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "feedback:1000 " + repeat("0 ", 15));
    EXPECT_EQ(lines[2], "   noise:" + repeat("0 ", 16));
    EXPECT_EQ(lines[3], "   start:14 11 " + repeat("42 ", 20));
    EXPECT_EQ(lines[4], "     end:14 11 " + repeat("10 ", 20));
}

// The pipeline hands out the report of block numbers 0..3 of every 8192, with
// the block's taps and weights, and nothing else.
TEST(Report, IsDueForBlockNumbersZeroToThreeOfEvery8192) {
    static converter_state s;
    start_conversion(&s, best_kernels(), 44100.0);
    const double silence[block_len] = {};
    start_blocks(&s, silence);
    for (std::uint32_t number : {0u, 1u, 2u, 3u, 4u, 5u, 100u, 8191u, 8192u, 8195u, 8196u, 4294967295u}) {
        block_report r;
        const bool due = search_taps(&s, number, &r);
        EXPECT_EQ(due, (number % 8192) < 4) << number;
        if (due) {
            EXPECT_EQ(std::memcmp(r.taps, s.search.taps, sizeof r.taps), 0);
            EXPECT_EQ(std::memcmp(r.band_weight, s.analysis.band_weight, sizeof r.band_weight), 0);
        }
    }
}

}  // namespace
