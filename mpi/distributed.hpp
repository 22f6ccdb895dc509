// The four-lane sum across MPI ranks: one static block of the 0-based range
// per rank, each summed by the rank's OpenMP team as corvane-omp-simd sums
// the whole range, the rank partials added on rank 0 in rank order.
#pragma once

#include <mpi.h>

#include <cstdint>

namespace corvane {

// The total of the terms 0 .. count - 1 on rank 0; 0.0 on the other ranks.
double distributed_four_lane(MPI_Comm world, std::int32_t count);

// A failed MPI call: one line on standard error naming the call and the
// string of the error's class, then MPI_Abort, so that no rank waits
// forever for this one.
void check_mpi(int code, const char* call);

}  // namespace corvane
