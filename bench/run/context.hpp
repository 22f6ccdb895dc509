// What corvane-bench records beside the results, and what it asks of the
// tools it runs the programs with before the first run: the warnings
// before the figures, the OpenMP team a cell would get, the kernel plan,
// and the context that gathers them with the machine.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench/launch/launchers.hpp"
#include "bench/machine/machine.hpp"
#include "bench/model/model.hpp"
#include "bench/run/suite.hpp"

namespace corvane::bench {

// Conditions under which figures cannot be trusted as they stand: a Debug
// build, a frequency governor other than performance, a busy machine.
std::vector<std::string> system_warnings(const machine_facts& machine);

// Why a parallel region under `env` would not get `threads` threads
// (OMP_THREAD_LIMIT, OMP_DYNAMIC, the affinity mask), or an empty string if
// it would. Asks corvane-team-probe, built with the programs' runtime.
std::string team_problem(const std::string& probe, const environment& env, int threads);

// Refuses a cell whose team would not be the size it is labelled with
// (team_problem, asked once for each environment); returns the warning
// that team sizes are not checked where corvane-team-probe is not found.
std::vector<std::string> check_teams(const suite_options& options, const std::vector<cell>& cells);

// The kernel each summation order would use on this machine, measured as
// the programs measure it when they start.
std::map<std::string, order_plan> measured_kernel_plan();

// A variable of the OpenMP runtimes (OMP_*, libgomp's GOMP_*, LLVM's
// KMP_*), recorded as omp_variables.
bool is_openmp_variable(const std::string& name);

// Everything recorded beside the results.
run_context context_of(const suite_options& options, const machine_facts& machine,
                       const std::vector<std::string>& warnings, const std::optional<launcher>& mpi,
                       const std::string& hostfile);

}  // namespace corvane::bench
