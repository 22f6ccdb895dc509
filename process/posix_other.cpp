// POSIX systems other than Linux: a run is contained by its process group
// alone. What leaves the group is not seen, the program does not die with
// the caller, and the runner looks now and then whether it has ended.
#include "process/posix_system.hpp"

namespace corvane::process {

void become_subreaper() {}
void die_with_parent(pid_t) {}
unique_fd exit_descriptor(pid_t) { return {}; }
std::set<pid_t> own_children() { return {}; }
void note_left_behind(const std::set<pid_t>&, pid_t, std::set<pid_t>&) {}
void end_left_behind(pid_t, const std::set<pid_t>&, std::set<pid_t>&) {}

namespace_run start_in_pid_namespace(const launch&) {
    namespace_run run;
    run.refused = "no PID namespaces on this system";
    return run;
}

}  // namespace corvane::process
