// Choosing a kernel by measurement, and proving each evaluation method term
// by term: a correct total can hide terms one unit in the last place off.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/corvane.hpp"
#include "core/kernels.hpp"
#include "tests/bits.hpp"

using namespace corvane;

TEST(ChooseKernel, PicksTheFastestWhenItWinsByMoreThanTheMargin) {
    const double ns[] = {1.00, 0.80, 0.50, 0.90};
    EXPECT_EQ(choose_kernel(ns, 4), 2);
    const double last[] = {1.00, 1.00, 0.94};
    EXPECT_EQ(choose_kernel(last, 3), 2);
}

TEST(ChooseKernel, AMoreElaborateKernelWithinTheMarginLosesToASimplerOne) {
    // 0.97 is within 5% of 0.93: the simpler kernel stays.
    const double ns[] = {1.00, 0.97, 0.93};
    EXPECT_EQ(choose_kernel(ns, 3), 1);
    const double close[] = {0.50, 0.49, 0.48};
    EXPECT_EQ(choose_kernel(close, 3), 0);
}

TEST(ChooseKernel, TiesGoToTheSimplestEveryTime) {
    const double ns[] = {0.7, 0.7, 0.7, 0.7, 0.7};
    for (int repeat = 0; repeat < 3; ++repeat) EXPECT_EQ(choose_kernel(ns, 5), 0);
    const double one[] = {2.0};
    EXPECT_EQ(choose_kernel(one, 1), 0);
}

// Runs every candidate this processor is offered: under an emulated older
// processor (CTest runs this under qemu) a kernel it lacks would stop the
// run with an illegal instruction, and the printed list shows what is offered.
TEST(MeasurePlan, TimesEverySupportedKernelAndUsesTheChoice) {
    for (summation_order order : {summation_order::strict, summation_order::four_lane}) {
        const kernel_plan plan = measure_plan(order);
        ASSERT_GE(plan.count, 1);
        EXPECT_STREQ(plan.candidates[0]->method, "divide");  // the baseline is always there
        ASSERT_GE(plan.chosen, 0);
        ASSERT_LT(plan.chosen, plan.count);
        for (int i = 0; i < plan.count; ++i) {
            EXPECT_GT(plan.ns_per_term[i], 0.0);
            std::printf("candidate %s %s\n", order_name(order), kernel_name(*plan.candidates[i]).c_str());
        }
        const kernel_plan used = plan_kernel(order);
        EXPECT_EQ(&planned_kernel(order), used.candidates[used.chosen]);
    }
}

TEST(MeasurePlan, PlannedKernelsKeepTheFullRangeBits) {
    set_step();
    plan_kernel(summation_order::strict);
    plan_kernel(summation_order::four_lane);
    EXPECT_EQ(corvane::testing::pattern(strict_sum(0, num_steps, index_form::zero_based, 0.0)),
              corvane::testing::pattern(0x1.7681cc9b2e10ap+31));
    EXPECT_EQ(corvane::testing::pattern(four_lane_sum(1, num_steps, index_form::one_based, 0.0)),
              corvane::testing::pattern(0x1.7681cc9b2df61p+31));
}

// All 10^9 terms of every kernel against the plain IEEE quotient. Slow in
// unoptimised and sanitizer builds, which skip it.
TEST(EveryTerm, EachKernelEvaluatesAllTermsExactlyAsIeeeDivision) {
#ifndef CORVANE_EXHAUSTIVE
    GTEST_SKIP() << "the exhaustive term check runs in optimised builds only";
#else
    const kernel* kernels[max_kernels];
    const int count = supported_kernels(kernels);
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(differing_terms(*kernels[i], 0, num_steps), 0) << kernel_name(*kernels[i]);
#endif
}
