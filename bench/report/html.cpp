// The report across results as one HTML page. The charts are SVG drawn
// here, inline: the page needs no script, no library and no network, so it
// reads the same offline, with JavaScript off, and years later. A content
// security policy forbids the page to load anything at all.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>
#include <sstream>

#include "bench/report/across_results.hpp"
#include "bench/report/context_lines.hpp"
#include "bench/report/html.hpp"

namespace corvane::bench {

namespace {

const char* const style = R"(
body { font: 15px/1.45 system-ui, sans-serif; color: #222; max-width: 1250px; margin: 1.5em auto; padding: 0 1em; }
h1 { font-size: 1.6em; margin-bottom: .2em; }
h2 { font-size: 1.25em; margin-top: 1.8em; border-bottom: 1px solid #ccc; }
table { border-collapse: collapse; margin: .4em 0 1em; max-width: 100%; }
th, td { padding: .2em .55em; border-bottom: 1px solid #e4e4e4; text-align: left; vertical-align: top; }
thead th { background: #f2f2f2; }
td.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
table.results thead th { white-space: nowrap; }
table.results tbody th { white-space: nowrap; }
table.results tbody { border-top: 2px solid #ccc; }
table.results td.result { color: #555; text-align: center; }
table.context { table-layout: fixed; width: 100%; }
table.context thead th { overflow-wrap: anywhere; font-weight: bold; }
table.context tbody th { font-weight: normal; color: #555; width: 12em; }
table.context thead th:first-child { width: 12em; }
table.context td { overflow-wrap: anywhere; }
table.context tr.differs > * { background: #fff4d6; }
.mark { display: inline-block; padding: 0 .4em; margin: 0 .2em .1em 0; border-radius: 3px;
        background: #fde2a8; color: #5a3b00; font-size: .85em; white-space: nowrap; }
.mark.bad { background: #f8c4c4; color: #6b0f0f; }
.figures { display: flex; flex-wrap: wrap; gap: 1em 2em; }
figure { margin: .5em 0; max-width: 100%; }
figure svg { max-width: 100%; height: auto; }
figcaption { color: #555; font-size: .9em; max-width: 580px; }
svg text { font: 12px system-ui, sans-serif; fill: #222; }
.note { color: #555; }
)";
// Text from a result file: printable, and never markup.
std::string escaped(const std::string& text) {
    std::string out;
    for (char c : printable(text)) switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    return out;
}

std::string at(double value) { return fixed(value, 1); }  // an SVG coordinate

// Series colours, told apart also by people with the common colour-vision deficiencies.
const char* const palette[] = {"#0072b2", "#d55e00", "#009e73", "#cc79a7", "#e69f00", "#56b4e9"};

// A step between axis ticks that gives at most about eight of them.
double tick_step(double top) {
    for (double step : {0.25, 0.5, 1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0, 200.0, 500.0})
        if (top / step <= 8) return step;
    return std::ceil(top / 8);
}

std::string marks_html(const cell& c) {
    std::string html;
    for (const auto& mark : c.statistics.marks)
        html += std::string("<span class=\"mark") + (mark.level == severity::fault ? " bad" : "") + "\">" +
                escaped(mark.text) + "</span>";
    return html;
}

// One table for every result's context: a row per field, each result's
// value in its own column. Where all agree the value is shown once, across
// the columns; rows that differ are marked, since they are what a reader
// compares. A field with several lines (the warnings) is one row.
std::string context_tables(const std::vector<named_result>& results) {
    std::vector<std::string> labels;
    // By label, each result's lines: a newline inside a value stays escaped.
    std::map<std::string, std::vector<std::vector<std::string>>> values;
    for (std::size_t i = 0; i < results.size(); ++i)
        for (const auto& [label, value] : context_lines(results[i].result.context, context_view::report)) {
            auto [row, added] = values.try_emplace(label, results.size());
            if (added) labels.push_back(label);
            row->second[i].push_back(value);
        }
    const auto shown = [](const std::vector<std::string>& lines) {
        if (lines.empty()) return std::string("-");
        std::string html;
        for (const auto& line : lines) html += (html.empty() ? "" : "<br>") + escaped(line);
        return html;
    };
    std::ostringstream out;
    out << "<table class=\"context\" id=\"context\"><thead><tr><th></th>";
    for (std::size_t i = 0; i < results.size(); ++i)
        out << "<th scope=\"col\" data-result=\"" << i << "\">" << i + 1 << ". " << escaped(results[i].name)
            << "</th>";
    out << "</tr></thead><tbody>\n";
    for (const auto& label : labels) {
        const auto& row = values[label];
        const bool alike =
            std::all_of(row.begin(), row.end(), [&row](const auto& lines) { return lines == row[0]; });
        out << "<tr" << (alike || results.size() < 2 ? "" : " class=\"differs\"") << "><th scope=\"row\">"
            << escaped(label) << (alike || results.size() < 2 ? "" : " <span class=\"mark\">differs</span>")
            << "</th>";
        if (alike)
            out << "<td colspan=\"" << results.size() << "\" data-result=\"all\">" << shown(row[0])
                << "</td>";
        else
            for (std::size_t i = 0; i < row.size(); ++i)
                out << "<td data-result=\"" << i << "\">" << shown(row[i]) << "</td>";
        out << "</tr>\n";
    }
    out << "</tbody></table>\n";
    return out.str();
}

// A row group per cell, a row per result in it: as many results as there
// are, the table keeps its nine columns and fits the page.
std::string results_table(const std::vector<named_result>& results) {
    std::ostringstream out;
    const bool several = results.size() > 1;
    out << "<table class=\"results\" id=\"results\">\n<thead><tr><th>cell</th>"
        << (several ? "<th>result</th>" : "");
    for (const auto& column : figure_columns) out << "<th>" << column.heading << "</th>";
    out << "<th>notes</th></tr></thead>\n";
    for (const auto& across : cells_across(results)) {
        out << "<tbody data-cell=\"" << escaped(across.label) << "\">";
        for (std::size_t i = 0; i < results.size(); ++i) {
            const cell* c = across.in[i];
            out << "<tr data-result=\"" << i << "\">";
            if (i == 0)
                out << "<th scope=\"rowgroup\" rowspan=\"" << results.size() << "\">" << escaped(across.label)
                    << "</th>";
            if (several) out << "<td class=\"result\">" << i + 1 << "</td>";
            const auto figures = cell_figures(c);
            for (std::size_t f = 0; f < figures.size(); ++f)
                out << "<td class=\"num\" data-result=\"" << i << "\" data-figure=\"" << figure_columns[f].key
                    << "\">" << escaped(figures[f]) << "</td>";
            out << "<td data-result=\"" << i << "\" data-figure=\"notes\">" << (c ? marks_html(*c) : "")
                << "</td></tr>";
        }
        out << "</tbody>\n";
    }
    out << "</table>\n";
    return out.str();
}

struct speedup_point {
    int workers;
    double speedup;
    std::optional<ratio_estimate> interval;
    std::string label;
};

// Speedup against threads for one result: a line per program, the ideal
// line, and each point's 95% interval as an error bar.
std::string speedup_chart(const suite_result& result, std::size_t index) {
    std::map<std::string, std::vector<speedup_point>> series;
    int most_workers = 2;
    double top = 0;
    for (const cell& c : result.cells) {
        const auto count = workers(c);
        const auto speedup = c.statistics.scaled.speedup;
        if (!count || !speedup) continue;
        const auto& interval = c.statistics.scaled.speedup_interval;
        const std::string name = c.program + (c.ranks ? ", " + std::to_string(*c.ranks) + " ranks" : "");
        series[name].push_back({*count, *speedup, interval, cell_label(c)});
        most_workers = std::max(most_workers, *count);
        top = std::max({top, *speedup, interval ? interval->high : 0.0});
    }
    if (series.empty()) return "<p class=\"note\">No parallel cell with a speedup to draw.</p>\n";

    constexpr double width = 580, height = 380, left = 56, right = 16, top_margin = 16, bottom = 48;
    const double plot_w = width - left - right, plot_h = height - top_margin - bottom;
    const double y_step = tick_step(std::max(top, static_cast<double>(most_workers)) * 1.05);
    const double y_max = y_step * std::ceil(std::max(top, static_cast<double>(most_workers)) * 1.05 / y_step);
    const double x_max = most_workers * 1.05;  // room for the last point's bar
    const auto x = [&](double v) { return left + v / x_max * plot_w; };
    const auto y = [&](double v) { return top_margin + plot_h - v / y_max * plot_h; };

    std::ostringstream out;
    out << "<figure><svg class=\"chart\" id=\"speedup-" << index << "\" xmlns=\"http://www.w3.org/2000/svg\" "
        << "width=\"" << width << "\" height=\"" << height << "\" viewBox=\"0 0 " << width << " " << height
        << "\" role=\"img\" aria-label=\"speedup against threads\">\n";
    // Grid and axes.
    for (double v = 0; v <= y_max + 1e-9; v += y_step)
        out << "<line x1=\"" << at(left) << "\" x2=\"" << at(left + plot_w) << "\" y1=\"" << at(y(v))
            << "\" y2=\"" << at(y(v)) << "\" stroke=\"#e4e4e4\"/><text x=\"" << at(left - 6) << "\" y=\""
            << at(y(v) + 4) << "\" text-anchor=\"end\">" << fixed(v, y_step < 1 ? 2 : 0) << "</text>\n";
    std::vector<int> ticks = {0};
    for (const auto& [name, points] : series)
        for (const auto& p : points) ticks.push_back(p.workers);
    std::sort(ticks.begin(), ticks.end());
    ticks.erase(std::unique(ticks.begin(), ticks.end()), ticks.end());
    for (int t : ticks)
        out << "<text x=\"" << at(x(t)) << "\" y=\"" << at(top_margin + plot_h + 16)
            << "\" text-anchor=\"middle\">" << t << "</text>\n";
    out << "<path d=\"M" << at(left) << " " << at(top_margin) << "V" << at(top_margin + plot_h) << "H"
        << at(left + plot_w) << "\" fill=\"none\" stroke=\"#444\"/>\n"
        << "<text x=\"" << at(left + plot_w / 2) << "\" y=\"" << at(height - 8)
        << "\" text-anchor=\"middle\">threads (ranks × threads for corvane-mpi)</text>\n"
        << "<text transform=\"translate(14 " << at(top_margin + plot_h / 2)
        << ") rotate(-90)\" text-anchor=\"middle\">speedup (× the serial program)</text>\n";
    // The ideal: speedup equal to the threads.
    out << "<line class=\"ideal\" x1=\"" << at(x(0)) << "\" y1=\"" << at(y(0)) << "\" x2=\"" << at(x(x_max))
        << "\" y2=\"" << at(y(x_max)) << "\" stroke=\"#888\" stroke-dasharray=\"6 4\"/>\n";

    std::size_t colour = 0;
    std::ostringstream legend;
    legend << "<g class=\"legend\">";
    double legend_y = top_margin + 14;
    legend << "<line x1=\"" << at(left + 12) << "\" x2=\"" << at(left + 36) << "\" y1=\"" << at(legend_y - 4)
           << "\" y2=\"" << at(legend_y - 4) << "\" stroke=\"#888\" stroke-dasharray=\"6 4\"/><text x=\""
           << at(left + 42) << "\" y=\"" << at(legend_y) << "\">ideal</text>";
    for (auto& [name, points] : series) {
        const char* stroke = palette[colour++ % std::size(palette)];
        std::sort(points.begin(), points.end(),
                  [](const speedup_point& a, const speedup_point& b) { return a.workers < b.workers; });
        out << "<g class=\"series\" data-series=\"" << escaped(name) << "\" stroke=\"" << stroke
            << "\" fill=\"" << stroke << "\">\n<polyline fill=\"none\" stroke-width=\"2\" points=\"";
        for (const auto& p : points) out << at(x(p.workers)) << "," << at(y(p.speedup)) << " ";
        out << "\"/>\n";
        for (const auto& p : points) {
            std::string tip = p.label + ": speedup " + fixed(p.speedup, 2);
            if (p.interval) {
                tip += ", 95% interval " + fixed(p.interval->low, 2) + " to " + fixed(p.interval->high, 2);
                const double cx = x(p.workers);
                out << "<path class=\"interval\" d=\"M" << at(cx) << " " << at(y(p.interval->low)) << "V"
                    << at(y(p.interval->high)) << "M" << at(cx - 5) << " " << at(y(p.interval->low)) << "h10M"
                    << at(cx - 5) << " " << at(y(p.interval->high)) << "h10\" stroke-width=\"1.5\"/>";
            }
            out << "<circle data-cell=\"" << escaped(p.label) << "\" data-speedup=\"" << fixed(p.speedup, 2)
                << "\" cx=\"" << at(x(p.workers)) << "\" cy=\"" << at(y(p.speedup)) << "\" r=\"4\"><title>"
                << escaped(tip) << "</title></circle>\n";
        }
        out << "</g>\n";
        legend_y += 18;
        legend << "<line x1=\"" << at(left + 12) << "\" x2=\"" << at(left + 36) << "\" y1=\""
               << at(legend_y - 4) << "\" y2=\"" << at(legend_y - 4) << "\" stroke=\"" << stroke
               << "\" stroke-width=\"2\"/><text x=\"" << at(left + 42) << "\" y=\"" << at(legend_y) << "\">"
               << escaped(name) << "</text>";
    }
    legend << "</g>\n";
    out << legend.str() << "</svg>\n<figcaption>" << index + 1 << ". " << escaped(result.context.processor)
        << ": speedup against the serial program of the same order (median over median). Bars: the 95% "
           "interval of the Hodges-Lehmann estimate of that ratio, drawn where both cells have at least "
        << interval_min_runs << " valid runs.</figcaption></figure>\n";
    return out.str();
}

// corvane-kernels' ns/term per kernel as bars, the floors in grey.
std::string kernel_chart(const std::vector<kernel_figure>& kernels, std::size_t index) {
    constexpr double width = 640, label_w = 250, bar_w = 280, row_h = 22, top_margin = 8, bottom = 40;
    const double height = top_margin + row_h * static_cast<double>(kernels.size()) + bottom;
    double slowest = 0;
    for (const auto& k : kernels) slowest = std::max(slowest, k.ns_per_term);
    if (!(slowest > 0)) slowest = 1;
    std::ostringstream out;
    out << "<figure><svg class=\"chart\" id=\"kernels-" << index << "\" xmlns=\"http://www.w3.org/2000/svg\" "
        << "width=\"" << width << "\" height=\"" << at(height) << "\" viewBox=\"0 0 " << width << " "
        << at(height) << "\" role=\"img\" aria-label=\"nanoseconds per term by kernel\">\n";
    double row_y = top_margin;
    for (const auto& k : kernels) {
        const double length = std::max(0.0, k.ns_per_term) / slowest * bar_w;
        const std::string name =
            k.name + (k.threads > 1 ? ", " + std::to_string(k.threads) + " threads" : "");
        out << "<text x=\"" << at(label_w - 8) << "\" y=\"" << at(row_y + 15) << "\" text-anchor=\"end\">"
            << escaped(name) << "</text><rect x=\"" << at(label_w) << "\" y=\"" << at(row_y + 3)
            << "\" width=\"" << at(length) << "\" height=\"" << at(row_h - 6) << "\" fill=\""
            << (k.vs_floor ? palette[0] : "#aaa") << "\"/><text x=\"" << at(label_w + length + 6) << "\" y=\""
            << at(row_y + 15) << "\">" << fixed(k.ns_per_term, 3)
            << (k.vs_floor ? " (× " + fixed(*k.vs_floor, 2) + ")" : " floor") << "</text>\n";
        row_y += row_h;
    }
    out << "<path d=\"M" << at(label_w) << " " << at(top_margin) << "V" << at(row_y) << "H"
        << at(label_w + bar_w) << "\" fill=\"none\" stroke=\"#444\"/><text x=\"" << at(label_w + bar_w / 2)
        << "\" y=\"" << at(height - 10)
        << "\" text-anchor=\"middle\">ns per term (shorter is faster; grey: the floors)</text>\n</svg>"
        << "</figure>\n";
    return out.str();
}

// `align` has an 'r' for each column of numbers, which line up on the right.
std::string table_html(const table& rows, const std::string& attributes, const std::string& align) {
    std::ostringstream out;
    out << "<table " << attributes << "><thead><tr>";
    for (const auto& heading : rows[0]) out << "<th>" << escaped(heading) << "</th>";
    out << "</tr></thead><tbody>\n";
    for (std::size_t r = 1; r < rows.size(); ++r) {
        out << "<tr>";
        for (std::size_t col = 0; col < rows[r].size(); ++col)
            out << "<td" << (align[col] == 'r' ? " class=\"num\"" : "") << ">" << escaped(rows[r][col])
                << "</td>";
        out << "</tr>\n";
    }
    out << "</tbody></table>\n";
    return out.str();
}

std::string invalid_runs(const std::vector<named_result>& results) {
    table rows = {{"result", "cell", "run", "reason"}};
    for (std::size_t i = 0; i < results.size(); ++i)
        for (const auto& c : results[i].result.cells)
            for (const auto& [run, reason] : invalid_runs_of(c))
                rows.push_back({std::to_string(i + 1), cell_label(c), run, reason});
    if (rows.size() == 1) return "<p id=\"invalid-runs\">None: every run printed a valid report.</p>\n";
    return table_html(rows, "id=\"invalid-runs\"", "rlrl");
}

}  // namespace

std::string html_report(const std::vector<named_result>& results,
                        const std::vector<named_kernels>& kernel_files) {
    std::ostringstream out;
    out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        << "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src "
           "'unsafe-inline'\">\n"
        << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        << "<title>Corvane results</title>\n<style>" << style << "</style></head>\n<body>\n"
        << "<h1>Corvane results</h1>\n<p class=\"note\">" << results.size()
        << " result(s), each measured on the processor its context names. Times are in seconds as the "
           "programs reported them.</p>\n";

    out << "<h2>What was measured</h2>\n";
    if (results.size() > 1)
        out << "<p class=\"note\">A field the results share is shown once, across their columns; "
               "<span class=\"mark\">differs</span> marks the fields that differ.</p>\n";
    out << context_tables(results);

    out << "<h2>Results</h2>\n"
        << "<p class=\"note\">Median and median absolute deviation (MAD, as a share of the median) over the "
           "valid runs; speedup against the serial program of the same order, with the 95% interval of its "
           "Hodges-Lehmann estimate where both cells have at least "
        << interval_min_runs << " valid runs. Marks: <span class=\"mark\">unstable</span> the MAD is above "
        << fixed(unstable_mad * 100, 0)
        << "% of the median; <span class=\"mark\">contended</span> its threads did not get the processors "
           "they are counted with (CPU time or preemptions show it), so its speedup is doubtful, as is "
           "one whose <span class=\"mark\">baseline</span> was contended; <span class=\"mark\">N "
           "ticks</span> the median is under "
        << fixed(fewest_ticks, 0)
        << " ticks of the programs' 1 ms clock, good to about one tick, with the harness's own clock over "
           "the whole process (start-up and exit included) beside it; a MAD after "
        << within_tick_mark
        << " is within one tick and shown as one tick, an upper bound; "
           "<span class=\"mark bad\">invalid</span> runs whose report was not valid (listed below).</p>\n"
        << results_table(results);

    out << "<h2>Speedup against threads</h2>\n<div class=\"figures\">\n";
    for (std::size_t i = 0; i < results.size(); ++i) out << speedup_chart(results[i].result, i);
    out << "</div>\n";

    out << "<h2>What SIMD buys</h2>\n";
    bool any_kernels = false;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const auto& kernels = results[i].result.kernels;
        if (kernels.empty()) continue;
        any_kernels = true;
        out << "<h3>" << i + 1 << ". " << escaped(results[i].result.context.processor) << "</h3>\n"
            << "<div class=\"figures\">"
            << table_html(kernel_rows(kernels), "class=\"kernels\" data-result=\"" + std::to_string(i) + "\"",
                          "lrrr")
            << kernel_chart(kernels, i) << "</div>\n";
    }
    for (std::size_t j = 0; j < kernel_files.size(); ++j) {
        const std::size_t index = results.size() + j;
        any_kernels = true;
        out << "<h3>" << escaped(kernel_files[j].name) << "</h3>\n"
            << "<div class=\"figures\">"
            << table_html(kernel_rows(kernel_files[j].figures),
                          "class=\"kernels\" data-file=\"" + std::to_string(j) + "\"", "lrrr")
            << kernel_chart(kernel_files[j].figures, index) << "</div>\n";
    }
    if (!any_kernels)
        out << "<p class=\"note\">No figures of corvane-kernels: run the suite with --kernels, or give "
               "corvane-kernels' --json file to report with --kernels.</p>\n";

    out << "<h2>Invalid runs</h2>\n" << invalid_runs(results);
    out << "</body></html>\n";
    return out.str();
}

}  // namespace corvane::bench
