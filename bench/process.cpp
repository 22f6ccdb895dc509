#include "process.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace corvane::process {

namespace {

std::string temp_file() {
    char name[] = "/tmp/corvane-test-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    return name;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::remove(path.c_str());
    return text.str();
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

}  // namespace

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
