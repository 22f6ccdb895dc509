// Linux: a child subreaper, pidfds and the parent-death signal for runs
// contained by their process group, and a PID namespace with an init of
// ours where the system permits one (root, or CAP_SYS_ADMIN, and no
// seccomp filter against it).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include "process/posix_system.hpp"

namespace corvane::process {

namespace {

using clock = std::chrono::steady_clock;

struct child_process {
    pid_t pid;
    bool zombie;
};

std::vector<child_process> children() {
    std::vector<child_process> found;
    DIR* proc = opendir("/proc");
    if (!proc) return found;
    const long self = getpid();
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0) continue;
        std::ifstream in(std::string("/proc/") + entry->d_name + "/stat");
        std::string stat;
        std::getline(in, stat);
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        const auto name_end = stat.rfind(')');
        char state = 0;
        long ppid = 0;
        if (name_end != std::string::npos &&
            std::sscanf(stat.c_str() + name_end + 1, " %c %ld", &state, &ppid) == 2 && ppid == self)
            found.push_back({static_cast<pid_t>(pid), state == 'Z'});
    }
    closedir(proc);
    return found;
}

// fork() without glibc's bookkeeping, which takes locks that another thread
// of the caller may hold: the child only calls what is safe after a fork.
// The stack argument 0 makes the child go on from here, as fork does.
pid_t raw_fork(unsigned long flags) {
    return static_cast<pid_t>(syscall(SYS_clone, flags | SIGCHLD, nullptr, nullptr, nullptr, nullptr));
}

void close_range_from(unsigned first, unsigned last) {
#ifdef SYS_close_range  // Linux 5.9
    if (syscall(SYS_close_range, first, last, 0) == 0) return;
#endif
    const long open_max = sysconf(_SC_OPEN_MAX);
    const unsigned limit = open_max > 0 ? static_cast<unsigned>(open_max) : 1024u;
    for (unsigned fd = first; fd <= last && fd < limit; ++fd) close(static_cast<int>(fd));
}

std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// As PID 1 of the namespace, kill(-1) reaches every other process in it,
// whatever group or session it moved to.
// Signals from the caller, outside the namespace, arrive with no sender pid
// (the sender has none in here): TERM and, in its place, USR1 for KILL go
// to the whole run. Signals that a process of the run sends to its parent,
// now us, are passed on to the caller (which we cannot signal from in
// here), as if it were still the parent.
int relay_fd = -1;

extern "C" void on_signal(int signo, siginfo_t* info, void*) {
    const int saved = errno;
    if (info && info->si_pid > 0) {
        const char byte = static_cast<char>(signo);
        (void)!write(relay_fd, &byte, 1);
    } else if (signo == SIGTERM) {
        kill(-1, SIGTERM);
    } else if (signo == SIGUSR1) {
        kill(-1, SIGKILL);
    }
    errno = saved;
}

constexpr int relayed_signals[] = {SIGTERM, SIGUSR1, SIGINT, SIGHUP, SIGQUIT, SIGUSR2};

// Closes every descriptor but those kept: the caller's ends of the
// program's pipes (its input above all) must not stay open in the init.
void close_all_but(std::vector<int> kept) {
    std::sort(kept.begin(), kept.end());
    unsigned first = 0;
    for (int fd : kept) {
        if (fd < 0 || static_cast<unsigned>(fd) < first) continue;
        if (static_cast<unsigned>(fd) > first) close_range_from(first, static_cast<unsigned>(fd) - 1);
        first = static_cast<unsigned>(fd) + 1;
    }
    close_range_from(first, ~0u);
}

void write_report(int fd, const init_report& report) {
    const char* data = reinterpret_cast<const char*>(&report);
    std::size_t written = 0;
    while (written < sizeof report) {
        const ssize_t put = write(fd, data + written, sizeof report - written);
        if (put > 0)
            written += static_cast<std::size_t>(put);
        else if (errno != EINTR)
            return;
    }
}

// Gives the program, inside the namespace, the pid that the init has
// outside it. Launchers name session directories and shared memory after
// their pid (Open MPI's runs crash when two at once both see pid 2), so
// each run's pids should be as unique on the machine as ours. /proc is the
// caller's, so /proc/self names the init by its outer pid; ns_last_pid is
// that of the writer's own namespace. Without either, the program is 2.
void take_outer_pid_inside() {
    char text[24] = {};
    const ssize_t length = readlink("/proc/self", text, sizeof text - 1);
    long outer = 0;
    for (ssize_t i = 0; i < length && text[i] >= '0' && text[i] <= '9'; ++i)
        outer = outer * 10 + (text[i] - '0');
    if (outer <= 2) return;
    char last[24];
    std::size_t digits = 0;
    for (long n = outer - 1; n > 0; n /= 10) last[digits++] = static_cast<char>('0' + n % 10);
    std::reverse(last, last + digits);
    const int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    (void)!write(fd, last, digits);
    close(fd);
}

// Where the run also has a mount namespace of its own, a /proc of its own
// there: the caller's /proc numbers processes as the caller sees them, so a
// program that looks itself or its peers up in /proc (/dev/stdout, MPI
// libraries attaching each other's shared memory) would find the wrong
// processes or none. The new mount must not propagate back, so what it is
// mounted on is made private first: the whole tree, or where / is no mount
// point (a chroot) /proc alone. Failing both, /proc stays the caller's: the
// remount would change the caller's own.
void see_own_namespace_in_proc() {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 &&
        mount(nullptr, "/proc", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return;
    (void)mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
}

// PID 1 of the run's namespace: starts the program, reaps whatever ends in
// the namespace, times the program itself (so a caller that was stopped
// meanwhile does not stretch the run), and once the program has ended,
// kills and counts what it left running.
[[noreturn]] void run_as_init(const launch& program, int report_fd, int signal_fd, bool own_mounts) {
    relay_fd = signal_fd;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A caller that died before that took effect has closed the report's
    // reading end.
    pollfd caller{report_fd, POLLOUT, 0};
    if (poll(&caller, 1, 0) == 1 && (caller.revents & POLLERR)) _exit(127);

    close_all_but({STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO, program.in, program.out, program.err,
                   report_fd, signal_fd});

    sigset_t forwarded, before;
    sigemptyset(&forwarded);
    for (int signo : relayed_signals) sigaddset(&forwarded, signo);
    sigprocmask(SIG_BLOCK, &forwarded, &before);
    struct sigaction action {};
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    action.sa_sigaction = on_signal;
    for (int signo : relayed_signals) sigaction(signo, &action, nullptr);

    take_outer_pid_inside();
    if (own_mounts) see_own_namespace_in_proc();
    init_report report;
    const std::int64_t started_ns = monotonic_ns();
    const pid_t child = raw_fork(0);
    if (child == 0) {
        for (int signo : relayed_signals) signal(signo, SIG_DFL);
        sigprocmask(SIG_SETMASK, &before, nullptr);
        exec_program(program, 0);
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    // Only the program holds its streams, so that they close when it ends.
    for (int fd : {program.in, program.out, program.err})
        if (fd >= 0) close(fd);
    if (child < 0) {
        report.start_errno = errno;
        write_report(report_fd, report);
        _exit(0);
    }

    for (;;) {
        int status = 0;
        rusage usage{};
        const pid_t reaped = wait4(-1, &status, 0, &usage);
        if (reaped == child) {
            report.status = status;
            report.usage = usage;
            break;
        }
        if (reaped < 0 && errno != EINTR) break;
    }
    report.wall_ns = monotonic_ns() - started_ns;
    // What ended before the program is not left behind; what is killed
    // now was still running.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {}
    kill(-1, SIGKILL);
    for (;;) {
        int status = 0;
        const pid_t reaped = wait4(-1, &status, 0, nullptr);
        if (reaped > 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) ++report.left_behind;
        if (reaped < 0 && errno != EINTR) break;
    }
    write_report(report_fd, report);
    _exit(0);
}

}  // namespace

void become_subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

void die_with_parent(pid_t parent) {
    // Die with the caller instead of running on under init. A caller that
    // died before this took effect is no longer our parent.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
}

unique_fd exit_descriptor(pid_t child) {
#ifdef SYS_pidfd_open  // not before Linux 5.3; the runner then looks now and then
    return unique_fd(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
#else
    (void)child;
    return {};
#endif
}

std::set<pid_t> own_children() {
    std::set<pid_t> pids;
    for (const auto& c : children()) pids.insert(c.pid);
    return pids;
}

void note_left_behind(const std::set<pid_t>& ours, pid_t child, std::set<pid_t>& alive) {
    for (const auto& c : children())
        if (!c.zombie && c.pid != child && !ours.count(c.pid)) alive.insert(c.pid);
}

// Ending one may orphan more, so look until the program's group is empty
// and nothing adopted is left.
void end_left_behind(pid_t group, const std::set<pid_t>& ours, std::set<pid_t>& alive) {
    constexpr double limit_s = 5.0;  // against a process that forks faster than we kill
    const auto start = clock::now();
    for (;;) {
        bool adopted = false;
        for (const auto& c : children()) {
            if (ours.count(c.pid)) continue;
            adopted = true;
            if (!c.zombie) alive.insert(c.pid);
            kill(c.pid, SIGKILL);
            waitpid(c.pid, nullptr, WNOHANG);
        }
        const bool group_empty = kill(-group, 0) != 0 && errno == ESRCH;
        if ((!adopted && group_empty) || since(start) > limit_s) return;
        usleep(1000);
    }
}

namespace_run start_in_pid_namespace(const launch& program) {
    namespace_run run;
    int report[2], relayed[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        run.refused = std::string("cannot make a pipe: ") + std::strerror(errno);
        return run;
    }
    unique_fd reading(report[0]), writing(report[1]);
    if (pipe2(relayed, O_CLOEXEC | O_NONBLOCK) != 0) {
        run.refused = std::string("cannot make a pipe: ") + std::strerror(errno);
        return run;
    }
    unique_fd signals(relayed[0]), relaying(relayed[1]);
    bool own_mounts = true;
    pid_t init = raw_fork(CLONE_NEWPID | CLONE_NEWNS);
    if (init < 0) {
        own_mounts = false;
        init = raw_fork(CLONE_NEWPID);
    }
    if (init < 0) {
        run.refused = std::string("no PID namespace: ") + std::strerror(errno);
        return run;
    }
    if (init == 0) {
        reading.release();  // not ours to close twice; exec_program never returns here
        close(report[0]);
        signals.release();
        close(relayed[0]);
        run_as_init(program, report[1], relayed[1], own_mounts);
    }
    run.init = init;
    run.report = std::move(reading);
    run.signals = std::move(signals);
    return run;
}

}  // namespace corvane::process
