// The suite: which programs run in which cells, the order of the runs, and
// the validation of every run. It knows nothing of output formats.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench/stats.hpp"
#include "process/process.hpp"

namespace corvane::bench {

struct program_info {
    const char* name;
    bool parallel;             // takes its team size from OMP_NUM_THREADS
    const char* baseline;      // the serial program of the same order, or nullptr
    bool distributed = false;  // started by mpiexec, one cell per --ranks entry
};

const std::vector<program_info>& known_programs();
const program_info* find_program(const std::string& name);

// A program's output is data: bytes that are not printable UTF-8 (control
// characters, escape sequences, invalid sequences) become \xNN.
std::string printable(const std::string& text);

// The seconds of "The time to calculate PI was %f seconds".
double reported_seconds(const std::string& time_line);

// Why a run is invalid, or an empty string for a valid one. The reason
// quotes the program's output only through printable().
std::string validate(const process::program_run& run, double timeout_s = 0);

struct sample {
    double reported_s = 0, wall_s = 0;
    bool valid = false;
    std::string reason;
};

struct cell {
    std::string program;
    std::optional<int> threads;  // none for the serial programs
    std::vector<sample> samples;
    std::optional<int> ranks;  // MPI processes, for corvane-mpi only
};

// "corvane-omp threads 2", "corvane-mpi ranks 2 threads 1".
std::string cell_label(const cell& c);

// How many threads the cell runs in all: ranks times threads.
std::optional<int> workers(const cell& c);

struct cell_result {
    summary reported, wall;  // over valid samples only
    int valid_runs = 0, invalid_runs = 0;
    bool unstable = false;  // relative MAD of the reported times above unstable_mad
    scaling scaled;
};

// Statistics of every cell, scaled against the baseline cells present.
std::vector<cell_result> evaluate(const std::vector<cell>& cells);

using environment = std::vector<std::pair<std::string, std::string>>;

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
};

// Default team sizes: 1, the powers of two below `cpus`, and `cpus`.
std::vector<int> default_threads(int cpus);

// Parses "1,2,4" given to `option`: positive integers, sorted, without
// repeats. Throws std::invalid_argument naming the offending item.
std::vector<int> parse_counts(const std::string& list, const std::string& option);

std::vector<cell> make_cells(const suite_options& options);

// The environment a cell's runs get: --env, then the cell's team size.
environment cell_environment(const suite_options& options, const cell& c);

// Runs warm-up rounds, then counted rounds, each round every cell once in an
// order shuffled from the seed. `progress` (may be empty) hears of each run.
// Returns the signal that interrupted the suite, or 0 if it ran to the end.
int run_suite(const suite_options& options, std::vector<cell>& cells,
              const std::function<void(const std::string&)>& progress);

}  // namespace corvane::bench
