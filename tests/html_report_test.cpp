// corvane-bench report: saved results side by side. The page is opened in
// headless Chromium and read back from the DOM it built, so what is checked
// is what a person sees, not the HTML text: the figures against the JSON
// files, no error on the page, every chart laid out, and the same tables
// and charts with scripts off.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/compare/result_file.hpp"
#include "bench/machine/helper_programs.hpp"
#include "bench/report/across_results.hpp"
#include "bench/report/html.hpp"
#include "bench/report/report.hpp"
#include "bench/run/evaluate.hpp"
#include "process/process.hpp"
#include "tests/stand_ins.hpp"

using namespace corvane::bench;
using namespace corvane::bench::testing;
using nlohmann::json;

namespace {

sample invalid(const std::string& reason) { return {0, 300.0, false, reason}; }

// A result measured on a 2-processor machine by a GNU Release build.
suite_result measured_on(const std::string& processor) {
    suite_result result;
    result.context.processor = processor;
    result.context.logical_cores = result.context.usable_cpus = 2;
    result.context.compiler = "GNU 14.2.0";
    result.context.build_type = "Release";
    return result;
}

// This machine without other load, five runs a cell, one run of
// corvane-omp-simd invalid, with a reason that looks like markup.
suite_result quiet() {
    suite_result result = measured_on("AMD EPYC 9B45 (Zen 5)");
    result.context.kernel_plan["four_lane"] = {"avx512/newton", {}};
    result.context.runs = 5;
    result.cells = {
        {"corvane-serial", std::nullopt, std::nullopt, runs({1.000, 1.004, 1.010, 1.002, 1.006}), {}},
        {"corvane-serial-simd", std::nullopt, std::nullopt, runs({0.400, 0.402, 0.401, 0.404, 0.403}), {}},
        {"corvane-omp", std::nullopt, 1, runs({1.001, 1.003, 1.012, 1.004, 1.000}), {}},
        {"corvane-omp", std::nullopt, 2, runs({0.510, 0.505, 0.507, 0.512, 0.509}), {}},
        {"corvane-omp-simd", std::nullopt, 2, runs({0.205, 0.207, 0.206, 0.208}), {}},
    };
    result.cells.back().samples.push_back(invalid("timed out after <b>300 s</b> & was ended"));
    evaluate(result.cells);
    return result;
}

// The same machine shared with another job: slower, corvane-omp on two
// threads unstable, a cell with too few runs for an interval, a program
// name made to inject an element, and corvane-kernels' figures.
suite_result contended() {
    suite_result result = measured_on("AMD EPYC 9B45 (Zen 5) & a busy neighbour");
    result.context.warnings = {"the load average was 1.9 when the runs began"};
    result.cells = {
        {"corvane-serial", std::nullopt, std::nullopt, runs({1.050, 1.080, 1.060, 1.070, 1.065}), {}},
        {"corvane-serial-simd", std::nullopt, std::nullopt, runs({0.420, 0.430, 0.425}), {}},
        {"corvane-omp", std::nullopt, 1, runs({1.060, 1.090, 1.070, 1.075, 1.080}), {}},
        {"corvane-omp", std::nullopt, 2, runs({0.700, 0.950, 0.610, 0.900, 0.820}), {}},
        {"corvane-omp-simd", std::nullopt, 2, runs({0.300, 0.350}), {}},
        {"<img src=x onerror=alert(1)>", std::nullopt, std::nullopt, runs({1.0}), {}},
    };
    // Two threads that got little more than one processor.
    for (sample& s : result.cells[3].samples) s.user_s = s.wall_s * 1.1, s.system_s = 0.0;
    result.kernels = {{"strict/floor", 1, 0.310, std::nullopt},
                      {"strict/sse2/divide", 1, 1.000, 3.23},
                      {"four_lane/floor", 1, 0.080, std::nullopt},
                      {"four_lane/avx2/newton", 1, 0.125, 1.56},
                      {"four_lane/avx512/newton", 1, 0.089, 1.11}};
    evaluate(result.cells);
    return result;
}

std::string html_text(const std::string& text) {
    std::string out;
    for (char c : text)
        out += c == '&'   ? "&amp;"
               : c == '<' ? "&lt;"
               : c == '>' ? "&gt;"
               : c == '"' ? "&quot;"
                          : std::string(1, c);
    return out;
}

// A figure as the DOM holds it: the text of the cell's <td> for one result,
// in the row group of the cell's label.
// Browsers differ on whether < and > are escaped inside attributes.
std::string figure_in(const std::string& dom, const std::string& label, int result, const std::string& key) {
    auto group = dom.find("<tbody data-cell=\"" + html_text(label) + "\"");
    if (group == std::string::npos) {
        std::string attribute;
        for (char c : label) attribute += c == '&' ? "&amp;" : c == '"' ? "&quot;" : std::string(1, c);
        group = dom.find("<tbody data-cell=\"" + attribute + "\"");
    }
    if (group == std::string::npos) return "(no row " + label + ")";
    const auto group_end = dom.find("</tbody>", group);
    const std::string marker = "data-result=\"" + std::to_string(result) + "\" data-figure=\"" + key + "\">";
    const auto found = dom.find(marker, group);
    if (found == std::string::npos || found > group_end) return "(no " + key + ")";
    const auto start = found + marker.size();
    return dom.substr(start, dom.find("</td>", start) - start);
}

std::string attribute_of_body(const std::string& dom, const std::string& name) {
    const auto at = dom.find(name + "=\"");
    if (at == std::string::npos) return "(no " + name + ")";
    const auto start = at + name.size() + 2;
    return dom.substr(start, dom.find('"', start) - start);
}

// Records errors and security-policy refusals as they happen, and each
// chart's laid-out size, as attributes of <body> that --dump-dom shows.
// Placed before the page's own policy, which would refuse it.
const char* const probe = R"(<script>
window.problems = [];
window.addEventListener('error', e => problems.push(e.message || 'a resource failed to load'), true);
document.addEventListener('securitypolicyviolation', e => problems.push('refused ' + e.blockedURI));
window.addEventListener('load', () => {
  const sizes = [...document.querySelectorAll('svg.chart')].map(svg => {
    const box = svg.getBBox();
    return svg.id + ' ' + Math.round(box.width) + 'x' + Math.round(box.height);
  });
  document.body.setAttribute('data-problems', problems.join('; '));
  document.body.setAttribute('data-charts', sizes.join(', '));
  const width = document.documentElement.clientWidth;
  const beyond = [...document.querySelectorAll('body *')]
    .filter(e => e.getBoundingClientRect().right > width + 0.5)
    .map(e => e.tagName.toLowerCase() + (e.id ? '#' + e.id : '') + (e.className && e.className.baseVal === undefined ? '.' + e.className : ''));
  document.body.setAttribute('data-beyond', [...new Set(beyond)].join(' ') +
    (document.documentElement.scrollWidth > width ? ' (page ' + document.documentElement.scrollWidth + ' wide)' : ''));
  const lines = [...document.querySelectorAll('#results tbody th')].map(th => {
    const text = document.createRange();
    text.selectNodeContents(th);
    return text.getClientRects().length;
  });
  document.body.setAttribute('data-name-lines', String(Math.max(0, ...lines)));
});
</script>)";

class Report : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        std::ofstream(file("quiet.json")) << json_text(quiet());
        std::ofstream(file("contended.json")) << json_text(contended());
    }
    corvane::process::program_run bench(const std::vector<std::string>& args) const {
        corvane::process::run_options options;
        options.timeout_s = 60;
        return corvane::process::run_program(CORVANE_BENCH, args, options);
    }

    // Headless Chromium on `page` with a fresh profile, quiet and offline;
    // `what` is --dump-dom or --screenshot=FILE.
    corvane::process::program_run chromium(const std::string& page, const std::string& what) {
        corvane::process::run_options options;
        options.timeout_s = 120;
        const auto run = corvane::process::run_program(
            find_on_path("chromium"),
            {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + file("profile-" + std::to_string(++profiles_)), "--hide-scrollbars",
             "--window-size=1280,2000", what, "file://" + page},
            options);
        EXPECT_EQ(run.failure, "");
        EXPECT_FALSE(run.timed_out) << "chromium did not finish in " << options.timeout_s << " s";
        EXPECT_EQ(run.exit_status, 0) << run.err.substr(run.err.size() > 2000 ? run.err.size() - 2000 : 0);
        return run;
    }

    // The page as Chromium built it, after the load event.
    std::string dom_of(const std::string& page) { return chromium(page, "--dump-dom").out; }

    // The report of both files as corvane-bench writes it, with
    // corvane-kernels' figures beside the contended one's cells.
    std::string write_page() {
        suite_result with_kernels = read_result(file("contended.json"));
        with_kernels.kernels = contended().kernels;
        std::ofstream(file("r.html")) << html_report(
            {{file("quiet.json"), read_result(file("quiet.json"))}, {file("contended.json"), with_kernels}});
        return file("r.html");
    }

    // A copy of the page with the probe first in <head>, and `also` at the
    // end of <body>, where the page's own policy applies.
    std::string probed(const std::string& page, const std::string& also = "") {
        std::string html = text_of(page);
        html.insert(html.find("</body>"), also);
        html.insert(html.find("<head>") + 6, probe);
        std::ofstream(file("probed.html")) << html;
        return file("probed.html");
    }

    std::string dir_;
    int profiles_ = 0;
};

// The tests that open the page in Chromium (label browser).
class ReportInBrowser : public Report {};

#define NEEDS_CHROMIUM()                                                                          \
    if (find_on_path("chromium").empty())                                                         \
    GTEST_SKIP() << "chromium not found (Debian package chromium): this and every other browser " \
                    "test (label browser) are skipped"

}  // namespace

TEST_F(ReportInBrowser, TheFiguresInTheRenderedPageAreThoseOfTheJsonFiles) {
    NEEDS_CHROMIUM();
    const std::string dom = dom_of(probed(write_page()));
    ASSERT_NE(dom, "");
    EXPECT_EQ(attribute_of_body(dom, "data-problems"), "");

    const char* names[] = {"quiet.json", "contended.json"};
    for (int i = 0; i < 2; ++i) {
        const json saved = json::parse(text_of(file(names[i])));
        for (const auto& c : saved["cells"]) {
            std::string label = c["program"].get<std::string>();
            if (!c["threads"].is_null()) label += " threads " + std::to_string(c["threads"].get<int>());
            const int valid = c["valid_runs"], all = valid + c["invalid_runs"].get<int>();
            EXPECT_EQ(figure_in(dom, label, i, "median"), fixed(c["median_s"].get<double>(), 3)) << label;
            // A spread within one tick of the 1 ms clock is shown as that tick, at most.
            EXPECT_EQ(figure_in(dom, label, i, "mad"),
                      c["mad_within_tick"].get<bool>()
                          ? "≤" + fixed(0.001 / c["median_s"].get<double>() * 100, 1) + "%"
                          : fixed(c["relative_mad"].get<double>() * 100, 1) + "%");
            EXPECT_EQ(figure_in(dom, label, i, "valid"), std::to_string(valid) + "/" + std::to_string(all));
            EXPECT_EQ(
                figure_in(dom, label, i, "speedup"),
                c["speedup"].is_null()
                    ? "-"
                    : fixed(c["speedup"].get<double>(), 2) +
                          (c["contended"].get<bool>() || c["baseline_contended"].get<bool>() ? "?" : ""))
                << label;
            EXPECT_EQ(figure_in(dom, label, i, "parallelism"),
                      c["parallelism"].is_null() ? "-" : fixed(c["parallelism"].get<double>(), 2))
                << label;
        }
    }
    // A cell only one file has is a dash in the other's columns.
    EXPECT_EQ(figure_in(dom, "<img src=x onerror=alert(1)>", 0, "median"), "-");
    EXPECT_EQ(dom.find("<img"), std::string::npos) << "a program name became an element";

    // Marks: the invalid run and the unstable cell, each in its own result.
    EXPECT_NE(figure_in(dom, "corvane-omp-simd threads 2", 0, "notes").find("1 invalid"), std::string::npos);
    EXPECT_NE(figure_in(dom, "corvane-omp threads 2", 1, "notes").find("unstable"), std::string::npos);
    EXPECT_NE(figure_in(dom, "corvane-omp threads 2", 1, "notes").find("contended"), std::string::npos);
    EXPECT_EQ(figure_in(dom, "corvane-omp threads 2", 0, "notes").find("contended"), std::string::npos);
    EXPECT_EQ(figure_in(dom, "corvane-omp threads 2", 0, "notes"), "");
    EXPECT_NE(dom.find("timed out after &lt;b&gt;300 s&lt;/b&gt; &amp; was ended"), std::string::npos);

    // An interval from five runs against five, none from two; the chart has
    // a point for every cell with threads and a speedup, bars where an interval is.
    const auto five = quiet().cells[3].statistics.scaled.speedup_interval;
    ASSERT_TRUE(five);
    EXPECT_EQ(figure_in(dom, "corvane-omp threads 2", 0, "ci"),
              "[" + fixed(five->low, 2) + ", " + fixed(five->high, 2) + "]");
    EXPECT_EQ(figure_in(dom, "corvane-omp-simd threads 2", 1, "ci"), "-");
    std::size_t points = 0, bars = 0;
    for (auto at = dom.find("<circle data-cell="); at != std::string::npos;
         at = dom.find("<circle data-cell=", at + 1))
        ++points;
    for (auto at = dom.find("class=\"interval\""); at != std::string::npos;
         at = dom.find("class=\"interval\"", at + 1))
        ++bars;
    EXPECT_EQ(points, 6u);  // omp 1, omp 2, omp-simd 2 in each result
    EXPECT_EQ(bars, 5u);    // all but contended's omp-simd, which has two runs

    // Every chart was laid out with a size: two speedup charts, one of kernels.
    const std::string charts = attribute_of_body(dom, "data-charts");
    for (const char* id : {"speedup-0 ", "speedup-1 ", "kernels-1 "}) {
        const auto at = charts.find(id);
        ASSERT_NE(at, std::string::npos) << charts;
        const int width = std::atoi(charts.c_str() + at + std::string(id).size());
        const int height = std::atoi(charts.c_str() + charts.find('x', at) + 1);
        EXPECT_GT(width, 300) << charts;
        EXPECT_GT(height, 100) << charts;
    }
    EXPECT_NE(dom.find("four_lane/avx512/newton"), std::string::npos);
    EXPECT_NE(dom.find("<td class=\"num\">1.11</td>"), std::string::npos) << "times its floor";
}

// What the first test finds empty is not empty by accident: a page that
// tries to run a script and to load from the network is seen doing both.
// At 1280 px, with two results of three cells and with four results of
// six, nothing runs off the right edge of the page and no cell name wraps.
TEST_F(ReportInBrowser, ThePageFitsAWindow1280PixelsWideWithUpToFourResults) {
    NEEDS_CHROMIUM();
    suite_result three = quiet();
    three.cells.resize(3);
    evaluate(three.cells);
    const suite_result other = contended();
    for (const auto& results :
         {std::vector<named_result>{{file("results/2026-12-09/epyc-9b45-quiet-run.json"), three},
                                    {file("results/2026-12-09/epyc-9b45-busy-run.json"), three}},
          std::vector<named_result>{{file("quiet.json"), quiet()},
                                    {file("contended.json"), other},
                                    {file("a-much-longer-name-for-a-third-result-file.json"), quiet()},
                                    {file("fourth.json"), other}}}) {
        std::ofstream(file("wide.html")) << html_report(results);
        const std::string dom = dom_of(probed(file("wide.html")));
        ASSERT_NE(dom, "");
        EXPECT_EQ(attribute_of_body(dom, "data-beyond"), "") << results.size() << " results";
        EXPECT_EQ(attribute_of_body(dom, "data-name-lines"), "1") << results.size() << " results";
    }
    // A picture for a person to look at: two results of three cells.
    std::ofstream(file("two.html")) << html_report({{"quiet.json", three}, {"busy.json", three}});
    chromium(file("two.html"), "--screenshot=" + std::string(REPORT_SCREENSHOT) + ".two.png");
}

TEST_F(ReportInBrowser, TheProbeSeesWhatThePageIsRefused) {
    NEEDS_CHROMIUM();
    const std::string dom = dom_of(probed(write_page(),
                                          "<script>undefined_function()</script>"
                                          "<img src=\"https://example.invalid/tracker.png\">"));
    ASSERT_NE(dom, "");
    const std::string problems = attribute_of_body(dom, "data-problems");
    EXPECT_NE(problems.find("refused inline"), std::string::npos) << problems;
    EXPECT_NE(problems.find("refused https://example.invalid/tracker.png"), std::string::npos) << problems;
    EXPECT_EQ(problems.find("undefined_function"), std::string::npos) << "the script ran";
}

// Chromium's headless mode writes neither DOM nor picture under
// --blink-settings=scriptEnabled=false (version 156 gives empty output), so
// scripts are off the way the page itself turns them off: its policy
// refuses every script, and one added to its body must not run.
TEST_F(ReportInBrowser, TablesAndChartsAreThereWithScriptsOff) {
    NEEDS_CHROMIUM();
    const std::string page = write_page();
    std::string html = text_of(page);
    html.insert(html.find("</body>"), "<script>document.body.setAttribute('data-ran', 'yes')</script>");
    std::ofstream(file("scripted.html")) << html;
    const std::string dom = dom_of(file("scripted.html"));
    ASSERT_NE(dom, "");
    EXPECT_EQ(dom.find("data-ran=\"yes\""), std::string::npos) << "a script ran";
    EXPECT_EQ(figure_in(dom, "corvane-serial", 1, "median"),
              fixed(contended().cells[0].statistics.reported.median, 3));
    for (const char* part :
         {"<table class=\"results\"", "<table class=\"context\"", "<table class=\"kernels\"",
          "<svg class=\"chart\" id=\"speedup-0\"", "<svg class=\"chart\" id=\"speedup-1\"",
          "<svg class=\"chart\" id=\"kernels-1\"", "<table id=\"invalid-runs\""})
        EXPECT_NE(dom.find(part), std::string::npos) << part;

    // A picture for a person to look at, beside the test's build.
    std::filesystem::remove(REPORT_SCREENSHOT);  // not last run's
    chromium(page, "--screenshot=" + std::string(REPORT_SCREENSHOT));
    struct stat info {};
    EXPECT_EQ(stat(REPORT_SCREENSHOT, &info), 0);
    EXPECT_GT(info.st_size, 20000) << "an almost empty picture";
}

TEST_F(Report, TextFromAResultFileNeverBecomesMarkup) {
    suite_result tampered = contended();
    tampered.context.compiler = "\"><script>steal()</script>";
    tampered.cells[1].samples.push_back(invalid("</td></tr></table><h1>fake</h1>"));
    evaluate(tampered.cells);
    const std::string page = html_report({{"a<b>.json", tampered}});
    for (const char* injected : {"<script>steal", "<h1>fake", "<img src=x", "a<b>.json"})
        EXPECT_EQ(page.find(injected), std::string::npos) << injected;
    EXPECT_NE(page.find("&quot;&gt;&lt;script&gt;steal()&lt;/script&gt;"), std::string::npos);
    // One warning a line; a newline inside one is the file's and stays escaped.
    tampered.context.warnings = {"first warning", "second\nFAKE LINE"};
    const std::string warned = html_report({{"w.json", tampered}});
    EXPECT_NE(warned.find("first warning<br>second\\x0AFAKE LINE"), std::string::npos) << warned;

    const std::string markdown = markdown_report({{"a<b>.json", tampered}});
    for (const char* injected : {"<script>steal", "<h1>fake", "<img src=x"})
        EXPECT_EQ(markdown.find(injected), std::string::npos) << injected;
}

TEST_F(Report, TheSpeedupIntervalIsTheBaselineOverTheCellFromThreeRunsEach) {
    const suite_result result = contended();
    const auto interval = result.cells[3].statistics.scaled.speedup_interval;  // omp 2 against serial
    ASSERT_TRUE(interval);
    const ratio_estimate expected =
        widened_by_tick(ratio_of(valid_times(result.cells[3]), valid_times(result.cells[0])),
                        median_of(valid_times(result.cells[0])), median_of(valid_times(result.cells[3])));
    EXPECT_EQ(interval->low, expected.low);
    EXPECT_EQ(interval->high, expected.high);
    EXPECT_GT(interval->ratio, 1.0) << "a speedup, not a slowdown";
    EXPECT_FALSE(result.cells[4].statistics.scaled.speedup_interval) << "two runs";
    EXPECT_FALSE(result.cells[0].statistics.scaled.speedup_interval) << "the baseline itself";
    // Three runs of corvane-serial-simd are enough for a serial-simd baseline.
    suite_result three = quiet();
    three.cells[4].samples.resize(3);
    evaluate(three.cells);
    EXPECT_TRUE(three.cells[4].statistics.scaled.speedup_interval);
}

TEST_F(Report, TheHtmlOptionWritesThePageOfTheFilesAsTheyRead) {
    const auto run = bench({"report", file("quiet.json"), file("contended.json"), "--html", file("r.html"),
                            "--markdown", file("r.md")});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const std::vector<named_result> read = {{file("quiet.json"), read_result(file("quiet.json"))},
                                            {file("contended.json"), read_result(file("contended.json"))}};
    EXPECT_EQ(text_of(file("r.html")), html_report(read));
    EXPECT_EQ(text_of(file("r.md")), markdown_report(read));
    EXPECT_EQ(run.out, "") << "written to files, nothing on standard output";
}

TEST_F(Report, MarkdownHoldsTheSameTablesAndWhatSimdBuys) {
    const auto run = bench({"report", file("quiet.json"), file("contended.json")});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(
        run.out.find("| corvane-omp threads 2 | " + fixed(quiet().cells[3].statistics.reported.median, 3)),
        std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("unstable"), std::string::npos);
    EXPECT_NE(run.out.find("1 invalid"), std::string::npos);
    EXPECT_NE(run.out.find("| warning | the load average was 1.9"), std::string::npos);
    const std::string simd = markdown_report({{"contended.json", contended()}});
    EXPECT_NE(simd.find("| four_lane/avx512/newton | 1 | 0.089 | 1.11 |"), std::string::npos) << simd;
    EXPECT_NE(simd.find("| four_lane/floor | 1 | 0.080 | floor |"), std::string::npos) << simd;
}

TEST_F(Report, AFaultyFileOrPathIsAUsageProblemAndWritesNothing) {
    std::ofstream(file("broken.json")) << "{\"schema_version\": 1, \"cells\": [{\"program\": 3}]}";
    const auto broken = bench({"report", file("quiet.json"), file("broken.json"), "--html", file("r.html")});
    EXPECT_EQ(broken.exit_status, 2);
    EXPECT_NE(broken.err.find(file("broken.json") + ": cells[0].program"), std::string::npos) << broken.err;
    EXPECT_FALSE(std::filesystem::exists(file("r.html")));

    const auto nowhere = bench({"report", file("quiet.json"), "--html", file("missing/r.html")});
    EXPECT_EQ(nowhere.exit_status, 2) << nowhere.err;
    const auto full = bench({"report", file("quiet.json"), "--markdown", "/dev/full"});
    EXPECT_EQ(full.exit_status, 3) << full.err;

    // A number beyond a double is a faulty file too, not a crash.
    std::string huge = text_of(file("quiet.json"));
    const std::size_t number = huge.find("\"reported_s\": ") + 14;
    huge.replace(number, huge.find(',', number) - number, "1e400");
    std::ofstream(file("huge.json")) << huge;
    for (const auto& args : {std::vector<std::string>{"report", file("huge.json")},
                             std::vector<std::string>{"compare", file("quiet.json"), file("huge.json")}}) {
        const auto overflow = bench(args);
        EXPECT_EQ(overflow.exit_status, 2) << args[0] << ": " << overflow.err;
        EXPECT_NE(overflow.err.find(file("huge.json")), std::string::npos) << overflow.err;
    }
}

TEST_F(Report, CorvaneKernelsFiguresSavedOnTheirOwnAreShownAndRefusedWhenNotItsJson) {
    std::ofstream(file("k.json")) << R"({"context": {}, "benchmarks": [
        {"name": "four_lane/avx512/newton/threads:2/manual_time", "run_type": "iteration",
         "ns_per_term": 0.177, "vs_floor": 1.11}]})";
    const auto run =
        bench({"report", file("quiet.json"), "--kernels", file("k.json"), "--html", file("r.html")});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const std::string page = text_of(file("r.html"));
    EXPECT_NE(
        page.find("<td>four_lane/avx512/newton</td><td class=\"num\">2</td><td class=\"num\">0.177</td>"),
        std::string::npos)
        << page;
    EXPECT_EQ(page.find("No figures of corvane-kernels"), std::string::npos);

    // One file per --kernels: results may follow it.
    const auto markdown = bench({"report", "--kernels", file("k.json"), file("quiet.json")});
    EXPECT_NE(markdown.out.find("## What SIMD buys: " + file("k.json")), std::string::npos) << markdown.out;

    // A results file given as corvane-kernels' is refused, naming it; nothing is written.
    std::filesystem::remove(file("r.html"));
    const auto wrong =
        bench({"report", file("quiet.json"), "--kernels", file("quiet.json"), "--html", file("r.html")});
    EXPECT_EQ(wrong.exit_status, 2);
    EXPECT_NE(wrong.err.find(file("quiet.json")), std::string::npos) << wrong.err;
    EXPECT_FALSE(std::filesystem::exists(file("r.html")));

    // A benchmark field of a type Google Benchmark never writes is named, not a crash.
    std::ofstream(file("odd.json")) << R"({"benchmarks": [{"name": "strict/floor/threads:1",
        "error_occurred": "yes", "ns_per_term": 0.3}]})";
    const auto odd = bench({"report", file("quiet.json"), "--kernels", file("odd.json")});
    EXPECT_EQ(odd.exit_status, 2) << odd.err;
    EXPECT_NE(odd.err.find(file("odd.json")), std::string::npos) << odd.err;
}
