// The process runner: its time limit, what it feeds and keeps, and what it
// does about closed descriptors, escaping processes and its own death.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <linux/capability.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "process/process.hpp"
#ifndef _WIN32
#include "tests/live_processes.hpp"
#endif

using namespace corvane::process;
#ifndef _WIN32
using namespace corvane::testing;
#endif

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

program_run shell(const std::string& script, double timeout_s = 60, bool own_pid_namespace = true) {
    run_options options;
    options.timeout_s = timeout_s;
    options.own_pid_namespace = own_pid_namespace;
    return run_program("/bin/sh", {"-c", script}, options);
}

// A shell that says it started, then becomes the sleep.
std::string sleeper(const std::string& sleep) { return "sh -c 'echo started; exec " + sleep + "'"; }

// Everything a child writes to the pipe until it closes it; closes our end.
std::string read_to_end(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    close(fd);
    return text;
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
    const std::string sleep = unique_sleep(30);
    const auto run = shell("trap '' TERM; " + sleeper(sleep) + " & exec sleep 30", 1);
    stop_guard();
    EXPECT_TRUE(run.timed_out);
    EXPECT_EQ(run.signal, SIGKILL);
    EXPECT_GE(run.wall_seconds, 2.9);
    EXPECT_LT(run.wall_seconds, 5.0);
    EXPECT_EQ(run.out, "started\n");
    EXPECT_TRUE(ended_within(sleep, 1.0)) << "the program's background sleep lives on";
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
    // Each leaves a sleeper behind, and gives it time to move.
    const std::string sleep = unique_sleep(20);
    const std::string left_behind[] = {
        sleeper(sleep) + " &",              // in the program's group
        "setsid " + sleeper(sleep) + " &",  // a session of its own
        "perl -e 'setpgrp(0, 0); exec q(sh), q(-c), q(echo started; exec " + sleep + ")' &",  // a group
        "sh -c \"setsid sh -c 'echo started; exec " + sleep + "' &\";",  // started by a child that exits
    };
    // In a namespace of its own and, as where none is permitted, without.
    for (const bool own_pid_namespace : {true, false})
        for (const auto& command : left_behind) {
            const auto start = std::chrono::steady_clock::now();
            // The sleeper holds the program's output open: the run must not wait for that.
            const auto run = shell(command + " sleep 0.5", 60, own_pid_namespace);
            const double returned_s = since(start);
            EXPECT_EQ(run.exit_status, 0) << command << "\n" << run.err;
            EXPECT_EQ(run.out, "started\n") << command << ": the sleeper never started";
            EXPECT_EQ(run.left_behind, 1) << command;
            // Waiting for the sleeper would take 20 s; a loaded machine (or a
            // sanitizer build) may take a second or two without any fault.
            EXPECT_LT(run.wall_seconds, 5.0) << command;
            EXPECT_LT(returned_s, 5.0) << command;
            EXPECT_TRUE(ended_within(sleep, 1.0)) << command << ": it lives on";
        }
    EXPECT_EQ(shell("echo alone").left_behind, 0);
    EXPECT_EQ(shell("echo alone", 60, false).left_behind, 0);
    EXPECT_EQ(shell("(true) & wait; sh -c 'true &'; sleep 0.1").left_behind, 0)
        << "what ended by itself was not left running";
}

TEST(CpuTime, CountsTheProgramAndTheDescendantsItWaitedFor) {
    for (const bool own_pid_namespace : {true, false}) {
        // The spinning is a subshell's, which the shell waits for.
        const auto spun =
            shell("( i=0; while [ $i -lt 100000 ]; do i=$((i + 1)); done )", 60, own_pid_namespace);
        const auto idle = shell("( true )", 60, own_pid_namespace);
        ASSERT_EQ(spun.exit_status, 0) << spun.failure;
        ASSERT_TRUE(spun.user_seconds && spun.system_seconds && idle.user_seconds);
        EXPECT_GT(*spun.user_seconds, 0.0);
        EXPECT_GT(*spun.user_seconds, *idle.user_seconds);
        EXPECT_DOUBLE_EQ(spun.cpu_seconds, *spun.user_seconds + *spun.system_seconds);
        ASSERT_TRUE(spun.involuntary_switches && spun.voluntary_switches);
        EXPECT_GE(*spun.involuntary_switches, 0);
        EXPECT_GT(*spun.voluntary_switches, 0) << "the shell waited for its subshell";
    }
}

namespace {

// A directory of its own for a test's files, removed with them afterwards.
struct scratch_dir {
    std::string path;
    scratch_dir() {
        char name[] = "/tmp/corvane-process-test-XXXXXX";
        if (mkdtemp(name)) path = name;
    }
    ~scratch_dir() {
        for (const char* file : {"/child.sh", "/grandchild.sh", "/started"})
            std::remove((path + file).c_str());
        if (!path.empty()) rmdir(path.c_str());
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

bool wait_for_file(const std::string& path, double seconds) {
    const auto start = std::chrono::steady_clock::now();
    while (access(path.c_str(), F_OK) != 0)
        if (since(start) > seconds)
            return false;
        else
            usleep(10000);
    return true;
}

// Runs the script from a child process of ours, which is killed with
// SIGKILL once the script has written to started_file; false if it never did.
bool started_before_the_caller_was_killed(const std::string& script, const std::string& started_file,
                                          bool own_pid_namespace) {
    const pid_t caller = fork();
    if (caller < 0) return false;
    if (caller == 0) {
        shell(script, 60, own_pid_namespace);
        _exit(0);
    }
    const bool started = wait_for_file(started_file, 10);
    kill(caller, SIGKILL);
    waitpid(caller, nullptr, 0);
    return started;
}

// The fields of a line of /proc/<pid>/status, after its name, or "".
std::string status_line(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name + ":", 0) == 0) {
            const auto start = line.find_first_not_of(" \t", name.size() + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
    return "";
}

std::vector<std::string> words_of(const std::string& text) {
    std::istringstream words(text);
    return {std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
}

// Whether this process holds CAP_SYS_ADMIN, so that its runs should get a
// PID namespace (root here, not in most containers or on a user's shell).
bool namespaces_permitted() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    return syscall(SYS_capget, &header, data) == 0 &&
           (data[CAP_SYS_ADMIN / 32].effective & (1u << (CAP_SYS_ADMIN % 32))) != 0;
}

}  // namespace

TEST(DeathSignal, TheProgramDiesWithTheProcessThatRanIt) {
    for (const bool own_pid_namespace : {true, false}) {
        scratch_dir dir;
        const std::string sleep = unique_sleep(60);
        ASSERT_TRUE(started_before_the_caller_was_killed(
            "echo > '" + dir.file("started") + "'; exec " + sleep, dir.file("started"), own_pid_namespace))
            << "the program did not start";
        EXPECT_TRUE(ended_within(sleep, 3.0)) << "the program outlived the process that ran it";
    }
}

TEST(KilledCaller, LeavesNothingOfTheRunRunningWhenTheRunHasANamespace) {
    if (!namespaces_permitted()) GTEST_SKIP() << "no CAP_SYS_ADMIN here, so no PID namespace";
    // A script whose child starts a grandchild that sleeps long, as mpiexec
    // starts its ranks.
    scratch_dir dir;
    const std::string sleep = unique_sleep(60);
    std::ofstream(dir.file("grandchild.sh"))
        << "echo > '" << dir.file("started") << "'\nexec " << sleep << "\n";
    std::ofstream(dir.file("child.sh")) << "sh '" << dir.file("grandchild.sh") << "' &\nwait\n";
    ASSERT_TRUE(started_before_the_caller_was_killed("sh '" + dir.file("child.sh") + "' & wait",
                                                     dir.file("started"), true))
        << "the grandchild did not start";
    EXPECT_TRUE(ended_within(sleep, 3.0)) << "the grandchild outlived the killed caller";
}

TEST(Namespace, TheProgramRunsUnderOurInitAndNotAsItsFirstProcess) {
    if (!namespaces_permitted()) GTEST_SKIP() << "no CAP_SYS_ADMIN here, so no PID namespace";
    // Its pid and its parent's, then both as its /proc shows them.
    const auto run = shell("read pid name state parent rest < /proc/self/stat; echo $$ $PPID $pid $parent");
    EXPECT_TRUE(run.in_pid_namespace);
    EXPECT_EQ(run.namespace_refused, "");
    std::istringstream words(run.out);
    long inside = 0, parent_inside = 0, proc_pid = 0, proc_parent = 0;
    ASSERT_TRUE(words >> inside >> parent_inside >> proc_pid >> proc_parent) << run.out;
    EXPECT_EQ(parent_inside, 1) << "the init should be its parent";
    // The program's /proc is its namespace's, so that /dev/stdout and MPI
    // libraries that look their peers up there find the right processes.
    EXPECT_EQ(proc_pid, inside);
    EXPECT_EQ(proc_parent, 1);
    // Two runs at once must not both see the same pids: Open MPI's launchers
    // then share their files and crash. It takes the init's outer pid, never
    // the namespace's first numbers.
    EXPECT_GT(inside, 2) << "its pid inside should be as unique as the init's outside";
    // And as the kernel states it, seen from here: the last of the program's
    // NSpid, its pid in the innermost namespace, one below ours, is its
    // parent's pid here.
    const std::string sleep = unique_sleep(30);
    const pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        shell("exec " + sleep);
        _exit(0);
    }
    pid_t program = 0;
    for (int tries = 0; tries < 1000 && (program = live_process_running(sleep)) == 0; ++tries) usleep(10000);
    const std::string nspid = status_line(program, "NSpid"), parent = status_line(program, "PPid");
    kill(program > 0 ? program : caller, SIGKILL);
    waitpid(caller, nullptr, 0);
    ASSERT_GT(program, 0) << "the program did not start";
    const std::vector<std::string> ours = words_of(status_line(getpid(), "NSpid")), its = words_of(nspid);
    ASSERT_EQ(its.size(), ours.size() + 1) << "NSpid " << nspid;
    EXPECT_EQ(its.front(), std::to_string(program));
    EXPECT_EQ(its.back(), parent) << "NSpid " << nspid << ", PPid " << parent;
    const auto without = shell("echo $$", 60, false);
    EXPECT_FALSE(without.in_pid_namespace);
    EXPECT_EQ(without.namespace_refused, "") << "none was asked for";
}

// A caller in a chroot, where / is no mount point: the program's /proc must
// still be its namespace's.
TEST(Namespace, ACallerInAChrootGivesTheProgramItsOwnProc) {
    if (!namespaces_permitted()) GTEST_SKIP() << "no CAP_SYS_ADMIN here, so no PID namespace";
    char root[] = "/tmp/corvane-chroot-XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    const std::string dir = root;
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        close(report[0]);
        // A root of /usr and a /proc, in mounts that end with this process.
        // Where our own / is no mount point (a chroot already, where the
        // test above covers this) they could not be kept from the caller.
        if (unshare(CLONE_NEWNS) != 0) _exit(2);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(4);
        for (const char* sub : {"/usr", "/proc"}) mkdir((dir + sub).c_str(), 0755);
        for (const char* link : {"bin", "lib", "lib64", "sbin"})
            (void)!symlink((std::string("usr/") + link).c_str(), (dir + "/" + link).c_str());
        if (mount("/usr", (dir + "/usr").c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
            mount("proc", (dir + "/proc").c_str(), "proc", 0, nullptr) != 0 || chroot(dir.c_str()) != 0 ||
            chdir("/") != 0)
            _exit(2);
        const auto run = shell("read pid rest < /proc/self/stat; echo $$ $pid");
        (void)!write(report[1], run.out.data(), run.out.size());
        _exit(run.in_pid_namespace ? 0 : 3);
    }
    close(report[1]);
    const std::string text = read_to_end(report[0]);
    int status = 0;
    waitpid(caller, &status, 0);
    for (const char* sub : {"/usr", "/proc", "/bin", "/lib", "/lib64", "/sbin"}) remove((dir + sub).c_str());
    rmdir(root);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2) << "could not set up the chroot";
    if (WEXITSTATUS(status) == 4) GTEST_SKIP() << "this test runs in a chroot already";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the run had no PID namespace";
    std::istringstream words(text);
    long inside = 0, proc_pid = -1;
    ASSERT_TRUE(words >> inside >> proc_pid) << text;
    EXPECT_EQ(proc_pid, inside) << "the program's /proc is the caller's";
}

TEST(Namespace, ASignalTheProgramSendsItsParentReachesTheCallerAsBefore) {
    for (const bool own_pid_namespace : {true, false}) {
        const pid_t caller = fork();
        ASSERT_GE(caller, 0);
        if (caller == 0) {
            catch_interrupts();
            const auto run = shell("kill -INT $PPID; exec sleep 30", 5, own_pid_namespace);
            _exit(run.interrupted_by == SIGINT && !run.timed_out ? 0 : 1);
        }
        int status = 0;
        waitpid(caller, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << (own_pid_namespace ? "in a namespace" : "without one") << ": the caller never saw the signal";
    }
}

namespace {

// Clears CAP_SYS_ADMIN from this process's effective set: what a process
// without it (not root, or a container) is refused.
bool drop_sys_admin() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[CAP_SYS_ADMIN / 32].effective &= ~(1u << (CAP_SYS_ADMIN % 32));
    return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

TEST(Namespace, WhereNoneIsPermittedARunIsContainedAsBeforeAndSaysWhy) {
    const std::string sleep = unique_sleep(20);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        close(report[0]);
        if (!drop_sys_admin()) _exit(2);
        const auto run = shell("setsid " + sleeper(sleep) + " & sleep 0.5");
        const std::string text = std::to_string(run.in_pid_namespace) + " " +
                                 std::to_string(run.left_behind) + " " + std::to_string(run.exit_status) +
                                 "\n" + run.namespace_refused + "\n" + run.out;
        (void)!write(report[1], text.data(), text.size());
        _exit(0);
    }
    close(report[1]);
    const std::string text = read_to_end(report[0]);
    int status = 0;
    waitpid(caller, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "could not drop CAP_SYS_ADMIN";
    const auto lines = lines_of(text);
    ASSERT_EQ(lines.size(), 3u) << text;
    EXPECT_EQ(lines[0], "0 1 0") << "no namespace, one process left behind, exit status 0";
    EXPECT_NE(lines[1], "") << "the run should say why it had no namespace";
    EXPECT_EQ(lines[2], "started");
    EXPECT_TRUE(ended_within(sleep, 3.0)) << "the subreaper did not end what left the group";
}

namespace {

struct stopped_run {
    double wall_seconds = 0;
    bool caller_stopped = false;
};

// A caller runs a program that sleeps one second; we stop the caller for
// two seconds meanwhile.
stopped_run run_with_the_caller_stopped(bool own_pid_namespace) {
    scratch_dir dir;
    int report[2];
    if (pipe(report) != 0) return {};
    const pid_t caller = fork();
    if (caller < 0) return {};
    if (caller == 0) {
        close(report[0]);
        const auto run = shell("echo > '" + dir.file("started") + "'; sleep 1", 60, own_pid_namespace);
        const stopped_run result{run.wall_seconds, run.caller_stopped};
        (void)!write(report[1], &result, sizeof result);
        _exit(0);
    }
    close(report[1]);
    if (wait_for_file(dir.file("started"), 10)) {
        kill(caller, SIGSTOP);
        usleep(2000000);
        kill(caller, SIGCONT);
    }
    stopped_run result;
    (void)!read(report[0], &result, sizeof result);
    close(report[0]);
    waitpid(caller, nullptr, 0);
    return result;
}

}  // namespace

TEST(CallerStopped, TheStopIsNotTheProgramsTimeInANamespace) {
    if (!namespaces_permitted()) GTEST_SKIP() << "no CAP_SYS_ADMIN here, so no PID namespace";
    const auto run = run_with_the_caller_stopped(true);
    EXPECT_GE(run.wall_seconds, 1.0);
    EXPECT_LT(run.wall_seconds, 1.8) << "the two seconds the caller was stopped were counted";
    EXPECT_FALSE(run.caller_stopped) << "the init timed the program; nothing to mark";
}

TEST(CallerStopped, WithoutANamespaceTheRunIsMarked) {
    const auto run = run_with_the_caller_stopped(false);
    EXPECT_GE(run.wall_seconds, 2.0) << "our clock ran on while we were stopped";
    EXPECT_TRUE(run.caller_stopped);
}
#endif
#endif
