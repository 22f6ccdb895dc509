// corvane-bench: its statistics on known samples, its validation of runs,
// and the harness itself run against stand-in programs.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include <nlohmann/json.hpp>

#include "bench/compare.hpp"
#include "bench/error.hpp"
#include "bench/report/report.hpp"
#include "bench/stats.hpp"
#include "bench/suite.hpp"
#include "tests/stand_ins.hpp"

using namespace corvane::bench;
using namespace corvane::bench::testing;

TEST(Statistics, SummariseKnownSamples) {
    const summary s = summarize({0.300, 0.302, 0.301, 0.305, 0.900});
    EXPECT_NEAR(s.relative_mad, 0.002 / 0.302, 1e-12);
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
    // Below five runs nothing is called an outlier.
    EXPECT_EQ(summarize({0.300, 0.301, 0.900}).outliers, 0);
}

TEST(Statistics, OneSlowRunDoesNotMakeACellUnstable) {
    std::vector<cell> cells = {
        {"corvane-serial", std::nullopt, std::nullopt, runs({0.318, 0.316, 0.360, 0.317, 0.319}), {}},
        {"corvane-serial-simd", std::nullopt, std::nullopt, runs({0.30, 0.36, 0.33, 0.27, 0.39}), {}},
    };
    evaluate(cells);
    EXPECT_GE(cells[0].statistics.reported.cv, 0.05);  // what used to be called unstable
    EXPECT_FALSE(cells[0].statistics.unstable);
    EXPECT_TRUE(cells[1].statistics.unstable);  // every run far from the others
}

TEST(Statistics, RatioIntervalAndHolmCorrection) {
    const std::vector<double> old_times = {1.00, 1.01, 1.02, 1.03, 1.04};
    const std::vector<double> new_times = {0.90, 0.909, 0.918, 0.927, 0.936};  // 10% faster
    const ratio_estimate r = ratio_of(old_times, new_times);
    EXPECT_NEAR(r.ratio, 0.9, 0.005);
    EXPECT_LT(r.low, r.ratio);
    EXPECT_GT(r.high, r.ratio);
    EXPECT_LT(r.high, 1.0);  // the whole interval says faster
    const ratio_estimate same = ratio_of(old_times, old_times);
    EXPECT_LT(same.low, 1.0);
    EXPECT_GT(same.high, 1.0);
    // Holm: the smallest p times the number of tests, then step-down, monotone.
    const auto adjusted = holm_adjusted({0.01, 0.04, 0.03, 0.5});
    EXPECT_NEAR(adjusted[0], 0.04, 1e-12);
    EXPECT_NEAR(adjusted[2], 0.09, 1e-12);
    EXPECT_NEAR(adjusted[1], 0.09, 1e-12);  // never below an earlier step
    EXPECT_NEAR(adjusted[3], 0.5, 1e-12);
    EXPECT_NEAR(smallest_possible_p(5, 5), 2.0 / 252.0, 1e-12);
    EXPECT_NEAR(smallest_possible_p(3, 3), 0.1, 1e-12);
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
    std::vector<cell> cells = {
        {"corvane-serial", std::nullopt, std::nullopt, runs({0.80, 0.80, 0.80}), {}},
        {"corvane-serial-simd", std::nullopt, std::nullopt, runs({0.30, 0.40, 0.30}), {}},
        {"corvane-omp", std::nullopt, 2, runs({0.40, 0.40, 0.40}), {}},
        {"corvane-autopar", std::nullopt, 2, runs({0.20, 0.20, 0.20}), {}},
        {"corvane-mpi", 2, 2, runs({0.10, 0.10, 0.10}), {}},
    };
    evaluate(cells);
    std::vector<cell_statistics> results;
    for (const auto& c : cells) results.push_back(c.statistics);
    EXPECT_FALSE(results[0].scaled.speedup);                    // nothing to compare with
    EXPECT_DOUBLE_EQ(*results[1].scaled.speedup, 0.80 / 0.30);  // the four-lane order's gain
    EXPECT_FALSE(results[1].unstable);                          // two of three runs agree
    EXPECT_FALSE(results[2].unstable);
    EXPECT_DOUBLE_EQ(*results[2].scaled.speedup, 2.0);      // against corvane-serial
    EXPECT_DOUBLE_EQ(*results[3].scaled.speedup, 1.5);      // against corvane-serial-simd
    EXPECT_DOUBLE_EQ(*results[4].scaled.efficiency, 0.75);  // 3.0 over 2 ranks x 2 threads
    EXPECT_NEAR(results[2].wall.median - results[2].reported.median, 0.003, 1e-12);
}

TEST(Threads, DefaultsAndParsing) {
    EXPECT_EQ(default_threads(1), (std::vector<int>{1}));
    EXPECT_EQ(default_threads(2), (std::vector<int>{1, 2}));
    EXPECT_EQ(default_threads(6), (std::vector<int>{1, 2, 4, 6}));
    EXPECT_EQ(default_threads(8), (std::vector<int>{1, 2, 4, 8}));
    EXPECT_EQ(parse_counts("4,1,2,2", "--threads"), (std::vector<int>{1, 2, 4}));
    for (const char* bad : {"", "0", "-1", "a", "1,,2", "2,", "1.5", "99999999"})
        EXPECT_THROW(parse_counts(bad, "--threads"), bench_error) << bad;
}

TEST(Validation, AcceptsTheReportAndNamesEveryFault) {
    EXPECT_EQ(validate(finished(good_output)), "");
    EXPECT_EQ(validate(finished("The value of PI is  3.141592653590\r\n"
                                "The time to calculate PI was 0.250000 seconds\r\n")),
              "");
    EXPECT_EQ(validate(finished(good_output, 3)), "exit status 3");
    EXPECT_EQ(validate(finished("", -1, 11)), "killed by signal 11");
    EXPECT_EQ(validate(finished("The value of PI is  3.141592653591\n"
                                "The time to calculate PI was 0.250000 seconds\n")),
              "wrong value line: The value of PI is  3.141592653591");
    EXPECT_EQ(validate(finished("The value of PI is  3.141592653590\nThe time was 1 s\n")),
              "malformed time line: The time was 1 s");
    EXPECT_EQ(validate(finished(good_output + "extra\n")), "expected two lines, got 3");
    // A program's bytes never reach a report raw.
    EXPECT_EQ(validate(finished("The value of PI is \x1b[31m3\xff\n" + good_output.substr(35))),
              "wrong value line: The value of PI is \\x1B[31m3\\xFF");
    EXPECT_EQ(printable("π ± 3 \xe2\x82"), "π ± 3 \\xE2\\x82");
    // The report's clock may be one tick ahead of ours, no more.
    EXPECT_EQ(validate(finished(good_output, 0, 0, 0.2495)), "");
    EXPECT_EQ(validate(finished(good_output, 0, 0, 0.1)),
              "reported 0.250 s, longer than the process lived (0.100 s)");
    program_run hung = finished("");
    hung.timed_out = true;
    EXPECT_EQ(validate(hung, 1), "timed out after 1 s");
    program_run unstarted = finished("");
    unstarted.failure = "cannot fork: Resource temporarily unavailable";
    EXPECT_EQ(validate(unstarted), "cannot fork: Resource temporarily unavailable");
}

TEST(Csv, QuotesFieldsAsRfc4180) {
    cell c{"corvane-omp", std::nullopt, 2, {{0.0, 0.1, false, "wrong value line: \"3,14\""}}, {}};
    EXPECT_EQ(
        csv_rows({c}),
        "program,ranks,threads,run,reported_s,wall_s,valid,reason,user_s,system_s,involuntary_switches\r\n"
        "corvane-omp,,2,1,,0.100000,false,\"wrong value line: \"\"3,14\"\"\",,,\r\n");
}

TEST_F(StandIns, ValidRunsGiveStatisticsAndExitZero) {
    const auto run = bench(
        {"--threads", "1,2", "--json", file("r.json"), "--csv", file("r.csv"), "--markdown", file("r.md")});
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("seed 7"), std::string::npos);
    const auto result = read_json(file("r.json"));
    ASSERT_EQ(result["cells"].size(), 8u);  // two serial cells, three programs on two team sizes
    for (const auto& c : result["cells"]) {
        EXPECT_EQ(c["valid_runs"], 2);
        EXPECT_DOUBLE_EQ(c["median_s"].get<double>(), 0.001);
        if (c["program"] == "corvane-omp") {
            EXPECT_DOUBLE_EQ(c["speedup"].get<double>(), 1.0);
        }
    }
    EXPECT_TRUE(exists(file("r.csv")));
    EXPECT_TRUE(exists(file("r.md")));
}

TEST_F(StandIns, InvalidRunsAreShownExcludedAndFailTheSuite) {
    stand_in("corvane-serial",
             "printf 'The value of PI is  3.141592653591\\nThe time to calculate PI was 0.1 seconds\\n'");
    stand_in("corvane-serial-simd", "echo 'The value of PI is  3.141592653590'");
    stand_in("corvane-omp", "printf '" + escaped(quick_output) + "'; exit 3");
    stand_in("corvane-omp-simd", "kill -SEGV $$");
    const auto run = bench({"--threads", "2", "--json", file("r.json")});
    EXPECT_EQ(run.exit_status, 1);
    for (const char* reason :
         {"wrong value line", "expected two lines, got 1", "exit status 3", "killed by signal 11"})
        EXPECT_NE(run.out.find(reason), std::string::npos) << reason << "\n" << run.out;
    const auto result = read_json(file("r.json"));
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
        {{"--programs", "corvane-serial", "--csv", "/nonexistent/dir/r.csv"},
         "cannot write /nonexistent/dir/r.csv"},
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

TEST_F(StandIns, RanksRunCorvaneMpiThroughTheLauncherItNames) {
    // A stand-in Open MPI launcher that notes how it was called and runs the program.
    stand_in("mpiexec",
             "[ \"$1\" = --version ] && { echo 'mpiexec (OpenRTE) 4.1.4'; exit 0; }\n"
             "printf '%s\\n' \"$*\" >> '" +
                 file("launches") +
                 "'\n"
                 "while [ \"$1\" != -n ]; do shift; done; shift 2; exec \"$@\"");
    const auto run = bench({"--programs", "corvane-serial-simd", "--threads", "2", "--ranks", "1,2",
                            "--mpiexec", file("mpiexec"), "--json", file("r.json")});
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
    std::ifstream launches(file("launches"));
    int by_ranks[3] = {};
    for (std::string line; std::getline(launches, line);) {
        // Each rank's threads may use every core; remote ranks get the team size.
        EXPECT_EQ(line.rfind("--bind-to none -x OMP_NUM_THREADS ", 0), 0u) << line;
        if (line.find("-n 1 " + file("corvane-mpi")) != std::string::npos) ++by_ranks[1];
        if (line.find("-n 2 " + file("corvane-mpi")) != std::string::npos) ++by_ranks[2];
    }
    EXPECT_EQ(by_ranks[1], 2);
    EXPECT_EQ(by_ranks[2], 2);
    const auto result = read_json(file("r.json"));
    ASSERT_EQ(result["cells"].size(), 3u);
    EXPECT_EQ(result["cells"][2]["ranks"], 2);
    EXPECT_DOUBLE_EQ(result["cells"][2]["efficiency"].get<double>(), 0.25);  // 1.0 over 2 x 2
    EXPECT_EQ(result["context"]["mpi"]["implementation"], "Open MPI");
    EXPECT_EQ(result["context"]["mpi"]["launcher"], file("mpiexec"));

    // MPICH's Hydra gets its own options, the hostfile with -f.
    stand_in("mpiexec",
             "[ \"$1\" = --version ] && { echo 'HYDRA build details:'; exit 0; }\n"
             "printf '%s\\n' \"$*\" > '" +
                 file("launches") +
                 "'\n"
                 "while [ \"$1\" != -n ]; do shift; done; shift 2; exec \"$@\"");
    std::ofstream(file("hosts")) << "localhost:2\n";
    const auto hydra = bench({"--programs", "corvane-serial-simd", "--threads", "1", "--ranks", "2",
                              "--mpiexec", file("mpiexec"), "--hostfile", file("hosts")});
    ASSERT_EQ(hydra.exit_status, 0) << hydra.out << hydra.err;
    EXPECT_EQ(slurp(file("launches")),
              "-bind-to none -f " + file("hosts") + " -n 2 " + file("corvane-mpi") + "\n");

    for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--programs", "corvane-mpi"}, "corvane-mpi runs through --ranks"},
             {{"--ranks", "0"}, "--ranks: '0' is not a positive integer"},
             {{"--ranks", "1", "--mpiexec", "/nonexistent/mpiexec"}, "/nonexistent/mpiexec cannot be run"},
             {{"--hostfile", file("hosts")}, "--hostfile goes with --ranks"}}) {
        const auto refused = bench(args);
        EXPECT_EQ(refused.exit_status, 2);
        EXPECT_NE(refused.err.find(message), std::string::npos) << refused.err;
    }
}

TEST_F(StandIns, BindPlacesTeamsAndRanksAndRefusesWhatCannotBePlaced) {
    stand_in("mpiexec",
             "[ \"$1\" = --version ] && { echo 'mpiexec (OpenRTE) 4.1.4'; exit 0; }\n"
             "printf '%s\\n' \"$*\" >> '" +
                 file("launches") +
                 "'\n"
                 "while [ \"$1\" != -n ]; do shift; done; shift 2; exec \"$@\"");
    stand_in("corvane-omp", "printf '%s %s\\n' \"$OMP_PLACES\" \"$OMP_PROC_BIND\" >> '" + file("placed") +
                                "'\nprintf '" + escaped(quick_output) + "'");
    const auto run = bench({"--programs", "corvane-omp", "--threads", "1", "--ranks", "1", "--bind", "spread",
                            "--mpiexec", file("mpiexec"), "--json", file("r.json")});
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_EQ(slurp(file("placed")), "cores spread\ncores spread\n");
    // Ranks on other machines get the placement too.
    EXPECT_EQ(slurp(file("launches"))
                  .rfind("--map-by numa:PE=1 --bind-to core -x OMP_NUM_THREADS -x OMP_PLACES "
                         "-x OMP_PROC_BIND -n 1 " +
                             file("corvane-mpi") + "\n",
                         0),
              0u)
        << slurp(file("launches"));
    EXPECT_EQ(read_json(file("r.json"))["context"]["binding"], "spread");
    EXPECT_NE(run.out.find("binding: spread"), std::string::npos) << run.out;

    for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--programs", "corvane-omp", "--bind", "tight"},
              "--bind: 'tight' is not none, close or spread"},
             {{"--programs", "corvane-omp", "--bind", "close", "--env", "OMP_PROC_BIND=spread"},
              "--env OMP_PROC_BIND and --bind close both place the threads"},
             {{"--programs", "corvane-omp", "--threads", "1", "--ranks", "100000", "--bind", "close",
               "--mpiexec", file("mpiexec")},
              "corvane-mpi ranks 100000 threads 1: --bind close gives each of 100000 ranks 1 core(s) of its "
              "own"}}) {
        const auto refused = bench(args);
        EXPECT_EQ(refused.exit_status, 2) << refused.err;
        EXPECT_NE(refused.err.find(message), std::string::npos) << refused.err;
    }
}

TEST_F(StandIns, AHungProgramIsEndedWithEverythingItStarted) {
    stand_in("corvane-serial",
             "echo $$ > '" + file("pid") + "'\nsleep 300 & echo $! > '" + file("child") + "'\nwait");
    const auto run = bench(
        {"--programs", "corvane-serial,corvane-serial-simd", "--timeout", "1", "--json", file("r.json")});
    EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("invalid: corvane-serial run 1: timed out after 1 s"), std::string::npos)
        << run.out;
    EXPECT_TRUE(gone(file("pid")));
    EXPECT_TRUE(gone(file("child")));  // in the program's process group, ended with it
    const auto result = read_json(file("r.json"));
    EXPECT_EQ(result["cells"][1]["valid_runs"], 2);  // the suite went on
}

TEST_F(StandIns, AnInterruptEndsTheRunWritesNothingAndExits130) {
    // The stand-in interrupts corvane-bench (its parent) and then hangs.
    stand_in("corvane-serial", "echo $$ > '" + file("pid") + "'\nkill -INT $PPID\nsleep 300");
    const auto run =
        bench({"--programs", "corvane-serial", "--json", file("r.json"), "--csv", file("r.csv")});
    EXPECT_EQ(run.exit_status, 130) << run.out << run.err;
    EXPECT_NE(run.err.find("interrupted by signal 2"), std::string::npos) << run.err;
    EXPECT_FALSE(exists(file("r.json")));
    EXPECT_FALSE(exists(file("r.csv")));
    EXPECT_TRUE(gone(file("pid")));
}

TEST_F(StandIns, GarbageOutputIsEscapedAndTheExportsStayValid) {
    stand_in("corvane-serial", "printf 'The value of PI is \\033]0;owned\\007\\377\\nx\\n'");
    const auto run = bench({"--programs", "corvane-serial,corvane-serial-simd", "--json", file("r.json"),
                            "--csv", file("r.csv")});
    EXPECT_EQ(run.exit_status, 1) << run.err;
    EXPECT_EQ(run.out.find('\033'), std::string::npos) << "a raw escape reached the terminal";
    EXPECT_NE(run.out.find("The value of PI is \\x1B]0;owned\\x07\\xFF"), std::string::npos) << run.out;
    const auto result = read_json(file("r.json"));  // parses: valid UTF-8 throughout
    EXPECT_EQ(result["cells"][0]["samples"][0]["reason"],
              "wrong value line: The value of PI is \\x1B]0;owned\\x07\\xFF");
    EXPECT_EQ(slurp(file("r.csv")).find('\033'), std::string::npos);
}

TEST_F(StandIns, ALineOfAnyLengthMakesTheRunInvalidAndTheSuiteGoesOn) {
    stand_in("corvane-serial",
             "printf 'The value of PI is  3.141592653590\\nThe time to calculate PI was '\n"
             "head -c 30000 /dev/zero | tr '\\0' 0\nprintf '1.000000 seconds\\n'");
    const auto run = bench({"--programs", "corvane-serial,corvane-serial-simd", "--json", file("r.json")});
    EXPECT_EQ(run.exit_status, 1) << run.err;
    EXPECT_NE(run.out.find("invalid: corvane-serial run 1: output too long: 30081 bytes"), std::string::npos)
        << run.out.substr(0, 2000);
    EXPECT_EQ(read_json(file("r.json"))["cells"][1]["valid_runs"], 2);
}

TEST_F(StandIns, ImpossibleReportedTimesAreInvalid) {
    stand_in(
        "corvane-serial",
        "printf 'The value of PI is  3.141592653590\\nThe time to calculate PI was 5.000000 seconds\\n'");
    const auto run = bench({"--programs", "corvane-serial"});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.out.find("reported 5.000 s, longer than the process lived"), std::string::npos) << run.out;
}

TEST_F(StandIns, ExportsAreWrittenAsASetOrNotAtAll) {
    const std::string other = dir_ + "/other";
    mkdir(file("gone").c_str(), 0755);
    mkdir(other.c_str(), 0755);
    // The directory of the JSON export disappears while the programs run.
    stand_in("corvane-serial", "rm -rf '" + file("gone") + "'\nprintf '" + escaped(quick_output) + "'");
    const auto run =
        bench({"--programs", "corvane-serial", "--csv", other + "/r.csv", "--json", file("gone/r.json")});
    EXPECT_EQ(run.exit_status, 3) << run.out << run.err;
    EXPECT_NE(run.err.find("corvane-bench: results not written: cannot write " + file("gone/r.json")),
              std::string::npos)
        << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(slurp_dir(other), "") << "a file was left in the other export's directory";
}

TEST_F(StandIns, ExportPathsSameTwiceStandardOutputAndLinks) {
    const auto twice = bench({"--programs", "corvane-serial", "--json", file("x"), "--csv", file("x")});
    EXPECT_EQ(twice.exit_status, 2);
    EXPECT_NE(twice.err.find("another export already goes there"), std::string::npos) << twice.err;
    EXPECT_FALSE(exists(file("x")));

    // "-": the export on standard output, the table on standard error.
    const auto to_stdout = bench({"--programs", "corvane-serial", "--json", "-"});
    EXPECT_EQ(to_stdout.exit_status, 0) << to_stdout.err;
    EXPECT_EQ(nlohmann::json::parse(to_stdout.out)["schema_version"], 3);
    EXPECT_NE(to_stdout.err.find("corvane-serial"), std::string::npos);
    EXPECT_FALSE(exists(file("-")));

    // A symbolic link stays a link; its target gets the export, and the
    // check and the write leave nothing else behind.
    std::ofstream(file("target.json")) << "old";
    symlink(file("target.json").c_str(), file("link.json").c_str());
    const std::string before = slurp_dir(dir_);
    const auto linked = bench({"--programs", "corvane-serial", "--json", file("link.json")});
    EXPECT_EQ(linked.exit_status, 0) << linked.err;
    struct stat info {};
    ASSERT_EQ(lstat(file("link.json").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(read_json(file("target.json"))["schema_version"], 3);
    EXPECT_EQ(slurp_dir(dir_), before);
}

TEST_F(StandIns, ACellWhoseTeamWouldBeSmallerIsRefusedBeforeAnyRun) {
    stand_in("corvane-omp", "touch '" + file("ran") + "'\nprintf '" + escaped(quick_output) + "'");
    const auto run = bench({"--programs", "corvane-omp", "--threads", "2", "--env", "OMP_THREAD_LIMIT=1",
                            "--json", file("r.json")});
    EXPECT_EQ(run.exit_status, 2) << run.out << run.err;
    EXPECT_NE(run.err.find("corvane-omp threads 2: a parallel region would get 1 thread(s), not 2"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("OMP_THREAD_LIMIT"), std::string::npos) << run.err;
    EXPECT_FALSE(exists(file("ran")));
    EXPECT_FALSE(exists(file("r.json")));
}

TEST_F(StandIns, CompareRoundTripsTheJsonAndRejectsBadFiles) {
    ASSERT_EQ(bench({"--threads", "1", "--json", file("a.json")}).exit_status, 0);
    const auto same = run_program(CORVANE_BENCH, {"compare", file("a.json"), file("a.json")});
    EXPECT_EQ(same.exit_status, 0) << same.err;
    EXPECT_NE(same.out.find("corvane-omp threads 1 "), std::string::npos) << same.out;
    EXPECT_NE(same.out.find("geometric mean of ratios (new / old, below 1 is faster): 1.000 over 5 cells"),
              std::string::npos)
        << same.out;

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

namespace {

// A result file as corvane-bench writes it, with corvane-omp cells of the
// given team sizes and reported times.
nlohmann::json synthetic_result(const std::vector<std::vector<double>>& cells, const std::string& processor) {
    nlohmann::json result = {
        {"schema_version", 1},
        {"context",
         {{"processor", processor}, {"compiler", "GNU 12.2.0"}, {"build_type", "Release"}, {"flags", "-O3"}}},
        {"seed", 1},
        {"cells", nlohmann::json::array()}};
    for (std::size_t i = 0; i < cells.size(); ++i) {
        nlohmann::json samples = nlohmann::json::array();
        for (double t : cells[i])
            samples.push_back(
                {{"reported_s", t}, {"wall_s", t + 0.003}, {"valid", true}, {"reason", nullptr}});
        result["cells"].push_back(
            {{"program", "corvane-omp"}, {"threads", i + 1}, {"ranks", nullptr}, {"samples", samples}});
    }
    return result;
}

std::vector<double> scaled(const std::vector<double>& times, double factor) {
    std::vector<double> out;
    for (double t : times) out.push_back(t * factor);
    return out;
}

// The verdict at the end of a cell's line in compare's table.
std::string verdict_of(const std::string& table, const std::string& key) {
    std::istringstream lines(table);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(key + " ", 0) == 0) return line.substr(line.find_last_of(' ') + 1);
    return "missing";
}

}  // namespace

TEST_F(StandIns, CompareCallsAChangeOnlyWhenItIsSignificantAndLargeEnough) {
    const std::vector<double> base = {1.00, 1.01, 1.02, 1.03, 1.04};
    const std::vector<double> tight = {1.000, 1.001, 1.002, 1.003, 1.004};
    const std::vector<double> shifted = {1.005, 1.006, 1.007, 1.008, 1.009};  // half a percent slower
    std::ofstream(file("old.json")) << synthetic_result({base, base, base, tight}, "AMD EPYC");
    std::ofstream(file("new.json")) << synthetic_result({scaled(base, 0.9), scaled(base, 1.1), base, shifted},
                                                        "AMD EPYC");
    const auto run = compare({file("old.json"), file("new.json"), "--markdown", file("c.md")});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(verdict_of(run.out, "corvane-omp threads 1"), "faster") << run.out;
    EXPECT_EQ(verdict_of(run.out, "corvane-omp threads 2"), "slower");
    EXPECT_EQ(verdict_of(run.out, "corvane-omp threads 3"), "same");  // identical: never slower
    EXPECT_EQ(verdict_of(run.out, "corvane-omp threads 4"), "same");  // significant, but below 1%
    EXPECT_NE(slurp(file("c.md")).find("| corvane-omp threads 1 |"), std::string::npos);

    const auto finer = compare({file("old.json"), file("new.json"), "--min-effect", "0.1"});
    EXPECT_EQ(verdict_of(finer.out, "corvane-omp threads 4"), "slower") << finer.out;
}

TEST_F(StandIns, CompareWarnsWhenTheResultsWereNotMeasuredAlike) {
    const std::vector<double> base = {1.00, 1.01, 1.02, 1.03, 1.04};
    std::ofstream(file("old.json")) << synthetic_result({base}, "AMD EPYC");
    std::ofstream(file("new.json")) << synthetic_result({base}, "Intel(R) Xeon(R) Platinum 8481C");
    const auto warned = compare({file("old.json"), file("new.json")});
    EXPECT_EQ(warned.exit_status, 0);
    EXPECT_NE(warned.err.find("warning: not measured alike: processor differs"), std::string::npos)
        << warned.err;
    EXPECT_EQ(std::count(warned.err.begin(), warned.err.end(), '\n'), 1) << warned.err;
    const auto strict = compare({file("old.json"), file("new.json"), "--strict"});
    EXPECT_EQ(strict.exit_status, 2);
    EXPECT_EQ(strict.out, "");
}

TEST(Suite, RunsEveryCellEachRoundThroughTheRunnerItIsGiven) {
    suite_options options;
    options.bin_dir = "/bin-dir";
    options.runs = 3;
    options.warmup = 2;
    options.threads = {1, 2};
    options.programs = {"corvane-serial", "corvane-omp"};
    std::vector<cell> cells = make_cells(options);
    ASSERT_EQ(cells.size(), 3u);
    int started = 0, started_on_two = 0;
    const auto fake = [&](const std::vector<std::string>& command, const run_options& how) {
        ++started;
        const bool two =
            !how.env.empty() && how.env.back() == std::pair<std::string, std::string>{"OMP_NUM_THREADS", "2"};
        // The second counted run on two threads prints nonsense.
        if (two && ++started_on_two == 4) return finished("nonsense\n");
        return finished(command[0] == "/bin-dir/corvane-serial" ? report_of(0.5) : good_output);
    };
    EXPECT_EQ(run_suite(options, cells, fake), 0);
    EXPECT_EQ(started, 15);  // 3 cells x (2 warm-ups + 3 counted runs)
    for (const auto& c : cells) ASSERT_EQ(c.samples.size(), 3u) << cell_label(c);
    EXPECT_EQ(cells[0].samples[0].reported_s, 0.5);
    EXPECT_EQ(cells[1].samples[2].reported_s, 0.25);
    EXPECT_EQ(cells[2].samples[1].reason, "expected two lines, got 1");
    evaluate(cells);
    EXPECT_EQ(cells[1].statistics.invalid_runs, 0);
    EXPECT_EQ(cells[2].statistics.invalid_runs, 1);
}

TEST(Validation, AnyOutputIsJudgedWithoutCrashingOrKeepingItAll) {
    const auto time_with_digits = [](std::size_t zeros) {
        return corvane::expected_value_line() + "\nThe time to calculate PI was " + std::string(zeros, '0') +
               "1.000000 seconds\n";
    };
    const std::string huge = time_with_digits(30000);
    EXPECT_EQ(validate(finished(huge)), "output too long: " + std::to_string(huge.size()) +
                                            " bytes, where a report is two short lines");
    EXPECT_EQ(validate(finished(time_with_digits(3000))), "");  // long, but a report; 1 s of 10
    // Any magnitude is quoted whole, with its unit.
    EXPECT_EQ(validate(finished(report_of(1e29), 0, 0, 1.0))
                  .rfind("reported 99999999999999991433150857216.000 s, ", 0),
              0u);
    EXPECT_EQ(validate(finished(report_of(0.0))), "reported 0 s: the program's clock did not advance");
}

TEST_F(StandIns, CountsAndSeedsOutOfRangeAreUsageErrors) {
    mkdir(file("dir").c_str(), 0755);
    mkdir(file("dir/corvane-serial").c_str(), 0755);
    for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--runs", "0"}, "corvane-bench: --runs must be at least 1\n"},
             {{"--runs", "2147483647"}, "corvane-bench: --runs must be at most 1000\n"},
             {{"--runs", "1", "--warmup", "2147483647"}, "corvane-bench: --warmup must be at most 100\n"},
             {{"--timeout", "inf"},
              "corvane-bench: --timeout: give a number of seconds above 0 and at most 604800\n"},
             {{"--timeout", "1e400"}, "--timeout"},
             {{"--seed", "18446744073709551616"}, "--seed: '18446744073709551616' is not a whole number"},
             {{"--seed", "-1"}, "--seed"},
             {{"--programs", "corvane-serial,corvane-serial"}, "--programs names corvane-serial twice"},
             {{"--bin-dir", file("dir")},
              "corvane-serial not found in " + file("dir") + " as an executable file"},
         }) {
        std::vector<std::string> all = {"--programs", "corvane-serial", "--bin-dir", dir_};
        for (std::size_t i = 0; i < args.size(); i += 2) {
            const auto given = std::find(all.begin(), all.end(), args[i]);
            if (given != all.end())
                *(given + 1) = args[i + 1];
            else
                all.insert(all.end(), {args[i], args[i + 1]});
        }
        const auto run = run_program(CORVANE_BENCH, all);
        EXPECT_EQ(run.exit_status, 2) << message << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
}

TEST_F(StandIns, AReportThatCannotBeWrittenIsAFailure) {
    run_options full;
    full.target = corvane::process::stdout_to::full_device;
    full.timeout_s = 120;
    const auto bench_full =
        run_program(CORVANE_BENCH, {"--bin-dir", dir_, "--programs", "corvane-serial"}, full);
    EXPECT_EQ(bench_full.exit_status, 3) << bench_full.err;
    EXPECT_EQ(bench_full.err, "corvane-bench: cannot write to standard output: No space left on device\n");
    run_options closed = full;
    closed.target = corvane::process::stdout_to::closed;
    const auto bench_closed =
        run_program(CORVANE_BENCH, {"--bin-dir", dir_, "--programs", "corvane-serial"}, closed);
    EXPECT_EQ(bench_closed.exit_status, 3) << bench_closed.err;
    EXPECT_EQ(bench_closed.err, "corvane-bench: cannot write to standard output: Bad file descriptor\n");

    ASSERT_EQ(bench({"--programs", "corvane-serial", "--json", file("a.json")}).exit_status, 0);
    const auto compare_full = run_program(CORVANE_BENCH, {"compare", file("a.json"), file("a.json")}, full);
    EXPECT_EQ(compare_full.exit_status, 3) << compare_full.err;
}
