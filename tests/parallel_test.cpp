// The OpenMP strategies: every thread's block reaches sum exactly once, in
// whatever order the runtime combines them, for any team size.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <string>
#include <vector>

#include "autopar/partition.hpp"
#include "core/corvane.hpp"
#include "omp/reduction.hpp"
#include "team/team.hpp"
#include "tests/bits.hpp"

using namespace corvane;
using namespace corvane::testing;

namespace {

struct parallel_strategy {
    const char* name;
    strategy run;
    std::int32_t first;  // where its index range starts
    index_form form;
    double (*order)(std::int32_t, std::int32_t, index_form, double);
};

const parallel_strategy strategies[] = {
    {"reduce_strict", reduce_strict, 0, index_form::zero_based, strict_sum},
    {"reduce_four_lane", reduce_four_lane, 0, index_form::zero_based, four_lane_sum},
    {"partition_four_lane", partition_four_lane, 1, index_form::one_based, four_lane_sum},
};

// The partial of every thread's block, as the strategy computes it.
std::vector<double> block_partials(const parallel_strategy& s, std::int32_t count, int threads) {
    std::vector<double> partials;
    for (int thread = 0; thread < threads; ++thread) {
        const block b = static_block(s.first, count, threads, thread);
        partials.push_back(s.order(b.first, b.count, s.form, 0.0));
    }
    return partials;
}

// The sum of the partials, compensated (Neumaier) so that its own error is
// far below the bound the test allows.
double accurate_sum(const std::vector<double>& values) {
    double sum = 0.0, lost = 0.0;
    for (double v : values) {
        const double next = sum + v;
        lost += std::fabs(sum) >= std::fabs(v) ? (sum - next) + v : (v - next) + sum;
        sum = next;
    }
    return sum + lost;
}

class TeamSize : public ::testing::Test {
protected:
    void SetUp() override { saved_ = omp_get_max_threads(); }
    void TearDown() override { omp_set_num_threads(saved_); }

private:
    int saved_ = 1;
};

}  // namespace

// The runtime may combine the partials in any order, a tree included. Any
// order of adding T non-negative partials lies within (T - 1) rounding
// errors of their exact sum, while losing or doubling a partial moves the
// total by that partial: at least two per term of its block (every term
// lies in [2, 4]), millions of times the bound.
TEST_F(TeamSize, EveryBlockIsAddedExactlyOnceForOneToEightThreads) {
    ASSERT_FALSE(omp_get_dynamic()) << "the runtime may shrink teams; blocks are unknown";
    for (int threads = 1; threads <= 8; ++threads) {
        omp_set_num_threads(threads);
        for (std::int32_t count : {0, 1, 3, 7, 8, 9, 15, 17, 40, 101, 1000, 100003}) {
            for (const auto& s : strategies) {
                double sum = 0.0;
                s.run(sum, count);
                const std::vector<double> partials = block_partials(s, count, threads);
                const double exact = accurate_sum(partials);
                const double bound = (threads - 1) * std::ldexp(exact, -52) + 1e-300;
                EXPECT_LE(std::fabs(sum - exact), bound)
                    << s.name << ": " << count << " terms over " << threads << " threads";
                // Two partials can only be added one way.
                if (threads == 2) {
                    EXPECT_EQ(pattern(sum), pattern(partials[0] + partials[1])) << s.name << ": " << count;
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
        ASSERT_NE(pattern(strict_sum(0, count, index_form::zero_based, 0.0)),
                  pattern(four_lane_sum(0, count, index_form::zero_based, 0.0)))
            << count;
        for (const auto& s : strategies) {
            double sum = 0.0;
            s.run(sum, count);
            EXPECT_EQ(pattern(sum), pattern(s.order(0, count, index_form::zero_based, 0.0)))
                << s.name << ": " << count;
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
