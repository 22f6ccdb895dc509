// corvane-bench: its statistics on known samples, its validation of runs,
// and the harness itself run against stand-in programs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include "harness.hpp"

using namespace corvane::bench;
using corvane::process::program_run;
using corvane::process::run_program;

namespace {

const std::string good_output =
    "The value of PI is  3.141592653590\nThe time to calculate PI was 0.250000 seconds\n";

program_run finished(const std::string& out, int status = 0, int signal = 0) {
    program_run run;
    run.out = out;
    run.exit_status = status;
    run.signal = signal;
    return run;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// A --bin-dir of stand-in programs: shell scripts printing what a test needs.
class StandIns : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/corvane-bench-test-XXXXXX";
        dir_ = mkdtemp(name);
        for (const auto& program : {"corvane-serial", "corvane-serial-simd", "corvane-omp",
                                    "corvane-omp-simd", "corvane-autopar"})
            stand_in(program, "printf '" + escaped(good_output) + "'");
        stand_in("corvane-mpi", "printf '" + escaped(good_output) + "'");
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    static std::string escaped(const std::string& text) {
        std::string out;
        for (char c : text) out += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c);
        return out;
    }
    void stand_in(const std::string& program, const std::string& body) {
        const std::string path = dir_ + "/" + program;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        chmod(path.c_str(), 0755);
    }
    program_run bench(std::vector<std::string> args,
                      const std::vector<std::pair<std::string, std::string>>& env = {}) {
        args.insert(args.begin(), {"--bin-dir", dir_, "--warmup", "0", "--runs", "2", "--seed", "7"});
        return run_program(CORVANE_BENCH, args, env);
    }
    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

}  // namespace

TEST(Statistics, SummariseKnownSamples) {
    const summary s = summarize({0.300, 0.302, 0.301, 0.305, 0.900});
    EXPECT_DOUBLE_EQ(s.median, 0.302);
    EXPECT_DOUBLE_EQ(s.min, 0.300);
    EXPECT_DOUBLE_EQ(s.max, 0.900);
    EXPECT_NEAR(s.mean, 0.4216, 1e-12);
    EXPECT_NEAR(s.stddev, 0.267440, 1e-6);  // sample standard deviation
    EXPECT_NEAR(s.cv, s.stddev / s.mean, 1e-12);
    EXPECT_EQ(s.outliers, 1);
    EXPECT_DOUBLE_EQ(median_of({4.0, 1.0, 3.0, 2.0}), 2.5);
    // Readings one clock tick apart are not outliers.
    EXPECT_EQ(summarize({0.311, 0.311, 0.311, 0.312, 0.311}).outliers, 0);
    EXPECT_EQ(summarize({0.5}).stddev, 0.0);
}

TEST(Statistics, MannWhitneyIsExactForSmallSamplesAndSymmetric) {
    const std::vector<double> fast = {1.0, 1.1, 1.2, 1.3, 1.4}, slow = {2.0, 2.1, 2.2, 2.3, 2.4};
    EXPECT_NEAR(mann_whitney_p(fast, slow), 2.0 / 252.0, 1e-12);  // the two most extreme splits
    EXPECT_NEAR(mann_whitney_p(slow, fast), 2.0 / 252.0, 1e-12);
    EXPECT_DOUBLE_EQ(mann_whitney_p(fast, fast), 1.0);
    std::vector<double> many_a, many_b;
    for (int i = 0; i < 30; ++i) {
        many_a.push_back(1.0 + i * 0.01);
        many_b.push_back(1.005 + i * 0.01);
    }
    EXPECT_GT(mann_whitney_p(many_a, many_b), 0.5);  // normal approximation, interleaved
}

TEST(Statistics, SpeedupEfficiencyAndSerialFraction) {
    const scaling two = scale(1.0, 0.625, 2);
    EXPECT_DOUBLE_EQ(*two.speedup, 1.6);
    EXPECT_DOUBLE_EQ(*two.efficiency, 0.8);
    EXPECT_NEAR(*two.karp_flatt, 0.25, 1e-12);  // (1/1.6 - 1/2) / (1 - 1/2)
    EXPECT_FALSE(scale(1.0, 1.0, 1).karp_flatt);
    EXPECT_FALSE(scale(1.0, 0.4, std::nullopt).efficiency);
}

TEST(Statistics, ScaleEachCellAgainstTheSerialProgramOfItsOrder) {
    const auto runs = [](std::vector<double> times) {
        std::vector<sample> samples;
        for (double t : times) samples.push_back({t, t + 0.003, true, ""});
        return samples;
    };
    const std::vector<cell> cells = {
        {"corvane-serial", std::nullopt, runs({0.80, 0.80, 0.80}), std::nullopt},
        {"corvane-serial-simd", std::nullopt, runs({0.30, 0.40, 0.30}), std::nullopt},
        {"corvane-omp", 2, runs({0.40, 0.40, 0.40}), std::nullopt},
        {"corvane-autopar", 2, runs({0.20, 0.20, 0.20}), std::nullopt},
        {"corvane-mpi", 2, runs({0.10, 0.10, 0.10}), 2},
    };
    const auto results = evaluate(cells);
    EXPECT_FALSE(results[0].scaled.speedup);                  // nothing to compare with
    EXPECT_DOUBLE_EQ(*results[1].scaled.speedup, 0.80 / 0.30);  // the four-lane order's gain
    EXPECT_TRUE(results[1].unstable);                          // cv 18%
    EXPECT_FALSE(results[2].unstable);
    EXPECT_DOUBLE_EQ(*results[2].scaled.speedup, 2.0);         // against corvane-serial
    EXPECT_DOUBLE_EQ(*results[3].scaled.speedup, 1.5);         // against corvane-serial-simd
    EXPECT_DOUBLE_EQ(*results[4].scaled.efficiency, 0.75);     // 3.0 over 2 ranks x 2 threads
    EXPECT_NEAR(results[2].wall.median - results[2].reported.median, 0.003, 1e-12);
}

TEST(Threads, DefaultsAndParsing) {
    EXPECT_EQ(default_threads(1), (std::vector<int>{1}));
    EXPECT_EQ(default_threads(2), (std::vector<int>{1, 2}));
    EXPECT_EQ(default_threads(6), (std::vector<int>{1, 2, 4, 6}));
    EXPECT_EQ(default_threads(8), (std::vector<int>{1, 2, 4, 8}));
    EXPECT_EQ(parse_counts("4,1,2,2", "--threads"), (std::vector<int>{1, 2, 4}));
    for (const char* bad : {"", "0", "-1", "a", "1,,2", "2,", "1.5", "99999999"})
        EXPECT_THROW(parse_counts(bad, "--threads"), std::invalid_argument) << bad;
}

TEST(Validation, AcceptsTheReportAndNamesEveryFault) {
    EXPECT_EQ(validate(finished(good_output)), "");
    EXPECT_EQ(validate(finished("The value of PI is  3.141592653590\r\n"
                                "The time to calculate PI was 0.250000 seconds\r\n")), "");
    EXPECT_EQ(validate(finished(good_output, 3)), "exit status 3");
    EXPECT_EQ(validate(finished("", -1, 11)), "killed by signal 11");
    EXPECT_EQ(validate(finished("The value of PI is  3.141592653591\n"
                                "The time to calculate PI was 0.250000 seconds\n")),
              "wrong value line: The value of PI is  3.141592653591");
    EXPECT_EQ(validate(finished("The value of PI is  3.141592653590\nThe time was 1 s\n")),
              "malformed time line: The time was 1 s");
    EXPECT_EQ(validate(finished(good_output + "extra\n")), "expected two lines, got 3");
}

TEST(Csv, QuotesFieldsAsRfc4180) {
    cell c{"corvane-omp", 2, {{0.0, 0.1, false, "wrong value line: \"3,14\""}}, std::nullopt};
    EXPECT_EQ(csv_rows({c}),
              "program,ranks,threads,run,reported_s,wall_s,valid,reason\r\n"
              "corvane-omp,,2,1,,0.100000,false,\"wrong value line: \"\"3,14\"\"\"\r\n");
}

TEST_F(StandIns, ValidRunsGiveStatisticsAndExitZero) {
    const auto run = bench({"--threads", "1,2", "--json", file("r.json"), "--csv", file("r.csv"),
                            "--markdown", file("r.md")});
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("seed 7"), std::string::npos);
    const auto result = read_result(file("r.json"));
    ASSERT_EQ(result["cells"].size(), 8u);  // two serial cells, three programs on two team sizes
    for (const auto& c : result["cells"]) {
        EXPECT_EQ(c["valid_runs"], 2);
        EXPECT_DOUBLE_EQ(c["median_s"].get<double>(), 0.25);
        if (c["program"] == "corvane-omp") {
            EXPECT_DOUBLE_EQ(c["speedup"].get<double>(), 1.0);
        }
    }
    EXPECT_TRUE(exists(file("r.csv")));
    EXPECT_TRUE(exists(file("r.md")));
}

TEST_F(StandIns, InvalidRunsAreShownExcludedAndFailTheSuite) {
    stand_in("corvane-serial", "printf 'The value of PI is  3.141592653591\\nThe time to calculate PI was 0.1 seconds\\n'");
    stand_in("corvane-serial-simd", "echo 'The value of PI is  3.141592653590'");
    stand_in("corvane-omp", "printf '" + escaped(good_output) + "'; exit 3");
    stand_in("corvane-omp-simd", "kill -SEGV $$");
    const auto run = bench({"--threads", "2", "--json", file("r.json")});
    EXPECT_EQ(run.exit_status, 1);
    for (const char* reason : {"wrong value line", "expected two lines, got 1", "exit status 3",
                               "killed by signal 11"})
        EXPECT_NE(run.out.find(reason), std::string::npos) << reason << "\n" << run.out;
    const auto result = read_result(file("r.json"));
    for (const auto& c : result["cells"]) {
        const bool good = c["program"] == "corvane-autopar";
        EXPECT_EQ(c["invalid_runs"], good ? 0 : 2) << c["program"];
        EXPECT_EQ(c["median_s"].is_null(), !good);
    }
}

TEST_F(StandIns, UsageErrorsExitTwoWithOneLineAndNoFiles) {
    unlink((dir_ + "/corvane-autopar").c_str());
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--frobnicate"}, "frobnicate"},
        {{"--threads", "0"}, "--threads: '0' is not a positive integer"},
        {{"--threads", "2,x"}, "--threads: 'x' is not a positive integer"},
        {{"--programs", "corvane-fast"}, "unknown program 'corvane-fast'"},
        {{}, "corvane-autopar not found in"},
        {{"--programs", "corvane-serial", "--env", "NOVALUE"}, "--env: 'NOVALUE' is not NAME=VALUE"},
        {{"--programs", "corvane-serial", "--runs", "0"}, "--runs"},
        {{"--programs", "corvane-serial", "--csv", "/nonexistent/dir/r.csv"}, "cannot write /nonexistent/dir/r.csv"},
    };
    for (const auto& [args, message] : cases) {
        auto with_json = args;
        with_json.insert(with_json.end(), {"--json", file("r.json")});
        const auto run = bench(with_json);
        EXPECT_EQ(run.exit_status, 2) << message;
        EXPECT_EQ(run.err.rfind("corvane-bench: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_FALSE(exists(file("r.json"))) << message;
    }
}

TEST_F(StandIns, RanksRunCorvaneMpiThroughMpiexec) {
    // A stand-in mpiexec that notes how it was called and runs the program.
    stand_in("mpiexec", "printf '%s\\n' \"$*\" >> '" + file("launches") + "'; shift 2; exec \"$@\"");
    const std::vector<std::pair<std::string, std::string>> path = {{"PATH", dir_ + ":/usr/bin:/bin"}};
    const auto run = bench({"--programs", "corvane-serial-simd", "--threads", "2", "--ranks", "1,2",
                            "--json", file("r.json")}, path);
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
    std::ifstream launches(file("launches"));
    int by_ranks[3] = {};
    for (std::string line; std::getline(launches, line);) {
        if (line == "-n 1 " + file("corvane-mpi")) ++by_ranks[1];
        if (line == "-n 2 " + file("corvane-mpi")) ++by_ranks[2];
    }
    EXPECT_EQ(by_ranks[1], 2);
    EXPECT_EQ(by_ranks[2], 2);
    const auto result = read_result(file("r.json"));
    ASSERT_EQ(result["cells"].size(), 3u);
    EXPECT_EQ(result["cells"][2]["ranks"], 2);
    EXPECT_DOUBLE_EQ(result["cells"][2]["efficiency"].get<double>(), 0.25);  // 1.0 over 2 x 2

    for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--programs", "corvane-mpi"}, "corvane-mpi runs through --ranks"},
             {{"--ranks", "0"}, "--ranks: '0' is not a positive integer"}}) {
        const auto refused = bench(args, path);
        EXPECT_EQ(refused.exit_status, 2);
        EXPECT_NE(refused.err.find(message), std::string::npos) << refused.err;
    }
    const auto no_mpiexec = bench({"--ranks", "1"}, {{"PATH", "/nonexistent"}});
    EXPECT_EQ(no_mpiexec.exit_status, 2);
    EXPECT_NE(no_mpiexec.err.find("--ranks needs mpiexec"), std::string::npos) << no_mpiexec.err;
}

TEST_F(StandIns, CompareRoundTripsTheJsonAndRejectsBadFiles) {
    ASSERT_EQ(bench({"--threads", "1", "--json", file("a.json")}).exit_status, 0);
    const auto same = run_program(CORVANE_BENCH, {"compare", file("a.json"), file("a.json")});
    EXPECT_EQ(same.exit_status, 0) << same.err;
    EXPECT_NE(same.out.find("corvane-omp 1"), std::string::npos) << same.out;
    EXPECT_NE(same.out.find("geometric mean of ratios (new / old, below 1 is faster): 1.000 over 5 cells"),
              std::string::npos) << same.out;

    std::ofstream(file("broken.json")) << "{\"schema_version\": 1, \"cells\": [";
    std::ofstream(file("other.json")) << "{\"name\": \"not a result\"}";
    for (const auto& [path, message] : std::vector<std::pair<std::string, std::string>>{
             {file("missing.json"), "cannot read"},
             {file("broken.json"), "is not valid JSON"},
             {file("other.json"), "is not a corvane-bench result"}}) {
        const auto run = run_program(CORVANE_BENCH, {"compare", file("a.json"), path});
        EXPECT_EQ(run.exit_status, 2);
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    }
}
