// corvane-bench's command line: what the user asked for, as options. The
// checks that need more than the arguments are prepare.hpp's. A problem
// throws bench_error.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/report/report.hpp"
#include "bench/run/suite.hpp"

namespace corvane::bench {

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
    std::string launcher = "auto";  // or a value of launch.cpp's table
    std::vector<std::string> env;
    std::vector<export_request> exports;
    bool wide = false;  // every column of the terminal table
    std::optional<compare_request> compare;
    bool kernels = false;  // also run corvane-kernels and keep its figures
    std::optional<report_request> report;
};

// The parsed command line, or nothing when --help or --version was asked for and shown.
std::optional<command_line> parse_command_line(int argc, char** argv);

}  // namespace corvane::bench
