// corvane-omp-simd: OpenMP threads, each summing its block in four-lane order.
#include "corvane.hpp"
#include "reduction.hpp"

int CORVANE_ENTRY() { return corvane::run("corvane-omp-simd", corvane::reduce_four_lane); }
