// The MPI launchers corvane-bench knows, one entry each in launchers.cpp:
// how a launcher is recognised from its --version, and the options it takes
// for a hostfile, for more ranks than processors, for passing variables on
// to ranks on other machines, and for placing ranks under --bind. A new
// launcher is one more entry there.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bench/machine/placement.hpp"
#include "bench/model/model.hpp"
#include "process/process.hpp"

namespace corvane::bench {

// An MPI launcher, identified from its --version, with the options the
// programs need from it.
struct launcher {
    std::string path;
    std::string implementation;  // "Open MPI", "MPICH", "Slurm" or "unknown"
    std::string version;         // the first line of --version
    std::vector<std::string> command;
    environment env;  // what it needs in the environment
    // How to pass a variable of our environment to ranks on other machines
    // ("-x" for Open MPI; empty where every variable goes by default).
    std::string forward_flag;
    // A scheduler's launcher's allocation, where it starts the ranks on
    // the allocation's nodes (slurm.hpp); nothing for mpiexec and its like.
    std::optional<slurm_context> allocation;
    std::string choice;  // the value of --launcher it was prepared as (launch.cpp's table)
};

// What the ranks are to be started with (--launcher, --mpiexec and
// --hostfile, as given) and for (the MPI cells).
struct launch_request {
    std::string launcher = "auto";  // auto, or a value of launch.cpp's table
    std::string mpiexec;            // --mpiexec
    std::string built_for;          // the mpiexec corvane-mpi was built for, if known
    std::string hostfile;
    std::vector<int> ranks;    // --ranks; none without MPI cells
    std::vector<int> threads;  // of each rank: --threads, or 1 where it is not given
    bool threads_given = false;
    std::string bin_dir;  // where corvane-mpi and corvane-mpi-version are
    binding bind = binding::none;
    std::optional<topology> machine;  // where teams are placed, if known
    environment env;                  // --env, which the ranks must see too
    int cpus = 0;                     // the processors this process may use
};

// Runs `path --version` and fills the launcher from the entry that
// recognises it: the hostfile option, --oversubscribe beyond the processors
// where the launcher needs it, and what it needs to run as root. Throws
// bench_error when the launcher cannot be used.
launcher identify_launcher(const std::string& path, int most_ranks, int cpus, const std::string& hostfile);

// The first line of the MPI library's version, as corvane-mpi-version (found
// with find_helper from `bin_dir`) prints it, or "unknown": the library the
// launcher must speak to.
std::string mpi_library_version(const std::string& bin_dir);

// The launcher's own options that place ranks of `threads` threads each,
// by its implementation's name. Throws bench_error for an unknown launcher
// unless `bind` is none.
std::vector<std::string> launcher_binding(const std::string& implementation, binding bind, int threads);

// Starts one run: the command (program or launcher first) and its options.
// The suite takes it as a parameter so that tests can run it with a fake,
// and a scheduler's launcher wraps it (srun_runner).
using program_runner =
    std::function<process::program_run(const std::vector<std::string>& command, const process::run_options&)>;
process::program_run run_command(const std::vector<std::string>& command,
                                 const process::run_options& options);

}  // namespace corvane::bench
