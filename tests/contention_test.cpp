// Contention and the intervals of the scaling, on samples with CPU time and
// context switches injected as the process runner would report them.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "bench/base/error.hpp"
#include "bench/model/model.hpp"
#include "bench/report/report.hpp"
#include "bench/run/contention.hpp"
#include "bench/run/evaluate.hpp"
#include "tests/stand_ins.hpp"

using namespace corvane::bench;
using namespace corvane::bench::testing;

namespace {

// Valid runs of `wall` seconds whose process used `cpu` seconds of processor
// time (a tenth of it in the kernel) and was preempted `switches` times.
std::vector<sample> measured(int count, double wall, double cpu, long switches = 0) {
    std::vector<sample> samples;
    for (int i = 0; i < count; ++i)
        samples.push_back({wall - 0.01, wall, true, "", cpu * 0.9, cpu * 0.1, switches});
    return samples;
}

cell omp_cell(int threads, std::vector<sample> samples) {
    return {"corvane-omp", std::nullopt, threads, std::move(samples), {}};
}

// The column of the table under this heading.
std::size_t column(const table& rows, const std::string& heading) {
    return static_cast<std::size_t>(std::find(rows[0].begin(), rows[0].end(), heading) - rows[0].begin());
}

cell_statistics judged(cell c) {
    std::vector<cell> cells{std::move(c)};
    evaluate(cells);
    return cells[0].statistics;
}

}  // namespace

TEST(Contention, ATwoThreadCellThatGotLittleMoreThanOneProcessorIsContended) {
    const auto r = judged(omp_cell(2, measured(5, 0.5, 0.54)));
    EXPECT_NEAR(*r.parallelism, 1.08, 1e-12);
    EXPECT_TRUE(r.contended);
    EXPECT_EQ(r.contention,
              "parallelism 1.08 on 2 threads: 55% of the CPU time 2 busy threads would use, below 80%");
}

TEST(Contention, ATwoThreadCellNearTwoProcessorsIsNot) {
    const auto r = judged(omp_cell(2, measured(5, 0.5, 0.975, 3)));
    EXPECT_NEAR(*r.parallelism, 1.95, 1e-12);
    EXPECT_NEAR(*r.preemptions_per_cpu_s, 3.0 / 0.975, 1e-12);
    EXPECT_FALSE(r.contended) << r.contention;
    // The shortest programs: their serial start and exit pull CPU time /
    // wall time below 0.9 of 2 even on a quiet machine (measured: 0.083 s
    // reported in 0.091 s, 0.160 s of CPU time).
    sample short_run{0.083, 0.091, true, "", 0.155, 0.005, 12};
    const auto quick = judged(omp_cell(2, {short_run, short_run, short_run}));
    EXPECT_LT(*quick.parallelism, 1.8);
    EXPECT_FALSE(quick.contended) << quick.contention;
}

TEST(Contention, ManyInvoluntarySwitchesShowWaitingThreadsEvenAtFullParallelism) {
    // A runtime that spins while it waits keeps the CPU time at two processors.
    const auto r = judged(omp_cell(2, measured(5, 0.5, 1.0, 250)));
    EXPECT_TRUE(r.contended);
    EXPECT_EQ(r.contention,
              "250 involuntary context switches per second of CPU time, above 200: its threads waited for a "
              "processor");
    EXPECT_FALSE(judged(omp_cell(2, measured(5, 0.5, 1.0, 100))).contended);
}

TEST(Contention, SwitchesJustAboveTheQuietMostNeedASecondSign) {
    // Quiet 2-thread runs measured 77 to 96 per CPU second: 150 at full
    // parallelism is a noisy quiet run, not a contended one.
    EXPECT_FALSE(judged(omp_cell(2, measured(5, 0.5, 1.0, 150))).contended);
    // With 86% of two busy threads' CPU time besides, it is.
    const auto r = judged(omp_cell(2, measured(5, 0.5, 0.85, 128)));
    EXPECT_TRUE(r.contended);
    EXPECT_EQ(r.contention,
              "151 involuntary context switches per second of CPU time, above 120, and 86% of the CPU time 2 "
              "busy threads would use, below 90%: its threads waited for a processor");
    EXPECT_FALSE(judged(omp_cell(2, measured(5, 0.5, 0.85, 50))).contended);  // 59 per CPU second
}

TEST(Contention, SerialAndOneThreadCellsThatGotLessThanAProcessorAre) {
    // corvane-serial beside a busy loop pinned to its core: 2.06 s of wall
    // time for 0.6 s of CPU time, parallelism 0.29.
    const auto starved = measured(5, 2.06, 0.6, 1000);
    const auto serial = judged({"corvane-serial", std::nullopt, std::nullopt, starved, {}});
    EXPECT_TRUE(serial.contended);
    EXPECT_EQ(serial.contention,
              "parallelism 0.29 on 1 thread: 29% of the CPU time 1 busy thread would use, below 80%");
    EXPECT_TRUE(judged(omp_cell(1, starved)).contended);
    EXPECT_NEAR(*judged(omp_cell(1, starved)).parallelism, 0.6 / 2.06, 1e-12);
    // Quiet, a serial run is all CPU time, and preemptions alone never mark it.
    EXPECT_FALSE(
        judged({"corvane-serial", std::nullopt, std::nullopt, measured(5, 0.58, 0.575, 400), {}}).contended);
    EXPECT_FALSE(judged(omp_cell(1, measured(5, 0.16, 0.155, 30))).contended);
}

TEST(Contention, OneRunThatMetABusyMomentDoesNotMarkTheCell) {
    auto samples = measured(4, 0.5, 0.975);
    samples.push_back(measured(1, 0.9, 0.9, 500)[0]);
    EXPECT_FALSE(judged(omp_cell(2, samples)).contended);
}

TEST(Contention, MpiCellsAreJudgedByTheirSwitchesSinceTheLauncherFillsTheirWallTime) {
    const auto mpi = [](double cpu, long switches) {
        return judged({"corvane-mpi", 2, 1, measured(3, 1.2, cpu, switches), {}});
    };
    EXPECT_FALSE(mpi(0.6, 10).contended);  // parallelism 0.5 of 2 threads, quiet
    EXPECT_TRUE(mpi(0.6, 240).contended);  // 400 per CPU second
}

TEST(Contention, RunsWithoutCpuTimeLeaveItUnknownAndUnjudged) {
    const auto r = judged(omp_cell(2, runs({0.3, 0.3, 0.3})));  // as an older result file
    EXPECT_FALSE(r.parallelism);
    EXPECT_FALSE(r.preemptions_per_cpu_s);
    EXPECT_FALSE(r.contended);
}

TEST(Contention, IsWarnedAboutAndMarksTheScalingAsDoubtful) {
    std::vector<cell> cells = {
        {"corvane-serial", std::nullopt, std::nullopt, measured(3, 0.6, 0.6), {}},
        omp_cell(2, measured(3, 0.5, 0.54)),
        omp_cell(1, measured(3, 0.6, 0.6)),
    };
    evaluate(cells);
    EXPECT_EQ(
        contention_warnings(cells),
        (std::vector<std::string>{
            "contended: corvane-omp threads 2: parallelism 1.08 on 2 threads: 55% of the CPU time 2 busy "
            "threads would use, below 80%; its speedup, efficiency and serial fraction are doubtful"}));
    const table rows = result_rows(cells);
    EXPECT_EQ(rows[2][column(rows, "parallelism")], "1.08");
    EXPECT_EQ(rows[2][column(rows, "speedup")], "1.20?");  // 0.59 s over 0.49 s
    EXPECT_EQ(rows[2][column(rows, "efficiency")], "0.60?");
    EXPECT_EQ(rows[2][column(rows, "serial fraction")], "0.661?");
    EXPECT_EQ(rows[2].back(), "contended");
    EXPECT_EQ(rows[3][column(rows, "speedup")], "1.00");  // the quiet cell carries no mark
    EXPECT_EQ(table_footnotes(cells).rfind("? contended: ", 0), 0u) << table_footnotes(cells);
    // In the JSON too, with the runs' figures a reader gets back.
    const auto document = nlohmann::json::parse(json_text({{}, cells, {}}));
    EXPECT_EQ(document["cells"][1]["contended"], true);
    EXPECT_NEAR(document["cells"][1]["parallelism"].get<double>(), 1.08, 1e-12);
    EXPECT_NEAR(document["cells"][1]["samples"][0]["user_s"].get<double>(), 0.486, 1e-12);
    EXPECT_EQ(document["cells"][1]["samples"][0]["involuntary_switches"], 0);
}

TEST(Contention, SpeedupsAgainstAContendedBaselineAreMarkedDoubtful) {
    // corvane-serial beside a busy loop on its core: 2.06 s for 0.6 s of CPU
    // time. The 2-thread cell itself ran quietly, but its speedup of 7 is
    // the busy loop's, not the program's.
    std::vector<cell> cells = {
        {"corvane-serial", std::nullopt, std::nullopt, measured(3, 2.06, 0.6), {}},
        omp_cell(2, measured(3, 0.3, 0.58)),
    };
    evaluate(cells);
    EXPECT_TRUE(cells[0].statistics.contended);
    EXPECT_FALSE(cells[1].statistics.contended);
    EXPECT_TRUE(cells[1].statistics.baseline_contended);
    const table rows = result_rows(cells);
    EXPECT_EQ(rows[2][column(rows, "speedup")], "7.07?");  // 2.05 s over 0.29 s
    EXPECT_EQ(rows[2][column(rows, "efficiency")], "3.53?");
    EXPECT_EQ(rows[2].back(), "baseline contended");
    EXPECT_EQ(rows[1].back(), "contended");
    EXPECT_EQ(table_footnotes(cells).rfind("? contended: ", 0), 0u) << table_footnotes(cells);
    EXPECT_EQ(
        contention_warnings(cells),
        (std::vector<std::string>{
            "contended: corvane-serial: parallelism 0.29 on 1 thread: 29% of the CPU time 1 busy thread "
            "would use, below 80%; the speedups taken against it are doubtful"}));
    EXPECT_EQ(nlohmann::json::parse(json_text({{}, cells, {}}))["cells"][1]["baseline_contended"], true);
}

TEST(ScalingInterval, IsTheHodgesLehmannIntervalOfTheBaselineOverTheCell) {
    std::vector<cell> cells = {
        {"corvane-serial", std::nullopt, std::nullopt, runs({1.00, 1.02, 1.04, 1.06, 1.08}), {}},
        omp_cell(2, runs({0.50, 0.51, 0.52, 0.53, 0.55})),
    };
    evaluate(cells);
    const scaling& s = cells[1].statistics.scaled;
    // Of the 25 ratios, the third smallest and third largest: U's critical
    // value for 5 against 5 runs at 95% is 2. Then one tick of the clock on
    // each median (1.04 s and 0.52 s): the low end as if the baseline read
    // a tick short and the cell a tick long, the high end the other way.
    const double low = 1.00 / 0.53 * 1.039 / 1.04 * 0.52 / 0.521,
                 high = 1.08 / 0.51 * 1.041 / 1.04 * 0.52 / 0.519;
    EXPECT_NEAR(s.speedup_interval->ratio, 2.0, 1e-12);
    EXPECT_NEAR(s.speedup_interval->low, low, 1e-12);    // 1.8814
    EXPECT_NEAR(s.speedup_interval->high, high, 1e-12);  // 2.1238
    EXPECT_NEAR(s.efficiency_interval->low, low / 2, 1e-12);
    EXPECT_NEAR(s.efficiency_interval->high, high / 2, 1e-12);
    const table rows = result_rows(cells);
    EXPECT_EQ(rows[2][column(rows, "speedup 95% CI")], "[1.88, 2.12]");
    EXPECT_EQ(rows[2][column(rows, "efficiency 95% CI")], "[0.94, 1.06]");
}

TEST(ScalingInterval, NeedsThreeValidRunsInTheCellAndItsBaseline) {
    for (const auto& [baseline, times] :
         {std::pair{std::vector<double>{1.0, 1.0, 1.0}, std::vector<double>{0.5, 0.5}},
          std::pair{std::vector<double>{1.0, 1.0}, std::vector<double>{0.5, 0.5, 0.5}}}) {
        std::vector<cell> cells = {{"corvane-serial", std::nullopt, std::nullopt, runs(baseline), {}},
                                   omp_cell(2, runs(times))};
        evaluate(cells);
        EXPECT_DOUBLE_EQ(*cells[1].statistics.scaled.speedup, 2.0);
        EXPECT_FALSE(cells[1].statistics.scaled.speedup_interval);
        const table rows = result_rows(cells);
        EXPECT_EQ(rows[2][column(rows, "speedup 95% CI")], "-");
        EXPECT_EQ(rows[2][column(rows, "efficiency 95% CI")], "-");
        EXPECT_NE(table_footnotes(cells).find("fewer than 3 valid runs"), std::string::npos);
    }
}

TEST_F(StandIns, ResultFilesCarryEachRunsCpuTimeAndOlderOnesStillRead) {
    const auto run = bench({"--threads", "2", "--json", file("r.json"), "--csv", file("r.csv")});
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
    auto document = read_json(file("r.json"));
    for (const auto& c : document["cells"])
        for (const auto& s : c["samples"]) {
            EXPECT_GE(s["user_s"].get<double>(), 0.0);
            EXPECT_GE(s["system_s"].get<double>(), 0.0);
            EXPECT_GE(s["involuntary_switches"].get<long>(), 0);
        }
    EXPECT_NE(text_of(file("r.csv")).find(",user_s,system_s,involuntary_switches\r\n"), std::string::npos);
    // Without the new fields, as a file written before them.
    for (auto& c : document["cells"])
        for (auto& s : c["samples"])
            for (const char* name : {"user_s", "system_s", "involuntary_switches"}) s.erase(name);
    std::ofstream(file("old.json")) << document.dump();
    const suite_result old = read_result(file("old.json"));
    EXPECT_FALSE(old.cells[0].samples[0].user_s);
    EXPECT_FALSE(old.cells[0].statistics.contended);
    // A wrong type is named, not read as unknown.
    document["cells"][0]["samples"][0]["user_s"] = "fast";
    std::ofstream(file("bad.json")) << document.dump();
    EXPECT_THROW(read_result(file("bad.json")), bench_error);
}
