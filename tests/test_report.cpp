// Diagnostic report: the numbers a converter hands to its report callback,
// the levels they are computed from, their exact lines, and the blocks that
// have one.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "internal/kernel_table.h"
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

std::string text_of(const pcmtaper_block_report& r) {
    char text[PCMTAPER_REPORT_TEXT_MAX];
    const std::size_t length = pcmtaper_format_report(&r, text, sizeof text);
    EXPECT_EQ(length, std::strlen(text));
    return text;
}

// The reports a converter hands over for `samples` at 8000 Hz.
std::vector<pcmtaper_block_report> reports_for(const std::vector<std::int16_t>& samples) {
    std::vector<pcmtaper_block_report> reports;
    pcmtaper_config config;
    pcmtaper_config_init(&config);
    config.sample_rate_hz = 8000;
    config.report_user = &reports;
    config.report = [](void* user, const pcmtaper_block_report* r) {
        static_cast<std::vector<pcmtaper_block_report>*>(user)->push_back(*r);
    };
    pcmtaper_converter* c = nullptr;
    EXPECT_EQ(pcmtaper_create(&config, &c), PCMTAPER_OK);
    std::vector<std::uint8_t> out(pcmtaper_output_bound(c, samples.size()));
    std::size_t used = 0, written = 0;
    EXPECT_EQ(pcmtaper_process(c, samples.data(), samples.size(), &used, out.data(), out.size(), &written),
              PCMTAPER_OK);
    do EXPECT_EQ(pcmtaper_finish(c, out.data(), out.size(), &written), PCMTAPER_OK);
    while (written > 0);
    pcmtaper_destroy(c);
    return reports;
}

// Through the callback: the blocks that have a report, each with its numbers
// (the levels as the shaping computes them from its taps and weights, the
// steps of the passes run and none after), and the program's lines of them.
TEST(Report, TheCallbackHandsOverTheNumbersOfBlocksZeroToThree) {
    std::vector<std::int16_t> silence(32 * 8, 0);
    const std::vector<pcmtaper_block_report> reports = reports_for(silence);
    ASSERT_EQ(reports.size(), 4u);
    for (std::size_t n = 0; n < reports.size(); ++n) {
        const pcmtaper_block_report& r = reports[n];
        EXPECT_EQ(r.struct_size, sizeof r);
        EXPECT_EQ(r.block_number, n);
        block_report inner;
        std::memcpy(inner.taps, r.taps, sizeof inner.taps);
        std::memcpy(inner.band_weight, r.band_weight, sizeof inner.band_weight);
        double masking[band_count], noise[band_count];
        report_levels(inner, masking, noise);
        EXPECT_EQ(std::memcmp(masking, r.masking_level_db, sizeof masking), 0);
        EXPECT_EQ(std::memcmp(noise, r.noise_gain_db, sizeof noise), 0);
        ASSERT_GE(r.fine_passes, 1);
        ASSERT_LE(r.fine_passes, PCMTAPER_REPORT_PASSES);
        for (int p = r.fine_passes; p < PCMTAPER_REPORT_PASSES; ++p)
            EXPECT_TRUE(r.step_lowest[p] == PCMTAPER_REPORT_NO_STEP && r.step_highest[p] == PCMTAPER_REPORT_NO_STEP);
    }
    // The program's first report of digital silence at 8000 Hz.
    EXPECT_EQ(text_of(reports[0]),
              "feedback:1000 -63 52 -74 50 -70 47 -71 " + repeat("0 ", 8) + "\r\n" +
                  " masking:23 20 " + repeat("19 ", 14) + "\r\n" +
                  "   noise:-1 " + repeat("0 ", 12) + "-1 0 2 \r\n" +
                  "   start:14 12 11 10 " + repeat("42 ", 18) + "\r\n" +
                  "     end:15 14 12 10 " + repeat("10 ", 18) + "\r\n");
}

// The lines of any numbers: taps in thousandths, levels in dB, each through
// report_integer; step exponents plus 10, a pass without steps as 42 and 10.
TEST(Report, LinesShowTheNumbersAsTheProgramPrintsThem) {
    pcmtaper_block_report r{};
    r.struct_size = sizeof r;
    r.taps[0] = 1.0;
    r.taps[1] = -0.4567;
    r.masking_level_db[0] = std::numeric_limits<double>::infinity();
    r.masking_level_db[1] = 46.02;
    r.noise_gain_db[0] = -14.9;
    r.fine_passes = 2;
    for (int p = 0; p < PCMTAPER_REPORT_PASSES; ++p) r.step_lowest[p] = r.step_highest[p] = PCMTAPER_REPORT_NO_STEP;
    r.step_lowest[0] = 0;
    r.step_highest[0] = 14;
    const std::string text = text_of(r);
    EXPECT_EQ(text, "feedback:1000 -456 " + repeat("0 ", 14) + "\r\n masking:2147483647 46 " + repeat("0 ", 14) +
                        "\r\n   noise:-14 " + repeat("0 ", 15) + "\r\n   start:10 " + repeat("42 ", 21) +
                        "\r\n     end:24 " + repeat("10 ", 21) + "\r\n");
    // As snprintf: the length of the whole text, as much as fits written.
    char small[10];
    EXPECT_EQ(pcmtaper_format_report(&r, small, sizeof small), text.size());
    EXPECT_STREQ(small, "feedback:");
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

// The levels: -20 log10 of each weight (a weight of 0 is +inf, a negative
// one NaN), and the gain of all sixteen taps at bin i.
TEST(Report, LevelsOfTheWeightsAndOfAllSixteenTaps) {
    block_report r{};
    const double weights[16] = {1.0, 0.005, 150.0, 0.0, -1.0, 1e-300, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    std::memcpy(r.band_weight, weights, sizeof weights);
    r.taps[0] = 1.0;
    r.taps[1] = -1.0;  // |H| = 2 sin(pi k/32): 0 at bin 0
    double masking[band_count], noise[band_count];
    report_levels(r, masking, noise);
    const int printed_masking[6] = {0, 46, -43, INT_MAX, 0, 6000};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(report_integer(masking[i]), printed_masking[i]) << i;
    EXPECT_TRUE(std::isnan(masking[4]));
    const int printed_noise[16] = {INT_MIN, -14, -8, -4, -2, 0, 0, 2, 3, 3, 4, 4, 5, 5, 5, 5};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(report_integer(noise[i]), printed_noise[i]) << i;
    EXPECT_EQ(noise[0], -std::numeric_limits<double>::infinity());

    // Taps past the order count too: |H| = |1 + 0.5 (-i)^k|.
    r.taps[1] = 0.0;
    r.taps[8] = 0.5;
    report_levels(r, masking, noise);
    const int quarter[4] = {3, 0, -6, 0};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(report_integer(noise[i]), quarter[i % 4]) << i;
}

TEST(Report, SearchThatAcceptsNothingRecordsItsTwoFinePasses) {
    search_fixture s;
    prepare_search_state(&s, flat_optimal_weights);
    const fine_step_record steps = search_block(best_kernels(), s.band_weight, &s.search).steps;
    EXPECT_EQ(steps.passes, 2);
    EXPECT_EQ(steps.lowest[0], 4);
    EXPECT_EQ(steps.highest[0], 4);
    EXPECT_EQ(steps.lowest[1], 1);
    EXPECT_EQ(steps.highest[1], 1);
    for (int p = 2; p < fine_pass_max; ++p) EXPECT_GT(steps.lowest[p], steps.highest[p]) << "no step in pass " << p;
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
