// Static partition with critical combination: the 1-based range 1 .. count
// split into one static block per thread, each block's four-lane partial
// added to sum inside a critical section.
#pragma once

#include <cstdint>

namespace corvane {

// corvane-autopar. When the runtime would not start a team, the calling
// thread computes the four-lane sum of the whole 0-based range instead.
void partition_four_lane(double& sum, std::int32_t count);

}  // namespace corvane
