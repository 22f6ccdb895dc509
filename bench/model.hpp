// The results of a suite: one typed record that the suite fills, and every
// reporter and compare read. Only the JSON reporter converts it to and from
// text with names.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench/stats.hpp"

namespace corvane::bench {

using environment = std::vector<std::pair<std::string, std::string>>;

struct program_info {
    const char* name;
    bool parallel;             // takes its team size from OMP_NUM_THREADS
    const char* baseline;      // the serial program of the same order, or nullptr
    bool distributed = false;  // started by mpiexec, one cell per --ranks entry
};

const std::vector<program_info>& known_programs();
const program_info* find_program(const std::string& name);

// One run of a program. An invalid run keeps its reason and no time.
struct sample {
    double reported_s = 0;  // what the program printed
    double wall_s = 0;      // how long the process lived, by our clock
    bool valid = false;
    std::string reason;
    // The process's CPU time and preemptions, where the system counted
    // them: unknown in older result files and where switches are not counted.
    std::optional<double> user_s = std::nullopt, system_s = std::nullopt;
    std::optional<long> involuntary_switches = std::nullopt;
};

struct cell_statistics {
    summary reported, wall;  // over valid samples only
    int valid_runs = 0, invalid_runs = 0;
    bool unstable = false;  // relative MAD of the reported times above unstable_mad
    scaling scaled;         // against the serial program of the same order
    // Over the valid runs that carry CPU time (contention.hpp): CPU time /
    // wall time, and involuntary context switches per second of CPU time.
    std::optional<double> parallelism, preemptions_per_cpu_s;
    // The threads did not get their processors: the scaling is doubtful.
    bool contended = false;
    std::string contention;  // why, when contended
};

// A cell holds at most this many runs: enough for any study, and few
// enough that compare's exact tests stay within seconds and megabytes.
inline constexpr std::size_t max_samples_per_cell = 1000;

// A program on one team size (and, for corvane-mpi, one number of ranks).
struct cell {
    std::string program;
    std::optional<int> ranks;    // MPI processes, for corvane-mpi only
    std::optional<int> threads;  // none for the serial programs
    std::vector<sample> samples;
    cell_statistics statistics;  // filled by evaluate()
};

// A cell's one name, in tables, reasons and compare:
// "corvane-omp threads 2", "corvane-mpi ranks 2 threads 1".
std::string cell_label(const cell& c);

// How many threads the cell runs in all: ranks times threads.
std::optional<int> workers(const cell& c);

// The times a cell's statistics are taken over: its valid samples.
std::vector<double> valid_times(const cell& c);

// Fills every cell's statistics, scaled against the baseline cells present.
void evaluate(std::vector<cell>& cells);

// The kernel one summation order chose, and what every candidate measured.
struct order_plan {
    std::string chosen;
    std::vector<std::pair<std::string, double>> ns_per_term;  // kernel name, simplest first
};

struct mpi_context {
    std::string launcher, implementation, launcher_version, library;
    environment launcher_env;
    std::optional<std::string> hostfile;
};

// What the results were measured with and on. Fields a result file does
// not carry stay empty (or 0) and are not compared.
struct run_context {
    std::string processor;
    int logical_cores = 0, usable_cpus = 0;
    std::string compiler, flags, build_type, openmp_runtime;
    std::map<std::string, std::string> omp_variables;  // OMP_* besides OMP_NUM_THREADS
    std::map<std::string, std::string> env;            // --env
    std::vector<int> threads;
    int runs = 0, warmup = 0;
    double timeout_s = 0;
    std::map<std::string, order_plan> kernel_plan;  // by order: "strict", "four_lane"
    std::vector<std::string> warnings;
    std::string version, commit, date;
    std::optional<mpi_context> mpi;
    std::uint64_t seed = 0;
};

// One kernel of corvane-kernels as measured on the machine of the results:
// "four_lane/avx512/newton" on 1 thread at 0.354 ns/term, 1.11 x its floor.
struct kernel_figure {
    std::string name;
    int threads = 1;
    double ns_per_term = 0;
    std::optional<double> vs_floor;  // none for the floors themselves
};

struct suite_result {
    run_context context;
    std::vector<cell> cells;
    std::vector<kernel_figure> kernels;  // empty unless corvane-kernels was run
};

}  // namespace corvane::bench
