// The reporters on made-up cells: the terminal table fits 100 columns
// unless asked for all of it, CSV quotes as RFC 4180 says, the marks and
// the context are rendered from the model's data alike in every format.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "bench/report/across_results.hpp"
#include "bench/report/context_lines.hpp"
#include "bench/report/html.hpp"
#include "bench/report/report.hpp"
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
    // Where the columns before the notes leave less room than one note
    // takes, the note wraps between its words rather than widen the table.
    const table narrow = {{std::string(70, 'p'), "ranks", "notes"},
                          {"corvane-mpi", "2", "12 ticks (process 0.0123 s), unstable"}};
    const std::string wrapped = terminal_table(narrow, terminal_width);
    for (const auto& line : lines_of(wrapped)) EXPECT_LE(display_width(line), 100u) << line;
    EXPECT_NE(wrapped.find("(process"), std::string::npos) << wrapped;
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

TEST(Csv, QuotesFieldsAsRfc4180) {
    cell c{"corvane-omp", std::nullopt, 2, {{0.0, 0.1, false, "wrong value line: \"3,14\""}}, {}};
    EXPECT_EQ(
        csv_rows({c}),
        "program,ranks,threads,run,reported_s,wall_s,valid,reason,user_s,system_s,involuntary_switches\r\n"
        "corvane-omp,,2,1,,0.100000,false,\"wrong value line: \"\"3,14\"\"\",,,\r\n");
}

// Tens of thousands of cells across results: each row found through an
// index, where a search per label took 39 s for 32,000 cells.
TEST(Report, ThirtyTwoThousandCellsAreReportedInBoundedTime) {
    suite_result result;
    result.cells.push_back({"corvane-serial", std::nullopt, std::nullopt, runs({1.0}), {}});
    for (int t = 1; t < 32000; ++t) result.cells.push_back({"corvane-omp", std::nullopt, t, runs({1.0}), {}});
    const std::vector<named_result> both = {{"a.json", result}, {"b.json", result}};
    EXPECT_TRUE(finishes_within(10, [&] {
        markdown_report(both);
        html_report(both);
    }));
    // Rows in the order first seen, each result's cell or none.
    result.cells.resize(10);
    const std::vector<named_result> one_in_second = {{"a.json", result},
                                                     {"b.json", {{}, {result.cells[5]}, {}}}};
    const auto rows = cells_across(one_in_second);
    ASSERT_EQ(rows.size(), 10u);
    EXPECT_EQ(rows[5].label, "corvane-omp threads 5");
    EXPECT_EQ(rows[5].in[0], &one_in_second[0].result.cells[5]);
    EXPECT_EQ(rows[5].in[1], &one_in_second[1].result.cells[0]);
    EXPECT_EQ(rows[6].in[1], nullptr);
}

// Text a program printed is shown, never followed: no link, no image, no
// HTML, no cell end, as on the HTML page.
TEST(Report, MarkdownShowsLinkAndImageSyntaxAsText) {
    suite_result result;
    result.cells = {{"corvane-serial", std::nullopt, std::nullopt, runs({1.0}), {}}};
    result.cells[0].samples.push_back(
        {0, 1.0, false,
         "wrong value line: ![x](http://evil.example/x.png) [click](http://evil.example) a|b \\"});
    evaluate(result.cells);
    const std::string text = markdown_report({{"[r](http://evil.example).json", result}});
    for (const char* live : {"![x](", "[click](", "[r](", "a|b"})
        EXPECT_EQ(text.find(live), std::string::npos) << live << " in\n" << text;
    EXPECT_NE(text.find("!\\[x\\](http://evil.example/x.png) \\[click\\](http://evil.example) a\\|b \\\\"),
              std::string::npos)
        << text;
    EXPECT_EQ(markdown_text("1.000 × floor"), "1.000 × floor");
}

// Numbers no run gives still print as numbers of a few characters.
TEST(Report, ExtremeFiguresPrintPlainly) {
    EXPECT_EQ(fixed(1e308, 3), "1e+308");
    EXPECT_EQ(fixed(-1e20, 1), "-1e+20");
    EXPECT_EQ(fixed(std::numeric_limits<double>::infinity(), 2), "-");
    EXPECT_EQ(fixed(std::nan(""), 2), "-");
    EXPECT_EQ(fixed(5e-324, 3), "0.000");
    EXPECT_EQ(fixed(2.5, 3), "2.500");
}

// The page's context: a field the results share once, across their
// columns; fields that differ marked, each result's value in its column.
TEST(Report, TheContextTableShowsSharedFieldsOnceAndMarksThoseThatDiffer) {
    suite_result a, b;
    a.context.processor = b.context.processor = "AMD EPYC 9B45";
    a.context.compiler = "GNU 14.2.0";
    b.context.compiler = "Clang 19.1.7";
    const std::string page = html_report({{"a.json", a}, {"b.json", b}, {"c.json", b}});
    const auto count = [&page](const std::string& part) {
        std::size_t n = 0;
        for (auto at = page.find(part); at != std::string::npos; at = page.find(part, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("AMD EPYC 9B45"), 1u) << page;
    EXPECT_NE(page.find("<td colspan=\"3\" data-result=\"all\">AMD EPYC 9B45</td>"), std::string::npos);
    EXPECT_NE(page.find("<tr class=\"differs\"><th scope=\"row\">corvane-bench&#39;s compiler <span "
                        "class=\"mark\">differs</span></th><td data-result=\"0\">GNU 14.2.0</td><td "
                        "data-result=\"1\">Clang 19.1.7</td><td data-result=\"2\">Clang 19.1.7</td></tr>"),
              std::string::npos)
        << page;
    EXPECT_EQ(count("<tr class=\"differs\">"), 1u) << page;
}

TEST(Marks, AreJudgedOnceWithASeverityInTheOrderAReaderNeedsThem) {
    std::vector<cell> cells = {{"corvane-serial", std::nullopt, std::nullopt, {}, {}},
                               {"corvane-omp", std::nullopt, 2, runs({1.0, 1.1, 1.2, 1.0, 1.1, 5.0}), {}}};
    cells[0].samples.push_back({0, 0, false, "exit status 1"});
    cells[1].samples.push_back({0, 0, false, "exit status 1"});
    evaluate(cells);
    using marks = std::vector<std::pair<severity, std::string>>;
    const auto of = [](const cell& c) {
        marks found;
        for (const auto& mark : c.statistics.marks) found.emplace_back(mark.level, mark.text);
        return found;
    };
    EXPECT_EQ(of(cells[0]), (marks{{severity::fault, "no valid run"}, {severity::fault, "1 invalid"}}));
    EXPECT_EQ(of(cells[1]), (marks{{severity::fault, "1 invalid"},
                                   {severity::warning, "unstable"},
                                   {severity::note, "1 outlier(s)"}}));
    // Every format shows the same marks in the same order.
    const std::string notes = "1 invalid, unstable, 1 outlier(s)";
    EXPECT_EQ(result_rows(cells).back().back(), notes);
    EXPECT_NE(markdown_report({{"r.json", {{}, cells, {}}}}).find("| " + notes + " |"), std::string::npos);
}

TEST(Marks, TheHtmlPageShowsAMarkAsBadByItsSeverityNeverByItsWording) {
    std::vector<cell> cells = {{"corvane-serial", std::nullopt, std::nullopt, runs({1.0}), {}}};
    evaluate(cells);
    cells[0].statistics.marks = {{severity::warning, "valid-looking"}, {severity::fault, "failed"}};
    const std::string page = html_report({{"r.json", {{}, cells, {}}}});
    EXPECT_NE(page.find("<span class=\"mark\">valid-looking</span>"), std::string::npos);
    EXPECT_NE(page.find("<span class=\"mark bad\">failed</span>"), std::string::npos);
}

TEST(Context, TheTerminalAndTheReportTakeTheirLinesFromOneTable) {
    run_context context;
    context.processor = "AMD EPYC";
    context.logical_cores = context.usable_cpus = 2;
    context.machine.hostname = "node1";
    context.program_builds["corvane-serial"].unknown = "no build record in the file";
    context.program_builds["corvane-omp"].build_type = "Release";
    const auto terminal = context_lines(context, context_view::terminal);
    const auto report = context_lines(context, context_view::report);
    // What both show, they show alike: the machine and each program's build.
    for (const char* label : {"machine", "corvane-serial build", "corvane-omp build"}) {
        const auto in = [label](const std::vector<context_line>& lines) {
            for (const auto& line : lines)
                if (line.label == label) return line.value;
            return std::string("missing");
        };
        EXPECT_NE(in(terminal), "missing") << label;
        EXPECT_EQ(in(terminal), in(report)) << label;
    }
    EXPECT_EQ(context_text(context).rfind("processor: AMD EPYC, 2 usable of 2 logical cores\n", 0), 0u);
}
