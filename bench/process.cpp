#include "process.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace corvane::process {

namespace {

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

#ifndef _WIN32

std::string temp_file() {
    char name[] = "/tmp/corvane-run-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    return name;
}

[[noreturn]] void exec_child(const std::string& path, const std::vector<std::string>& args,
                             const std::vector<std::pair<std::string, std::string>>& env,
                             stdout_to target, const std::string& out, const std::string& err) {
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    const int err_fd = open(err.c_str(), O_WRONLY | O_TRUNC);
    dup2(err_fd, STDERR_FILENO);
    if (target == stdout_to::closed) {
        close(STDOUT_FILENO);
    } else {
        const int out_fd = target == stdout_to::full_device ? open("/dev/full", O_WRONLY)
                                                            : open(out.c_str(), O_WRONLY | O_TRUNC);
        dup2(out_fd, STDOUT_FILENO);
    }
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
}

double seconds_of(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

#endif

}  // namespace

#ifndef _WIN32

program_run run_program(const std::string& path, const std::vector<std::string>& args,
                        const std::vector<std::pair<std::string, std::string>>& env,
                        stdout_to target) {
    const std::string out = temp_file();
    const std::string err = temp_file();
    const auto started = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) exec_child(path, args, env, target, out, err);

    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    program_run run;
    run.wall_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    run.cpu_seconds = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    run.out = slurp(out);
    run.err = slurp(err);
    return run;
}

#else  // Windows: CreateProcess with standard output and error sent to files

namespace {

std::string temp_file() {
    char dir[MAX_PATH], name[MAX_PATH];
    if (!GetTempPathA(MAX_PATH, dir) || !GetTempFileNameA(dir, "cvn", 0, name))
        throw std::runtime_error("GetTempFileName failed");
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
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
}

}  // namespace

program_run run_program(const std::string& path, const std::vector<std::string>& args,
                        const std::vector<std::pair<std::string, std::string>>& env,
                        stdout_to target) {
    if (target == stdout_to::full_device) throw std::runtime_error("Windows has no full device");
    const std::string out = temp_file(), err = temp_file();
    std::string command = quoted(path);
    for (const auto& arg : args) command += " " + quoted(arg);

    // The child inherits this process's environment, changed for the call.
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    for (const auto& [name, value] : env) {
        char old[32767];
        const DWORD length = GetEnvironmentVariableA(name.c_str(), old, sizeof old);
        saved.emplace_back(name, length ? std::optional<std::string>(std::string(old, length)) : std::nullopt);
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
    const BOOL created = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &child);
    for (const auto& [name, value] : saved)
        SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr);
    if (out_file) CloseHandle(out_file);
    CloseHandle(err_file);
    if (!created) throw std::runtime_error("cannot start " + path);

    WaitForSingleObject(child.hProcess, INFINITE);
    program_run run;
    run.wall_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    DWORD status = 0;
    GetExitCodeProcess(child.hProcess, &status);
    run.exit_status = static_cast<int>(status);
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
