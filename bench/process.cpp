#include "bench/process.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace corvane::process {

namespace {

#ifdef _WIN32
std::string slurp(const std::string& path) {
    std::string text;
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream read;
        read << in.rdbuf();
        text = read.str();
    }
    std::remove(path.c_str());
    return text;
}
#else

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
                             const run_options& options, int in_fd, int out_fd, int err_fd) {
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

// Reads what is there; false at end of stream or on an error.
bool read_into(int fd, std::string& kept) {
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            const std::size_t room = kept_output_bytes - std::min(kept.size(), kept_output_bytes);
            kept.append(buffer, std::min(room, static_cast<std::size_t>(got)));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

#endif

}  // namespace

#ifndef _WIN32

void catch_interrupts() {
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
    const auto started = clock::now();
    const pid_t child = fork();
    if (child < 0) {
        run.failure = reason("cannot fork");
        for (int* p : {in, out, err}) close_fd(p[0]), close_fd(p[1]);
        return run;
    }
    if (child == 0) exec_child(path, args, options, in[0], out[1], err[1]);
    setpgid(child, child);  // also here: no window in which a signal misses the group
    close_fd(in[0]);
    close_fd(out[1]);
    close_fd(err[1]);
    if (options.input.empty()) close_fd(in[1]);

    std::size_t input_written = 0;
    bool ended = false;
    while (!ended) {
        pollfd watched[4];
        nfds_t count = 0;
        for (int fd : {out[0], err[0]})
            if (fd >= 0) watched[count++] = {fd, POLLIN, 0};
        if (in[1] >= 0) watched[count++] = {in[1], POLLOUT, 0};
        if (wake_pipe[0] >= 0) watched[count++] = {wake_pipe[0], POLLIN, 0};
        // Wake now and then: the program may end while something it started
        // still holds its output open. Once its output has closed, it is
        // ending: look often, so that its wall time is not ours.
        const bool output_open = out[0] >= 0 || err[0] >= 0;
        poll(watched, count, output_open ? 50 : 1);

        if (out[0] >= 0 && !read_into(out[0], run.out)) close_fd(out[0]);
        if (err[0] >= 0 && !read_into(err[0], run.err)) close_fd(err[0]);
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
    kill(-child, SIGKILL);  // whatever the program left running in its group

    int status = 0;
    rusage usage{};
    pid_t reaped;
    while ((reaped = wait4(child, &status, 0, &usage)) < 0 && errno == EINTR) {}
    if (reaped != child) {
        run.failure = reason("cannot wait for the program");
    } else {
        run.cpu_seconds = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
        run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    // The group is gone, so its ends of the pipes are closing: read the rest,
    // for a second at most, in case something escaped the group.
    const auto draining = clock::now();
    while ((out[0] >= 0 || err[0] >= 0) && since(draining) < 1.0) {
        pollfd watched[2];
        nfds_t count = 0;
        for (int fd : {out[0], err[0]})
            if (fd >= 0) watched[count++] = {fd, POLLIN, 0};
        poll(watched, count, 100);
        if (out[0] >= 0 && !read_into(out[0], run.out)) close_fd(out[0]);
        if (err[0] >= 0 && !read_into(err[0], run.err)) close_fd(err[0]);
    }
    for (int* fd : {&out[0], &err[0], &in[1]}) close_fd(*fd);
    return run;
}

#else  // Windows: CreateProcess with standard output and error sent to files

namespace {

// An empty string if no temporary file could be made.
std::string temp_file() {
    char dir[MAX_PATH], name[MAX_PATH];
    if (!GetTempPathA(MAX_PATH, dir) || !GetTempFileNameA(dir, "cvn", 0, name)) return "";
    return name;
}

HANDLE inheritable_file(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// One argument as the C runtime's command-line parser reads it back.
std::string quoted(const std::string& arg) {
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

double seconds_of(const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
           1e7;
}

}  // namespace

void catch_interrupts() {}
int interrupted_by() { return 0; }

program_run run_program(const std::string& path, const std::vector<std::string>& args,
                        const run_options& options) {
    program_run run;
    const auto& env = options.env;
    const stdout_to target = options.target;
    if (target == stdout_to::full_device) {
        run.failure = "Windows has no full device";
        return run;
    }
    const std::string out = temp_file(), err = temp_file();
    if (out.empty() || err.empty()) {
        run.failure = "cannot make a temporary file";
        if (!out.empty()) std::remove(out.c_str());
        if (!err.empty()) std::remove(err.c_str());
        return run;
    }
    std::string command = quoted(path);
    for (const auto& arg : args) command += " " + quoted(arg);

    // The child inherits this process's environment, changed for the call.
    std::vector<std::pair<std::string, std::optional<std::string> > > saved;
    for (const auto& [name, value] : env) {
        char old[32767];
        const DWORD length = GetEnvironmentVariableA(name.c_str(), old, sizeof old);
        saved.emplace_back(name,
                           length ? std::optional<std::string>(std::string(old, length)) : std::nullopt);
        SetEnvironmentVariableA(name.c_str(), value.c_str());
    }
    HANDLE out_file = target == stdout_to::closed ? nullptr : inheritable_file(out);
    HANDLE err_file = inheritable_file(err);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out_file;
    startup.hStdError = err_file;
    PROCESS_INFORMATION child{};
    const auto started = std::chrono::steady_clock::now();
    const BOOL created = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &child);
    for (const auto& [name, value] : saved)
        SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr);
    if (out_file) CloseHandle(out_file);
    CloseHandle(err_file);
    if (!created) {
        run.failure = "cannot start " + path;
        std::remove(out.c_str());
        std::remove(err.c_str());
        return run;
    }

    const DWORD limit = options.timeout_s > 0 ? static_cast<DWORD>(options.timeout_s * 1000) : INFINITE;
    if (WaitForSingleObject(child.hProcess, limit) == WAIT_TIMEOUT) {
        run.timed_out = true;
        TerminateProcess(child.hProcess, 1);
        WaitForSingleObject(child.hProcess, INFINITE);
    }
    run.wall_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    DWORD status = 0;
    GetExitCodeProcess(child.hProcess, &status);
    run.exit_status = run.timed_out ? -1 : static_cast<int>(status);
    FILETIME created_at, exited_at, kernel, user;
    if (GetProcessTimes(child.hProcess, &created_at, &exited_at, &kernel, &user))
        run.cpu_seconds = seconds_of(kernel) + seconds_of(user);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    run.out = slurp(out);
    run.err = slurp(err);
    return run;
}

#endif

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

double reported_seconds(const std::string& time_line) {
    double seconds = -1.0;
    std::sscanf(time_line.c_str(), "The time to calculate PI was %lf seconds", &seconds);
    return seconds;
}

}  // namespace corvane::process
