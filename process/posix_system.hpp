// What the POSIX runner needs from the system beyond POSIX itself. Linux
// offers it (linux.cpp); elsewhere (posix_other.cpp) each part does
// without, and a run is contained by its process group alone.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "process/descriptor.hpp"

namespace corvane::process {

// Seconds on the steady clock from `start` until now.
double since(std::chrono::steady_clock::time_point start);

// Everything the started program needs, made before any fork: the child
// only calls what is safe between fork and exec.
struct launch {
    const char* path = nullptr;
    std::vector<char*> argv, envp;    // each ends with a null pointer
    int in = -1, out = -1, err = -1;  // its standard streams; out -1 leaves descriptor 1 closed
    std::string failed_exec_prefix;   // "cannot run PATH: "
};

// In the child: sets up the program's group, signals and streams, then
// execs it; exits 127 if it cannot. With a parent, dies with it.
[[noreturn]] void exec_program(const launch& program, pid_t parent);

// --- a run contained by its process group ---

// Orphans among the run's descendants come to this process, whatever
// group or session they moved to.
void become_subreaper();
// In the child: SIGKILL once the process that started it dies.
void die_with_parent(pid_t parent);
// Readable once the process has ended; none where the system has no such
// descriptor.
unique_fd exit_descriptor(pid_t child);
// This process's children: those it started and the orphans it adopted.
std::set<pid_t> own_children();
// Adds to `alive` what was adopted from the run and still runs.
void note_left_behind(const std::set<pid_t>& ours, pid_t child, std::set<pid_t>& alive);
// Ends and reaps what the run left running outside its group.
void end_left_behind(pid_t group, const std::set<pid_t>& ours, std::set<pid_t>& alive);

// --- a run in a PID namespace of its own, under an init of ours ---

// What the init writes, once, when the program has ended and everything
// it left has been ended and reaped.
struct init_report {
    int start_errno = 0;       // the program could not be started
    int status = 0;            // as wait4 gives it
    rusage usage{};            // the program's and those of its descendants it waited for
    int left_behind = 0;       // processes still running when the program ended
    std::int64_t wall_ns = 0;  // from just before the program started until it ended
};

struct namespace_run {
    pid_t init = -1;      // -1 where no namespace could be made
    unique_fd report;     // the init_report arrives here
    unique_fd signals;    // a byte per signal that the program sent to its parent, the init
    std::string refused;  // why not
};

// Starts the init, which starts the program. SIGTERM to the init sends
// TERM to every process of the run, SIGUSR1 sends KILL; the init dies with
// this process, and the kernel then ends the whole namespace. Signals the
// run sends to its parent arrive on `signals`, for the caller to raise.
namespace_run start_in_pid_namespace(const launch& program);

}  // namespace corvane::process
