// The process runner: its time limit, what it feeds and keeps, and what it
// does about closed descriptors, escaping processes and its own death.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>

#include "process/process.hpp"

using namespace corvane::process;

namespace {

run_options with_input(const std::string& input, std::size_t kept_bytes = kept_output_bytes) {
    run_options options;
    options.input = input;
    options.kept_bytes = kept_bytes;
    options.timeout_s = 60;  // a program left waiting for the end of its input fails, not hangs
    return options;
}

}  // namespace

TEST(Input, IsFedToTheProgramAndThenClosed) {
    // Several times what a pipe holds, so that feeding must go on while the
    // program reads.
    const std::string input = "first\nsecond\n" + std::string(300000, 'x') + "\n";
    const auto run = run_program(COPY_INPUT, {}, with_input(input));
    EXPECT_FALSE(run.timed_out) << "the program never saw the end of its input";
    EXPECT_EQ(run.exit_status, 0) << run.failure;
    EXPECT_EQ(lines_of(run.out), lines_of(input));
}

TEST(OutputCap, KeepsTheFirstBytesAndSaysWhenTheRestWasCut) {
    const auto exact = run_program(COPY_INPUT, {}, with_input("0123456789", 10));
    EXPECT_EQ(exact.out, "0123456789");
    EXPECT_FALSE(exact.out_truncated);

    const auto longer = run_program(COPY_INPUT, {}, with_input("0123456789A", 10));
    EXPECT_EQ(longer.out, "0123456789");
    EXPECT_TRUE(longer.out_truncated);
    EXPECT_EQ(longer.exit_status, 0) << "the rest is read and dropped, not left to block the program";

    const auto large = run_program(COPY_INPUT, {}, with_input(std::string(kept_output_bytes + 1, 'x')));
    EXPECT_EQ(large.out.size(), kept_output_bytes);
    EXPECT_TRUE(large.out_truncated);
    EXPECT_FALSE(large.err_truncated);
}

#ifndef _WIN32
namespace {

program_run shell(const std::string& script, double timeout_s = 60) {
    run_options options;
    options.timeout_s = timeout_s;
    return run_program("/bin/sh", {"-c", script}, options);
}

// Whether the process has ended (a zombie has), reaping it if it is ours.
bool has_ended(pid_t pid) {
    waitpid(pid, nullptr, WNOHANG);
    if (kill(pid, 0) != 0) return errno == ESRCH;
    std::string stat;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), stat);
    const auto name_end = stat.rfind(')');
    return name_end != std::string::npos && stat.size() > name_end + 2 && stat[name_end + 2] == 'Z';
}

bool ends_within(pid_t pid, double seconds) {
    const auto start = std::chrono::steady_clock::now();
    while (!has_ended(pid))
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > seconds)
            return false;
        else
            usleep(10000);
    return true;
}

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

extern "C" void on_runaway(int) {
    const char message[] = "run_program is still waiting long after its time limit: the limit was ignored\n";
    (void)!write(STDERR_FILENO, message, sizeof message - 1);
    _exit(1);
}

// A guard that does not rely on the runner under test: a runner that
// ignores its limit ends this test program, saying why, instead of hanging
// until CTest gives up.
void fail_after(unsigned seconds) {
    signal(SIGALRM, on_runaway);
    alarm(seconds);
}

void stop_guard() {
    alarm(0);
    signal(SIGALRM, SIG_DFL);
}

}  // namespace

TEST(TimeLimit, EndsAProgramThatSleepsPastItWithinSeconds) {
    fail_after(4);
    const auto run = shell("exec sleep 5", 1);
    stop_guard();
    EXPECT_TRUE(run.timed_out);
    EXPECT_EQ(run.signal, SIGTERM);
    EXPECT_GE(run.wall_seconds, 1.0);
    EXPECT_LT(run.wall_seconds, 4.0);
}

TEST(TimeLimit, KillsTheWholeGroupTwoSecondsAfterTermIsIgnored) {
    fail_after(8);
    const auto run = shell("trap '' TERM; sleep 30 & echo $!; exec sleep 30", 1);
    stop_guard();
    EXPECT_TRUE(run.timed_out);
    EXPECT_EQ(run.signal, SIGKILL);
    EXPECT_GE(run.wall_seconds, 2.9);
    EXPECT_LT(run.wall_seconds, 5.0);
    const auto lines = lines_of(run.out);
    ASSERT_EQ(lines.size(), 1u) << run.out;
    EXPECT_TRUE(ends_within(std::stoi(lines[0]), 1.0)) << "the program's background sleep lives on";
}

TEST(StandardDescriptors, ClosedOnesCannotTurnTheWakePipeIntoABusyLoop) {
    // A caller started with descriptors 0-2 closed prints to standard output
    // and runs a program for half a second: that must not cost it a core.
    const pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) close(fd);
        catch_interrupts();
        int later[2];
        if (pipe(later) != 0 || later[0] <= STDERR_FILENO || later[1] <= STDERR_FILENO) _exit(2);
        (void)!write(STDOUT_FILENO, "table\n", 6);
        shell("sleep 0.5", 10);
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        const double cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        _exit(cpu_s < 0.2 ? 0 : 3);
    }
    int status = 0;
    waitpid(caller, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 2) << "a pipe took a standard descriptor";
    EXPECT_NE(WEXITSTATUS(status), 3) << "waiting for the run kept a core busy";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

#ifdef __linux__
TEST(LeftBehind, WhatOutlivesTheProgramIsEndedAndCountedWhateverGroupItMovedTo) {
    // Each leaves a sleeper, prints its pid and gives it time to move.
    const std::string left_behind[] = {
        "sleep 20 & echo $!",                                    // in the program's group
        "setsid sleep 20 & echo $!",                             // a session of its own
        "perl -e 'setpgrp(0, 0); exec q(sleep), 20' & echo $!",  // a group of its own
        "sh -c 'setsid sleep 20 & echo $!'",                     // started by a child that exits
    };
    for (const auto& command : left_behind) {
        const auto start = std::chrono::steady_clock::now();
        // The sleeper holds the program's output open: the run must not wait for that.
        const auto run = shell(command + "; sleep 0.2");
        const double returned_s = since(start);
        EXPECT_EQ(run.exit_status, 0) << command << "\n" << run.err;
        EXPECT_EQ(run.left_behind, 1) << command;
        // Waiting for the sleeper would take 20 s; a loaded machine (or a
        // sanitizer build) may take a second or two without any fault.
        EXPECT_LT(run.wall_seconds, 5.0) << command;
        EXPECT_LT(returned_s, 5.0) << command;
        const auto lines = lines_of(run.out);
        ASSERT_FALSE(lines.empty()) << command;
        EXPECT_TRUE(has_ended(std::stoi(lines.back()))) << command << ": it lives on";
    }
    EXPECT_EQ(shell("echo alone").left_behind, 0);
}

TEST(CpuTime, CountsTheProgramAndTheDescendantsItWaitedFor) {
    // The spinning is a subshell's, which the shell waits for.
    const auto spun = shell("( i=0; while [ $i -lt 100000 ]; do i=$((i + 1)); done )");
    const auto idle = shell("( true )");
    ASSERT_EQ(spun.exit_status, 0) << spun.failure;
    ASSERT_TRUE(spun.user_seconds && spun.system_seconds && idle.user_seconds);
    EXPECT_GT(*spun.user_seconds, 0.0);
    EXPECT_GT(*spun.user_seconds, *idle.user_seconds);
    EXPECT_DOUBLE_EQ(spun.cpu_seconds, *spun.user_seconds + *spun.system_seconds);
    ASSERT_TRUE(spun.involuntary_switches && spun.voluntary_switches);
    EXPECT_GE(*spun.involuntary_switches, 0);
    EXPECT_GT(*spun.voluntary_switches, 0) << "the shell waited for its subshell";
}

TEST(DeathSignal, TheProgramDiesWithTheProcessThatRanIt) {
    char dir[] = "/tmp/corvane-process-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string pid_file = std::string(dir) + "/pid";
    const pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        shell("echo $$ > '" + pid_file + "'; exec sleep 60");
        _exit(0);
    }
    pid_t program = 0;
    const auto start = std::chrono::steady_clock::now();
    while (!(std::ifstream(pid_file) >> program) && since(start) < 10) usleep(10000);
    kill(caller, SIGKILL);
    waitpid(caller, nullptr, 0);
    ASSERT_GT(program, 0) << "the program did not start";
    EXPECT_TRUE(ends_within(program, 3.0)) << "the program outlived the process that ran it";
    kill(program, SIGKILL);
    has_ended(program);
    std::remove(pid_file.c_str());
    rmdir(dir);
}
#endif
#endif
