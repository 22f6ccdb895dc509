// corvane-omp: OpenMP threads, each summing its block in index order.
#include "corvane.hpp"
#include "reduction.hpp"

int CORVANE_ENTRY() {
    using namespace corvane;
    return run("corvane-omp", summation_order::strict, reduce_strict);
}
