// A program in which rank 1 gathers to a rank that does not exist while
// rank 0 waits at a barrier: the MPI library refuses the call, and the
// report of the failure must end every rank, the waiting one included.
#include <mpi.h>

#include <vector>

#include "mpi/distributed.hpp"

int main(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    corvane::check_mpi(MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN), "MPI_Comm_set_errhandler");
    int rank = 0, ranks = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &ranks);
    if (rank == 0 && ranks > 1) {
        MPI_Barrier(MPI_COMM_WORLD);  // never completes: rank 1 aborts instead
    } else {
        double partial = 1.0;
        std::vector<double> partials(static_cast<std::size_t>(ranks));
        corvane::check_mpi(
            MPI_Gather(&partial, 1, MPI_DOUBLE, partials.data(), 1, MPI_DOUBLE, ranks, MPI_COMM_WORLD),
            "MPI_Gather");
    }
    MPI_Finalize();
    return 0;
}
