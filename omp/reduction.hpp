// Parallel-for reduction: one region, one static block per thread summed
// into a private partial, each partial added to sum once by the runtime's
// reduction. The order in which partials reach sum is the runtime's.
#pragma once

#include <cstdint>

namespace corvane {

// corvane-omp: strict index order inside each block; always forks.
void reduce_strict(double& sum, std::int32_t count);

// corvane-omp-simd: four-lane order counted from each block's first index;
// the calling thread alone sums the whole range when the runtime would not
// start a team.
void reduce_four_lane(double& sum, std::int32_t count);

}  // namespace corvane
