// What corvane-bench finds out about the machine and the tools it runs the
// programs with: processors, load, the OpenMP team a cell would get, the MPI
// launcher, the kernel plan, and the context recorded with the results.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/model.hpp"
#include "bench/suite.hpp"

namespace corvane::bench {

std::string processor_model();

// The processors this process may run on: its affinity mask, limited by a
// cgroup CPU quota where one is set (containers, batch schedulers).
int usable_cpus();

// The full path of an executable found on PATH, or an empty string.
std::string find_on_path(const std::string& program);

// The directory corvane-bench itself is in.
std::string own_directory();

// A regular file this process may execute.
bool is_executable_file(const std::string& path);

// Where an installed corvane-bench keeps its helpers (libexec/corvane), found
// from its own directory so that a moved or unpacked tree still works.
std::string installed_helper_directory();

// The helper `name` in `first_dir` (the build tree keeps everything in bin/),
// else in installed_helper_directory(); an empty string where it is in neither.
std::string find_helper(const std::string& name, const std::string& first_dir);

// Conditions under which figures cannot be trusted as they stand: a Debug
// build, a frequency governor other than performance, a busy machine, too
// few runs for compare.
std::vector<std::string> system_warnings(int cpus, int runs, bool saving_results);

// Why a parallel region under `env` would not get `threads` threads
// (OMP_THREAD_LIMIT, OMP_DYNAMIC, the affinity mask), or an empty string if
// it would. Asks corvane-team-probe, built with the programs' runtime.
std::string team_problem(const std::string& probe, const environment& env, int threads);

// An MPI launcher, identified from its --version, with the options the
// programs need from it.
struct launcher {
    std::string path;
    std::string implementation;  // "Open MPI", "MPICH" or "unknown"
    std::string version;         // the first line of --version
    std::vector<std::string> command;
    environment env;  // what it needs in the environment
    // How to pass a variable of our environment to ranks on other machines
    // ("-x" for Open MPI; empty where every variable goes by default).
    std::string forward_flag;
};

// Open MPI: --oversubscribe beyond the processors, --hostfile, and leave to
// run as root. MPICH's Hydra: -f. The binding options come per cell (see
// launcher_binding). Throws bench_error when the launcher cannot be used.
launcher identify_launcher(const std::string& path, int most_ranks, int cpus, const std::string& hostfile);

// The first line of the MPI library's version, as corvane-mpi-version (found
// with find_helper from `bin_dir`) prints it, or "unknown".
std::string mpi_library_version(const std::string& bin_dir);

// The kernel each summation order would use on this machine, measured as
// the programs measure it when they start.
std::map<std::string, order_plan> measured_kernel_plan();

// Everything recorded beside the results.
run_context context_of(const suite_options& options, int cpus, const std::vector<std::string>& warnings,
                       const std::optional<launcher>& mpi, const std::string& hostfile);

}  // namespace corvane::bench
