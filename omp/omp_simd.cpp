// corvane-omp-simd: OpenMP threads, each summing its block in four-lane order.
#include "core/corvane.hpp"
#include "omp/reduction.hpp"

int CORVANE_ENTRY() {
    using namespace corvane;
    return run("corvane-omp-simd", summation_order::four_lane, reduce_four_lane);
}
