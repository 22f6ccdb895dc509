// corvane-kernels' figures in the suite's results: Google Benchmark's JSON
// read by hand-written examples, a round trip through the results file, and
// corvane-kernels run through a fake runner and found where it is installed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/base/error.hpp"
#include "bench/machine/helper_programs.hpp"
#include "bench/run/kernel_figures.hpp"
#include "tests/stand_ins.hpp"

using namespace corvane::bench;
using namespace corvane::bench::testing;

namespace {

// What corvane-kernels --json writes, cut down: a floor (no vs_floor), a
// kernel on two threads, and one with repetitions and their aggregates.
const std::string google_benchmark_json = R"({
  "context": {"date": "2026-12-08T12:00:00+00:00", "num_cpus": 2},
  "benchmarks": [
    {"name": "floor/addition_chain/threads:1/manual_time", "run_name": "floor/addition_chain/threads:1/manual_time",
     "run_type": "iteration", "repetitions": 1, "threads": 1, "iterations": 40, "real_time": 15.1,
     "time_unit": "ms", "ns_per_term": 0.9},
    {"name": "four_lane/avx512/newton/threads:2/manual_time",
     "run_name": "four_lane/avx512/newton/threads:2/manual_time", "run_type": "iteration", "threads": 1,
     "ns_per_term": 0.177, "vs_chain": 0.8, "vs_floor": 1.11},
    {"name": "scalar/strict/threads:1/manual_time", "run_name": "scalar/strict/threads:1/manual_time",
     "run_type": "iteration", "repetition_index": 0, "ns_per_term": 3.0, "vs_floor": 3.3},
    {"name": "scalar/strict/threads:1/manual_time", "run_name": "scalar/strict/threads:1/manual_time",
     "run_type": "iteration", "repetition_index": 1, "ns_per_term": 3.2, "vs_floor": 3.5},
    {"name": "scalar/strict/threads:1/manual_time", "run_name": "scalar/strict/threads:1/manual_time",
     "run_type": "iteration", "repetition_index": 2, "ns_per_term": 9.0, "vs_floor": 9.9},
    {"name": "scalar/strict/threads:1/manual_time_mean", "run_name": "scalar/strict/threads:1/manual_time",
     "run_type": "aggregate", "aggregate_name": "mean", "ns_per_term": 5.07, "vs_floor": 5.57},
    {"name": "scalar/strict/threads:1/manual_time_median", "run_name": "scalar/strict/threads:1/manual_time",
     "run_type": "aggregate", "aggregate_name": "median", "ns_per_term": 3.2, "vs_floor": 3.5}
  ]
})";

std::string refusal(const std::string& text) {
    try {
        read_kernel_figures(text, "k.json");
    } catch (const bench_error& e) {
        return e.what();
    }
    return "accepted";
}

}  // namespace

TEST(KernelFigures, AreReadFromGoogleBenchmarksJsonOnePerKernelAndThreads) {
    const auto kernels = read_kernel_figures(google_benchmark_json, "k.json");
    ASSERT_EQ(kernels.size(), 3u);
    EXPECT_EQ(kernels[0].name, "floor/addition_chain");
    EXPECT_EQ(kernels[0].threads, 1);
    EXPECT_EQ(kernels[0].ns_per_term, 0.9);
    EXPECT_FALSE(kernels[0].vs_floor);  // a floor is not compared with one
    EXPECT_EQ(kernels[1].name, "four_lane/avx512/newton");
    EXPECT_EQ(kernels[1].threads, 2);
    EXPECT_EQ(kernels[1].vs_floor, 1.11);
    // Repetitions: the median, not the mean one slow repetition drags.
    EXPECT_EQ(kernels[2].name, "scalar/strict");
    EXPECT_EQ(kernels[2].ns_per_term, 3.2);
    EXPECT_EQ(kernels[2].vs_floor, 3.5);
}

TEST(KernelFigures, AnythingElseIsRefusedNamingTheFileAndField) {
    EXPECT_EQ(refusal("Running corvane-kernels\n"), "k.json is not valid JSON: error at byte 1");
    EXPECT_EQ(refusal(R"({"context": {}})"), "k.json is not Google Benchmark JSON (no benchmarks array)");
    EXPECT_EQ(refusal(R"({"benchmarks": []})"), "k.json holds no benchmarks");
    EXPECT_EQ(refusal(R"({"benchmarks": [{"name": "BM_memcpy/8", "real_time": 3}]})"),
              "k.json: benchmarks[0].ns_per_term is missing: not a corvane-kernels benchmark");
    EXPECT_EQ(refusal(R"({"benchmarks": [{"name": "x/threads:1", "ns_per_term": -1}]})"),
              "k.json: benchmarks[0].ns_per_term is not a number above zero");
    EXPECT_EQ(refusal(R"({"benchmarks": [{"name": "x/threads:1", "ns_per_term": 1, "vs_floor": "fast"}]})"),
              "k.json: benchmarks[0].vs_floor is not a number above zero");
    EXPECT_EQ(
        refusal(R"({"benchmarks": [{"name": "x", "error_occurred": true, "error_message": "no AVX"}]})"),
        "k.json: benchmarks[0] is a benchmark that failed: no AVX");
    EXPECT_EQ(refusal(R"({"benchmarks": [7]})"), "k.json: benchmarks[0] is not an object");
}

class KernelsInResults : public StandIns {};

TEST_F(KernelsInResults, RoundTripThroughTheResultsFileAndOlderFilesHaveNone) {
    suite_result result;
    result.kernels = read_kernel_figures(google_benchmark_json, "k.json");
    std::ofstream(file("r.json")) << json_text(result);
    const suite_result read = read_result(file("r.json"));
    ASSERT_EQ(read.kernels.size(), result.kernels.size());
    for (std::size_t i = 0; i < read.kernels.size(); ++i) {
        EXPECT_EQ(read.kernels[i].name, result.kernels[i].name);
        EXPECT_EQ(read.kernels[i].threads, result.kernels[i].threads);
        EXPECT_EQ(read.kernels[i].ns_per_term, result.kernels[i].ns_per_term);
        EXPECT_EQ(read.kernels[i].vs_floor, result.kernels[i].vs_floor);
    }

    auto doc = nlohmann::json::parse(text_of(file("r.json")));
    doc.erase("kernels");
    std::ofstream(file("old.json")) << doc.dump();
    EXPECT_TRUE(read_result(file("old.json")).kernels.empty());
    EXPECT_FALSE(nlohmann::json::parse(json_text(suite_result{})).contains("kernels"));

    doc["kernels"] = {{{"name", "scalar/strict"}, {"threads", 0}, {"ns_per_term", 3.2}}};
    std::ofstream(file("bad.json")) << doc.dump();
    try {
        read_result(file("bad.json"));
        ADD_FAILURE() << "a kernel on 0 threads was accepted";
    } catch (const bench_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  file("bad.json") + ": kernels[0].threads is not a whole number from 1");
    }
}

TEST_F(KernelsInResults, CorvaneKernelsRunsWithATimeLimitAndLeavesNoFile) {
    std::string out_path;
    double timeout = 0;
    const auto writes = [&](const std::string& text, program_run run) {
        return [&, text, run](const std::vector<std::string>& command, const run_options& options) {
            timeout = options.timeout_s;
            for (const auto& argument : command)
                if (argument.rfind("--benchmark_out=", 0) == 0) out_path = argument.substr(16);
            std::ofstream(out_path) << text;
            return run;
        };
    };
    const auto kernels = measure_kernels("/opt/corvane-kernels", writes(google_benchmark_json, finished("")));
    EXPECT_EQ(kernels.size(), 3u);
    EXPECT_EQ(timeout, kernels_timeout_s);
    EXPECT_FALSE(out_path.empty());
    EXPECT_FALSE(exists(out_path));

    const auto failure = [&](const std::string& text, const program_run& run) {
        try {
            measure_kernels("/opt/corvane-kernels", writes(text, run));
        } catch (const bench_error& e) {
            EXPECT_EQ(e.status, not_written);
            EXPECT_FALSE(exists(out_path));
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(failure("", finished("", 1)), "/opt/corvane-kernels failed: it exited 1");
    program_run killed = finished("", -1, 9);
    EXPECT_EQ(failure("", killed), "/opt/corvane-kernels failed: it was ended by signal 9");
    killed.timed_out = true;
    EXPECT_EQ(failure("", killed), "/opt/corvane-kernels failed: it did not finish in 1800 s");
    EXPECT_EQ(failure("{\"benchmarks\": [", finished("")),
              "the JSON output of /opt/corvane-kernels is not valid JSON: error at byte 17");
}

TEST_F(KernelsInResults, CorvaneKernelsIsFoundBesideTheHarnessThenInLibexecElseNamed) {
    const std::string bin = file("bin"), libexec = file("libexec/corvane");
    std::filesystem::create_directories(bin);
    std::filesystem::create_directories(libexec);
    const char* path = std::getenv("PATH");
    const std::string saved = path ? path : "";
    setenv("PATH", dir_.c_str(), 1);  // nothing named corvane-kernels there
    try {
        find_kernels_program(bin);
        ADD_FAILURE() << "found a corvane-kernels that is not installed";
    } catch (const bench_error& e) {
        EXPECT_EQ(e.status, usage_problem);
        EXPECT_NE(std::string(e.what()).find("--kernels needs corvane-kernels"), std::string::npos)
            << e.what();
    }
    stand_in("libexec/corvane/corvane-kernels", "exit 0");
    EXPECT_EQ(find_kernels_program(bin), bin + "/../libexec/corvane/corvane-kernels");
    stand_in("bin/corvane-kernels", "exit 0");
    EXPECT_EQ(find_kernels_program(bin), bin + "/corvane-kernels");
    setenv("PATH", saved.c_str(), 1);
}

#ifdef CORVANE_KERNELS
// The real corvane-kernels, briefly: its command line, and its JSON read by
// the harness's reader (one floor and one kernel, timed for a moment).
TEST_F(KernelsInResults, CorvaneKernelsNamesItsModesAndWritesJsonTheHarnessReads) {
    const auto help = run_program(CORVANE_KERNELS, {"--help"});
    EXPECT_EQ(help.exit_status, 0);
    for (const char* mode : {"--plan", "--plan --repeat N", "--verify", "--json FILE", "--version",
                             "--benchmark_filter", "--benchmark_out_format"})
        EXPECT_NE(help.out.find(mode), std::string::npos) << mode;
    const auto version = run_program(CORVANE_KERNELS, {"--version"});
    EXPECT_EQ(version.out, "corvane-kernels " CORVANE_VERSION "\n");
    for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
             {"--plna"}, {"--plan", "--repeat", "0"}, {"--verify", "now"}, {"--json"}}) {
        const auto refused = run_program(CORVANE_KERNELS, wrong);
        EXPECT_EQ(refused.exit_status, 2) << wrong[0];
        EXPECT_TRUE(refused.out.empty()) << refused.out;  // nothing was run
    }

    const auto run =
        run_program(CORVANE_KERNELS, {"--json", file("k.json"),
                                      "--benchmark_filter=^(floor/addition_chain|scalar/strict)/threads:1",
                                      "--benchmark_min_time=0.01"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const auto kernels = read_kernel_figures(text_of(file("k.json")), "k.json");
    ASSERT_EQ(kernels.size(), 2u);
    EXPECT_EQ(kernels[0].name, "floor/addition_chain");
    EXPECT_FALSE(kernels[0].vs_floor);
    EXPECT_EQ(kernels[1].name, "scalar/strict");
    EXPECT_EQ(kernels[1].threads, 1);
    EXPECT_TRUE(kernels[1].vs_floor);
}
#endif

class Helpers : public ScratchDir {};

TEST_F(Helpers, AreFoundInTheGivenDirectoryOnlyWhenExecutable) {
    const std::string dir = dir_;
    EXPECT_EQ(find_helper("corvane-no-such-helper", dir), "");
    const std::string helper = dir + "/corvane-team-probe";
    std::ofstream(helper) << "#!/bin/sh\n";
    EXPECT_EQ(find_helper("corvane-team-probe", dir), "") << "not executable";
    chmod(helper.c_str(), 0755);
    EXPECT_EQ(find_helper("corvane-team-probe", dir), helper);
    EXPECT_EQ(installed_helper_directory(), own_directory() + "/../libexec/corvane");
    // Then the helper directory relative to the harness, then PATH: one rule for every helper.
    std::filesystem::create_directories(file("bin"));
    std::filesystem::create_directories(file("libexec/corvane"));
    std::filesystem::copy_file(helper, file("libexec/corvane/corvane-team-probe"));
    EXPECT_EQ(find_helper("corvane-team-probe", file("bin")),
              file("bin") + "/../libexec/corvane/corvane-team-probe");
    const char* path = std::getenv("PATH");
    const std::string saved = path ? path : "";
    setenv("PATH", dir.c_str(), 1);
    EXPECT_EQ(find_helper("corvane-team-probe", file("elsewhere")), helper);
    setenv("PATH", saved.c_str(), 1);
}
