// The harness's parts on known input: its statistics, its validation of
// runs, the suite run through a fake runner, and the progress line's
// estimate of the time left.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "bench/base/error.hpp"
#include "bench/base/stats.hpp"
#include "bench/report/report.hpp"
#include "bench/run/progress.hpp"
#include "bench/run/suite.hpp"
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
}

// The oracle: every pairwise difference of logarithms formed and sorted.
TEST(Statistics, TheRatioIsTheMedianOfAllPairwiseRatiosFoundWithoutFormingThem) {
    std::uint64_t state = 12345;
    // The top 31 bits, so that they fit a 32-bit size_t.
    const auto next = [&state] {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<std::size_t>(state >> 33);
    };
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<double> a(1 + next() % 40), b(1 + next() % 40);
        // Quantised to the programs' millisecond, so with ties.
        for (double& x : a) x = 0.5 + 0.001 * static_cast<double>(next() % 60);
        for (double& x : b) x = 0.5 + 0.001 * static_cast<double>(next() % 90);
        std::vector<double> d;
        for (double x : a)
            for (double y : b) d.push_back(std::log(y) - std::log(x));
        std::sort(d.begin(), d.end());
        const std::size_t n = d.size();
        const double median = n % 2 ? d[n / 2] : (d[n / 2 - 1] + d[n / 2]) / 2.0;
        const ratio_estimate got = ratio_of(a, b);
        EXPECT_EQ(got.ratio, std::exp(median)) << trial;
        // The interval's ends are the (c+1)-th smallest and largest
        // differences, for one c.
        bool one_c = false;
        for (std::size_t c = 0; c < n; ++c)
            one_c = one_c || (got.low == std::exp(d[c]) && got.high == std::exp(d[n - 1 - c]));
        EXPECT_TRUE(one_c) << trial << ": [" << got.low << ", " << got.high << "]";
    }
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
    // Invisible characters that turn text around or hide it are escaped too.
    EXPECT_EQ(printable("run\u202Egnp.exe"), "run\\xE2\\x80\\xAEgnp.exe");
    EXPECT_EQ(printable("\uFEFFcorvane"), "\\xEF\\xBB\\xBFcorvane");
    EXPECT_EQ(printable("a\u200Bb\u2066c\u2028d"), "a\\xE2\\x80\\x8Bb\\xE2\\x81\\xA6c\\xE2\\x80\\xA8d");
    EXPECT_EQ(printable("×÷ ‖ 3.14"), "×÷ ‖ 3.14");
    // The report's clock may be one tick ahead of ours, no more.
    EXPECT_EQ(validate(finished(good_output, 0, 0, 0.2495)), "");
    EXPECT_EQ(validate(finished(good_output, 0, 0, 0.1)),
              "reported 0.250 s, longer than the process lived (0.100 s)");
    program_run hung = finished("");
    hung.timed_out = true;
    EXPECT_EQ(validate(hung, 1), "timed out after 1 s");
    // A run past its timeout is invalid even where it ended before the timer did.
    EXPECT_EQ(validate(finished(good_output, 0, 0, 0.3), 0.001), "ran 0.300 s, past its timeout of 0.001 s");
    // Only whole milliseconds come from the programs' clock.
    for (const char* time : {"0.000500", "0.010123"})
        EXPECT_EQ(
            validate(finished(corvane::expected_value_line() + "\nThe time to calculate PI was " + time +
                              " seconds\n")),
            "reported " + std::string(time) + " s: not whole milliseconds, which the programs' clock counts");
    program_run flooded = finished(good_output);
    flooded.err = "warning\n";
    flooded.err_truncated = true;
    EXPECT_EQ(validate(flooded),
              "standard error too long: more than 8 bytes, where the programs write none: warning");
    program_run stopped = finished(good_output);
    stopped.caller_stopped = true;
    EXPECT_EQ(validate(stopped), "corvane-bench was stopped during the run: its wall time includes the stop");
    program_run unstarted = finished("");
    unstarted.failure = "cannot fork: Resource temporarily unavailable";
    EXPECT_EQ(validate(unstarted), "cannot fork: Resource temporarily unavailable");
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
        // The first warm-up on two threads crashes; the second counted run prints nonsense.
        started_on_two += two ? 1 : 0;
        if (two && started_on_two == 1) return finished("", -1, 11);
        if (two && started_on_two == 4) return finished("nonsense\n");
        return finished(command[0] == "/bin-dir/corvane-serial" ? report_of(0.5) : good_output);
    };
    EXPECT_EQ(run_suite(options, cells, fake), 0);
    EXPECT_EQ(started, 15);  // 3 cells x (2 warm-ups + 3 counted runs)
    for (const auto& c : cells) ASSERT_EQ(c.samples.size(), 3u) << cell_label(c);
    EXPECT_EQ(cells[0].samples[0].reported_s, 0.5);
    EXPECT_EQ(cells[1].samples[2].reported_s, 0.25);
    EXPECT_EQ(cells[2].samples[1].reason, "expected two lines, got 1");
    // Warm-ups are judged like every run, and kept apart from the counted ones.
    for (const auto& c : cells) ASSERT_EQ(c.warmups.size(), 2u) << cell_label(c);
    EXPECT_EQ(cells[2].warmups[0].reason, "killed by signal 11");
    EXPECT_TRUE(cells[2].warmups[1].valid);
    evaluate(cells);
    EXPECT_EQ(cells[1].statistics.invalid_runs, 0);
    EXPECT_EQ(cells[1].statistics.invalid_warmups, 0);
    EXPECT_EQ(cells[2].statistics.invalid_runs, 1);
    EXPECT_EQ(cells[2].statistics.invalid_warmups, 1);
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

TEST(Eta, EachRemainingRunIsTakenAtItsCellsMedianAndCappedByTheTimeout) {
    EXPECT_EQ(remaining_estimate_s({{}, {}}, 3, 300), std::nullopt);  // nothing to go on yet
    // Cell 0: 2 of 4 runs made at a 2 s median; cell 1: 1 made at 0.5 s.
    EXPECT_DOUBLE_EQ(*remaining_estimate_s({{1.0, 3.0}, {0.5}}, 4, 300), 2 * 2.0 + 3 * 0.5);
    // A cell not yet run is taken at the median of every run so far.
    EXPECT_DOUBLE_EQ(*remaining_estimate_s({{4.0}, {}}, 2, 300), 1 * 4.0 + 2 * 4.0);
    // Runs that hang are ended at the timeout, so none counts for longer.
    EXPECT_DOUBLE_EQ(*remaining_estimate_s({{500.0}, {}}, 3, 60), 5 * 60.0);
    EXPECT_DOUBLE_EQ(*remaining_estimate_s({{1.0, 1.0}}, 2, 300), 0.0);
}

TEST(Eta, ReadsAsAnEstimateInUnitsAPersonUses) {
    EXPECT_EQ(eta_text(std::nullopt), "");
    EXPECT_EQ(eta_text(0.2), "ETA ~0 s");
    EXPECT_EQ(eta_text(42.4), "ETA ~42 s");
    EXPECT_EQ(eta_text(59.6), "ETA ~1 min 00 s");
    EXPECT_EQ(eta_text(185.0), "ETA ~3 min 05 s");
    EXPECT_EQ(eta_text(3600.0 * 2 + 600.0 + 30.0), "ETA ~2 h 10 min");
}

TEST(Eta, TheProgressLineCarriesAnEstimateOnceARunHasFinished) {
    std::vector<std::string> notes;
    suite_options options;
    options.bin_dir = "/bin-dir";
    options.warmup = 1;
    options.runs = 2;
    options.programs = {"corvane-serial"};
    std::vector<cell> cells = make_cells(options);
    const auto fake = [](const std::vector<std::string>&, const run_options&) {
        return finished(report_of(1.0), 0, 0, 30.0);
    };
    run_suite(options, cells, fake, [&notes](const std::string& note) { notes.push_back(note); });
    // Warm-ups take time too: they count towards the estimate.
    ASSERT_EQ(notes.size(), 3u);
    EXPECT_EQ(notes[0], "[1/3] corvane-serial: warm-up 1 of 1");
    EXPECT_EQ(notes[1], "[2/3] corvane-serial: run 1 of 2, ETA ~1 min 00 s");
    EXPECT_EQ(notes[2], "[3/3] corvane-serial: run 2 of 2, ETA ~30 s");
}
