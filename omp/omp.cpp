// corvane-omp: OpenMP threads, each summing its block in index order.
#include "core/corvane.hpp"
#include "omp/reduction.hpp"

int CORVANE_ENTRY() {
    using namespace corvane;
    return run("corvane-omp", summation_order::strict, reduce_strict);
}
