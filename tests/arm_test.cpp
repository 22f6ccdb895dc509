// 64-bit Arm: the kernels a processor is offered, the known bits of the whole
// range from every kernel for teams of one and two, and each term proved
// against IEEE division. CTest runs these under qemu-aarch64 with SVE off and
// at several vector lengths, and checks the length it asked for is the one
// printed here.
#include <gtest/gtest.h>
#include <sys/auxv.h>
#include <sys/prctl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/corvane.hpp"
#include "core/kernels.hpp"
#include "tests/bits.hpp"
#include "tools/kernels/term_check.hpp"

using namespace corvane;
using namespace corvane::testing;

namespace {

bool processor_has_sve() { return (getauxval(AT_HWCAP) & HWCAP_SVE) != 0; }

std::vector<std::string> offered_kernels() {
    std::vector<std::string> names;
    for (const kernel* k : supported_kernels()) names.push_back(kernel_name(*k));
    return names;
}

// A team's sum: every thread's static block summed from 0.0, the partials
// added in thread order (with two, the only order there is).
double team_total(sum_kernel sum, int threads) {
    double total = 0.0;
    for (int thread = 0; thread < threads; ++thread) {
        const block mine = static_block(0, num_steps, threads, thread);
        total = sum(mine.first, mine.count, 0.0, step) + total;
    }
    return total;
}

}  // namespace

TEST(ArmProcessor, NamesItsSveVectorLength) {
    if (!processor_has_sve()) {
        std::printf("SVE: none\n");
        return;
    }
    const int vector_length = prctl(PR_SVE_GET_VL);
    ASSERT_GE(vector_length, 0);
    std::printf("SVE vector length: %d bits\n", (vector_length & PR_SVE_VL_LEN_MASK) * 8);
}

TEST(ArmProcessor, OffersSveDivisionExactlyWhereTheProcessorHasSve) {
    const std::vector<std::string> with_sve = {"neon/divide", "sve/divide", "neon/newton"};
    const std::vector<std::string> without_sve = {"neon/divide", "neon/newton"};
    EXPECT_EQ(offered_kernels(), processor_has_sve() ? with_sve : without_sve);
}

class ArmKernel : public ::testing::TestWithParam<const kernel*> {};

// A team of one is EveryKernel's full-range totals.
TEST_P(ArmKernel, TeamOfTwoGivesTheKnownFullRangeBits) {
    const kernel& k = *GetParam();
    const double strict = team_total(k.strict, 2);
    EXPECT_EQ(pattern(strict), pattern(strict_two_threads.total));
    EXPECT_EQ(pattern(step * strict), pattern(strict_two_threads.pi));
    const double four_lane = team_total(k.four_lane, 2);
    EXPECT_EQ(pattern(four_lane), pattern(four_lane_two_threads.total));
    EXPECT_EQ(pattern(step * four_lane), pattern(four_lane_two_threads.pi));
}

// What CI affords under emulation: both ends of the range, where 1 + x*x is
// nearest 1 and 2, the terms around every block edge of teams of two to
// eight, and evenly spaced windows across the rest. The whole range is
// FullRangeTermCheck.
TEST_P(ArmKernel, SampledTermsAndEveryBlockEdgeAreIeeeQuotients) {
    const kernel& k = *GetParam();
    constexpr std::int32_t end_terms = 1 << 20, edge_terms = 4096, window_terms = 1 << 15;
    EXPECT_EQ(differing_terms(k, 0, end_terms), 0) << "the first terms";
    EXPECT_EQ(differing_terms(k, num_steps - end_terms, end_terms), 0) << "the last terms";
    for (int threads = 2; threads <= 8; ++threads)
        for (int thread = 1; thread < threads; ++thread) {
            const std::int32_t edge = static_block(0, num_steps, threads, thread).first;
            EXPECT_EQ(differing_terms(k, edge - edge_terms, 2 * edge_terms), 0) << "around " << edge;
        }
    constexpr int windows = 256;
    for (int w = 1; w < windows; ++w) {
        const std::int32_t first = static_cast<std::int32_t>(std::int64_t{num_steps} * w / windows);
        EXPECT_EQ(differing_terms(k, first, window_terms), 0) << "from " << first;
    }
}

// All 10^9 terms: minutes under emulation, so run by hand per kernel and
// vector length (label full-range).
TEST_P(ArmKernel, FullRangeTermCheck) { EXPECT_EQ(differing_terms(*GetParam(), 0, num_steps), 0); }

std::string arm_kernel_name(const ::testing::TestParamInfo<const kernel*>& info) {
    return std::string(info.param->path) + "_" + info.param->method;
}

INSTANTIATE_TEST_SUITE_P(Kernels, ArmKernel, ::testing::ValuesIn(supported_kernels()), arm_kernel_name);
