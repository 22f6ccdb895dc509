// corvane-bench: its statistics on known samples, its validation of runs,
// and the harness itself run against stand-in programs.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "bench/report.hpp"
#include "bench/stats.hpp"
#include "bench/suite.hpp"

using namespace corvane::bench;
using corvane::process::program_run;
using corvane::process::run_options;
using corvane::process::run_program;

namespace {

const std::string good_output =
    "The value of PI is  3.141592653590\nThe time to calculate PI was 0.250000 seconds\n";
// What the stand-ins print: a time no started process can be shorter than.
const std::string quick_output =
    "The value of PI is  3.141592653590\nThe time to calculate PI was 0.001000 seconds\n";

program_run finished(const std::string& out, int status = 0, int signal = 0, double wall = 10.0) {
    program_run run;
    run.out = out;
    run.exit_status = status;
    run.signal = signal;
    run.wall_seconds = wall;
    return run;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Valid runs that reported these times, each 3 ms shorter than the process.
std::vector<sample> runs(const std::vector<double>& times) {
    std::vector<sample> samples;
    for (double t : times) samples.push_back({t, t + 0.003, true, ""});
    return samples;
}

// The names in a directory, hidden ones too, one per line.
std::string slurp_dir(const std::string& dir) {
    std::string names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(d))
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
                names += std::string(entry->d_name) + "\n";
        closedir(d);
    }
    return names;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A process is gone when it no longer exists or is only a zombie waiting
// for a parent that is not ours to be.
bool gone(const std::string& pid_file) {
    const std::string pid = slurp(pid_file).substr(0, slurp(pid_file).find('\n'));
    if (pid.empty()) return false;
    if (kill(std::stoi(pid), 0) != 0 && errno == ESRCH) return true;
    const std::string stat = slurp("/proc/" + pid + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] == 'Z';
}

// A --bin-dir of stand-in programs: shell scripts printing what a test needs.
class StandIns : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/corvane-bench-test-XXXXXX";
        dir_ = mkdtemp(name);
        for (const auto& program :
             {"corvane-serial", "corvane-serial-simd", "corvane-omp", "corvane-omp-simd", "corvane-autopar"})
            stand_in(program, "printf '" + escaped(quick_output) + "'");
        stand_in("corvane-mpi", "printf '" + escaped(quick_output) + "'");
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

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
    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

}  // namespace

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
    const std::vector<cell> cells = {
        {"corvane-serial", std::nullopt, runs({0.318, 0.316, 0.360, 0.317, 0.319}), std::nullopt},
        {"corvane-serial-simd", std::nullopt, runs({0.30, 0.36, 0.33, 0.27, 0.39}), std::nullopt},
    };
    const auto results = evaluate(cells);
    EXPECT_GE(results[0].reported.cv, 0.05);  // what used to be called unstable
    EXPECT_FALSE(results[0].unstable);
    EXPECT_TRUE(results[1].unstable);  // every run far from the others
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
    const std::vector<cell> cells = {
        {"corvane-serial", std::nullopt, runs({0.80, 0.80, 0.80}), std::nullopt},
        {"corvane-serial-simd", std::nullopt, runs({0.30, 0.40, 0.30}), std::nullopt},
        {"corvane-omp", 2, runs({0.40, 0.40, 0.40}), std::nullopt},
        {"corvane-autopar", 2, runs({0.20, 0.20, 0.20}), std::nullopt},
        {"corvane-mpi", 2, runs({0.10, 0.10, 0.10}), 2},
    };
    const auto results = evaluate(cells);
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
        EXPECT_THROW(parse_counts(bad, "--threads"), std::invalid_argument) << bad;
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
    cell c{"corvane-omp", 2, {{0.0, 0.1, false, "wrong value line: \"3,14\""}}, std::nullopt};
    EXPECT_EQ(csv_rows({c}),
              "program,ranks,threads,run,reported_s,wall_s,valid,reason\r\n"
              "corvane-omp,,2,1,,0.100000,false,\"wrong value line: \"\"3,14\"\"\"\r\n");
}

TEST_F(StandIns, ValidRunsGiveStatisticsAndExitZero) {
    const auto run = bench(
        {"--threads", "1,2", "--json", file("r.json"), "--csv", file("r.csv"), "--markdown", file("r.md")});
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("seed 7"), std::string::npos);
    const auto result = read_result(file("r.json"));
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
    const auto result = read_result(file("r.json"));
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
    const auto result = read_result(file("r.json"));
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
    const auto result = read_result(file("r.json"));  // parses: valid UTF-8 throughout
    EXPECT_EQ(result["cells"][0]["samples"][0]["reason"],
              "wrong value line: The value of PI is \\x1B]0;owned\\x07\\xFF");
    EXPECT_EQ(slurp(file("r.csv")).find('\033'), std::string::npos);
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
    EXPECT_EQ(nlohmann::json::parse(to_stdout.out)["schema_version"], 1);
    EXPECT_NE(to_stdout.err.find("corvane-serial"), std::string::npos);
    EXPECT_FALSE(exists(file("-")));

    // A symbolic link stays a link; its target gets the export. The
    // writability check leaves a stranger's file alone.
    std::ofstream(file("target.json")) << "old";
    symlink(file("target.json").c_str(), file("link.json").c_str());
    std::ofstream(file("link.json.corvane-check")) << "not ours";
    const auto linked = bench({"--programs", "corvane-serial", "--json", file("link.json")});
    EXPECT_EQ(linked.exit_status, 0) << linked.err;
    struct stat info {};
    ASSERT_EQ(lstat(file("link.json").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(read_result(file("target.json"))["schema_version"], 1);
    EXPECT_EQ(slurp(file("link.json.corvane-check")), "not ours");
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
    EXPECT_NE(same.out.find("corvane-omp 1"), std::string::npos) << same.out;
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
    EXPECT_EQ(verdict_of(run.out, "corvane-omp 1"), "faster") << run.out;
    EXPECT_EQ(verdict_of(run.out, "corvane-omp 2"), "slower");
    EXPECT_EQ(verdict_of(run.out, "corvane-omp 3"), "same");  // identical: never slower
    EXPECT_EQ(verdict_of(run.out, "corvane-omp 4"), "same");  // significant, but below 1%
    EXPECT_NE(slurp(file("c.md")).find("| corvane-omp 1 |"), std::string::npos);

    const auto finer = compare({file("old.json"), file("new.json"), "--min-effect", "0.1"});
    EXPECT_EQ(verdict_of(finer.out, "corvane-omp 4"), "slower") << finer.out;
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
