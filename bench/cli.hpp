// corvane-bench's command line: what the user asked for, and every check
// that can fail before a single run is made. A problem throws bench_error.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/report/report.hpp"
#include "bench/run/context.hpp"
#include "bench/run/suite.hpp"

namespace corvane::bench {

// Bounds that keep every count meaningful and its arithmetic exact.
inline constexpr int most_warmup_runs = 100;
inline constexpr double longest_timeout_s = 7 * 24 * 3600.0;

struct compare_request {
    std::string old_path, new_path, markdown;
    bool markdown_given = false;
    double min_effect_percent = 1.0;
    bool strict = false;
    bool fail_on_slower = false;
    bool json = false;  // the comparison as JSON on standard output, the table on standard error
};

// report FILE.json...: saved results side by side, as HTML or Markdown.
struct report_request {
    std::vector<std::string> inputs;
    std::vector<std::string> kernels_inputs;  // corvane-kernels --json files
    std::vector<export_request> exports;
};

struct command_line {
    suite_options options;
    std::string threads, ranks, programs, mpiexec, hostfile, seed;
    std::string bind = "none";
    std::string launcher = "auto";  // srun inside a Slurm allocation, else mpiexec
    std::vector<std::string> env;
    std::vector<export_request> exports;
    bool wide = false;  // every column of the terminal table
    std::optional<compare_request> compare;
    bool kernels = false;  // also run corvane-kernels and keep its figures
    std::optional<report_request> report;
};

// The parsed command line, or nothing when --help or --version was asked for and shown.
std::optional<command_line> parse_command_line(int argc, char** argv);

// A suite ready to run: its options, its cells, and what was found out
// about the machine and tools on the way.
struct prepared_suite {
    suite_options options;
    std::vector<cell> cells;
    std::optional<launcher> mpi;
    std::optional<slurm_context> slurm;  // the allocation, where srun launches the ranks
    std::vector<std::string> warnings;
    machine_facts machine;
    std::string kernels_program;  // corvane-kernels, when --kernels asked for it
};
prepared_suite prepare(const command_line& given);

}  // namespace corvane::bench
