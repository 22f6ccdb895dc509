// Runs a program the way a user would, as a separate process, and keeps
// what it printed, how it ended and how long it took. Nothing the program
// does can hang or crash the caller: a run has a time limit, the program
// and everything it starts live in a process group of their own that is
// ended afterwards, and a failure to start is a result, not an exception.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace corvane::process {

enum class stdout_to { capture, full_device, closed };

struct run_options {
    std::vector<std::pair<std::string, std::string>> env;  // added to this process's
    stdout_to target = stdout_to::capture;
    double timeout_s = 0;  // 0: no limit
    std::string input;     // written to the program's standard input
};

struct program_run {
    int exit_status = -1;  // -1 when the process did not exit by itself
    int signal = 0;        // the signal that ended it, if one did
    std::string out;
    std::string err;
    double wall_seconds = 0.0;
    double cpu_seconds = 0.0;  // user + system time of the process
    bool timed_out = false;    // ended by us after timeout_s
    int interrupted_by = 0;    // ended by us because this process got that signal
    std::string failure;       // why it could not be run or waited for
};

program_run run_program(const std::string& path, const std::vector<std::string>& args = {},
                        const run_options& options = {});

// SIGINT, SIGTERM and SIGHUP no longer end this process at once: a running
// program is ended instead and interrupted_by() tells the caller, who cleans
// up and exits 128 + the signal.
void catch_interrupts();
int interrupted_by();

// At most this much of each stream is kept; the rest is read and dropped.
inline constexpr std::size_t kept_output_bytes = 1 << 20;

// Lines without their terminators (\n or \r\n).
std::vector<std::string> lines_of(const std::string& text);

// The seconds of "The time to calculate PI was %f seconds".
double reported_seconds(const std::string& time_line);

}  // namespace corvane::process
