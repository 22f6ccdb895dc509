// The five programs, run as a user runs them.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/report_lines.hpp"
#include "process/process.hpp"

using namespace corvane::process;

namespace {

const std::vector<std::string> programs = {
    "corvane-serial", "corvane-serial-simd",
#ifdef CORVANE_HAVE_OPENMP
    "corvane-omp",    "corvane-omp-simd",    "corvane-autopar",
#endif
};

// A console line as the programs write it: CRLF on Windows.
#ifdef _WIN32
const std::string newline = "\r\n";
#else
const std::string newline = "\n";
#endif

using environment = std::vector<std::pair<std::string, std::string>>;

// A program run with a time limit, so that a hung one fails its test
// instead of stopping the suite.
program_run run(const std::string& path, const std::vector<std::string>& args = {},
                const environment& env = {}, stdout_to target = stdout_to::capture) {
    run_options options;
    options.env = env;
    options.target = target;
    options.timeout_s = 240;
    return run_program(path, args, options);
}

std::string path_of(const std::string& program) {
    return std::string(CORVANE_BIN_DIR) + "/" + program + CORVANE_EXE_SUFFIX;
}

// LLVM's OpenMP runtime warns on standard error when OMP_THREAD_LIMIT is
// below the team it would start; that note is the runtime's, not the program's.
std::string without_runtime_notes(const std::string& err) {
    std::string kept;
    for (const auto& line : lines_of(err))
        if (line.rfind("OMP: ", 0) != 0) kept += line + newline;
    return kept;
}

void expect_report(const program_run& run, bool runtime_may_warn = false) {
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(runtime_may_warn ? without_runtime_notes(run.err) : run.err, "");
    const auto lines = lines_of(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
#ifdef _WIN32
    EXPECT_EQ(run.out.find('\n'), run.out.find("\r\n") + 1) << "console lines end in CRLF";
#endif
    // Written out, not formatted by the code under test.
    EXPECT_EQ(lines[0], "The value of PI is  3.141592653590");
    // Whole milliseconds: the last three of the six decimals are zeros.
    EXPECT_TRUE(corvane::parse_time_line(lines[1]) && lines[1].rfind("000 seconds") == lines[1].size() - 11)
        << lines[1];
}

class Program : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(Program, PrintsTheValueAndTimeLinesAndIgnoresArguments) {
    expect_report(run(path_of(GetParam())));
    expect_report(run(path_of(GetParam()), {"--help", "-n", "7"}));
}

TEST_P(Program, ReportsAnUnwritableStandardOutputAndExitsOne) {
#ifndef _WIN32  // Windows has no full device
    const program_run full = run(path_of(GetParam()), {}, {}, stdout_to::full_device);
    EXPECT_EQ(full.exit_status, 1);
    EXPECT_EQ(full.err, GetParam() + ": cannot write standard output: No space left on device\n");
#endif

    const program_run closed = run(path_of(GetParam()), {}, {}, stdout_to::closed);
    EXPECT_EQ(closed.exit_status, 1);
    EXPECT_EQ(closed.err, GetParam() + ": cannot write standard output: Bad file descriptor" + newline);
}

TEST_P(Program, PrintsTheSameLinesOnOneAndTwoThreads) {
    expect_report(run(path_of(GetParam()), {}, {{"OMP_NUM_THREADS", "1"}}));
    expect_report(run(path_of(GetParam()), {}, {{"OMP_THREAD_LIMIT", "1"}}), true);
    expect_report(run(path_of(GetParam()), {}, {{"OMP_NUM_THREADS", "2"}}));
}

INSTANTIATE_TEST_SUITE_P(AsAUserRunsThem, Program, ::testing::ValuesIn(programs),
                         [](const auto& program_info) {
                             std::string name = program_info.param;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

#ifdef CORVANE_HAVE_OPENMP
TEST(ParallelProgram, ReportsWallClockTimeNotTheProcessorTimeOfItsThreads) {
    const program_run two = run(path_of("corvane-omp"), {}, {{"OMP_NUM_THREADS", "2"}});
    ASSERT_EQ(two.exit_status, 0);
    const double reported = corvane::parse_time_line(lines_of(two.out).at(1)).value_or(-1.0);
    // With both threads busy the processor time is about twice the elapsed
    // time; the report must stay within the process's own elapsed time.
    EXPECT_LE(reported, two.wall_seconds + 0.002)
        << "processor time " << two.cpu_seconds << " s, elapsed " << two.wall_seconds << " s";
    EXPECT_GT(reported, 0.0);
}
#endif

#ifdef CORVANE_HAVE_OPENMP
// Teams that split the range unevenly: the last bits of the total may
// differ with the order the runtime combines the partials, the printed
// twelve decimals may not.
TEST(ParallelProgram, PrintsTheSameLinesOnThreeAndFiveThreads) {
    for (const char* program : {"corvane-omp", "corvane-omp-simd", "corvane-autopar"})
        for (const char* threads : {"3", "5"}) {
            SCOPED_TRACE(std::string(program) + " on " + threads + " threads");
            expect_report(run(path_of(program), {}, {{"OMP_NUM_THREADS", threads}}));
        }
}
#endif

#ifdef CORVANE_MPIEXEC
namespace {

// Open MPI refuses to run as root without the first two.
const environment mpi_environment = {
    {"OMPI_ALLOW_RUN_AS_ROOT", "1"},
    {"OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1"},
    {"OMPI_MCA_rmaps_base_oversubscribe", "1"},
};

}  // namespace

TEST(MpiProgram, PrintsTheReportOnceWhateverTheRanks) {
    for (const char* ranks : {"1", "2"})
        expect_report(run(CORVANE_MPIEXEC, {"-n", ranks, path_of("corvane-mpi")}, mpi_environment));
}

TEST(MpiProgram, ReportsAnUnwritableStandardOutputAndExitsOne) {
    // Started without mpiexec, MPI runs it as a single rank whose standard
    // output is the program's own.
    const program_run full = run(path_of("corvane-mpi"), {}, mpi_environment, stdout_to::full_device);
    EXPECT_EQ(full.exit_status, 1);
    EXPECT_EQ(full.err, "corvane-mpi: cannot write standard output: No space left on device\n");
}

TEST(MpiProgram, AFailedMpiCallIsNamedAndEndsEveryRank) {
    // Rank 1's call fails while rank 0 waits at a barrier: both must end.
    const program_run failed = run(CORVANE_MPIEXEC, {"-n", "2", CORVANE_MPI_FAULT_PROGRAM}, mpi_environment);
    EXPECT_FALSE(failed.timed_out) << "a rank was left waiting";
    EXPECT_NE(failed.exit_status, 0);
    EXPECT_EQ(failed.out, "");
    // One line naming the call and the error's class, whatever the
    // implementation calls it ("MPI_ERR_ROOT: invalid root", "Invalid root").
    const std::string prefix = "corvane-mpi: MPI_Gather failed: ";
    const auto at = failed.err.find(prefix);
    ASSERT_NE(at, std::string::npos) << failed.err;
    const std::string reason =
        failed.err.substr(at + prefix.size(), failed.err.find('\n', at) - at - prefix.size());
    std::string lower;
    for (char c : reason) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(lower.find("root"), std::string::npos) << reason;
}

#ifdef CORVANE_BENCH
// The suite starts ranks with the launcher of corvane-mpi's own MPI library,
// whatever mpiexec comes first on PATH, here from a hostfile naming this
// machine in that implementation's format.
TEST(MpiProgram, TheSuiteRunsRanksThroughItsOwnLauncherFromAHostfile) {
    const program_run version = run(CORVANE_MPIEXEC, {"--version"});
    const bool hydra = (version.out + version.err).find("HYDRA") != std::string::npos;
    char dir[] = "/tmp/corvane-hostfile-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string hosts = std::string(dir) + "/hosts";
    std::FILE* file = std::fopen(hosts.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs(hydra ? "localhost:2\n" : "localhost slots=2\n", file);
    std::fclose(file);
    const program_run suite =
        run(CORVANE_BENCH, {"--programs", "corvane-serial-simd", "--threads", "1", "--ranks", "2", "--runs",
                            "1", "--warmup", "0", "--hostfile", hosts, "--json", "-"});
    std::remove(hosts.c_str());
    rmdir(dir);
    ASSERT_EQ(suite.exit_status, 0) << suite.out << suite.err;
    EXPECT_NE(suite.out.find(hydra ? "\"implementation\": \"MPICH\"" : "\"implementation\": \"Open MPI\""),
              std::string::npos)
        << suite.out;
    EXPECT_NE(suite.out.find("\"valid_runs\": 1"), std::string::npos) << suite.out;
}
#endif
#endif
