// The OpenMP strategies: every thread's block reaches sum exactly once, in
// whatever order the runtime combines them, for any team size and on every
// kernel a plan may choose.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "autopar/partition.hpp"
#include "core/corvane.hpp"
#include "core/kernels.hpp"
#include "omp/reduction.hpp"
#include "team/team.hpp"
#include "tests/bits.hpp"
#include "tests/references.hpp"

using namespace corvane;
using namespace corvane::testing;

namespace {

struct parallel_strategy {
    const char* name;
    strategy run;
    summation_order order;
    std::int32_t first;  // where its index range starts
    index_form form;
};

const parallel_strategy strategies[] = {
    {"reduce_strict", reduce_strict, summation_order::strict, 0, index_form::zero_based},
    {"reduce_four_lane", reduce_four_lane, summation_order::four_lane, 0, index_form::zero_based},
    {"partition_four_lane", partition_four_lane, summation_order::four_lane, 1, index_form::one_based},
};

double reference_sum(summation_order order, std::int32_t first, std::int32_t count, index_form form) {
    return order == summation_order::strict ? reference_strict(first, count, form, 0.0)
                                            : reference_four_lane(first, count, form, 0.0);
}

// Every block's partial in the strategy's order, by the reference sums, for
// the blocks the schedule's rule gives; a thread of its own for each block.
std::vector<double> block_partials(const parallel_strategy& s, std::int32_t count, int threads) {
    const std::vector<block> blocks = blocks_by_rule(s.first, count, threads);
    std::vector<double> partials(blocks.size());
    std::vector<std::thread> summing;
    for (std::size_t i = 0; i < blocks.size(); ++i)
        summing.emplace_back(
            [&, i] { partials[i] = reference_sum(s.order, blocks[i].first, blocks[i].count, s.form); });
    for (auto& thread : summing) thread.join();
    return partials;
}

// What the runtime may make of the partials and the 0.0 a reduction starts
// from: every order and grouping, libgomp's arrival order and libomp's tree
// among them.
std::vector<double> possible_totals(std::vector<double> partials) {
    partials.push_back(0.0);
    return every_total(partials);
}

void use_for_both_orders(const kernel& k) {
    use_kernel(summation_order::strict, k);
    use_kernel(summation_order::four_lane, k);
}

// Sets the team size and the kernels as a test needs them, and puts back
// what it found.
class TeamSize : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(omp_get_dynamic()) << "the runtime may shrink teams; blocks are unknown";
        ASSERT_GE(omp_get_thread_limit(), 8) << "the tests ask for teams of up to eight";
    }
    void TearDown() override {
        omp_set_num_threads(saved_threads_);
        use_kernel(summation_order::strict, saved_strict_);
        use_kernel(summation_order::four_lane, saved_four_lane_);
    }

private:
    int saved_threads_ = omp_get_max_threads();
    const kernel& saved_strict_ = planned_kernel(summation_order::strict);
    const kernel& saved_four_lane_ = planned_kernel(summation_order::four_lane);
};

}  // namespace

// Losing, doubling or shifting a block, or a kernel adding a block in
// another order, gives a total that no order or grouping of the right
// partials gives.
TEST_F(TeamSize, EveryBlockIsAddedExactlyOnceForOneToEightThreads) {
    for (int threads = 1; threads <= 8; ++threads) {
        omp_set_num_threads(threads);
        for (std::int32_t count : {0, 1, 3, 7, 8, 9, 15, 17, 40, 101, 1000, 100003}) {
            for (const auto& s : strategies) {
                const std::vector<double> possible = possible_totals(block_partials(s, count, threads));
                for (const kernel* k : supported_kernels()) {
                    use_for_both_orders(*k);
                    double sum = 0.0;
                    s.run(sum, count);
                    EXPECT_TRUE(contains(possible, sum))
                        << s.name << " on " << kernel_name(*k) << ": " << count << " terms over " << threads
                        << " threads gave " << pattern(sum);
                }
            }
        }
    }
}

TEST_F(TeamSize, OneThreadGivesTheSerialOrdersBits) {
    omp_set_num_threads(1);
    // Counts where the two orders give different bits, so that a strategy
    // falling back to the other order on one thread cannot pass.
    for (std::int32_t count : {1032, 1037}) {
        const double strict = reference_strict(0, count, index_form::zero_based, 0.0);
        const double four_lane = reference_four_lane(0, count, index_form::zero_based, 0.0);
        ASSERT_NE(pattern(strict), pattern(four_lane)) << count;
        for (const kernel* k : supported_kernels()) {
            use_for_both_orders(*k);
            for (const auto& s : strategies) {
                double sum = 0.0;
                s.run(sum, count);
                EXPECT_EQ(pattern(sum), pattern(s.order == summation_order::strict ? strict : four_lane))
                    << s.name << " on " << kernel_name(*k) << ": " << count;
            }
        }
    }
}

// Full-range bits for the team the environment gives (OMP_NUM_THREADS,
// OMP_THREAD_LIMIT); CTest runs this under one and two threads.
TEST(FullRange, BitsForTheTeamTheEnvironmentGives) {
    const int team = default_team_size();
    if (team > 2) GTEST_SKIP() << "known bits cover teams of one and two, not " << team;
    const bool serial = team == 1;
    ASSERT_EQ(runtime_declines_to_fork(), serial);

    double strict = 0.0, reduced = 0.0, partitioned = 0.0;
    reduce_strict(strict, num_steps);
    reduce_four_lane(reduced, num_steps);
    partition_four_lane(partitioned, num_steps);

    const known_result strict_bits = serial ? strict_one_thread : strict_two_threads;
    const known_result four_lane_bits = serial ? four_lane_one_thread : four_lane_two_threads;
    EXPECT_EQ(pattern(strict), pattern(strict_bits.total));
    EXPECT_EQ(pattern(step * strict), pattern(strict_bits.pi));
    for (double four_lane : {reduced, partitioned}) {
        EXPECT_EQ(pattern(four_lane), pattern(four_lane_bits.total));
        EXPECT_EQ(pattern(step * four_lane), pattern(four_lane_bits.pi));
    }
}

namespace {

// Teams that split 10^9 unevenly, where the runtime's order of combining
// can move the last bit. The figures were computed independently of this
// code: each block of an unchunked static schedule summed in the order, the
// partials added in thread order from 0.0, pi = step * total.
struct uneven_team {
    int threads;
    double strict_pi;
    double four_lane_pi;
};
constexpr uneven_team three_threads = {3, 0x1.921fb54442e93p+1, 0x1.921fb54442c5cp+1};
constexpr uneven_team five_threads = {5, 0x1.921fb54442b5bp+1, 0x1.921fb54442e3fp+1};

void expect_totals_the_runtime_may_give(const uneven_team& team) {
    omp_set_num_threads(team.threads);
    // The 1-based blocks from 1 hold the intervals of the 0-based blocks
    // from 0: the partition's partials are the four-lane reduction's.
    std::vector<double> partials_of_order[2];
    for (const auto& s : strategies) {
        std::vector<double>& partials = partials_of_order[static_cast<int>(s.order)];
        if (partials.empty()) partials = block_partials(s, num_steps, team.threads);
        const double figure = s.order == summation_order::strict ? team.strict_pi : team.four_lane_pi;
        // The oracle against the independent figures: thread order, and
        // membership of the set.
        double thread_order = 0.0;
        for (double partial : partials) thread_order = thread_order + partial;
        EXPECT_EQ(pattern(step * thread_order), pattern(figure)) << s.name;
        const std::vector<double> possible = possible_totals(partials);
        EXPECT_TRUE(std::any_of(possible.begin(), possible.end(), [&](double total) {
            return step * total == figure;
        })) << s.name;

        for (const kernel* k : supported_kernels()) {
            use_for_both_orders(*k);
            double sum = 0.0;
            s.run(sum, num_steps);
            // 10^9 terms a run: the first wrong total ends the test.
            ASSERT_TRUE(contains(possible, sum))
                << s.name << " on " << kernel_name(*k) << " gave " << pattern(sum);
        }
    }
}

// 10^9 terms a run on every kernel: minutes without optimisation, where
// the teams of three and five are left to TeamSize's shorter ranges.
class UnevenTeam : public TeamSize {
protected:
    void SetUp() override {
#ifndef CORVANE_EXHAUSTIVE
        GTEST_SKIP() << "the full range on every kernel runs in optimised builds only";
#endif
        TeamSize::SetUp();
    }
};

}  // namespace

TEST_F(UnevenTeam, ThreeThreadsGiveATotalTheRuntimeMayGiveOnEveryKernel) {
    expect_totals_the_runtime_may_give(three_threads);
}

TEST_F(UnevenTeam, FiveThreadsGiveATotalTheRuntimeMayGiveOnEveryKernel) {
    expect_totals_the_runtime_may_give(five_threads);
}
