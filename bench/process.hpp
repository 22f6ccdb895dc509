// Runs a program the way a user would, as a separate process, and keeps
// what it printed, how it ended and how long it took.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace corvane::process {

enum class stdout_to { capture, full_device, closed };

struct program_run {
    int exit_status = -1;  // -1 when the process died of a signal
    int signal = 0;        // the signal that ended it, if one did
    std::string out;
    std::string err;
    double wall_seconds = 0.0;
    double cpu_seconds = 0.0;  // user + system time of the process
};

program_run run_program(const std::string& path, const std::vector<std::string>& args = {},
                        const std::vector<std::pair<std::string, std::string>>& env = {},
                        stdout_to target = stdout_to::capture);

// Lines without their terminators (\n or \r\n).
std::vector<std::string> lines_of(const std::string& text);

// The seconds of "The time to calculate PI was %f seconds".
double reported_seconds(const std::string& time_line);

}  // namespace corvane::process
