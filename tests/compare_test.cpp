// compare on results built in memory: the estimator it prints, Holm's
// correction changing a verdict, and files that must be refused whole.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>

#include "bench/base/error.hpp"
#include "bench/compare/compare.hpp"
#include "bench/report/comparison.hpp"
#include "bench/report/report.hpp"
#include "tests/stand_ins.hpp"

using namespace corvane::bench;
using namespace corvane::bench::testing;

namespace {

// corvane-omp cells on 1, 2, ... threads with these reported times.
suite_result result_of(const std::vector<std::vector<double>>& times) {
    suite_result result;
    for (std::size_t i = 0; i < times.size(); ++i)
        result.cells.push_back({"corvane-omp", std::nullopt, static_cast<int>(i + 1), runs(times[i]), {}});
    evaluate(result.cells);
    return result;
}

const std::vector<double> base = {1.00, 1.01, 1.02, 1.03, 1.04};

std::vector<double> times(double factor) {
    std::vector<double> out;
    for (double t : base) out.push_back(t * factor);
    return out;
}

// The p (Holm) and verdict columns of each compared cell.
std::vector<std::pair<std::string, std::string>> verdicts(const comparison& c) {
    std::vector<std::pair<std::string, std::string>> out;
    const table rows = comparison_table(c);
    for (std::size_t row = 1; row < rows.size(); ++row) out.emplace_back(rows[row][5], rows[row][6]);
    return out;
}

}  // namespace

TEST(Compare, HolmsCorrectionIsPrintedAndCanTurnAVerdict) {
    // Two cells of five runs against five, completely separated: the
    // one-sided p is 1/252 = 0.00397 each; Holm's family is the two cells
    // and all of them together, whose combined p is far smaller and comes
    // first: 0.00397 x 2 = 0.0079 for both.
    const auto two = compare_results(result_of({base, base}), result_of({times(0.9), times(0.9)}), 0.01);
    auto pair = verdicts(two);
    pair.pop_back();  // all together
    EXPECT_EQ(pair, (std::vector<std::pair<std::string, std::string>>(2, {"0.0079", "faster"})));
    EXPECT_EQ(comparison_table(two).back()[0], "all 2 cells together");
    EXPECT_EQ(comparison_table(two).back()[6], "faster");

    // Thirteen such cells: 13 x 0.00397 = 0.0516, above 0.05, so none may
    // be called faster on its own, though each alone would be; all of them
    // together still are.
    const std::vector<std::vector<double>> many_old(13, base), many_new(13, times(0.9));
    const auto many = compare_results(result_of(many_old), result_of(many_new), 0.01);
    auto cells = verdicts(many);
    cells.pop_back();  // all together
    EXPECT_EQ(cells, (std::vector<std::pair<std::string, std::string>>(13, {"0.0516", "same"})));
    EXPECT_EQ(comparison_table(many).back()[6], "faster");
}

TEST(Compare, TheRatioAndItsIntervalAreOneEstimator) {
    // Medians 1.02 and 1.02 x 1.1, but the pairwise ratios of these uneven
    // samples centre elsewhere: the printed ratio must be the estimate the
    // interval belongs to, and lie inside it.
    const std::vector<double> before = {1.00, 1.01, 1.02, 1.50, 1.60},
                              after = {1.10, 1.11, 1.122, 1.123, 1.124};
    const auto c = compare_results(result_of({before}), result_of({after}), 0.01);
    const ratio_estimate estimate = ratio_of(before, after);
    EXPECT_EQ(comparison_table(c)[1][3], fixed(estimate.ratio, 3));
    EXPECT_NE(comparison_table(c)[1][3], fixed(1.122 / 1.02, 3));  // not the ratio of medians
    // The interval allows one tick of the clock on each median.
    const double low = estimate.low * (1.122 - 0.001) / 1.122 * 1.02 / 1.021,
                 high = estimate.high * (1.122 + 0.001) / 1.122 * 1.02 / 1.019;
    EXPECT_EQ(comparison_table(c)[1][4], "[" + fixed(low, 3) + ", " + fixed(high, 3) + "]");
}

TEST(Compare, UnevenSampleCountsStayBoundedInTimeAndMemory) {
    // One run against the most a cell may hold: an exact table of every
    // arrangement would need gigabytes; the answer needs none.
    std::vector<double> many;
    for (std::size_t i = 0; i < max_samples_per_cell; ++i)
        many.push_back(1.0 + 0.0001 * static_cast<double>(i));
    const auto c = compare_results(result_of({{1.05}}), result_of({many}), 0.01);
    EXPECT_EQ(comparison_table(c)[1][6], "same");
}

TEST(Compare, AHundredCellsOfAThousandRunsEachAreComparedInBoundedTime) {
    // Hodges-Lehmann over a thousand runs against a thousand has a million
    // pairwise ratios per cell; sorting them all for each of 101 cells took
    // over a minute.
    std::vector<std::vector<double>> before(101), after(101);
    for (std::size_t c = 0; c < before.size(); ++c)
        for (std::size_t i = 0; i < max_samples_per_cell; ++i) {
            before[c].push_back(1.0 + 0.001 * static_cast<double>((i * 7919 + c) % 50));
            after[c].push_back(1.0 + 0.001 * static_cast<double>((i * 104729 + c) % 50));
        }
    const suite_result old_result = result_of(before), new_result = result_of(after);
    EXPECT_TRUE(finishes_within(10, [&] { compare_results(old_result, new_result, 0.01); }));
}

class ResultFiles : public StandIns {};

TEST_F(ResultFiles, AreReadWholeWithEveryFaultNamedInOneLine) {
    const std::string good = json_text(result_of({base}));
    const auto refused = [this](const std::string& text) {
        std::ofstream(file("r.json")) << text;
        try {
            read_result(file("r.json"));
        } catch (const bench_error& e) {
            EXPECT_EQ(e.status, usage_problem);
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(refused(good), "accepted");
    // Anything after the result, or a second result appended, is refused.
    for (const std::string& text : {good + "GARBAGE {", good + good})
        EXPECT_NE(refused(text).find("is not valid JSON"), std::string::npos) << refused(text);

    auto doc = nlohmann::json::parse(good);
    doc["cells"][0]["threads"] = 4294967297;  // not read as 1
    EXPECT_EQ(refused(doc.dump()),
              file("r.json") + ": cells[0].threads is not a whole number from 1 or null");
    doc = nlohmann::json::parse(good);
    doc["context"]["processor"] = 7;
    EXPECT_EQ(refused(doc.dump()), file("r.json") + ": context.processor is not a string");
    doc = nlohmann::json::parse(good);
    doc["cells"][0]["samples"][0]["reported_s"] = 0;
    EXPECT_EQ(refused(doc.dump()),
              file("r.json") +
                  ": cells[0].samples[0].reported_s is not a time above zero, though the run is valid");
    doc = nlohmann::json::parse(good);
    doc["cells"].push_back(doc["cells"][0]);
    EXPECT_EQ(refused(doc.dump()), file("r.json") + ": cells[1] repeats the cell corvane-omp threads 1");
    doc = nlohmann::json::parse(good);
    for (std::size_t i = 0; i < max_samples_per_cell; ++i)
        doc["cells"][0]["samples"].push_back(doc["cells"][0]["samples"][0]);
    EXPECT_NE(refused(doc.dump()).find("more than the 1000 a cell may have"), std::string::npos);

    // A key given twice would be taken last-wins: a second, empty "cells"
    // would leave a baseline with nothing to lose.
    std::string twice = good;
    twice.insert(twice.rfind('}'), ", \"cells\": []");
    EXPECT_EQ(refused(twice),
              file("r.json") + " gives the key \"cells\" twice in one object: not a result this reads");
    // What the document would cost is bounded before it is built.
    std::string many = good, padding = "[";
    for (int i = 0; i < 3'000'000; ++i) padding += "0,";
    many.insert(many.rfind('}'), ", \"padding\": " + padding + "0]");
    EXPECT_NE(refused(many).find(" holds more than 3000000 values"), std::string::npos);
    // Figures no machine or run can give are refused like the times.
    for (const auto& [where, value, field] :
         std::vector<std::tuple<nlohmann::json::json_pointer, nlohmann::json, std::string>>{
             {"/kernels"_json_pointer,
              {{{"name", "strict/floor"}, {"threads", 1}, {"ns_per_term", 1e308}}},
              "kernels[0].ns_per_term"},
             {"/kernels"_json_pointer,
              {{{"name", "strict/sse2"}, {"threads", 1}, {"ns_per_term", 1.0}, {"vs_floor", 5e-324}}},
              "kernels[0].vs_floor"},
             {"/context/timeout_s"_json_pointer, -1e308, "context.timeout_s"},
             {"/context/machine/topology"_json_pointer,
              {{"cores", 2}, {"pus", 2}, {"caches", {{{"level", 1}, {"bytes", 9223372036854775807ULL}}}}},
              "context.machine.topology.caches[0].bytes"},
             {"/cells/0/samples/0/involuntary_switches"_json_pointer, 9223372036854775807LL,
              "cells[0].samples[0].involuntary_switches"}}) {
        doc = nlohmann::json::parse(good);
        doc[where] = value;
        EXPECT_EQ(refused(doc.dump()).rfind(file("r.json") + ": " + field + " is ", 0), 0u)
            << refused(doc.dump());
    }

    // A directory is not a result, and says so without a library's words.
    EXPECT_EQ(refused(good), "accepted");
    try {
        read_result(dir_);
        ADD_FAILURE() << "a directory was read as a result";
    } catch (const bench_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot read " + dir_ + ": Is a directory");
    }
}

// Program names and reasons are a file's text: in compare's table, its
// warnings and its Markdown notes they pass the same filters as in report.
TEST_F(ResultFiles, TextFromAFileReachesNoOutputOfCompareRaw) {
    const std::string good = json_text(result_of({base}));
    std::ofstream(file("old.json")) << good;
    const std::string forged =
        "x\nFAKE LINE: all good \x1b]0;owned\x07 \x1b[31mred \u202E <img src=x onerror=alert(1)> "
        "![x](http://e/)";
    auto doc = nlohmann::json::parse(good);
    auto& lost = doc["cells"][0]["samples"][0];
    lost["valid"] = false, lost["reported_s"] = nullptr, lost["reason"] = forged;
    auto only_new = doc["cells"][0];
    only_new["program"] = forged;
    doc["cells"].push_back(only_new);
    std::ofstream(file("new.json")) << doc.dump();
    const auto run = run_program(CORVANE_BENCH,
                                 {"compare", file("old.json"), file("new.json"), "--markdown", file("c.md")});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const std::string markdown = text_of(file("c.md"));
    for (const std::string& out : {run.out, run.err, markdown}) {
        EXPECT_NE(out.find("FAKE LINE"), std::string::npos) << "shown, escaped:\n" << out;
        for (const char* raw : {"\nFAKE LINE", "\x1b", "\x07", "\u202E"})
            EXPECT_EQ(out.find(raw), std::string::npos) << out;
    }
    for (const char* markup : {"<img", "![x]("})
        EXPECT_EQ(markdown.find(markup), std::string::npos) << markdown;
}

// The costliest file within the bounds: at the input cap, texts of the
// longest length and the rest in as many values as a file may hold.
// Read in a child, whose peak memory the kernel counts.
TEST_F(ResultFiles, AFileAtTheInputCapIsReadWithinAGibibyte) {
#ifndef CORVANE_FULL_SIZE_INPUTS
    GTEST_SKIP() << "unoptimised or under a sanitizer, a quarter of a gigabyte takes minutes and more memory";
#endif
    const std::string good = json_text(result_of({base}));
    {
        std::ofstream out(file("big.json"));
        out << good.substr(0, good.rfind('}')) << ", \"padding\": [";
        const std::string text = "\"" + std::string((std::size_t{1} << 20) - 64, 'x') + "\",";
        for (int i = 0; i < 245; ++i) out << text;
        for (int i = 0; i < 2'990'000; ++i) out << "{},";
        out << "{}]}";
    }
    struct stat size {};
    ASSERT_EQ(stat(file("big.json").c_str(), &size), 0);
    ASSERT_GT(size.st_size, 250 << 20);
    ASSERT_LE(size.st_size, 256 << 20);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            _exit(read_result(file("big.json")).cells.size() == 1 ? 0 : 1);
        } catch (...) {
            _exit(2);
        }
    }
    int status = 0;
    rusage usage{};
    ASSERT_EQ(wait4(child, &status, 0, &usage), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(usage.ru_maxrss, 1L << 20) << "KiB at the peak";  // 1 GiB
    std::printf("a %lld-byte file took %ld KiB at the peak\n", static_cast<long long>(size.st_size),
                usage.ru_maxrss);
}

namespace {

// A copy of a result file with every time, reported and wall, times factor.
void write_scaled(const std::string& from, const std::string& to, double factor) {
    auto doc = nlohmann::json::parse(text_of(from));
    for (auto& c : doc["cells"])
        for (auto& s : c["samples"]) {
            if (s["reported_s"].is_number()) s["reported_s"] = s["reported_s"].get<double>() * factor;
            s["wall_s"] = s["wall_s"].get<double>() * factor;
        }
    std::ofstream(to) << doc.dump(2);
}

}  // namespace

// Times no run can take are refused by report and compare alike, before
// they become inf, NaN or hundred-digit figures.
TEST_F(ResultFiles, ExtremeTimesAreRefusedNamingTheField) {
    suite_result result;
    result.cells = {{"corvane-serial", std::nullopt, std::nullopt, runs({1.0, 1.0}), {}},
                    {"corvane-omp", std::nullopt, 2, runs({0.5, 0.5}), {}}};
    std::ofstream(file("good.json")) << json_text(result);
    const std::string good = text_of(file("good.json"));
    for (const auto& [from, to, field] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"\"reported_s\": 1.0", "\"reported_s\": 1e308", "cells[0].samples[0].reported_s"},
             {"\"reported_s\": 0.5", "\"reported_s\": 5e-324", "cells[1].samples[0].reported_s"},
             {"\"wall_s\": 1.003", "\"wall_s\": -1.0", "cells[0].samples[0].wall_s"},
             {"\"wall_s\": 1.003", "\"wall_s\": 1e300", "cells[0].samples[0].wall_s"}}) {
        std::string text = good;
        const auto at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from << " in " << good;
        text.replace(at, from.size(), to);
        std::ofstream(file("bad.json")) << text;
        for (const auto& args :
             {std::vector<std::string>{"report", file("bad.json"), "--html", file("r.html")},
              std::vector<std::string>{"compare", file("good.json"), file("bad.json")}}) {
            const auto run = run_program(CORVANE_BENCH, args);
            EXPECT_EQ(run.exit_status, 2) << to << ": " << run.out << run.err;
            EXPECT_NE(run.err.find(file("bad.json") + ": " + field), std::string::npos) << run.err;
        }
    }
}

TEST_F(ResultFiles, FailOnSlowerFailsOnASlowedCopyAndPassesOnTheSameFile) {
    std::ofstream(file("a.json")) << json_text(result_of({base, times(0.6)}));
    write_scaled(file("a.json"), file("slow.json"), 1.5);

    const auto slowed = compare({file("a.json"), file("slow.json"), "--fail-on-slower"});
    EXPECT_EQ(slowed.exit_status, slower_found) << slowed.err;
    EXPECT_NE(slowed.out.find("slower"), std::string::npos) << slowed.out;  // the table still printed
    EXPECT_NE(slowed.err.find("significantly slower"), std::string::npos) << slowed.err;

    EXPECT_EQ(compare({file("a.json"), file("a.json"), "--fail-on-slower"}).exit_status, 0);
    EXPECT_EQ(compare({file("slow.json"), file("a.json"), "--fail-on-slower"}).exit_status, 0);  // faster
    EXPECT_EQ(compare({file("a.json"), file("slow.json")}).exit_status, 0);  // only when asked
}

TEST_F(ResultFiles, AGateThatCannotFailSaysSo) {
    // Two runs against two: no p-value can fall below 0.05, so no verdict
    // can be slower however slow the copy.
    std::ofstream(file("a.json")) << json_text(result_of({{1.00, 1.01}}));
    write_scaled(file("a.json"), file("slow.json"), 1.5);
    const auto run = compare({file("a.json"), file("slow.json"), "--fail-on-slower"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_NE(run.err.find("warning: too few runs: no verdict but same is possible, so --fail-on-slower "
                           "cannot fail on a slowdown (use --runs 4 or more)"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out.find("cannot fail"), std::string::npos) << run.out;  // said once, as a warning
}

TEST_F(ResultFiles, JsonComparisonCarriesTheTablesFiguresAndContext) {
    suite_result old_result = result_of({base, base, base}), new_result = result_of({times(1.5), base});
    old_result.context.compiler = "GNU 12.2.0";
    new_result.context.compiler = "GNU 13.1.0";
    std::ofstream(file("old.json")) << json_text(old_result);
    std::ofstream(file("new.json")) << json_text(new_result);

    const auto run = compare({file("old.json"), file("new.json"), "--json"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const auto doc = nlohmann::json::parse(run.out);  // standard output is the document alone
    const comparison c = compare_results(read_result(file("old.json")), read_result(file("new.json")), 0.01);
    ASSERT_EQ(doc["cells"].size() + 2, comparison_table(c).size());  // the header, and all cells together
    EXPECT_EQ(doc["schema_version"], 4);
    for (std::size_t i = 0; i < doc["cells"].size(); ++i) {
        const auto& cell = doc["cells"][i];
        const auto row = comparison_table(c)[i + 1];
        EXPECT_EQ(cell["cell"], row[0]);
        EXPECT_NE(run.err.find(row[0]), std::string::npos);  // the table went to standard error
        if (row[3] == "-") {
            EXPECT_TRUE(cell["ratio"].is_null() && cell["p_slower_holm"].is_null()) << cell;
            EXPECT_NE(row[6].find(cell["why"].get<std::string>()), std::string::npos) << row[6];
            continue;
        }
        EXPECT_EQ(cell["verdict"], row[6]);
        EXPECT_EQ(fixed(cell["old_median_s"].get<double>(), 3), row[1]);
        EXPECT_EQ(fixed(cell["ratio"].get<double>(), 3), row[3]);
        EXPECT_EQ("[" + fixed(cell["ratio_ci95"][0].get<double>(), 3) + ", " +
                      fixed(cell["ratio_ci95"][1].get<double>(), 3) + "]",
                  row[4]);
        // One-sided, each direction corrected on its own; the table shows
        // the direction the ratio points in.
        const char* direction = cell["ratio"].get<double>() > 1.0 ? "p_slower_holm" : "p_faster_holm";
        EXPECT_EQ(fixed(cell[direction].get<double>(), 4), row[5]);
        EXPECT_LE(cell["p_slower"].get<double>(), cell["p_slower_holm"].get<double>());
        EXPECT_LE(cell["p_faster"].get<double>(), cell["p_faster_holm"].get<double>());
        EXPECT_FALSE(cell.contains("p") || cell.contains("p_holm")) << cell;
    }
    EXPECT_EQ(doc["cells"][0]["verdict"], "slower");
    EXPECT_EQ(doc["cells"][0]["severity"], "fault");
    EXPECT_EQ(doc["cells"][2]["verdict"], "lost runs");
    EXPECT_EQ(doc["cells"][2]["why"], "missing in the new result");
    EXPECT_EQ(doc["together"]["cell"], "all 2 cells together");
    EXPECT_EQ(fixed(doc["together"]["ratio"].get<double>(), 3), comparison_table(c).back()[3]);
    EXPECT_EQ(doc["gate"], "lost runs");
    EXPECT_FALSE(doc.contains("any_slower") || doc.contains("too_few_runs"));
    EXPECT_EQ(doc["context_differences"],
              nlohmann::json::array({"compiler differs: old GNU 12.2.0, new GNU 13.1.0"}));
    // The warning the table's reader sees is the document's.
    bool warned = false;
    for (const auto& m : doc["messages"])
        if (m["severity"] == "warning")
            warned = warned || run.err.find("warning: " + m["text"].get<std::string>()) != std::string::npos;
    EXPECT_TRUE(warned) << run.err;

    // Half a percent either way, significant in every cell and all of them
    // together: same under the default 1%, slower or faster under 0.1%.
    const std::vector<double> tight = {1.000, 1.001, 1.002, 1.003, 1.004};
    std::vector<double> quicker;
    for (double t : tight) quicker.push_back(t * 0.995);
    std::ofstream(file("tight.json")) << json_text(result_of({tight, tight}));
    std::ofstream(file("quicker.json")) << json_text(result_of({quicker, quicker}));
    for (const auto& [from, to, finer] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"tight.json", "quicker.json", "faster"}, {"quicker.json", "tight.json", "slower"}}) {
        for (const char* min_effect : {"1", "0.1"}) {
            const auto slight = compare({file(from), file(to), "--json", "--min-effect", min_effect});
            ASSERT_EQ(slight.exit_status, 0) << slight.err;
            const auto small = nlohmann::json::parse(slight.out);
            const std::string expected = std::string(min_effect) == "1" ? "same" : finer;
            for (const auto& cell : {small["cells"][0], small["cells"][1], small["together"]}) {
                EXPECT_LT(std::min(cell["p_slower_holm"].get<double>(), cell["p_faster_holm"].get<double>()),
                          0.05)
                    << cell;
                EXPECT_EQ(cell["verdict"], expected)
                    << from << " to " << to << ", --min-effect " << min_effect;
            }
        }
    }

    // Markdown on standard output too would spoil the document: refused.
    const auto both = compare({file("old.json"), file("new.json"), "--json", "--markdown", "-"});
    EXPECT_EQ(both.exit_status, 2) << both.err;
    EXPECT_EQ(both.out, "");
}
