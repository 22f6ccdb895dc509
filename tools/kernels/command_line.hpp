// corvane-kernels' command line: which tool runs, and with what. Parsed in
// one place; a usage problem is a tool_error with status 2, found before
// anything runs.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/corvane.hpp"

namespace corvane::kernels {

inline constexpr int usage_status = 2;

// One error style: a message and the exit status it means, thrown where the
// problem is found and reported once, by main.
struct tool_error : std::runtime_error {
    int status;
    explicit tool_error(const std::string& message, int exit_status = usage_status)
        : std::runtime_error(message), status(exit_status) {}
};

enum class tool { benchmarks, help, version, plan, repeat_plan, plan_cold, verify };

struct command {
    tool chosen = tool::benchmarks;
    int repeats = 0;                           // repeat_plan: fresh processes per order and condition
    summation_order order{};                   // plan_cold
    std::string json_path;                     // benchmarks: --json FILE, empty without
    std::vector<std::string> benchmark_flags;  // benchmarks: Google Benchmark's own --benchmark_*
};

// How many cold starts --plan --repeat may ask for: at about four seconds
// each, the largest is more than an hour.
inline constexpr int most_repeats = 1000;

command parse_command_line(const std::vector<std::string>& arguments);  // without the program name

// The count of --repeat: a whole number from 1 to most_repeats, written in
// decimal digits and nothing else.
int parse_repeats(const std::string& text);

// Why --json cannot take this path, or nothing. The JSON is checked once
// written, so it goes to a regular file (or one that does not exist yet),
// and not to the file standard output already is, where the console table
// would be mixed into it.
std::optional<std::string> json_path_problem(const std::string& path);

extern const char usage_text[];
// The rest of --help, from the file that runs the benchmarks (or says why
// this build has none): their flags and the exit statuses.
extern const char benchmarks_usage[];

}  // namespace corvane::kernels
