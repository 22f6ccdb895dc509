// What corvane-bench offers a person at a terminal: a table that fits 100
// columns unless asked for all of it, an estimate of the time left, its
// version, and helpers found where they are installed.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "bench/helpers.hpp"
#include "bench/progress.hpp"
#include "tests/stand_ins.hpp"

using namespace corvane::bench;
using namespace corvane::bench::testing;

namespace {

std::size_t display_width(const std::string& line) {
    return static_cast<std::size_t>(std::count_if(
        line.begin(), line.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Long labels, long times and every kind of note at once.
std::vector<cell> crowded_cells() {
    const std::vector<double> scattered = {1000.0, 1100.0, 1200.0, 1300.0, 1400.0,
                                           1500.0, 1600.0, 9999.9, 1.5};
    std::vector<cell> cells = {{"corvane-serial-simd", std::nullopt, std::nullopt, runs(scattered), {}},
                               {"corvane-omp-simd", std::nullopt, 2, runs(scattered), {}},
                               {"corvane-mpi", 2, 2, runs(scattered), {}},
                               {"corvane-autopar", std::nullopt, 128, {}, {}}};
    for (auto& c : cells)
        for (int i = 0; i < 10; ++i) c.samples.push_back({0, 0, false, "exit status 1"});
    evaluate(cells);
    return cells;
}

}  // namespace

TEST(TerminalTable, TheDefaultTableFitsOneHundredColumnsWithEveryRowAndItsNotes) {
    const auto cells = crowded_cells();
    const std::string text = terminal_table(result_rows(cells, false), terminal_width);
    std::size_t rows_started = 0;
    for (const auto& line : lines_of(text)) {
        EXPECT_LE(display_width(line), 100u) << line;
        rows_started += line.rfind("corvane-", 0) == 0;
    }
    EXPECT_EQ(rows_started, cells.size()) << text;
    for (const char* note : {"unstable", "outlier(s)", "10 invalid", "ranks", "median s", "speedup"})
        EXPECT_NE(text.find(note), std::string::npos) << note << "\n" << text;
    EXPECT_EQ(text.find("serial fraction"), std::string::npos) << text;
}

TEST(TerminalTable, WideShowsEveryColumnOnOneLinePerRow) {
    const auto cells = crowded_cells();
    const auto rows = result_rows(cells, true);
    const std::vector<std::string> every = {
        "program", "ranks", "threads", "median s", "min s",      "max s",           "mean ± sd s",
        "mad",     "valid", "gap s",   "speedup",  "efficiency", "serial fraction", "notes"};
    for (const auto& header : every)
        EXPECT_NE(std::find(rows[0].begin(), rows[0].end(), header), rows[0].end()) << header;
    const auto lines = lines_of(terminal_table(rows));
    EXPECT_EQ(lines.size(), cells.size() + 2);  // header and rule, then one line per cell
    EXPECT_GT(display_width(lines[0]), 100u);
    EXPECT_LT(result_rows(cells, false)[0].size(), rows[0].size());
}

TEST(TerminalTable, TheRanksColumnAppearsOnlyWhereCorvaneMpiRan) {
    std::vector<cell> cells = {{"corvane-serial", std::nullopt, std::nullopt, runs({1.0, 1.0}), {}}};
    evaluate(cells);
    for (bool wide : {false, true}) {
        const auto header = result_rows(cells, wide)[0];
        EXPECT_EQ(std::find(header.begin(), header.end(), "ranks"), header.end());
    }
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

TEST(Helpers, AreFoundInTheGivenDirectoryOnlyWhenExecutable) {
    char dir_template[] = "/tmp/corvane-helpers-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    EXPECT_EQ(find_helper("corvane-no-such-helper", dir), "");
    const std::string helper = dir + "/corvane-team-probe";
    std::ofstream(helper) << "#!/bin/sh\n";
    EXPECT_EQ(find_helper("corvane-team-probe", dir), "") << "not executable";
    chmod(helper.c_str(), 0755);
    EXPECT_EQ(find_helper("corvane-team-probe", dir), helper);
    EXPECT_EQ(installed_helper_directory(), own_directory() + "/../libexec/corvane");
    unlink(helper.c_str());
    rmdir(dir.c_str());
}

TEST(Version, NamesTheVersionAndCommitAndExitsZero) {
    const auto run = run_program(CORVANE_BENCH, {"--version"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(std::regex_match(run.out, std::regex(R"(corvane-bench \d+\.\d+\.\d+ \(commit [^ )]+\)\n)")))
        << run.out;
    EXPECT_EQ(run.err, "");
}
