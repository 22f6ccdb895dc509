// corvane-bench: runs the five programs as separate processes, validates
// every run, and turns the reported times into statistics and scaling.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "process.hpp"

namespace corvane::bench {

// --- statistics -----------------------------------------------------------

struct summary {
    double median = 0, min = 0, max = 0, mean = 0, stddev = 0, cv = 0;
    int outliers = 0;
};

// Sample standard deviation (n - 1); one sample has none (0). Outliers lie
// more than three scaled median absolute deviations from the median; the
// deviation counts at least one clock tick (1 ms), so identical readings
// next to one a tick away are not called outliers.
summary summarize(const std::vector<double>& samples);
double median_of(std::vector<double> samples);

inline constexpr double unstable_cv = 0.05;

// Two-sided p-value of the Mann-Whitney U test: exact by enumeration for
// small samples, the normal approximation with tie correction otherwise.
double mann_whitney_p(const std::vector<double>& a, const std::vector<double>& b);

struct scaling {
    std::optional<double> speedup, efficiency, karp_flatt;
};

// Speedup against the baseline median; efficiency and the Karp-Flatt serial
// fraction only for a team of threads (more than one).
scaling scale(double baseline_median, double median, std::optional<int> threads);

// --- programs and runs ----------------------------------------------------

struct program_info {
    const char* name;
    bool parallel;             // takes its team size from OMP_NUM_THREADS
    const char* baseline;      // the serial program of the same order, or nullptr
    bool distributed = false;  // started by mpiexec, one cell per --ranks entry
};

const std::vector<program_info>& known_programs();
const program_info* find_program(const std::string& name);

// Why a run is invalid, or an empty string for a valid one.
std::string validate(const process::program_run& run);

struct sample {
    double reported_s = 0, wall_s = 0;
    bool valid = false;
    std::string reason;
};

struct cell {
    std::string program;
    std::optional<int> threads;  // none for the serial programs
    std::vector<sample> samples;
    std::optional<int> ranks;    // MPI processes, for corvane-mpi only
};

// "corvane-omp threads 2", "corvane-mpi ranks 2 threads 1".
std::string cell_label(const cell& c);

// How many threads the cell runs in all: ranks times threads.
std::optional<int> workers(const cell& c);

struct cell_result {
    summary reported, wall;  // over valid samples only
    int valid_runs = 0, invalid_runs = 0;
    bool unstable = false;   // cv of the reported times at unstable_cv or above
    scaling scaled;
};

// Statistics of every cell, scaled against the baseline cells present.
std::vector<cell_result> evaluate(const std::vector<cell>& cells);

// --- the suite ------------------------------------------------------------

struct suite_options {
    std::string bin_dir;
    int runs = 5, warmup = 1;
    std::vector<int> threads;
    std::vector<std::string> programs;
    std::vector<std::pair<std::string, std::string>> env;
    std::uint64_t seed = 0;
    std::vector<int> ranks;             // corvane-mpi cells, if any
    std::vector<std::string> mpiexec;   // the launcher and its own options
};

// The full path of an executable found on PATH, or an empty string.
std::string find_on_path(const std::string& program);

struct launcher {
    std::vector<std::string> command;  // empty if mpiexec is not on PATH
    bool open_mpi = false;
};

// mpiexec and the options it needs here: Open MPI gets --bind-to none, so a
// rank's threads are not confined to one core, and --oversubscribe when
// there are more ranks than cores.
launcher find_mpiexec(int most_ranks, int cores);

// Default team sizes: 1, the powers of two below `cores`, and `cores`.
std::vector<int> default_threads(int cores);

// Parses "1,2,4" given to `option`: positive integers, sorted, without
// repeats. Throws std::invalid_argument naming the offending item.
std::vector<int> parse_counts(const std::string& list, const std::string& option);

std::vector<cell> make_cells(const suite_options& options);

// Runs warm-up rounds, then counted rounds, each round every cell once in an
// order shuffled from the seed. `progress` (may be empty) hears of each run.
void run_suite(const suite_options& options, std::vector<cell>& cells,
               const std::function<void(const std::string&)>& progress);

// --- context and reports --------------------------------------------------

nlohmann::json context_of(const suite_options& options);
nlohmann::json to_json(const suite_options& options, const nlohmann::json& context,
                       const std::vector<cell>& cells, const std::vector<cell_result>& results);

std::string terminal_table(const std::vector<cell>& cells, const std::vector<cell_result>& results);
std::string markdown_table(const std::vector<cell>& cells, const std::vector<cell_result>& results);
std::string csv_rows(const std::vector<cell>& cells);
std::string invalid_runs_text(const std::vector<cell>& cells);
std::string context_text(const nlohmann::json& context, std::uint64_t seed);

// The speedup plot as a gnuplot script writing SVG to `svg_path`.
std::string plot_script(const std::vector<cell>& cells, const std::vector<cell_result>& results,
                        const std::string& svg_path);

// compare OLD NEW: per cell the ratio of medians (new / old), its
// significance, and the geometric mean of the ratios.
std::string compare_text(const nlohmann::json& old_result, const nlohmann::json& new_result);

// Reads a result file; throws std::runtime_error with a one-line reason.
nlohmann::json read_result(const std::string& path);

// --- files ----------------------------------------------------------------

// Throws std::runtime_error if `path` cannot be written (checked before any
// run, so a bad path costs nothing).
void check_writable(const std::string& path);

// Writes the whole text to a temporary file beside `path`, then renames it:
// the file is either complete or absent.
void write_whole(const std::string& path, const std::string& text);

}  // namespace corvane::bench
