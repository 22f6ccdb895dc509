#include "distributed.hpp"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "corvane.hpp"
#include "reduction.hpp"

namespace corvane {

namespace {

#ifdef CORVANE_MPI_FAULT
// Test build only: gather to a rank that does not exist, so MPI refuses.
int gather_root(int ranks) { return ranks; }
#else
int gather_root(int) { return 0; }
#endif

}  // namespace

void check_mpi(int code, const char* call) {
    if (code == MPI_SUCCESS) return;
    char reason[MPI_MAX_ERROR_STRING];
    int length = 0;
    if (MPI_Error_string(code, reason, &length) != MPI_SUCCESS) std::snprintf(reason, sizeof reason, "error %d", code);
    std::fprintf(stderr, "corvane-mpi: %s failed: %s\n", call, reason);
    MPI_Abort(MPI_COMM_WORLD, 1);
    std::exit(1);
}

double distributed_four_lane(MPI_Comm world, std::int32_t count) {
    int rank = 0, ranks = 1;
    check_mpi(MPI_Comm_rank(world, &rank), "MPI_Comm_rank");
    check_mpi(MPI_Comm_size(world, &ranks), "MPI_Comm_size");

    const block mine = static_block(0, count, ranks, rank);
    double partial = 0.0;
    reduce_four_lane_range(partial, mine.first, mine.count);

    std::vector<double> partials(rank == 0 ? static_cast<std::size_t>(ranks) : 0);
    check_mpi(MPI_Gather(&partial, 1, MPI_DOUBLE, partials.data(), 1, MPI_DOUBLE, gather_root(ranks), world),
              "MPI_Gather");
    // In rank order from 0.0, so a given number of ranks and threads always
    // gives the same bits.
    double total = 0.0;
    for (double p : partials) total = total + p;
    return total;
}

}  // namespace corvane
