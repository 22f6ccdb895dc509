#pragma once

#include <omp.h>

#include "corvane.hpp"

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

}  // namespace corvane
