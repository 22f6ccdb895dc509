// Windows: CreateProcess with standard output and error sent to files, and
// standard input from a pipe that a thread of ours fills.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>

#include "process/process.hpp"

namespace corvane::process {

namespace {

// At most `cap` bytes of the file, which is then removed.
std::string slurp(const std::string& path, std::size_t cap, bool& cut) {
    std::string text(cap + 1, '\0');
    {
        std::ifstream in(path, std::ios::binary);
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(in.gcount()));
    }
    std::remove(path.c_str());
    cut = text.size() > cap;
    if (cut) text.resize(cap);
    return text;
}

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

struct input_feed {
    HANDLE pipe;
    const std::string* text;
};

// Writes the whole input, then closes the pipe so that the program reads
// its end. On a thread of its own: a program that does not read must not
// keep us from its time limit.
DWORD WINAPI feed_input(void* argument) {
    const auto* feed = static_cast<const input_feed*>(argument);
    std::size_t written = 0;
    while (written < feed->text->size()) {
        DWORD put = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(feed->text->size() - written, 1 << 16));
        if (!WriteFile(feed->pipe, feed->text->data() + written, chunk, &put, nullptr)) break;
        written += put;
    }
    CloseHandle(feed->pipe);
    return 0;
}

}  // namespace

// Windows gives a console program without standard handles null handles,
// which no later handle can take.
int guard_standard_descriptors() { return 0; }
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
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE input_read = nullptr, input_write = nullptr;
    if (!CreatePipe(&input_read, &input_write, &inherit, 0)) {
        run.failure = "cannot make a pipe";
        std::remove(out.c_str());
        std::remove(err.c_str());
        return run;
    }
    SetHandleInformation(input_write, HANDLE_FLAG_INHERIT, 0);  // the program's end is the other
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
    startup.hStdInput = input_read;
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
    CloseHandle(input_read);
    if (!created) {
        CloseHandle(input_write);
        run.failure = "cannot start " + path;
        std::remove(out.c_str());
        std::remove(err.c_str());
        return run;
    }
    input_feed feed{input_write, &options.input};
    HANDLE feeder = CreateThread(nullptr, 0, feed_input, &feed, 0, nullptr);
    if (!feeder) CloseHandle(input_write);  // the program reads an empty input

    const DWORD limit = options.timeout_s > 0 ? static_cast<DWORD>(options.timeout_s * 1000) : INFINITE;
    if (WaitForSingleObject(child.hProcess, limit) == WAIT_TIMEOUT) {
        run.timed_out = true;
        TerminateProcess(child.hProcess, 1);
        WaitForSingleObject(child.hProcess, INFINITE);
    }
    run.wall_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (feeder) {
        // Something the program started may still hold the input open.
        if (WaitForSingleObject(feeder, 1000) == WAIT_TIMEOUT) {
            CancelSynchronousIo(feeder);
            WaitForSingleObject(feeder, INFINITE);
        }
        CloseHandle(feeder);
    }
    DWORD status = 0;
    GetExitCodeProcess(child.hProcess, &status);
    run.exit_status = run.timed_out ? -1 : static_cast<int>(status);
    FILETIME created_at, exited_at, kernel, user;
    // The program's own threads only: Windows counts no context switches
    // per process, and no time of the processes it started.
    if (GetProcessTimes(child.hProcess, &created_at, &exited_at, &kernel, &user)) {
        run.user_seconds = seconds_of(user);
        run.system_seconds = seconds_of(kernel);
        run.cpu_seconds = *run.user_seconds + *run.system_seconds;
    }
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    run.out = slurp(out, options.kept_bytes, run.out_truncated);
    run.err = slurp(err, options.kept_bytes, run.err_truncated);
    return run;
}

}  // namespace corvane::process
