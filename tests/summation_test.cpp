// The two summation orders, checked bit for bit against scalar references
// written straight from their definitions, on every kernel path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/corvane.hpp"
#include "core/kernels.hpp"
#include "tests/bits.hpp"
#include "tests/references.hpp"
#include "tools/kernels/scalar_loops.hpp"
#include "tools/kernels/term_check.hpp"

using namespace corvane;
using namespace corvane::testing;

namespace {

double t(std::int32_t k, index_form form = index_form::zero_based) { return reference_term(k, form); }

}  // namespace

TEST(Step, IsTheDoubleNearestOneBillionth) { EXPECT_EQ(pattern(step), "0x3E112E0BE826D695"); }

TEST(MidpointTerm, FirstIntervalRoundsToFourAndLastIsJustAboveTwo) {
    EXPECT_EQ(t(0), 4.0);
    EXPECT_GT(t(num_steps - 1), 2.0);
    EXPECT_LT(t(num_steps - 1), 2.0 + 1e-8);
}

TEST(MidpointTerm, IsNotContractedIntoAFusedMultiplyAdd) {
    // A fused x*x + 1.0 gives ...E20 and ...6B6 here.
    EXPECT_EQ(pattern(t(2941195)), "0x400FFFEDDBC49E1E");
    EXPECT_EQ(pattern(t(3739445)), "0x400FFFE2ACCBC6B8");
}

TEST(MidpointTerm, OneBasedIndexKPlusOneEqualsZeroBasedIndexK) {
    for (std::int32_t k : {0, 1, 7, 2941195, 3739445, 123456789, num_steps - 1})
        EXPECT_EQ(pattern(t(k + 1, index_form::one_based)), pattern(t(k))) << "k = " << k;
}

TEST(FourLaneSum, EmptyRangeGivesTheStartingValue) {
    EXPECT_EQ(four_lane_sum(17, 0, index_form::zero_based, 0.0), 0.0);
    EXPECT_EQ(four_lane_sum(17, 0, index_form::zero_based, 2.5), 2.5);
}

TEST(FourLaneSum, BelowEightTermsIsTheStrictOrder) {
    for (std::int32_t n = 1; n < 8; ++n)
        EXPECT_EQ(pattern(four_lane_sum(1000, n, index_form::zero_based, 0.75)),
                  pattern(reference_strict(1000, n, index_form::zero_based, 0.75)))
            << "n = " << n;
}

TEST(FourLaneSum, EightAndNineTermsFollowTheWrittenOutLanes) {
    // First indices that are not multiples of 8: lanes count from the range.
    for (std::int32_t a : {0, 5, 13, 999999990}) {
        const double s0 = 0.125;
        const double l0 = (s0 + t(a)) + t(a + 4), l1 = t(a + 1) + t(a + 5);
        const double l2 = t(a + 2) + t(a + 6), l3 = t(a + 3) + t(a + 7);
        const double eight = (l0 + l2) + (l1 + l3);
        if (a + 9 <= num_steps) {
            EXPECT_EQ(pattern(four_lane_sum(a, 9, index_form::zero_based, s0)), pattern(eight + t(a + 8)))
                << "a = " << a;
        }
        EXPECT_EQ(pattern(four_lane_sum(a, 8, index_form::zero_based, s0)), pattern(eight)) << "a = " << a;
    }
}

TEST(FourLaneSum, EveryKernelCombinesTheLanesAsL0PlusL2ThenL1PlusL3) {
    // Terms 36 .. 43, where combining (L0 + L1) + (L2 + L3) differs in the
    // last bit.
    const double l0 = t(36) + t(40), l1 = t(37) + t(41), l2 = t(38) + t(42), l3 = t(39) + t(43);
    const double right = (l0 + l2) + (l1 + l3);
    ASSERT_NE(pattern(right), pattern((l0 + l1) + (l2 + l3)));
    EXPECT_EQ(pattern(right), "0x403FFFFFFFFFFFF2");
    for (const kernel* k : supported_kernels())
        EXPECT_EQ(pattern(k->four_lane(36, 8, 0.0, step)), pattern(right)) << kernel_name(*k);
    EXPECT_EQ(pattern(four_lane_sum(36, 8, index_form::zero_based, 0.0)), pattern(right));
}

TEST(StaticBlock, SplitsLikeAnUnchunkedStaticSchedule) {
    const block expected[] = {{1, 3}, {4, 3}, {7, 2}, {9, 2}};
    for (int thread = 0; thread < 4; ++thread) {
        const block got = static_block(1, 10, 4, thread);
        EXPECT_EQ(got.first, expected[thread].first);
        EXPECT_EQ(got.count, expected[thread].count);
    }
    EXPECT_EQ(static_block(0, 3, 5, 4).count, 0);  // more threads than iterations
}

TEST(StaticBlock, BlocksTileTheRangeInThreadOrder) {
    for (std::int32_t count : {0, 1, 7, 64, 1001, num_steps}) {
        for (int threads = 1; threads <= 9; ++threads) {
            const std::vector<block> expected = blocks_by_rule(3, count, threads);
            for (int thread = 0; thread < threads; ++thread) {
                const block b = static_block(3, count, threads, thread);
                EXPECT_EQ(b.first, expected[static_cast<std::size_t>(thread)].first);
                EXPECT_EQ(b.count, expected[static_cast<std::size_t>(thread)].count)
                    << "thread " << thread << " of " << threads << ", " << count << " terms";
            }
        }
    }
}

TEST(Clock, CountsWallClockMillisecondsSinceTheProcessStarted) {
    const std::int64_t before = clock_ms();
    EXPECT_LT(before, 10 * 60 * 1000);  // not a count since boot
    // Sleeping uses no processor time, so a processor-time clock stands still.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::int64_t slept = clock_ms() - before;
    EXPECT_GE(slept, 200);
    EXPECT_LT(slept, 5000);
}

class EveryKernel : public ::testing::TestWithParam<const kernel*> {};

TEST_P(EveryKernel, MatchesTheReferenceOrdersOnRandomRanges) {
    const kernel& path = *GetParam();
    std::mt19937 random(20261208);
    std::uniform_int_distribution<std::int32_t> first_of(1, num_steps - 2000);
    std::uniform_int_distribution<std::int32_t> length_of(0, 1999);
    const double starts[] = {0.0, 1.0, 0.1, -3.5, 1e6};
    for (int trial = 0; trial < 400; ++trial) {
        const std::int32_t first = first_of(random), count = length_of(random);
        const double start = starts[trial % 5];
        const index_form form = trial % 2 ? index_form::one_based : index_form::zero_based;
        const std::int32_t zero_based_first = form == index_form::one_based ? first - 1 : first;
        SCOPED_TRACE("first " + std::to_string(first) + " count " + std::to_string(count) +
                     (trial % 2 ? " one-based" : " zero-based"));
        EXPECT_EQ(pattern(path.strict(zero_based_first, count, start, step)),
                  pattern(reference_strict(first, count, form, start)));
        EXPECT_EQ(pattern(path.four_lane(zero_based_first, count, start, step)),
                  pattern(reference_four_lane(first, count, form, start)));
    }
}

TEST_P(EveryKernel, EvaluatesEachTermAsTheScalarQuotient) {
    std::mt19937 random(8122026);
    std::uniform_int_distribution<std::int32_t> first_of(0, num_steps - 4096);
    // The fused-multiply-add witnesses, both ends of the range, and random runs.
    std::vector<std::int32_t> firsts = {2941195 - 3, 3739445 - 5, 0, num_steps - 4096};
    for (int trial = 0; trial < 64; ++trial) firsts.push_back(first_of(random));
    std::vector<double> got(4096);
    for (std::int32_t first : firsts) {
        GetParam()->terms(first, 4096, step, got.data());
        for (std::int32_t j = 0; j < 4096; ++j)
            ASSERT_EQ(pattern(got[static_cast<std::size_t>(j)]), pattern(t(first + j)))
                << "term " << first + j;
    }
}

TEST_P(EveryKernel, StrictOrderFullRangeTotal) {
    const double total = GetParam()->strict(0, num_steps, 0.0, step);
    EXPECT_EQ(pattern(total), pattern(strict_one_thread.total));
    EXPECT_EQ(pattern(step * total), pattern(strict_one_thread.pi));
}

TEST_P(EveryKernel, FourLaneFullRangeTotal) {
    const double total = GetParam()->four_lane(0, num_steps, 0.0, step);
    EXPECT_EQ(pattern(total), pattern(four_lane_one_thread.total));
    EXPECT_EQ(pattern(step * total), pattern(four_lane_one_thread.pi));
}

std::string parameter_name(const ::testing::TestParamInfo<const kernel*>& info) {
    return std::string(info.param->path) + "_" + info.param->method;
}

INSTANTIATE_TEST_SUITE_P(Kernels, EveryKernel, ::testing::ValuesIn(supported_kernels()), parameter_name);

namespace {

// The terms a made-up evaluation gets one unit in the last place wrong,
// sorted; every other term it gets right.
std::vector<std::int32_t> wrong_terms;

void terms_wrong_where_chosen(std::int32_t first, std::int32_t count, double step_width, double* out) {
    for (std::int32_t j = 0; j < count; ++j) {
        const double right = midpoint_term(first + j, index_form::zero_based, step_width);
        const bool wrong = std::binary_search(wrong_terms.begin(), wrong_terms.end(), first + j);
        out[j] = wrong ? std::nextafter(right, 5.0) : right;
    }
}

}  // namespace

// A check that skips a block, or a block's first or last term, still says
// "0 differing terms" on a correct kernel: count known faults instead.
TEST(TermCheck, CountsEveryWrongTermInEveryWorkersBlock) {
    constexpr std::int32_t first = 999000000, count = 100003;  // uneven for 2 to 8 workers
    for (int workers : {1, 2, 3, 5, 8}) {
        wrong_terms.clear();
        for (const block b : blocks_by_rule(first, count, workers))
            for (std::int32_t k : {b.first, b.first + 1, b.first + b.count / 2, b.first + b.count - 1})
                wrong_terms.push_back(k);
        for (std::int32_t k = first; k < first + count; k += 997) wrong_terms.push_back(k);
        std::sort(wrong_terms.begin(), wrong_terms.end());
        wrong_terms.erase(std::unique(wrong_terms.begin(), wrong_terms.end()), wrong_terms.end());
        EXPECT_EQ(differing_terms(terms_wrong_where_chosen, first, count, workers),
                  static_cast<std::int64_t>(wrong_terms.size()))
            << workers << " workers";
    }
    wrong_terms.clear();
    EXPECT_EQ(differing_terms(terms_wrong_where_chosen, first, count, 3), 0);
}

TEST(TermCheck, CountsAKernelsFirstHundredWrongTermsOnTheUsableProcessors) {
    wrong_terms.clear();
    for (std::int32_t k = 0; k < 100; ++k) wrong_terms.push_back(k);
    const kernel made_up{"made-up", "wrong", nullptr, nullptr, nullptr, terms_wrong_where_chosen};
    EXPECT_EQ(differing_terms(made_up, 0, 1000), 100);
}

// corvane-kernels' scalar baseline: the plain loops built without
// vectorisation must sum in the programs' orders, bit for bit.
TEST(ScalarBaseline, MatchesTheReferenceOrdersOnRandomRanges) {
    std::mt19937 random(1208);
    std::uniform_int_distribution<std::int32_t> first_of(0, num_steps - 5000);
    std::uniform_int_distribution<std::int32_t> length_of(0, 4999);
    for (int trial = 0; trial < 200; ++trial) {
        const std::int32_t first = first_of(random), count = length_of(random);
        SCOPED_TRACE("first " + std::to_string(first) + " count " + std::to_string(count));
        EXPECT_EQ(pattern(scalar_strict(first, count)),
                  pattern(reference_strict(first, count, index_form::zero_based, 0.0)));
        EXPECT_EQ(pattern(scalar_four_lane(first, count)),
                  pattern(reference_four_lane(first, count, index_form::zero_based, 0.0)));
    }
}
