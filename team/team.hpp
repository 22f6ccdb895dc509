// What every OpenMP strategy shares: the team a region would get, each
// thread's static block, and the four-lane sum of a range by such a team.
#pragma once

#include <omp.h>

#include "core/corvane.hpp"

namespace corvane {

// The team a parallel region would start with. Under OMP_THREAD_LIMIT=1
// omp_get_max_threads() still answers the core count, so both are asked.
inline int default_team_size() {
    const int wanted = omp_get_max_threads(), limit = omp_get_thread_limit();
    return wanted < limit ? wanted : limit;
}

// Whether the runtime would run a parallel region on the calling thread alone.
inline bool runtime_declines_to_fork() { return default_team_size() == 1; }

// This thread's static block of `count` iterations from `first`.
inline block my_block(std::int32_t first, std::int32_t count) {
    return static_block(first, count, omp_get_num_threads(), omp_get_thread_num());
}

// The four-lane sum of the 0-based terms first .. first + count - 1: one
// parallel region, each thread's block in four-lane order from its first
// index, the partials combined by reduction(+) in the runtime's order; the
// calling thread alone sums the whole range when the runtime would not fork.
double team_four_lane_sum(std::int32_t first, std::int32_t count);

}  // namespace corvane
