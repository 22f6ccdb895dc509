// corvane-kernels' command line: what each tool accepts, and the inputs that
// once spun, blocked or ran for ever refused at once, before anything runs.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "process/process.hpp"
#include "tools/kernels/command_line.hpp"

using namespace corvane;
using namespace corvane::kernels;

namespace {

// The exit status parse_command_line's error means, or 0 if it parsed.
int refusal(const std::vector<std::string>& arguments) {
    try {
        parse_command_line(arguments);
        return 0;
    } catch (const tool_error& e) {
        return e.status;
    }
}

}  // namespace

TEST(KernelsCommandLine, RepeatTakesOnlyWholeNumbersFromOneToAThousand) {
    for (const char* count : {"1", "20", "0020", "1000"})
        EXPECT_EQ(parse_command_line({"--plan", "--repeat", count}).repeats, std::stoi(count)) << count;
    EXPECT_EQ(parse_command_line({"--plan", "--repeat", "20"}).chosen, tool::repeat_plan);
    // Read by atoi these were 1, 1 and 1215752191 cold starts.
    for (const char* count : {"1abc", "4294967297", "99999999999", "0", "-1", "+5", " 5", "0x10", "1e3",
                              "1001", "", "2147483648"})
        EXPECT_EQ(refusal({"--plan", "--repeat", count}), 2) << "'" << count << "'";
    EXPECT_EQ(refusal({"--repeat", "3"}), 2) << "--repeat without --plan";
}

TEST(KernelsCommandLine, EachToolGoesAloneAndBenchmarkFlagsGoWithTheBenchmarks) {
    EXPECT_EQ(parse_command_line({}).chosen, tool::benchmarks);
    EXPECT_EQ(parse_command_line({"--plan"}).chosen, tool::plan);
    EXPECT_EQ(parse_command_line({"--verify"}).chosen, tool::verify);
    EXPECT_EQ(parse_command_line({"-h"}).chosen, tool::help);
    EXPECT_EQ(parse_command_line({"--plan-cold", "four_lane"}).order, summation_order::four_lane);
    const command run = parse_command_line({"--benchmark_filter=^floor/", "--benchmark_min_time=0.01"});
    EXPECT_EQ(run.benchmark_flags,
              (std::vector<std::string>{"--benchmark_filter=^floor/", "--benchmark_min_time=0.01"}));
    for (const std::vector<std::string>& wrong :
         std::vector<std::vector<std::string>>{{"--plna"},
                                               {"--plan", "--verify"},
                                               {"--verify", "now"},
                                               {"--json"},
                                               {"--version", "--version"},
                                               {"--plan", "--benchmark_filter=x"},
                                               {"--plan-cold", "diagonal"},
                                               {"stray"}})
        EXPECT_EQ(refusal(wrong), 2) << wrong[0] << " " << (wrong.size() > 1 ? wrong[1] : "");
}

#ifdef _WIN32
const std::string null_device = "NUL";
#else
const std::string null_device = "/dev/null";
#endif

TEST(KernelsCommandLine, JsonGoesToARegularFileOnly) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "corvane-kernels-test";
    std::filesystem::create_directories(dir);
    const std::string fresh = (dir / "fresh.json").string(), existing = (dir / "old.json").string();
    std::filesystem::remove(fresh);
    std::ofstream(existing) << "{}";
    EXPECT_FALSE(json_path_problem(fresh));
    EXPECT_FALSE(json_path_problem(existing));
    EXPECT_EQ(parse_command_line({"--json", fresh}).json_path, fresh);
    // Reading back /dev/full or /dev/zero never ends; /dev/null (Windows: NUL)
    // is never whole.
    for (const std::string& device : std::vector<std::string>{null_device, dir.string()})
        EXPECT_TRUE(json_path_problem(device)) << device;
#ifndef _WIN32
    for (const std::string& device : std::vector<std::string>{"/dev/full", "/dev/zero"})
        EXPECT_TRUE(json_path_problem(device)) << device;
#endif
    EXPECT_EQ(*json_path_problem(""), "--json needs a file");
    std::filesystem::remove_all(dir);
}

#ifdef CORVANE_KERNELS
namespace {

// The real program, with a time limit: what used to spin or block fails
// here in seconds instead of hanging the suite. The filter keeps a run that
// does start to a moment.
process::program_run run_kernels(std::vector<std::string> arguments) {
    arguments.insert(arguments.end(),
                     {"--benchmark_filter=^floor/addition_chain/threads:1", "--benchmark_min_time=0.01"});
    process::run_options options;
    options.timeout_s = 15;
    return process::run_program(CORVANE_KERNELS, arguments, options);
}

}  // namespace

TEST(KernelsProgram, JsonThatCouldNeverBeCheckedIsRefusedBeforeAnythingRuns) {
    // /dev/stdout is the pipe this test reads, as in `--json /dev/stdout | cat`.
#ifdef _WIN32
    for (const char* path : {"NUL"}) {
#else
    for (const char* path : {"/dev/full", "/dev/zero", "/dev/stdout"}) {
#endif
        const auto run = run_kernels({"--json", path});
        EXPECT_FALSE(run.timed_out) << path;
        EXPECT_EQ(run.exit_status, 2) << path;
        EXPECT_TRUE(run.out.empty()) << path << ": " << run.out;
        EXPECT_NE(run.err.find("--json " + std::string(path) + " is not a regular file"), std::string::npos)
            << run.err;
    }
}

TEST(KernelsProgram, RepeatCountsOutsideTheRangeAreRefusedAtOnce) {
    for (const char* count : {"1abc", "4294967297", "99999999999"}) {
        process::run_options options;
        options.timeout_s = 15;
        const auto run = process::run_program(CORVANE_KERNELS, {"--plan", "--repeat", count}, options);
        EXPECT_FALSE(run.timed_out) << count;
        EXPECT_EQ(run.exit_status, 2) << count;
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_NE(run.err.find("from 1 to 1000"), std::string::npos) << run.err;
    }
}

// What the plan, the version or the help printed must reach standard
// output: a full device, or a descriptor closed before the start (which the
// program fills with /dev/null), is status 1 and said.
TEST(KernelsProgram, OutputThatNeverArrivesIsAFailure) {
    for (const char* mode : {"--plan", "--version", "--help"})
#ifdef _WIN32  // Windows has no full device
        for (const auto target : {process::stdout_to::closed}) {
#else
        for (const auto target : {process::stdout_to::full_device, process::stdout_to::closed}) {
#endif
            process::run_options options;
            options.timeout_s = 60;
            options.target = target;
            const auto run = process::run_program(CORVANE_KERNELS, {mode}, options);
            EXPECT_EQ(run.exit_status, 1) << mode << ": " << run.err;
            EXPECT_NE(run.err.find("corvane-kernels: cannot write standard output: "), std::string::npos)
                << mode << ": " << run.err;
        }
}

// --help tells of the build at hand: Google Benchmark's flags where the
// benchmarks are built, and otherwise that asking for them exits 1.
TEST(KernelsProgram, HelpTellsOfTheBenchmarksThisBuildHas) {
    const auto help = process::run_program(CORVANE_KERNELS, {"--help"}).out;
#ifdef CORVANE_KERNEL_BENCHMARKS
    EXPECT_NE(help.find("--benchmark_filter=REGEX"), std::string::npos) << help;
#else
    EXPECT_EQ(help.find("--benchmark_"), std::string::npos) << help;
    EXPECT_NE(help.find("or the benchmarks were asked for"), std::string::npos) << help;
#endif
}

// Each cold start is a fresh process of the program itself; a start that
// failed would be counted as "?".
TEST(KernelsProgram, PlanRepeatCountsEveryColdStart) {
    process::run_options options;
    options.timeout_s = 60;
    const auto run = process::run_program(CORVANE_KERNELS, {"--plan", "--repeat", "1"}, options);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const auto lines = process::lines_of(run.out);
    int counted = 0;
    for (const std::string& line : lines) counted += line.find(" 1 of 1") != std::string::npos ? 1 : 0;
    EXPECT_EQ(counted, 4) << run.out;
    EXPECT_EQ(run.out.find('?'), std::string::npos) << run.out;
}
#endif
