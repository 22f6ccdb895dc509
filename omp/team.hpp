#pragma once

#include <omp.h>

#include "corvane.hpp"

namespace corvane {

// Whether the runtime would run a parallel region on the calling thread
// alone. Under OMP_THREAD_LIMIT=1 omp_get_max_threads() still answers the
// core count, so both limits are asked.
inline bool runtime_declines_to_fork() {
    return omp_get_max_threads() == 1 || omp_get_thread_limit() == 1;
}

// This thread's static block of `count` iterations from `first`.
inline block my_block(std::int32_t first, std::int32_t count) {
    return static_block(first, count, omp_get_num_threads(), omp_get_thread_num());
}

}  // namespace corvane
