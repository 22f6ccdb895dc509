// The suite: which programs run in which cells, the order of the runs, and
// the validation of every run. It knows nothing of output formats.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bench/launch/launchers.hpp"
#include "bench/machine/placement.hpp"
#include "bench/model/model.hpp"
#include "process/process.hpp"

namespace corvane::bench {

// A report is two short lines; more than this is not one, and more than
// kept_output_bytes of a run's output is not even kept.
inline constexpr std::size_t longest_report_bytes = 4096;
inline constexpr std::size_t kept_output_bytes = 1 << 16;

// Why a run is invalid, or an empty string for a valid one. The reason
// quotes the program's output only through printable().
std::string validate(const process::program_run& run, double timeout_s = 0);

// The run as a sample: its reason if invalid, its reported time if valid.
sample sample_of(const process::program_run& run, double timeout_s);

struct suite_options {
    std::string bin_dir;
    int runs = 5, warmup = 1;
    double timeout_s = 300;  // per run
    std::vector<int> threads;
    std::vector<std::string> programs;
    environment env;
    std::uint64_t seed = 0;
    std::vector<int> ranks;            // corvane-mpi cells, if any
    std::vector<std::string> mpiexec;  // the launcher and its own options
    environment mpiexec_env;           // what the launcher needs besides --env
    std::string mpi_implementation;    // whose binding options the launcher takes
    binding bind = binding::none;
    std::optional<topology> machine;  // where teams are placed, if known
};

std::vector<cell> make_cells(const suite_options& options);

// The environment a cell's runs get: --env, then the cell's team size and
// its placement under --bind.
environment cell_environment(const suite_options& options, const cell& c);

// Runs warm-up rounds, then counted rounds, each round every cell once in an
// order shuffled from the seed. `progress` (may be empty) hears of each run.
// Returns the signal that interrupted the suite, or 0 if it ran to the end.
int run_suite(const suite_options& options, std::vector<cell>& cells, const program_runner& run,
              const std::function<void(const std::string&)>& progress = {});

// Throws `interrupted` (error.hpp) if this process has been interrupted:
// asked between the harness's steps.
void stop_if_interrupted();

}  // namespace corvane::bench
