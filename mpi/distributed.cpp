#include "mpi/distributed.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "core/corvane.hpp"
#include "team/team.hpp"

namespace corvane {

void check_mpi(int code, const char* call) {
    if (code == MPI_SUCCESS) return;
    // The string of the error's class: every implementation has one, while
    // the message of the code itself may run to a multi-line error stack.
    int error_class = code;
    if (MPI_Error_class(code, &error_class) != MPI_SUCCESS) error_class = code;
    char reason[MPI_MAX_ERROR_STRING] = "";
    int length = 0;
    if (MPI_Error_string(error_class, reason, &length) != MPI_SUCCESS)
        std::snprintf(reason, sizeof reason, "error class %d", error_class);
    reason[std::strcspn(reason, "\r\n")] = '\0';
    std::fprintf(stderr, "corvane-mpi: %s failed: %s\n", call, reason);
    // The launcher forwards a rank's output through a pipe, and MPICH's
    // Hydra can end the job on an abort before it has read the line: give
    // it a moment, on a path that is failing anyway.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    MPI_Abort(MPI_COMM_WORLD, 1);
    std::exit(1);
}

double distributed_four_lane(MPI_Comm world, std::int32_t count) {
    int rank = 0, ranks = 1;
    check_mpi(MPI_Comm_rank(world, &rank), "MPI_Comm_rank");
    check_mpi(MPI_Comm_size(world, &ranks), "MPI_Comm_size");

    const block mine = static_block(0, count, ranks, rank);
    double partial = team_four_lane_sum(mine.first, mine.count);

    std::vector<double> partials(rank == 0 ? static_cast<std::size_t>(ranks) : 0);
    check_mpi(MPI_Gather(&partial, 1, MPI_DOUBLE, partials.data(), 1, MPI_DOUBLE, 0, world), "MPI_Gather");
    // In rank order from 0.0, so a given number of ranks and threads always
    // gives the same bits.
    double total = 0.0;
    for (double p : partials) total = total + p;
    return total;
}

}  // namespace corvane
