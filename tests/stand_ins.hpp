// Shared by the harness's tests: a scratch directory, a --bin-dir of
// stand-in programs (shell scripts printing what a test needs, stand-in MPI
// launchers among them), corvane-bench run on them, and small helpers for
// runs, files and processes.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/compare/result_file.hpp"
#include "bench/report/report.hpp"
#include "bench/run/evaluate.hpp"
#include "bench/run/suite.hpp"
#include "core/report_lines.hpp"
#include "process/process.hpp"
#include "tests/live_processes.hpp"

namespace corvane::bench::testing {

using corvane::testing::ended_within;
using corvane::testing::unique_sleep;
using process::program_run;
using process::run_options;
using process::run_program;

// A program's report, as the driver prints it.
inline std::string report_of(double seconds) {
    return corvane::expected_value_line() + "\n" + corvane::time_line(seconds) + "\n";
}
inline const std::string good_output = report_of(0.25);
// What the stand-ins print: a time no started process can be shorter than.
inline const std::string quick_output = report_of(0.001);

inline program_run finished(const std::string& out, int status = 0, int signal = 0, double wall = 10.0) {
    program_run run;
    run.out = out;
    run.exit_status = status;
    run.signal = signal;
    run.wall_seconds = wall;
    return run;
}

inline bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Valid runs that reported these times, each 3 ms shorter than the process.
inline std::vector<sample> runs(const std::vector<double>& times) {
    std::vector<sample> samples;
    for (double t : times) samples.push_back({t, t + 0.003, true, ""});
    return samples;
}

// The names in a directory, hidden ones too, one per line.
inline std::string names_in(const std::string& dir) {
    std::string names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(d))
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
                names += std::string(entry->d_name) + "\n";
        closedir(d);
    }
    return names;
}

// A file's whole text, or "" where it cannot be read.
inline std::string text_of(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A result file as JSON, after corvane-bench's own reader accepted it.
inline nlohmann::json read_json(const std::string& path) {
    read_result(path);
    return nlohmann::json::parse(text_of(path));
}

// Whether `work` finishes within `seconds`, run in a child process that is
// ended when it does not: a test of bounded work fails at its bound, not
// at CTest's timeout. Figures belong in benchmarks; the bound here is many
// times what the work takes.
inline bool finishes_within(double seconds, const std::function<void()>& work) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        work();
        _exit(0);
    }
    if (child < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A directory of the test's own, made afresh and removed with everything in it.
class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/corvane-bench-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr) << std::strerror(errno);
        dir_ = name;
    }
    void TearDown() override {
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

#ifdef CORVANE_BENCH  // in the test programs that run corvane-bench
// A --bin-dir of stand-in programs: shell scripts printing what a test needs.
class StandIns : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        for (const auto& program : {"corvane-serial", "corvane-serial-simd", "corvane-omp",
                                    "corvane-omp-simd", "corvane-autopar", "corvane-mpi"})
            stand_in(program, "printf '" + escaped(quick_output) + "'");
    }

    static std::string escaped(const std::string& text) {
        std::string out;
        for (char c : text)
            out += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c);
        return out;
    }
    void stand_in(const std::string& program, const std::string& body) {
        const std::string path = dir_ + "/" + program;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        chmod(path.c_str(), 0755);
    }
    // A stand-in mpiexec that answers --version with `version_line`, notes how
    // it was called in the file "launches" (appending, or keeping only the
    // last call) and runs the program on its own.
    void stand_in_launcher(const std::string& version_line, bool append = true) {
        stand_in("mpiexec", "[ \"$1\" = --version ] && { echo '" + version_line + "'; exit 0; }\n" +
                                "printf '%s\\n' \"$*\" " + (append ? ">>" : ">") + " '" + file("launches") +
                                "'\nwhile [ \"$1\" != -n ]; do shift; done; shift 2; exec \"$@\"");
    }
    static constexpr const char* open_mpi_version = "mpiexec (OpenRTE) 4.1.4";
    static constexpr const char* hydra_version = "HYDRA build details:";

    program_run bench(std::vector<std::string> args, const environment& env = {}) {
        args.insert(args.begin(), {"--bin-dir", dir_, "--warmup", "0", "--runs", "2", "--seed", "7"});
        run_options options;
        options.env = env;
        options.timeout_s = 120;  // a hung harness fails its test, not the suite
        return run_program(CORVANE_BENCH, args, options);
    }
    program_run compare(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"compare"};
        all.insert(all.end(), args.begin(), args.end());
        return run_program(CORVANE_BENCH, all);
    }
};
#endif

}  // namespace corvane::bench::testing
