// The summation kernels behind strict_sum and four_lane_sum, one set per
// instruction-set path. All paths give the same bits; they differ only in
// how many terms one instruction evaluates.
#pragma once

#include <cstdint>

namespace corvane {

// Sums the 0-based terms first .. first + count - 1 onto start.
using sum_kernel = double (*)(std::int32_t first, std::int32_t count, double start,
                              double step_width);

struct kernel_path {
    const char* name;
    sum_kernel strict;
    sum_kernel four_lane;
    // Benchmarks only: the terms in no prescribed order, into independent
    // accumulators; how fast this path can evaluate terms at all.
    sum_kernel evaluation_floor;
};

// The paths this processor can run, the baseline first and the widest last.
// Returns how many were written to `paths` (at most max_kernel_paths).
inline constexpr int max_kernel_paths = 3;
int supported_paths(const kernel_path* paths[max_kernel_paths]);

// The path strict_sum and four_lane_sum use: the widest supported one,
// chosen once when the program starts.
const kernel_path& active_path();

}  // namespace corvane
