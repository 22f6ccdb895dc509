// corvane-team-probe: the team a parallel region gets in this environment,
// and what limits it, as the OpenMP runtime the programs use answers.
// corvane-bench asks it before any run so that a cell labelled "2 threads"
// cannot quietly run on one.
#include <omp.h>

#include <cstdio>

int main() {
    int team = 0;
#pragma omp parallel
    {
#pragma omp single
        team = omp_get_num_threads();
    }
    std::printf("team %d limit %d dynamic %d procs %d\n", team, omp_get_thread_limit(),
                omp_get_dynamic() ? 1 : 0, omp_get_num_procs());
    return 0;
}
