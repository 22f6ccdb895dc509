// corvane-bench run end to end on stand-in programs and launchers: what it
// runs, what it refuses, what it writes, and what it does when a program
// hangs, prints garbage or is interrupted.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "bench/base/error.hpp"
#include "bench/base/stats.hpp"
#include "bench/compare/compare.hpp"
#include "bench/report/report.hpp"
#include "bench/run/suite.hpp"
#include "tests/stand_ins.hpp"

using namespace corvane::bench;
using namespace corvane::bench::testing;

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

TEST_F(StandIns, RanksRunCorvaneMpiThroughTheLauncherItNames) {
    stand_in_launcher(open_mpi_version);
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
    stand_in_launcher(hydra_version, false);
    std::ofstream(file("hosts")) << "localhost:2\n";
    const auto hydra = bench({"--programs", "corvane-serial-simd", "--threads", "1", "--ranks", "2",
                              "--mpiexec", file("mpiexec"), "--hostfile", file("hosts")});
    ASSERT_EQ(hydra.exit_status, 0) << hydra.out << hydra.err;
    EXPECT_EQ(text_of(file("launches")),
              "-bind-to none -f " + file("hosts") + " -n 2 " + file("corvane-mpi") + "\n");

    for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--programs", "corvane-mpi"}, "corvane-mpi runs through --ranks"},
             {{"--ranks", "0"}, "--ranks: '0' is not a positive integer"},
             {{"--ranks", "1", "--mpiexec", "/nonexistent/mpiexec"}, "/nonexistent/mpiexec cannot be run"},
             {{"--ranks", "1", "--mpiexec", "/bin/false"}, "/bin/false --version failed (exit status 1)"},
             {{"--hostfile", file("hosts")}, "--hostfile goes with --ranks"}}) {
        const auto refused = bench(args);
        EXPECT_EQ(refused.exit_status, 2);
        EXPECT_NE(refused.err.find(message), std::string::npos) << refused.err;
    }
}

TEST_F(StandIns, BindPlacesTeamsAndRanksAndRefusesWhatCannotBePlaced) {
    stand_in_launcher(open_mpi_version);
    stand_in("corvane-omp", "printf '%s %s\\n' \"$OMP_PLACES\" \"$OMP_PROC_BIND\" >> '" + file("placed") +
                                "'\nprintf '" + escaped(quick_output) + "'");
    const auto run = bench({"--programs", "corvane-omp", "--threads", "1", "--ranks", "1", "--bind", "spread",
                            "--mpiexec", file("mpiexec"), "--json", file("r.json")});
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_EQ(text_of(file("placed")), "cores spread\ncores spread\n");
    // Ranks on other machines get the placement too.
    EXPECT_EQ(text_of(file("launches"))
                  .rfind("--map-by numa:PE=1 --bind-to core -x OMP_NUM_THREADS -x OMP_PLACES "
                         "-x OMP_PROC_BIND -n 1 " +
                             file("corvane-mpi") + "\n",
                         0),
              0u)
        << text_of(file("launches"));
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
    // Inherited from the environment, they would be replaced per cell: refused as --env is.
    for (const char* name : {"OMP_PLACES", "OMP_PROC_BIND"}) {
        const auto inherited =
            bench({"--programs", "corvane-omp", "--threads", "1", "--bind", "close"}, {{name, "threads"}});
        EXPECT_EQ(inherited.exit_status, 2) << inherited.err;
        EXPECT_NE(inherited.err.find(std::string(name) + " in the environment and --bind close both place"),
                  std::string::npos)
            << inherited.err;
        EXPECT_EQ(bench({"--programs", "corvane-omp", "--threads", "1"}, {{name, "threads"}}).exit_status, 0);
    }
}

// libgomp's and LLVM's own variables place a team as OMP_* does: recorded
// and shown beside them, names as untrusted as values.
TEST_F(StandIns, GompAndKmpVariablesAreShownBesideOmpAndNamesAreMadePrintable) {
    const auto run = bench({"--programs", "corvane-serial", "--json", file("r.json")},
                           {{"GOMP_CPU_AFFINITY", "0 0"},
                            {"KMP_AFFINITY", "compact"},
                            {"OMP_WAIT_POLICY", "active"},
                            {"OMP_\x1b[2J\x1b]0;owned\x07", "x"}});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.out.find("OMP_*, GOMP_*, KMP_* in effect: GOMP_CPU_AFFINITY=0 0 KMP_AFFINITY=compact "),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << "an escape sequence reached the terminal";
    EXPECT_NE(run.out.find("OMP_\\x1B[2J\\x1B]0;owned\\x07=x"), std::string::npos) << run.out;
    const auto recorded = read_json(file("r.json"))["context"]["omp_variables"];
    EXPECT_EQ(recorded.value("GOMP_CPU_AFFINITY", "(missing)"), "0 0");
    EXPECT_EQ(recorded.value("KMP_AFFINITY", "(missing)"), "compact");
    EXPECT_EQ(recorded.value("OMP_WAIT_POLICY", "(missing)"), "active");
    const auto report = run_program(CORVANE_BENCH, {"report", file("r.json")});
    EXPECT_NE(report.out.find("GOMP_CPU_AFFINITY=0 0"), std::string::npos) << report.out;
    EXPECT_EQ(report.out.find('\x1b'), std::string::npos);
}

TEST_F(StandIns, AHungProgramIsEndedWithEverythingItStarted) {
    const std::string program = unique_sleep(300), child = unique_sleep(300);
    stand_in("corvane-serial", child + " &\nexec " + program);
    const auto run = bench(
        {"--programs", "corvane-serial,corvane-serial-simd", "--timeout", "1", "--json", file("r.json")});
    EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("invalid: corvane-serial run 1: timed out after 1 s"), std::string::npos)
        << run.out;
    EXPECT_TRUE(ended_within(program, 3.0));
    EXPECT_TRUE(ended_within(child, 3.0));  // in the program's process group, ended with it
    const auto result = read_json(file("r.json"));
    EXPECT_EQ(result["cells"][1]["valid_runs"], 2);  // the suite went on
}

TEST_F(StandIns, AnInterruptEndsTheRunWritesNothingAndExits130) {
    // The stand-in interrupts corvane-bench (its parent) and then hangs.
    const std::string program = unique_sleep(300);
    stand_in("corvane-serial", "kill -INT $PPID\nexec " + program);
    const auto run =
        bench({"--programs", "corvane-serial", "--json", file("r.json"), "--csv", file("r.csv")});
    EXPECT_EQ(run.exit_status, 130) << run.out << run.err;
    EXPECT_NE(run.err.find("interrupted by signal 2"), std::string::npos) << run.err;
    EXPECT_FALSE(exists(file("r.json")));
    EXPECT_FALSE(exists(file("r.csv")));
    EXPECT_TRUE(ended_within(program, 3.0));
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
    EXPECT_EQ(text_of(file("r.csv")).find('\033'), std::string::npos);
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
    EXPECT_EQ(names_in(other), "") << "a file was left in the other export's directory";
}

TEST_F(StandIns, ExportPathsSameTwiceStandardOutputAndLinks) {
    const auto twice = bench({"--programs", "corvane-serial", "--json", file("x"), "--csv", file("x")});
    EXPECT_EQ(twice.exit_status, 2);
    EXPECT_NE(twice.err.find("another export already goes there"), std::string::npos) << twice.err;
    EXPECT_FALSE(exists(file("x")));

    // "-": the export on standard output, the table on standard error.
    const auto to_stdout = bench({"--programs", "corvane-serial", "--json", "-"});
    EXPECT_EQ(to_stdout.exit_status, 0) << to_stdout.err;
    EXPECT_EQ(nlohmann::json::parse(to_stdout.out)["schema_version"], 4);
    EXPECT_NE(to_stdout.err.find("corvane-serial"), std::string::npos);
    EXPECT_FALSE(exists(file("-")));

    // A symbolic link stays a link; its target gets the export, and the
    // check and the write leave nothing else behind.
    std::ofstream(file("target.json")) << "old";
    symlink(file("target.json").c_str(), file("link.json").c_str());
    const std::string before = names_in(dir_);
    const auto linked = bench({"--programs", "corvane-serial", "--json", file("link.json")});
    EXPECT_EQ(linked.exit_status, 0) << linked.err;
    struct stat info {};
    ASSERT_EQ(lstat(file("link.json").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(read_json(file("target.json"))["schema_version"], 4);
    EXPECT_EQ(names_in(dir_), before);
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

TEST_F(StandIns, OneInvalidRunAmongValidOnesFailsTheSuite) {
    stand_in("corvane-serial", "if [ -e " + file("ran") + " ]; then exit 3; fi; touch " + file("ran") +
                                   "; printf '" + escaped(quick_output) + "'");
    const auto run = bench({"--programs", "corvane-serial", "--json", file("r.json")});
    EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("exit status 3"), std::string::npos) << run.out;
    const auto result = read_json(file("r.json"));
    ASSERT_EQ(result["cells"].size(), 1u);
    EXPECT_EQ(result["cells"][0]["valid_runs"], 1);
    EXPECT_EQ(result["cells"][0]["invalid_runs"], 1);
}

// A program that fails its first, cold start is broken: the warm-up is
// listed, recorded apart from the counted runs, fails the suite and is a
// lost run to compare's gate.
TEST_F(StandIns, AnInvalidWarmUpFailsTheSuiteAndTheGate) {
    const auto with_warmup = [this](const std::string& json) {
        return run_program(CORVANE_BENCH, {"--bin-dir", dir_, "--warmup", "1", "--runs", "3", "--programs",
                                           "corvane-serial", "--json", json});
    };
    ASSERT_EQ(with_warmup(file("old.json")).exit_status, 0);
    stand_in("corvane-serial", "if [ ! -e " + file("ran") + " ]; then touch " + file("ran") +
                                   "; kill -SEGV $$; fi; printf '" + escaped(quick_output) + "'");
    const auto run = with_warmup(file("new.json"));
    EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("invalid: corvane-serial warm-up 1: killed by signal 11"), std::string::npos)
        << run.out;
    const auto cell = read_json(file("new.json"))["cells"][0];
    EXPECT_EQ(cell["valid_runs"], 3);
    ASSERT_EQ(cell["warmups"].size(), 1u);
    EXPECT_EQ(cell["warmups"][0]["valid"], false);
    const auto gate =
        run_program(CORVANE_BENCH, {"compare", file("old.json"), file("new.json"), "--fail-on-slower"});
    EXPECT_EQ(gate.exit_status, 5) << gate.out << gate.err;
    EXPECT_NE(gate.out.find("1 warm-up(s) invalid in the new result, the first: killed by signal 11"),
              std::string::npos)
        << gate.out;
}

TEST_F(StandIns, CompareRoundTripsTheJsonAndRejectsBadFiles) {
    ASSERT_EQ(bench({"--threads", "1", "--json", file("a.json")}).exit_status, 0);
    const auto same = run_program(CORVANE_BENCH, {"compare", file("a.json"), file("a.json")});
    EXPECT_EQ(same.exit_status, 0) << same.err;
    EXPECT_NE(same.out.find("corvane-omp threads 1 "), std::string::npos) << same.out;
    // All cells together: the geometric mean of their ratios.
    const auto together = same.out.find("\nall 5 cells together ");
    ASSERT_NE(together, std::string::npos) << same.out;
    EXPECT_NE(same.out.substr(together, same.out.find('\n', together + 1) - together).find(" 1.000 "),
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
    // A cell without one of its required fields is refused, never read with a
    // default (a cell without threads is not a serial cell).
    for (const char* key : {"program", "threads", "samples"}) {
        auto result = read_json(file("a.json"));
        result["cells"][0].erase(key);
        std::ofstream(file("cut.json")) << result.dump();
        const auto run = run_program(CORVANE_BENCH, {"compare", file("a.json"), file("cut.json")});
        EXPECT_EQ(run.exit_status, 2) << key << "\n" << run.out;
        EXPECT_EQ(run.out, "") << key;
        EXPECT_NE(run.err.find(std::string("cells[0].") + key + " is missing"), std::string::npos)
            << key << "\n"
            << run.err;
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
    EXPECT_NE(text_of(file("c.md")).find("| corvane-omp threads 1 |"), std::string::npos);

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
