// POSIX: fork and exec, the program in a process group of its own (and,
// where the system permits, a PID namespace), its streams through pipes
// that poll watches together with the deadline, the program's end and a
// wake pipe for interrupts.
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

#include "process/posix_system.hpp"
#include "process/process.hpp"

extern char** environ;

namespace corvane::process {

namespace {

volatile std::sig_atomic_t caught_signal = 0;
volatile std::sig_atomic_t continued_count = 0;  // SIGCONTs: this process was stopped
int wake_pipe[2] = {-1, -1};                     // the handler writes here so that poll wakes

extern "C" void on_interrupt(int signo) {
    if (caught_signal == 0) caught_signal = signo;
    const int saved = errno;
    const char byte = 0;
    if (wake_pipe[1] >= 0) (void)!write(wake_pipe[1], &byte, 1);
    errno = saved;
}

extern "C" void on_continue(int) { continued_count = continued_count + 1; }

// Counting SIGCONT changes nothing else: the kernel continues the process
// whether or not it has a handler. A caller's own handler is left alone.
void count_continues() {
    struct sigaction current {};
    if (sigaction(SIGCONT, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return;
    struct sigaction action {};
    action.sa_handler = on_continue;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCONT, &action, nullptr);
}

std::string reason(const std::string& what) { return what + ": " + std::strerror(errno); }

using clock = std::chrono::steady_clock;

double seconds_of(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

constexpr double grace_s = 2.0;  // between TERM and KILL when we end a run

// --- the program's streams ---

struct run_pipes {
    unique_fd in_read, in_write, out_read, out_write, err_read, err_write;
    unique_fd full_device;  // standard output on /dev/full
};

bool make_pipe(unique_fd& read_end, unique_fd& write_end) {
    int ends[2];
    if (pipe(ends) != 0) return false;
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    // Inherited only as the program's descriptors 0-2; our ends do not block.
    for (int fd : ends) fcntl(fd, F_SETFD, FD_CLOEXEC);
    return true;
}

bool make_pipes(run_pipes& p, const run_options& options) {
    if (!make_pipe(p.in_read, p.in_write) || !make_pipe(p.out_read, p.out_write) ||
        !make_pipe(p.err_read, p.err_write))
        return false;
    for (const unique_fd* ours : {&p.in_write, &p.out_read, &p.err_read})
        fcntl(ours->get(), F_SETFL, fcntl(ours->get(), F_GETFL) | O_NONBLOCK);
    if (options.target == stdout_to::full_device)
        p.full_device.reset(open("/dev/full", O_WRONLY | O_CLOEXEC));
    return true;
}

// The strings that launch's pointers point into.
struct launch_text {
    std::vector<std::string> argv, env;
};

std::vector<std::string> environment_with(const std::vector<std::pair<std::string, std::string>>& added) {
    std::vector<std::string> env;
    for (char** entry = environ; entry && *entry; ++entry) env.emplace_back(*entry);
    for (const auto& [name, value] : added) {
        const std::string prefix = name + "=";
        env.erase(
            std::remove_if(env.begin(), env.end(),
                           [&](const std::string& e) { return e.compare(0, prefix.size(), prefix) == 0; }),
            env.end());
        env.push_back(prefix + value);
    }
    return env;
}

launch launch_of(const std::string& path, const std::vector<std::string>& args, const run_options& options,
                 const run_pipes& p, launch_text& text) {
    text.argv = {path};
    text.argv.insert(text.argv.end(), args.begin(), args.end());
    text.env = environment_with(options.env);
    launch program;
    program.path = path.c_str();
    for (auto& arg : text.argv) program.argv.push_back(arg.data());
    program.argv.push_back(nullptr);
    for (auto& entry : text.env) program.envp.push_back(entry.data());
    program.envp.push_back(nullptr);
    program.in = p.in_read.get();
    program.err = p.err_write.get();
    program.out = options.target == stdout_to::closed        ? -1
                  : options.target == stdout_to::full_device ? p.full_device.get()
                                                             : p.out_write.get();
    program.failed_exec_prefix = "cannot run " + path + ": ";
    return program;
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

void keep_output(run_pipes& p, const run_options& options, program_run& run) {
    if (p.out_read && !read_into(p.out_read.get(), run.out, options.kept_bytes, run.out_truncated))
        p.out_read.reset();
    if (p.err_read && !read_into(p.err_read.get(), run.err, options.kept_bytes, run.err_truncated))
        p.err_read.reset();
}

// Writes what the pipe takes; closes it once all is written or the program
// stopped reading.
void feed_input(run_pipes& p, const std::string& input, std::size_t& written) {
    if (!p.in_write) return;
    const ssize_t put = write(p.in_write.get(), input.data() + written, input.size() - written);
    if (put > 0) written += static_cast<std::size_t>(put);
    if ((put < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) p.in_write.reset();
}

// --- a started run: the program in its group, or under our init ---

struct started_run {
    pid_t child = -1;  // the program, or the init that runs it
    bool through_init = false;
    unique_fd ended;       // readable once the program has ended: the init's report, or a pidfd
    unique_fd signals;     // from the init: what the program sent its parent
    std::set<pid_t> ours;  // this process's children before the run, not the run's to end
    clock::time_point started;
};

// Whether the program has ended, without reaping it: its process group id
// stays its own until we have ended the group.
bool group_leader_ended(pid_t child) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        if (errno != EINTR) return true;  // nothing left to wait for
    return info.si_pid == child;
}

bool readable(int fd, int timeout_ms) {
    pollfd watched{fd, POLLIN, 0};
    return poll(&watched, 1, timeout_ms) == 1;
}

bool program_ended(const started_run& s) {
    return s.through_init ? readable(s.ended.get(), 0) : group_leader_ended(s.child);
}

// TERM to everything the run started, KILL to what is left after the grace
// period.
void end_run(const started_run& s) {
    const bool init = s.through_init;
    kill(init ? s.child : -s.child, SIGTERM);
    const auto asked = clock::now();
    while (!program_ended(s) && since(asked) < grace_s) usleep(10000);
    kill(init ? s.child : -s.child, init ? SIGUSR1 : SIGKILL);
}

started_run start_in_group(const launch& program, program_run& run) {
    started_run s;
    become_subreaper();
    s.ours = own_children();
    const pid_t parent = getpid();
    s.started = clock::now();
    s.child = fork();
    if (s.child < 0) {
        run.failure = reason("cannot fork");
        return s;
    }
    if (s.child == 0) exec_program(program, parent);
    setpgid(s.child, s.child);  // also here: no window in which a signal misses the group
    s.ended = exit_descriptor(s.child);
    return s;
}

started_run start_run(const launch& program, const run_options& options, program_run& run) {
    if (options.own_pid_namespace) {
        started_run s;
        s.started = clock::now();
        namespace_run ns = start_in_pid_namespace(program);
        if (ns.init > 0) {
            s.child = ns.init;
            s.through_init = true;
            s.ended = std::move(ns.report);
            s.signals = std::move(ns.signals);
            run.in_pid_namespace = true;
            return s;
        }
        run.namespace_refused = ns.refused;
    }
    return start_in_group(program, run);
}

// A program that signals its parent (kill $PPID) reaches the init; the
// init passes it on, and the signal acts here as if sent here.
void raise_relayed(const started_run& s) {
    if (!s.signals) return;
    char signos[16];
    for (ssize_t got; (got = read(s.signals.get(), signos, sizeof signos)) > 0;)
        for (ssize_t i = 0; i < got; ++i) raise(signos[i]);
}

// Feeds the input and keeps the output until the program has ended, or
// until we end it at its time limit or on an interrupt.
void pump(const started_run& s, run_pipes& p, const run_options& options, program_run& run) {
    std::size_t input_written = 0;
    for (;;) {
        pollfd watched[6];
        nfds_t count = 0;
        for (int fd : {p.out_read.get(), p.err_read.get(), wake_pipe[0], s.ended.get(), s.signals.get()})
            if (fd >= 0) watched[count++] = {fd, POLLIN, 0};
        if (p.in_write) watched[count++] = {p.in_write.get(), POLLOUT, 0};
        // Without an exit descriptor, wake now and then: the program may end
        // while something it started still holds its output open. Once its
        // output has closed, it is ending: look often, so that its wall time
        // is not ours.
        const bool output_open = p.out_read || p.err_read;
        poll(watched, count, s.ended || output_open ? 50 : 1);

        keep_output(p, options, run);
        feed_input(p, options.input, input_written);
        raise_relayed(s);
        if (program_ended(s)) break;
        if (caught_signal) {
            run.interrupted_by = caught_signal;
            end_run(s);
            break;
        }
        if (options.timeout_s > 0 && since(s.started) >= options.timeout_s) {
            run.timed_out = true;
            end_run(s);
            break;
        }
    }
    run.wall_seconds = since(s.started);
}

void take_status(int status, const rusage& usage, program_run& run) {
    run.user_seconds = seconds_of(usage.ru_utime);
    run.system_seconds = seconds_of(usage.ru_stime);
    run.cpu_seconds = *run.user_seconds + *run.system_seconds;
    run.involuntary_switches = usage.ru_nivcsw;
    run.voluntary_switches = usage.ru_nvcsw;
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// Reaps the program, ends what it left in its group and what left the
// group, and counts what still ran.
void finish_in_group(const started_run& s, program_run& run) {
    std::set<pid_t> left_behind;  // before the group is killed, while they still run
    note_left_behind(s.ours, s.child, left_behind);
    kill(-s.child, SIGKILL);

    int status = 0;
    rusage usage{};
    pid_t reaped;
    while ((reaped = wait4(s.child, &status, 0, &usage)) < 0 && errno == EINTR) {}
    if (reaped != s.child)
        run.failure = reason("cannot wait for the program");
    else
        take_status(status, usage, run);
    end_left_behind(s.child, s.ours, left_behind);
    run.left_behind = static_cast<int>(left_behind.size());
}

// The init has ended and reaped everything; it reports, then exits.
void finish_through_init(const started_run& s, program_run& run) {
    constexpr int report_wait_ms = 10000;  // the init only kills and reaps by now
    init_report report;
    std::size_t got = 0;
    while (got < sizeof report && readable(s.ended.get(), report_wait_ms)) {
        const ssize_t n = read(s.ended.get(), reinterpret_cast<char*>(&report) + got, sizeof report - got);
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (n == 0 || errno != EINTR)
            break;
    }
    if (got != sizeof report) kill(s.child, SIGKILL);  // the kernel ends the namespace with it
    while (waitpid(s.child, nullptr, 0) < 0 && errno == EINTR) {}
    if (got != sizeof report) {
        run.failure = "the run's init ended without a report";
        return;
    }
    if (report.start_errno != 0) {
        errno = report.start_errno;
        run.failure = reason("cannot fork");
        return;
    }
    take_status(report.status, report.usage, run);
    run.left_behind = report.left_behind;
    run.wall_seconds = static_cast<double>(report.wall_ns) / 1e9;
}

}  // namespace

[[noreturn]] void exec_program(const launch& program, pid_t parent) {
    if (parent > 0) die_with_parent(parent);
    setpgid(0, 0);  // its own group, so that ending the run ends all it started
    for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCONT}) signal(signo, SIG_DFL);
    dup2(program.in, STDIN_FILENO);
    dup2(program.err, STDERR_FILENO);
    if (program.out >= 0)
        dup2(program.out, STDOUT_FILENO);
    else
        close(STDOUT_FILENO);
    execve(program.path, program.argv.data(), program.envp.data());
    const char* why = std::strerror(errno);
    (void)!write(STDERR_FILENO, program.failed_exec_prefix.data(), program.failed_exec_prefix.size());
    (void)!write(STDERR_FILENO, why, std::strlen(why));
    (void)!write(STDERR_FILENO, "\n", 1);
    _exit(127);
}

int guard_standard_descriptors() {
    int closed = 0;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        closed |= 1 << fd;
        // The lowest free descriptor, so this one, as those below are open.
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
    return closed;
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
    count_continues();
    run_pipes pipes;
    if (!make_pipes(pipes, options)) {
        run.failure = reason("cannot make a pipe");
        return run;
    }
    launch_text text;
    const launch program = launch_of(path, args, options, pipes, text);
    const auto continued_before = continued_count;
    const started_run started = start_run(program, options, run);
    // The program's ends are the program's: its output ends when it does.
    for (unique_fd* theirs : {&pipes.in_read, &pipes.out_write, &pipes.err_write, &pipes.full_device})
        theirs->reset();
    if (started.child < 0) return run;
    if (options.input.empty()) pipes.in_write.reset();

    pump(started, pipes, options, run);
    if (started.through_init)
        finish_through_init(started, run);
    else
        finish_in_group(started, run);
    // Our own clock timed the program only outside a namespace.
    run.caller_stopped = !started.through_init && continued_count != continued_before;
    // What the program wrote before it ended is in the pipes; what is still
    // running (elsewhere than Linux, an escapee) is not waited for.
    keep_output(pipes, options, run);
    return run;
}

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace corvane::process
