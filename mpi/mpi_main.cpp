// corvane-mpi: the four-lane sum split across MPI ranks and, inside each,
// across the rank's OpenMP threads. Rank 0 times and reports.
#include <mpi.h>

#include <cstdio>

#include "core/corvane.hpp"
#include "core/kernels.hpp"
#include "mpi/distributed.hpp"

int main(int argc, char** argv) {
    int provided = 0;
    if (MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided) != MPI_SUCCESS) {
        std::fprintf(stderr, "corvane-mpi: MPI_Init_thread failed\n");
        return 1;
    }
    corvane::check_mpi(MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN), "MPI_Comm_set_errhandler");
    if (provided < MPI_THREAD_FUNNELED) {
        std::fprintf(stderr, "corvane-mpi: the MPI library does not allow OpenMP threads beside MPI\n");
        MPI_Abort(MPI_COMM_WORLD, 1);
    }
    int rank = 0;
    corvane::check_mpi(MPI_Comm_rank(MPI_COMM_WORLD, &rank), "MPI_Comm_rank");
    corvane::set_step();
    corvane::plan_kernel(corvane::summation_order::four_lane);

    corvane::check_mpi(MPI_Barrier(MPI_COMM_WORLD), "MPI_Barrier");
    const std::int64_t start = corvane::clock_ms();
    const double sum = corvane::distributed_four_lane(MPI_COMM_WORLD, corvane::num_steps);
    const double pi = corvane::step * sum;
    const std::int64_t end = corvane::clock_ms();

    const int status = rank == 0 ? corvane::report("corvane-mpi", pi, end - start) : 0;
    corvane::check_mpi(MPI_Finalize(), "MPI_Finalize");
    return status;
}
