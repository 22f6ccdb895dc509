// corvane-mpi's sum under mpiexec or srun: its bits for the ranks and
// threads the environment gives, on rank 0.
#include <gtest/gtest.h>
#include <mpi.h>
#include <omp.h>

#include <cstdlib>

#include "core/corvane.hpp"
#include "mpi/distributed.hpp"
#include "team/team.hpp"
#include "tests/bits.hpp"
#include "tests/references.hpp"

using namespace corvane;
using namespace corvane::testing;

namespace {

int world_rank() {
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    return rank;
}

int world_size() {
    int size = 1;
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    return size;
}

// Each rank's team adds its sub-block partials (two of them in either
// order: the same bits), then rank 0 adds the rank partials in rank order
// from 0.0. From three ranks on, the other order changes the last bit.
double rank_order_total(int ranks, int threads) {
    double total = 0.0;
    for (const block& mine : blocks_by_rule(0, num_steps, ranks)) {
        double team = 0.0;
        for (const block& sub : blocks_by_rule(mine.first, mine.count, threads))
            team += reference_four_lane(sub.first, sub.count, index_form::zero_based, 0.0);
        total = total + team;
    }
    return total;
}

}  // namespace

TEST(Distributed, BitsForTheRanksAndThreadsGiven) {
    const int ranks = world_size(), threads = default_team_size();
    const double total = distributed_four_lane(MPI_COMM_WORLD, num_steps);
    if (world_rank() != 0) return;
    if (ranks * threads == 1) {
        EXPECT_EQ(pattern(total), pattern(four_lane_one_thread.total));
        EXPECT_EQ(pattern(step * total), pattern(four_lane_one_thread.pi));
    } else if (ranks * threads == 2) {
        // Two ranks of one thread split the range exactly as one rank of two.
        EXPECT_EQ(pattern(total), pattern(four_lane_two_threads.total));
        EXPECT_EQ(pattern(step * total), pattern(four_lane_two_threads.pi));
    } else if (threads <= 2) {
        EXPECT_EQ(pattern(total), pattern(rank_order_total(ranks, threads)));
    } else {
        GTEST_SKIP() << ranks << " ranks of " << threads << " threads: no known bits";
    }
}

// A launcher and an MPI library that do not share a process-management
// interface (srun --mpi=none with MPICH) start one world per rank, and every
// one of them passes the tests above as a single rank. Whoever starts the
// ranks says how many through CORVANE_TEST_RANKS.
TEST(Distributed, WorldHoldsEveryRankTheLauncherStarted) {
    const char* started = std::getenv("CORVANE_TEST_RANKS");
    if (started == nullptr) GTEST_SKIP() << "CORVANE_TEST_RANKS is not set";
    EXPECT_EQ(world_size(), std::atoi(started));
}

TEST(Distributed, GivesTheSameBitsEveryRun) {
    const double first = distributed_four_lane(MPI_COMM_WORLD, num_steps);
    for (int run = 0; run < 2; ++run) {
        const double again = distributed_four_lane(MPI_COMM_WORLD, num_steps);
        if (world_rank() == 0) {
            EXPECT_EQ(pattern(again), pattern(first));
        }
    }
}

int main(int argc, char** argv) {
    int provided = 0;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
    ::testing::InitGoogleTest(&argc, argv);
    if (world_rank() != 0) {
        auto& listeners = ::testing::UnitTest::GetInstance()->listeners();
        delete listeners.Release(listeners.default_result_printer());
    }
    set_step();
    const int failed = RUN_ALL_TESTS();
    MPI_Finalize();
    return failed;
}
