// Coefficient search: its stopping rules and step records, strict acceptance,
// the hand-over between the phases, and what it may write.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "internal/kernel_table.h"
#include "model/model.h"
#include "search_fixtures.h"
#include "shaping/shaping.h"

namespace {

using namespace pcmtaper;

// The program's search of the fixture's taps.
search_result search(search_fixture* s) { return search_block(best_kernels(), s->band_weight, &s->search); }

fine_step_record fresh_steps() {
    fine_step_record steps;
    reset_steps(&steps);
    return steps;
}

TEST(Search, WhenEveryTrialIsWorseCoarseRunsFivePassesAndFineTwo) {
    double taps[max_taps] = {1.0};
    const search_phase_outcome coarse =
        run_search_phase(flat_optimal_weights, filter_order, taps, coarse_search_phase, nullptr);
    EXPECT_EQ(coarse.passes, 5);  // exponents 4, 3, 2, 1, 0
    EXPECT_EQ(coarse.accepted_steps, 0);

    const double flat[max_taps] = {1.0};
    fine_step_record steps = fresh_steps();
    const search_phase_outcome fine =
        run_search_phase(flat_optimal_weights, filter_order, taps, fine_search_phase, &steps);
    EXPECT_EQ(fine.passes, 2);  // exponents 4 and 1
    EXPECT_EQ(fine.accepted_steps, 0);
    EXPECT_EQ(std::memcmp(taps, flat, sizeof taps), 0);

    search_fixture s;
    prepare_search_state(&s, flat_optimal_weights);
    const search_result result = search(&s);
    EXPECT_EQ(std::memcmp(s.search.taps, flat, sizeof flat), 0);
    EXPECT_EQ(result.cost, noise_cost(s.band_weight, flat, filter_order));
    EXPECT_EQ(result.steps.lowest[0], 4);
    EXPECT_EQ(result.steps.highest[0], 4);
    EXPECT_EQ(result.steps.lowest[1], 1);
    EXPECT_EQ(result.steps.highest[1], 1);
    for (int p = 2; p < fine_pass_max; ++p) {
        EXPECT_EQ(result.steps.lowest[p], 32) << p;
        EXPECT_EQ(result.steps.highest[p], 0) << p;
    }
}

// With tap 0 at zero the cost is the same for a tap and its negative, bit for
// bit. A fine first trial from 0.004 lands exactly on -0.004: equal cost,
// which must end the pass at exponent 4 rather than go on to 5.
TEST(Search, TrialOfEqualCostIsNotAccepted) {
    const double weights[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    const int order = 2;
    double taps[max_taps] = {0.0, 0.004};

    // The premise, checked: the first trial is the mirror image of the start.
    double probed[max_taps] = {0.0, 0.004 + fine_search_phase.probe};
    const double base = noise_cost(weights, taps, order);
    const double gradient = noise_cost(weights, probed, order) - base;
    const double factor = 16 * fine_search_phase.step_unit / std::sqrt(gradient * gradient);
    double first_trial[max_taps] = {0.0, taps[1] - gradient * factor};
    ASSERT_EQ(first_trial[1], -0.004);
    ASSERT_EQ(noise_cost(weights, first_trial, order), base);

    fine_step_record steps = fresh_steps();
    run_search_phase(weights, order, taps, fine_search_phase, &steps);
    EXPECT_EQ(steps.lowest[0], 4);
    EXPECT_EQ(steps.highest[0], 4);
    EXPECT_EQ(steps.lowest[1], 1);  // the next pass starts at 4 - 3
    EXPECT_LT(std::fabs(taps[1]), 0.004);
}

// With tap 0 at zero the cost rises with |tap 1| alone, so the line search
// goes on exactly while it moves tap 1 toward 0 without passing it by more.
double lone_tap_phase(double start, const search_phase& phase, fine_step_record* steps,
                      search_phase_outcome* outcome) {
    const double weights[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    double taps[max_taps] = {0.0, start};
    if (steps != nullptr) reset_steps(steps);
    *outcome = run_search_phase(weights, 2, taps, phase, steps);
    return taps[1];
}

TEST(Search, LineSearchAcceptedAtEveryExponentStopsAtTheBound) {
    // Coarse: trials 0.16 .. 5.12 (exponents 4..9) are all accepted, s ends
    // at 10, and each of the five later passes starts at 9 with one step.
    search_phase_outcome coarse;
    const double coarse_end = lone_tap_phase(100.0, coarse_search_phase, nullptr, &coarse);
    EXPECT_EQ(coarse.passes, 6);
    EXPECT_EQ(coarse.accepted_steps, 6 + 5);
    EXPECT_NEAR(coarse_end, 100.0 - 0.01 * (1024 - 16) - 5 * 5.12, 1e-9);

    // Fine: exponents 4..14 all accepted; 15 is never tried nor recorded.
    // Every later pass runs 12..14, and the tap is far enough from 0 for all
    // 22 passes to run.
    fine_step_record steps;
    search_phase_outcome fine;
    lone_tap_phase(1000.0, fine_search_phase, &steps, &fine);
    const std::int32_t* lo = steps.lowest;
    const std::int32_t* hi = steps.highest;
    EXPECT_EQ(fine.passes, 22);
    EXPECT_EQ(lo[0], 4);
    EXPECT_EQ(hi[0], 14);
    for (int p = 1; p < fine_pass_max; ++p) {
        EXPECT_EQ(lo[p], 12) << p;  // 15 - 3
        EXPECT_EQ(hi[p], 14) << p;
    }
}

TEST(Search, FineExponentDroppingBelowZeroRestartsAtZero) {
    // From 0.0015: pass 0 rejects 0.008; pass 1 accepts 0.001 and rejects
    // 0.002, ending at exponent 2; 2 - 3 is raised to 0 for pass 2.
    fine_step_record steps;
    search_phase_outcome fine;
    lone_tap_phase(0.0015, fine_search_phase, &steps, &fine);
    const std::int32_t* lo = steps.lowest;
    const std::int32_t* hi = steps.highest;
    EXPECT_EQ(lo[0], 4);
    EXPECT_EQ(hi[0], 4);
    EXPECT_EQ(lo[1], 1);
    EXPECT_EQ(hi[1], 2);
    EXPECT_EQ(lo[2], 0);
    EXPECT_EQ(fine.passes, 3);
}

// With zero weights every cost is 0: the gradient is zero, no trial is made
// in any pass, and the state's taps cost exactly as much as the coarse result.
TEST(Search, ZeroGradientMakesNoTrialAndEqualCostKeepsTheStateTaps) {
    const double zero_weights[16] = {};
    search_fixture s;
    prepare_search_state(&s, zero_weights);
    const double kept[max_taps] = {1.0, 0.3, -0.2, 0.1, 0.05, -0.4, 0.25, -0.125};
    std::memcpy(s.search.taps, kept, sizeof kept);
    const search_result result = search(&s);
    EXPECT_EQ(result.cost, 0.0);
    EXPECT_EQ(std::memcmp(s.search.taps, kept, sizeof kept), 0);
    for (int p = 0; p < fine_pass_max; ++p) {
        EXPECT_EQ(result.steps.lowest[p], 32) << p;
        EXPECT_EQ(result.steps.highest[p], 0) << p;
    }

    double taps[max_taps] = {1.0};
    const search_phase_outcome coarse =
        run_search_phase(zero_weights, filter_order, taps, coarse_search_phase, nullptr);
    EXPECT_EQ(coarse.passes, 5);
    EXPECT_EQ(coarse.accepted_steps, 0);
}

// Band weights of a real block: a tone over a quiet background.
void analysed_tone_state(search_fixture* s, double frequency_ratio) {
    static rate_tables rates;
    static analysis_state analysis;
    fill_rate_tables(&rates, 44100.0);
    reset_analysis(&analysis);
    for (int i = 0; i < history_len; ++i) analysis.history[i] = 0.2 * std::sin(frequency_ratio * i);
    analyse_block_reference(rates, &analysis);
    prepare_search_state(s, analysis.band_weight);
}

TEST(Search, HandOverTakesTheCoarseResultOnlyWhenItIsStrictlyBetter) {
    search_fixture from_flat, from_bad, from_good;
    analysed_tone_state(&from_flat, 0.05);
    analysed_tone_state(&from_bad, 0.05);
    for (int i = 1; i < filter_order; ++i) from_bad.search.taps[i] = 0.9;
    search(&from_flat);
    search(&from_bad);
    // Both start the fine search from the same coarse taps.
    EXPECT_EQ(std::memcmp(from_flat.search.taps, from_bad.search.taps, sizeof from_flat.search.taps), 0);

    // Taps better than the coarse result stay: search again until the fine
    // search accepts nothing from the state's taps, which then must survive
    // a further call unchanged, although the coarse result differs from them.
    analysed_tone_state(&from_good, 0.05);
    search_fixture previous;
    bool settled = false;
    for (int call = 0; call < 200 && !settled; ++call) {
        previous = from_good;
        search(&from_good);
        settled = std::memcmp(previous.search.taps, from_good.search.taps, sizeof previous.search.taps) == 0;
    }
    ASSERT_TRUE(settled);
    double coarse_taps[max_taps] = {1.0};
    const double coarse_cost =
        run_search_phase(from_good.band_weight, filter_order, coarse_taps, coarse_search_phase, nullptr).cost;
    ASSERT_LT(noise_cost(from_good.band_weight, from_good.search.taps, filter_order), coarse_cost);
    EXPECT_NE(std::memcmp(from_flat.search.taps, from_good.search.taps, sizeof from_good.search.taps), 0)
        << "the state's better taps were replaced by the coarse result";
}

TEST(Search, WritesOnlyTapsOneToOrderMinusOneAndReturnsTheirCost) {
    static rate_tables rates;
    static analysis_state analysis;
    fill_rate_tables(&rates, 44100.0);
    reset_analysis(&analysis);
    search_state search;
    reset_search(&search);
    for (int block = 0; block < 12; ++block) {
        for (int i = 0; i < block_len; ++i) {
            const int n = block * block_len + i;
            analysis.history[new_samples_at + i] = 0.3 * std::sin(0.07 * n) + 0.05 * std::sin(2.9 * n);
        }
        analyse_block_reference(rates, &analysis);
        for (int i = filter_order; i < max_taps; ++i) search.taps[i] = 1000.0 + i;  // must survive
        const double cost = search_block(best_kernels(), analysis.band_weight, &search).cost;
        EXPECT_EQ(cost, noise_cost(analysis.band_weight, search.taps, search.order)) << block;
        EXPECT_EQ(search.taps[0], 1.0) << block;
        for (int i = filter_order; i < max_taps; ++i) EXPECT_EQ(search.taps[i], 1000.0 + i) << block;
        for (int i = filter_order; i < max_taps; ++i) search.taps[i] = 0.0;
        slide_history(&analysis);
        EXPECT_NE(search.taps[1], 0.0) << "the search moved no tap in block " << block;
    }
}

}  // namespace
