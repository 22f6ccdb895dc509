// The OpenMP strategies: every thread's block reaches sum exactly once, in
// whatever order the runtime combines them, for any team size.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "tests/bits.hpp"
#include "core/corvane.hpp"
#include "autopar/partition.hpp"
#include "omp/reduction.hpp"
#include "team/team.hpp"

using namespace corvane;
using corvane::testing::pattern;

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

// Every total that adding each block's partial once, in any order, can give.
std::set<std::string> totals_of_blocks(const parallel_strategy& s, std::int32_t count,
                                       int threads) {
    std::vector<double> partials;
    for (int thread = 0; thread < threads; ++thread) {
        const block b = static_block(s.first, count, threads, thread);
        partials.push_back(s.order(b.first, b.count, s.form, 0.0));
    }
    std::vector<int> order(partials.size());
    std::iota(order.begin(), order.end(), 0);
    std::set<std::string> totals;
    do {
        double sum = 0.0;
        for (int i : order) sum = partials[static_cast<std::size_t>(i)] + sum;
        totals.insert(pattern(sum));
    } while (std::next_permutation(order.begin(), order.end()));
    return totals;
}

class TeamSize : public ::testing::Test {
protected:
    void SetUp() override { saved_ = omp_get_max_threads(); }
    void TearDown() override { omp_set_num_threads(saved_); }
private:
    int saved_ = 1;
};

}  // namespace

TEST_F(TeamSize, EveryBlockIsAddedExactlyOnceForOneToEightThreads) {
    ASSERT_FALSE(omp_get_dynamic()) << "the runtime may shrink teams; blocks are unknown";
    for (int threads = 1; threads <= 8; ++threads) {
        omp_set_num_threads(threads);
        for (std::int32_t count : {0, 1, 3, 7, 8, 9, 15, 17, 40, 101, 1000}) {
            for (const auto& s : strategies) {
                double sum = 0.0;
                s.run(sum, count);
                EXPECT_EQ(totals_of_blocks(s, count, threads).count(pattern(sum)), 1u)
                    << s.name << ": " << count << " terms over " << threads << " threads";
            }
        }
    }
}

TEST_F(TeamSize, OneThreadGivesTheSerialOrdersBits) {
    omp_set_num_threads(1);
    const std::int32_t count = 1003;
    for (const auto& s : strategies) {
        double sum = 0.0;
        s.run(sum, count);
        EXPECT_EQ(pattern(sum), pattern(s.order(0, count, index_form::zero_based, 0.0))) << s.name;
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

    EXPECT_EQ(pattern(strict), pattern(serial ? 0x1.7681cc9b2e10ap+31 : 0x1.7681cc9b2e078p+31));
    EXPECT_EQ(pattern(step * strict), pattern(serial ? 0x1.921fb54442ea8p+1 : 0x1.921fb54442e0bp+1));
    for (double four_lane : {reduced, partitioned}) {
        EXPECT_EQ(pattern(four_lane), pattern(serial ? 0x1.7681cc9b2df61p+31 : 0x1.7681cc9b2df22p+31));
        EXPECT_EQ(pattern(step * four_lane),
                  pattern(serial ? 0x1.921fb54442cep+1 : 0x1.921fb54442c9cp+1));
    }
}
