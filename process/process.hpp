// Runs a program the way a user would, as a separate process, and keeps
// what it printed, how it ended and how long it took. Nothing the program
// does can hang or crash the caller: a run has a time limit, the program
// and everything it starts live in a process group of their own that is
// ended afterwards, and a failure to start is a result, not an exception.
//
// On Linux, where the system permits (root, or CAP_SYS_ADMIN, and no
// seccomp filter against it), each run gets a PID namespace of its own.
// Its first process is a small init of ours, not the program: it starts
// the program, reaps every process of the run, passes our TERM and KILL on
// to all of them, times the program itself, and dies with the thread that
// started the run, whereupon the kernel ends every process in the
// namespace. So nothing a run started outlives the caller, even when the
// caller is killed with SIGKILL. Seen from inside, process ids are those
// of the namespace; the program's is the init's outside it, so that
// launchers that name files after their pid (Open MPI) do not collide
// between runs.
//
// Where no namespace is permitted (in_pid_namespace false, and
// namespace_refused says why), a run is contained as before: the caller
// becomes a child subreaper, so every orphan among the program's
// descendants, in whatever group or session it moved to, is adopted by the
// caller and ended and reaped when the run ends (and counted in
// left_behind). The program itself gets SIGKILL if the thread that started
// it dies (a killed caller, an OOM kill, a cancelled job). Only the
// program: what it started in turn is orphaned to init then, and it must
// notice on its own (mpiexec's ranks lose their launcher and abort).
//
// Either way, start runs from a thread that outlives them, since the
// kernel ties the death signal to the starting thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvane::process {

// At most this much of each stream is kept by default; the rest is read and
// dropped, and the run says that its output was cut.
inline constexpr std::size_t kept_output_bytes = 1 << 20;

enum class stdout_to { capture, full_device, closed };

struct run_options {
    std::vector<std::pair<std::string, std::string>> env;  // added to this process's
    stdout_to target = stdout_to::capture;
    double timeout_s = 0;                        // 0: no limit
    std::string input;                           // written to the program's standard input, which then closes
    std::size_t kept_bytes = kept_output_bytes;  // per stream
    bool own_pid_namespace = true;               // Linux, where permitted; false: contained as elsewhere
};

struct program_run {
    int exit_status = -1;  // -1 when the process did not exit by itself
    int signal = 0;        // the signal that ended it, if one did
    std::string out;
    std::string err;
    bool out_truncated = false;  // the program wrote more than kept_bytes
    bool err_truncated = false;
    double wall_seconds = 0.0;  // from the start until the program itself exited
    double cpu_seconds = 0.0;   // user + system time of the process
    // CPU time and context switches, as the system counts them for the
    // process: all its threads, and the descendants that it (or one of
    // them) waited for; not what escaped and was ended by us. For a
    // launcher such as mpiexec, its ranks count only where it reaps them.
    // Unknown where the process could not be waited for.
    std::optional<double> user_seconds, system_seconds;
    std::optional<long> involuntary_switches;  // preempted while runnable; unknown on Windows
    std::optional<long> voluntary_switches;    // gave up the processor, to wait or sleep
    bool timed_out = false;                    // ended by us after timeout_s
    int interrupted_by = 0;                    // ended by us because this process got that signal
    int left_behind = 0;                       // processes it left running, which we ended (Linux only)
    bool in_pid_namespace = false;             // the run had a PID namespace of its own
    std::string namespace_refused;             // why not, where one was asked for
    // This process was stopped (SIGSTOP, SIGTSTP) and continued during the
    // run while its own clock timed the program, so wall_seconds includes
    // the stop. Never set in a namespace: there the init times the program,
    // and it was not stopped.
    bool caller_stopped = false;
    std::string failure;  // why it could not be run or waited for
};

program_run run_program(const std::string& path, const std::vector<std::string>& args = {},
                        const run_options& options = {});

// Opens /dev/null on any of descriptors 0-2 that is closed, so that no pipe
// made later takes one of them: text printed to a pipe that poll watches
// would wake it forever. Call it first thing in main; the functions below
// call it too. Returns the descriptors it found closed (bit 1 << fd): what
// a program prints to one of them now vanishes, and it should say so.
int guard_standard_descriptors();

// SIGINT, SIGTERM and SIGHUP no longer end this process at once: a running
// program is ended instead and interrupted_by() tells the caller, who cleans
// up and exits 128 + the signal.
void catch_interrupts();
int interrupted_by();

// Lines without their terminators (\n or \r\n).
std::vector<std::string> lines_of(const std::string& text);

}  // namespace corvane::process
