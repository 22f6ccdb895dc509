// Processes a test left behind, found by a unique argument rather than by a
// pid they print: a run with a PID namespace of its own numbers its
// processes, and its /proc, its own way, and a pid read after the run has
// ended may already name another process on a busy machine.
#pragma once

#include <signal.h>
#include <unistd.h>

#ifdef __linux__
#include <dirent.h>
#include <fcntl.h>
#else
#include <cstdio>
#include <sstream>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace corvane::testing {

// "sleep <seconds>.<digits>", the digits this process's pid at a fixed
// width and a count: no two test processes running at once make the same.
inline std::string unique_sleep(int seconds) {
    static unsigned count = 0;
    char pid[16];
    std::snprintf(pid, sizeof pid, "%07ld", static_cast<long>(getpid()));
    return "sleep " + std::to_string(seconds) + "." + pid + std::to_string(++count);
}

#ifdef __linux__
// A process's command line, its arguments each ended by '\0', or "" where it
// cannot be read: a process that ends while it is read is not running.
inline std::string command_line_of(const char* pid) {
    const int fd = open(("/proc/" + std::string(pid) + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    std::string line;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            line.append(buffer, static_cast<std::size_t>(got));
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            if (got < 0) line.clear();
            break;
        }
    }
    close(fd);
    return line;
}
#endif

// The pid, as we see it, of a live process whose command line is exactly
// `command` (words split at spaces), or 0. A zombie has ended.
inline pid_t live_process_running(const std::string& command) {
#ifdef __linux__
    std::string wanted = command + '\0';
    std::replace(wanted.begin(), wanted.end(), ' ', '\0');
    DIR* proc = opendir("/proc");
    if (!proc) return 0;
    pid_t found = 0;
    while (const dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid > 0 && command_line_of(entry->d_name) == wanted) {
            found = pid;
            break;
        }
    }
    closedir(proc);
    return found;
#else
    FILE* ps = popen("ps -A -o pid= -o stat= -o args=", "r");
    if (!ps) return 0;
    pid_t found = 0;
    char line[4096];
    while (!found && fgets(line, sizeof line, ps)) {
        std::istringstream fields(line);
        std::string state, args;
        pid_t pid = 0;
        fields >> pid >> state >> std::ws;
        std::getline(fields, args);
        if (args == command && state.find('Z') == std::string::npos) found = pid;
    }
    pclose(ps);
    return found;
#endif
}

// Whether no process runs `command` within `seconds`; kills every one that
// does (a program run twice leaves two), so that a failing test leaves
// nothing behind.
inline bool ended_within(const std::string& command, double seconds) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const pid_t pid = live_process_running(command);
        if (pid == 0) return true;
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > seconds) {
            for (pid_t left = pid; left != 0; left = live_process_running(command)) kill(left, SIGKILL);
            return false;
        }
        usleep(10000);
    }
}

}  // namespace corvane::testing
