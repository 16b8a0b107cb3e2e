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

#include "model/model.h"
#include "search_fixtures.h"
#include "shaping/shaping.h"

namespace {

std::string repeat(const std::string& item, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += item;
    return out;
}

std::string report_of(const shaper_state& s) {
    testing::internal::CaptureStdout();
    print_diagnostic_report(&s);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

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
    static shaper_state s;
    const double unit_weights[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    prepare_search_state(&s, unit_weights, 0);
    const std::string expected = "feedback:1000 " + repeat("0 ", 15) + "\r\n" +
                                 " masking:" + repeat("0 ", 16) + "\r\n" +
                                 "   noise:" + repeat("0 ", 16) + "\r\n" +
                                 "   start:" + repeat("42 ", 22) + "\r\n" +
                                 "     end:" + repeat("10 ", 22) + "\r\n";
    EXPECT_EQ(report_of(s), expected);
}

TEST(Report, NumbersTruncateTowardZeroWithDefinedValuesOutOfRange) {
    static shaper_state s;
    const double weights[16] = {1.0, 0.005, 150.0, 0.0, -1.0, 1e-300, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    prepare_search_state(&s, weights, 0);
    s.coef[1] = -0.4567;
    s.coef[2] = 0.0009;
    s.coef[3] = 2.5e6;   // 2.5e9 does not fit an int
    s.coef[4] = -2.5e6;
    s.coef[5] = std::numeric_limits<double>::quiet_NaN();
    s.coef[6] = 2.147483647e6;  // exactly INT_MAX
    s.coef[7] = -2.1474836485e6;  // INT_MIN - 0.5, truncates to INT_MIN
    const std::vector<std::string> lines = lines_of(report_of(s));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "feedback:1000 -456 0 2147483647 -2147483648 0 2147483647 -2147483648 " +
                            repeat("0 ", 8));
    // Weight 0: -20*log10(0) is +inf; a negative weight has no logarithm (NaN).
    EXPECT_EQ(lines[1], " masking:0 46 -43 2147483647 0 6000 " + repeat("0 ", 10));
    EXPECT_EQ(lines[5], "");
}

TEST(Report, NoiseLineOfAllSixteenTapsWithIntMinForAZeroBin) {
    static shaper_state s;
    const double unit_weights[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    prepare_search_state(&s, unit_weights, 0);
    s.coef[1] = -1.0;  // |H| = 2 sin(pi k/32): 0 at bin 0
    const std::vector<std::string> lines = lines_of(report_of(s));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2], "   noise:-2147483648 -14 -8 -4 -2 0 0 2 3 3 4 4 5 5 5 5 ");
    EXPECT_EQ(lines[3], "   start:" + repeat("42 ", 22));

    // Taps past order enter the noise line too: |H| = |1 + 0.5 (-i)^k|.
    s.coef[1] = 0.0;
    s.coef[8] = 0.5;
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
    static shaper_state s;
    prepare_search_state(&s, flat_optimal_weights, 0);
    testing::internal::CaptureStdout();
    optimize_filter(&s);
    std::fflush(stdout);
    const std::vector<std::string> lines = lines_of(testing::internal::GetCapturedStdout());
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "feedback:1000 " + repeat("0 ", 15));
    EXPECT_EQ(lines[2], "   noise:" + repeat("0 ", 16));
    EXPECT_EQ(lines[3], "   start:14 11 " + repeat("42 ", 20));
    EXPECT_EQ(lines[4], "     end:14 11 " + repeat("10 ", 20));
}

TEST(Report, PrintsForBlockIndexZeroToThreeOnly) {
    const double zero_weights[16] = {};
    static shaper_state s;
    for (int index : {0, 1, 2, 3, 4, 5, 100, 8191}) {
        prepare_search_state(&s, zero_weights, index);
        testing::internal::CaptureStdout();
        optimize_filter(&s);
        std::fflush(stdout);
        const std::string out = testing::internal::GetCapturedStdout();
        if (index < 4) {
            EXPECT_EQ(out.rfind("feedback:", 0), 0u) << index;
            EXPECT_EQ(lines_of(out).size(), 6u) << index;
        } else {
            EXPECT_EQ(out, "") << index;
        }
    }
}

}  // namespace
