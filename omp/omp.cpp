// corvane-omp: OpenMP threads, each summing its block in index order.
#include "corvane.hpp"
#include "reduction.hpp"

int CORVANE_ENTRY() { return corvane::run("corvane-omp", corvane::reduce_strict); }
