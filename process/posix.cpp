// POSIX: fork and exec, the program in a process group of its own, its
// streams through pipes that poll watches together with the deadline, the
// program's end and a wake pipe for interrupts.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#ifdef __linux__
#include <dirent.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#endif

#include "process/process.hpp"

namespace corvane::process {

namespace {

volatile std::sig_atomic_t caught_signal = 0;
int wake_pipe[2] = {-1, -1};  // the handler writes here so that poll wakes

extern "C" void on_interrupt(int signo) {
    if (caught_signal == 0) caught_signal = signo;
    const int saved = errno;
    const char byte = 0;
    if (wake_pipe[1] >= 0) (void)!write(wake_pipe[1], &byte, 1);
    errno = saved;
}

std::string reason(const std::string& what) { return what + ": " + std::strerror(errno); }

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

[[noreturn]] void exec_child(const std::string& path, const std::vector<std::string>& args,
                             const run_options& options, pid_t parent, int in_fd, int out_fd, int err_fd) {
#ifdef __linux__
    // Die with the caller instead of running on under init. A caller that
    // died before this took effect is no longer our parent.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
#else
    (void)parent;
#endif
    setpgid(0, 0);  // its own group, so that ending the run ends all it started
    for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(signo, SIG_DFL);
    for (const auto& [name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
    dup2(in_fd, STDIN_FILENO);
    dup2(err_fd, STDERR_FILENO);
    if (options.target == stdout_to::closed) {
        close(STDOUT_FILENO);
    } else if (options.target == stdout_to::full_device) {
        const int full = open("/dev/full", O_WRONLY);
        dup2(full, STDOUT_FILENO);
    } else {
        dup2(out_fd, STDOUT_FILENO);
    }
    // The program gets its three streams and no other end of our pipes.
    for (int fd : {in_fd, out_fd, err_fd})
        if (fd > STDERR_FILENO) close(fd);
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    const std::string message = "cannot run " + path + ": " + std::strerror(errno) + "\n";
    (void)!write(STDERR_FILENO, message.data(), message.size());
    _exit(127);
}

double seconds_of(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

using clock = std::chrono::steady_clock;

double since(clock::time_point start) { return std::chrono::duration<double>(clock::now() - start).count(); }

// Whether the program has ended, without reaping it: its process group id
// stays its own until we have ended the group.
bool has_ended(pid_t child) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        if (errno != EINTR) return true;  // nothing left to wait for
    return info.si_pid == child;
}

// TERM to the whole group, KILL to what is left after a grace period.
void end_group(pid_t child) {
    constexpr double grace_s = 2.0;
    kill(-child, SIGTERM);
    const auto asked = clock::now();
    while (!has_ended(child) && since(asked) < grace_s) usleep(10000);
    kill(-child, SIGKILL);
}

// Reads what is there, keeping at most `cap` bytes; false at end of stream
// or on an error.
bool read_into(int fd, std::string& kept, std::size_t cap, bool& cut) {
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            const std::size_t room = cap - std::min(kept.size(), cap);
            if (static_cast<std::size_t>(got) > room) cut = true;
            kept.append(buffer, std::min(room, static_cast<std::size_t>(got)));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

#ifdef __linux__

// A descriptor that poll sees readable once the process has ended, or -1
// on kernels without pidfd_open (before 5.3).
int exit_descriptor(pid_t child) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, child, 0));
#else
    (void)child;
    return -1;
#endif
}

struct child_process {
    pid_t pid;
    bool zombie;
};

// This process's children: those it started and the orphans it adopted.
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

std::set<pid_t> child_pids() {
    std::set<pid_t> pids;
    for (const auto& c : children()) pids.insert(c.pid);
    return pids;
}

// Adds to `alive` what we adopted from the run and is still running.
void note_left_behind(const std::set<pid_t>& ours, pid_t child, std::set<pid_t>& alive) {
    for (const auto& c : children())
        if (!c.zombie && c.pid != child && !ours.count(c.pid)) alive.insert(c.pid);
}

// Ends and reaps what the program left running, whatever group or session
// it moved to: as a subreaper we have adopted it. Ending one may orphan
// more, so look until the program's group is empty and nothing adopted is
// left.
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

#endif

}  // namespace

void guard_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor, so this one, as those below are open.
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

void catch_interrupts() {
    guard_standard_descriptors();
    if (wake_pipe[0] < 0 && pipe(wake_pipe) == 0)
        for (int fd : wake_pipe) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) sigaction(signo, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a program that closes its input is not our end
}

int interrupted_by() { return caught_signal; }

program_run run_program(const std::string& path, const std::vector<std::string>& args,
                        const run_options& options) {
    program_run run;
    if (caught_signal) {
        run.interrupted_by = caught_signal;
        run.failure = "interrupted before it started";
        return run;
    }
    guard_standard_descriptors();
#ifdef __linux__
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const std::set<pid_t> ours = child_pids();  // not the run's to end
#endif
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
        run.failure = reason("cannot make a pipe");
        for (int* p : {in, out, err}) close_fd(p[0]), close_fd(p[1]);
        return run;
    }
    for (int fd : {in[1], out[0], err[0]}) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    const pid_t parent = getpid();
    const auto started = clock::now();
    const pid_t child = fork();
    if (child < 0) {
        run.failure = reason("cannot fork");
        for (int* p : {in, out, err}) close_fd(p[0]), close_fd(p[1]);
        return run;
    }
    if (child == 0) exec_child(path, args, options, parent, in[0], out[1], err[1]);
    setpgid(child, child);  // also here: no window in which a signal misses the group
    close_fd(in[0]);
    close_fd(out[1]);
    close_fd(err[1]);
    if (options.input.empty()) close_fd(in[1]);
#ifdef __linux__
    int exited = exit_descriptor(child);
#else
    int exited = -1;
#endif

    std::size_t input_written = 0;
    bool ended = false;
    while (!ended) {
        pollfd watched[5];
        nfds_t count = 0;
        for (int fd : {out[0], err[0], wake_pipe[0], exited})
            if (fd >= 0) watched[count++] = {fd, POLLIN, 0};
        if (in[1] >= 0) watched[count++] = {in[1], POLLOUT, 0};
        // Without an exit descriptor, wake now and then: the program may end
        // while something it started still holds its output open. Once its
        // output has closed, it is ending: look often, so that its wall time
        // is not ours.
        const bool output_open = out[0] >= 0 || err[0] >= 0;
        poll(watched, count, exited >= 0 || output_open ? 50 : 1);

        if (out[0] >= 0 && !read_into(out[0], run.out, options.kept_bytes, run.out_truncated))
            close_fd(out[0]);
        if (err[0] >= 0 && !read_into(err[0], run.err, options.kept_bytes, run.err_truncated))
            close_fd(err[0]);
        if (in[1] >= 0) {
            const ssize_t put =
                write(in[1], options.input.data() + input_written, options.input.size() - input_written);
            if (put > 0) input_written += static_cast<std::size_t>(put);
            if ((put < 0 && errno != EAGAIN && errno != EINTR) || input_written == options.input.size())
                close_fd(in[1]);
        }
        ended = has_ended(child);
        if (!ended && caught_signal) {
            run.interrupted_by = caught_signal;
            end_group(child);
            ended = true;
        } else if (!ended && options.timeout_s > 0 && since(started) >= options.timeout_s) {
            run.timed_out = true;
            end_group(child);
            ended = true;
        }
    }
    run.wall_seconds = since(started);
    close_fd(exited);
#ifdef __linux__
    std::set<pid_t> left_behind;  // before the group is killed, while they still run
    note_left_behind(ours, child, left_behind);
#endif
    kill(-child, SIGKILL);  // whatever the program left running in its group

    int status = 0;
    rusage usage{};
    pid_t reaped;
    while ((reaped = wait4(child, &status, 0, &usage)) < 0 && errno == EINTR) {}
    if (reaped != child) {
        run.failure = reason("cannot wait for the program");
    } else {
        run.user_seconds = seconds_of(usage.ru_utime);
        run.system_seconds = seconds_of(usage.ru_stime);
        run.cpu_seconds = *run.user_seconds + *run.system_seconds;
        run.involuntary_switches = usage.ru_nivcsw;
        run.voluntary_switches = usage.ru_nvcsw;
        run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
#ifdef __linux__
    end_left_behind(child, ours, left_behind);
    run.left_behind = static_cast<int>(left_behind.size());
#endif
    // What the program wrote before it ended is in the pipes; what is still
    // running (elsewhere than Linux, an escapee) is not waited for.
    if (out[0] >= 0) read_into(out[0], run.out, options.kept_bytes, run.out_truncated);
    if (err[0] >= 0) read_into(err[0], run.err, options.kept_bytes, run.err_truncated);
    for (int* fd : {&out[0], &err[0], &in[1]}) close_fd(*fd);
    return run;
}

}  // namespace corvane::process
