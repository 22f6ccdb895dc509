// Choosing a kernel by measurement, and proving each evaluation method term
// by term: a correct total can hide terms one unit in the last place off.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "core/corvane.hpp"
#include "core/kernels.hpp"
#include "tests/bits.hpp"
#include "tools/kernels/term_check.hpp"

using namespace corvane;
using namespace corvane::testing;

TEST(ChooseKernel, PicksTheFastestWhenItWinsByMoreThanTheMargin) {
    EXPECT_EQ(choose_kernel({1.00, 0.80, 0.50, 0.90}), 2u);
    EXPECT_EQ(choose_kernel({1.00, 1.00, 0.94}), 2u);
}

TEST(ChooseKernel, AMoreElaborateKernelWithinTheMarginLosesToASimplerOne) {
    // 0.97 is within 5% of 0.93: the simpler kernel stays.
    EXPECT_EQ(choose_kernel({1.00, 0.97, 0.93}), 1u);
    EXPECT_EQ(choose_kernel({0.50, 0.49, 0.48}), 0u);
}

TEST(ChooseKernel, TiesGoToTheSimplestEveryTime) {
    for (int repeat = 0; repeat < 3; ++repeat) EXPECT_EQ(choose_kernel({0.7, 0.7, 0.7, 0.7, 0.7}), 0u);
    EXPECT_EQ(choose_kernel({2.0}), 0u);
}

namespace {

// A processor whose time passes only while modelled kernels run: a divider
// at a constant speed, and a wide kernel that runs slowly until it has
// worked wakes_after seconds without interruption and falls asleep again
// after sleeps_after seconds of other work (as a 512-bit unit on Intel,
// where one divide call between two wide ones keeps it asleep).
struct modelled_processor {
    double divide_s;        // one divide call
    double wide_slow_s;     // one wide call while the unit wakes
    double wide_settled_s;  // one wide call once awake
    double wakes_after;
    double sleeps_after;

    double now = 0.0;
    double wide_work = 0.0;   // since the wide unit last woke
    double other_work = 0.0;  // since the wide kernel last ran

    void run_divide() {
        now += divide_s;
        other_work += divide_s;
        if (other_work >= sleeps_after) wide_work = 0.0;
    }
    void run_wide() {
        const double took = wide_work >= wakes_after ? wide_settled_s : wide_slow_s;
        now += took;
        wide_work += took;
        other_work = 0.0;
    }
};

// The planner on the modelled processor: the divider first (the simpler),
// the wide kernel second. Returns the index chosen.
std::size_t plan_on(modelled_processor& cpu) {
    const std::vector<plan_call> calls = {[&cpu] { cpu.run_divide(); }, [&cpu] { cpu.run_wide(); }};
    return choose_kernel(settled_seconds(calls, [&cpu] { return cpu.now; }));
}

constexpr double us = 1e-6;

}  // namespace

TEST(SteadyStatePlan, PicksAWideKernelThatWinsOnceAwake) {
    modelled_processor intel{5 * us, 6 * us, 3 * us, 30 * us, 4 * us};
    EXPECT_EQ(plan_on(intel), 1u);
}

TEST(SteadyStatePlan, KeepsTheDividerWhenTheAwakeWideKernelIsWithinTheMargin) {
    modelled_processor intel{5 * us, 9 * us, 4.9 * us, 30 * us, 4 * us};
    EXPECT_EQ(plan_on(intel), 0u);
}

TEST(SteadyStatePlan, KeepsTheDividerWhereItIsFasterAndNothingWakes) {
    // AMD Zen 4/5: no wake-up, and division beats the division-free method.
    modelled_processor zen{5 * us, 5.5 * us, 5.5 * us, 0.0, 1.0};
    EXPECT_EQ(plan_on(zen), 0u);
    modelled_processor faster_wide{5 * us, 4 * us, 4 * us, 0.0, 1.0};
    EXPECT_EQ(plan_on(faster_wide), 1u);
}

TEST(SteadyStatePlan, ASlowStartThatAgreesWithItselfIsNotTakenForTheSteadyState) {
    // Twelve equal slow readings before the unit wakes: more than enough to
    // look settled, shorter than the least a block runs.
    modelled_processor intel{5 * us, 6 * us, 3 * us, 72 * us, 4 * us};
    EXPECT_EQ(plan_on(intel), 1u);
}

TEST(SteadyStatePlan, ReadingsThatNeverSettleStayWithinTheBudget) {
    double now = 0.0;
    int calls_made = 0;
    const plan_call jittery = [&] { now += ++calls_made % 2 ? 3 * us : 6 * us; };
    const std::vector<double> least =
        settled_seconds({jittery, jittery, jittery, jittery, jittery}, [&] { return now; });
    EXPECT_LE(now, 0.005);
    EXPECT_GT(calls_made, 5 * 3);  // blocks, not single calls
    for (double seconds : least) EXPECT_NEAR(seconds, 3 * us, 1e-12);
}

namespace {

// Candidates of fixed speed on a modelled clock, each call recorded, so that
// a test sees which blocks a plan timed and in what order.
struct recorded_plan {
    double now = 0.0;
    std::vector<std::size_t> blocks;  // the candidate of each block, in order

    std::vector<plan_call> calls(const std::vector<double>& seconds_per_call) {
        std::vector<plan_call> made;
        for (std::size_t i = 0; i < seconds_per_call.size(); ++i)
            made.push_back([this, i, s = seconds_per_call[i]] {
                now += s;
                if (blocks.empty() || blocks.back() != i) blocks.push_back(i);
            });
        return made;
    }
    plan_clock clock() {
        return [this] { return now; };
    }
};

}  // namespace

TEST(PlanRounds, TheBaselineAtTheFloorEndsThePlanAfterOneRound) {
    recorded_plan at_floor, no_floor;
    const std::vector<double> strict = {5 * us, 5 * us, 5.2 * us};
    EXPECT_EQ(choose_kernel(settled_seconds(at_floor.calls(strict), at_floor.clock(), 5 * us)), 0u);
    EXPECT_EQ(at_floor.blocks, (std::vector<std::size_t>{0, 1, 2}));
    // Without a floor a second round confirms the choice.
    EXPECT_EQ(choose_kernel(settled_seconds(no_floor.calls(strict), no_floor.clock(), 0.0)), 0u);
    EXPECT_EQ(no_floor.blocks, (std::vector<std::size_t>{0, 1, 2, 1, 2, 0}));
    // A baseline 10% above the floor may yet be beaten: the plan goes on.
    recorded_plan above;
    settled_seconds(above.calls({5.5 * us, 5 * us}), above.clock(), 5 * us);
    EXPECT_GT(above.blocks.size(), 2u);
}

TEST(PlanRounds, ACandidateFarBehindIsTimedInTheFirstRoundOnly) {
    // 12 us is more than the margin and the contention band behind 5 us.
    recorded_plan plan;
    const std::vector<double> least =
        settled_seconds(plan.calls({5 * us, 12 * us, 5.1 * us}), plan.clock(), 0.0);
    EXPECT_EQ(std::count(plan.blocks.begin(), plan.blocks.end(), 1u), 1) << "timed again";
    EXPECT_NEAR(least[1], 12 * us, 1e-12);  // its figure is kept
    EXPECT_EQ(choose_kernel(least), 0u);
    EXPECT_EQ(plan.blocks, (std::vector<std::size_t>{0, 1, 2, 0}));  // two rounds: 0 1 2, then 2 0
}

TEST(PlanRounds, OneDisturbedBlockDoesNotDecide) {
    // The simpler wide kernel's first block runs 25% slow throughout (a
    // neighbour on the core), so the first round points at the wider one;
    // the next rounds time it undisturbed and it wins the tie.
    double now = 0.0;
    const std::vector<plan_call> calls = {
        [&] { now += 10 * us; },
        [&] { now += now < 140 * us ? 6.25 * us : 5 * us; },  // the first block: 40 to 140 us
        [&] { now += 5 * us; },
    };
    EXPECT_EQ(choose_kernel(settled_seconds(
                  calls, [&] { return now; }, 0.0)),
              1u);
}

TEST(PlanRounds, AUnitWokenByOneCandidateServesTheNextOfTheSamePath) {
    // Two kernels of one slow-waking path (6 us a call until it has worked
    // 30 us, then 3 and 3.2 us) after the divider: the second needs no wake-up
    // time of its own, yet both are timed awake.
    const auto plan_with = [](const std::vector<int>& units, double& took) {
        double now = 0.0, wide_work = 0.0;
        const auto wide = [&](double settled) {
            return [&, settled] {
                const double t = wide_work >= 30 * us ? settled : 6 * us;
                now += t;
                wide_work += t;
            };
        };
        const std::vector<plan_call> calls = {[&] {
                                                  now += 5 * us;
                                                  wide_work = 0.0;
                                              },
                                              wide(3 * us), wide(3.2 * us)};
        const std::vector<double> least = settled_seconds(
            calls, [&] { return now; }, 0.0, units);
        took = now;
        return least;
    };
    double shared = 0.0, separate = 0.0;
    const std::vector<double> least = plan_with({0, 1, 1}, shared);
    EXPECT_NEAR(least[1], 3 * us, 1e-12);
    EXPECT_NEAR(least[2], 3.2 * us, 1e-12);
    const std::vector<double> apart = plan_with({0, 1, 2}, separate);
    for (std::size_t i = 0; i < least.size(); ++i) EXPECT_NEAR(apart[i], least[i], 1e-12);
    EXPECT_LT(shared, separate - 100 * us) << "the second kernel of the path waited to wake it again";
}

TEST(PlanRounds, FivePathsOfAModernProcessorPlanInUnderAMillisecond) {
    // The four-lane order as a Zen 5 times it (ns per term, from
    // corvane-kernels --plan): sse2/divide 0.61, avx2/divide 0.308,
    // avx512/divide 0.312, avx2/newton 0.75, avx512/newton 0.36, over the
    // plan's calls of 8192 terms, plus the clock's own 40 ns a reading.
    recorded_plan plan;
    std::vector<double> per_call;
    for (double ns : {0.61, 0.308, 0.312, 0.75, 0.36}) per_call.push_back(ns * 8192 * 1e-9 + 40e-9);
    const std::vector<double> least =
        settled_seconds(plan.calls(per_call), plan.clock(), 0.0, {0, 1, 2, 1, 2});
    EXPECT_EQ(choose_kernel(least), 1u);
    EXPECT_LT(plan.now, 1e-3);
}

// Runs every candidate this processor is offered: under an emulated older
// processor (CTest runs this under qemu) a kernel it lacks would stop the
// run with an illegal instruction, and the printed list shows what is offered.
TEST(MeasurePlan, TimesEverySupportedKernelAndUsesTheChoice) {
    for (summation_order order : {summation_order::strict, summation_order::four_lane}) {
        const kernel_plan plan = measure_plan(order);
        ASSERT_GE(plan.candidates.size(), 1u);
        EXPECT_STREQ(plan.candidates[0].k->method, "divide");  // the baseline is always there
        ASSERT_LT(plan.chosen, plan.candidates.size());
        for (const candidate& c : plan.candidates) {
            EXPECT_GT(c.ns_per_term, 0.0);
            std::printf("candidate %s %s\n", order_name(order), kernel_name(*c.k).c_str());
        }
        const kernel_plan used = plan_kernel(order);
        EXPECT_EQ(&planned_kernel(order), &used.chosen_kernel());
    }
}

TEST(MeasurePlan, PlannedKernelsKeepTheFullRangeBits) {
    set_step();
    plan_kernel(summation_order::strict);
    plan_kernel(summation_order::four_lane);
    EXPECT_EQ(pattern(strict_sum(0, num_steps, index_form::zero_based, 0.0)),
              pattern(strict_one_thread.total));
    EXPECT_EQ(pattern(four_lane_sum(1, num_steps, index_form::one_based, 0.0)),
              pattern(four_lane_one_thread.total));
}

// All 10^9 terms of every kernel against the plain IEEE quotient. Slow in
// unoptimised and sanitizer builds, which skip it.
TEST(EveryTerm, EachKernelEvaluatesAllTermsExactlyAsIeeeDivision) {
#ifndef CORVANE_EXHAUSTIVE
    GTEST_SKIP() << "the exhaustive term check runs in optimised builds only";
#else
    for (const kernel* k : supported_kernels())
        EXPECT_EQ(differing_terms(*k, 0, num_steps), 0) << kernel_name(*k);
#endif
}

// 64-bit Arm, modelled: its kernels' relative speeds cannot be measured on
// this machine, so the planner runs on made-up call times of two kinds of
// core, the candidates in the table's order.
namespace {

// Each candidate's call takes a constant time on a clock that moves only
// while a candidate runs. Returns the index chosen.
std::size_t plan_on_arm_core(const std::vector<double>& call_seconds) {
    double now = 0.0;
    std::vector<plan_call> calls;
    for (double seconds : call_seconds) calls.push_back([&now, seconds] { now += seconds; });
    return choose_kernel(settled_seconds(calls, [&now] { return now; }));
}

}  // namespace

TEST(ArmPlan, KeepsDivisionOnACoreWithAFastPipelinedDivider) {
    // A recent server core: division pipelined, SVE twice as wide as
    // Advanced SIMD. neon/divide, sve/divide, neon/newton.
    EXPECT_EQ(plan_on_arm_core({8 * us, 5 * us, 7 * us}), 1u);
    // The same core without SVE: two-wide division beats the nine
    // dependent operations of the estimate and its four steps.
    EXPECT_EQ(plan_on_arm_core({8 * us, 9 * us}), 0u);
}

TEST(ArmPlan, PicksTheEstimateAndNewtonKernelOnACoreWithASlowDivider) {
    // A small core whose divider takes one division at a time, while its
    // multiply-add units are pipelined. neon/divide, neon/newton.
    EXPECT_EQ(plan_on_arm_core({16 * us, 9 * us}), 1u);
    // With SVE whose division is a long sequence too.
    EXPECT_EQ(plan_on_arm_core({16 * us, 12 * us, 9 * us}), 2u);
}

TEST(ArmPlan, ANewtonKernelWithinTheMarginOfDivisionLosesToIt) {
    EXPECT_EQ(plan_on_arm_core({8 * us, 7.8 * us}), 0u);
    EXPECT_EQ(plan_on_arm_core({8 * us, 5 * us, 4.9 * us}), 1u);
}
