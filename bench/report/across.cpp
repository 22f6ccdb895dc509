#include "bench/report/across.hpp"

#include <algorithm>
#include <iterator>
#include <set>
#include <sstream>

#include "bench/report/context.hpp"

namespace corvane::bench {

std::vector<std::string> cell_labels(const std::vector<named_result>& results) {
    std::vector<std::string> labels;
    std::set<std::string> seen;
    for (const auto& named : results)
        for (const auto& c : named.result.cells)
            if (seen.insert(cell_label(c)).second) labels.push_back(cell_label(c));
    return labels;
}

const cell* find_cell(const suite_result& result, const std::string& label) {
    for (const auto& c : result.cells)
        if (cell_label(c) == label) return &c;
    return nullptr;
}

std::vector<std::string> cell_figures(const cell* c) {
    if (!c) return std::vector<std::string>(std::size(figure_columns), "-");
    const cell_statistics& r = c->statistics;
    const bool measured = r.valid_runs > 0;
    const auto& interval = r.scaled.speedup_interval;
    return {measured ? fixed(r.reported.median, 3) : "-",
            mad_text(r),
            std::to_string(r.valid_runs) + "/" + std::to_string(r.valid_runs + r.invalid_runs),
            r.parallelism ? fixed(*r.parallelism, 2) : "-",
            r.scaled.speedup ? fixed(*r.scaled.speedup, 2) + (r.doubtful_scaling ? doubtful_mark : "") : "-",
            interval ? "[" + fixed(interval->low, 2) + ", " + fixed(interval->high, 2) + "]" : "-"};
}

table kernel_rows(const std::vector<kernel_figure>& kernels) {
    table rows = {{"kernel", "threads", "ns/term", "× floor"}};
    for (const auto& k : kernels)
        rows.push_back({k.name, std::to_string(k.threads), fixed(k.ns_per_term, 3),
                        k.vs_floor ? fixed(*k.vs_floor, 2) : "floor"});
    return rows;
}

namespace {

// Text from a result file, made inert for a Markdown renderer that passes
// HTML through.
std::string markdown_text(const std::string& text) {
    std::string out;
    for (char c : printable(text)) out += c == '<' ? "&lt;" : c == '&' ? "&amp;" : std::string(1, c);
    return out;
}

table inert(table rows) {
    for (auto& row : rows)
        for (auto& field : row) field = markdown_text(field);
    return rows;
}

}  // namespace

std::string markdown_report(const std::vector<named_result>& results,
                            const std::vector<named_kernels>& kernel_files) {
    std::ostringstream out;
    out << "# Corvane results\n";
    out << "\n## What was measured\n";
    for (const auto& named : results) {
        table rows = {{"", markdown_text(named.name)}};
        for (const auto& [label, value] : context_lines(named.result.context, context_view::report))
            rows.push_back({label, value});
        out << "\n" << markdown_table(inert(rows));
    }

    out << "\n## Results\n\nTimes in seconds as the programs reported them; speedup against the serial "
           "program of the same order, with the 95% interval of its Hodges-Lehmann estimate.\n\n";
    table rows = {{"cell"}};
    for (std::size_t i = 0; i < results.size(); ++i) {
        for (const auto& column : figure_columns)
            rows[0].push_back(std::to_string(i + 1) + ": " + column.heading);
        rows[0].push_back(std::to_string(i + 1) + ": notes");
    }
    for (const auto& label : cell_labels(results)) {
        rows.push_back({label});
        for (const auto& named : results) {
            const cell* c = find_cell(named.result, label);
            for (auto& figure : cell_figures(c)) rows.back().push_back(figure);
            rows.back().push_back(c ? marks_text(c->statistics.marks) : "");
        }
    }
    out << markdown_table(inert(rows)) << "\n";
    for (std::size_t i = 0; i < results.size(); ++i)
        out << i + 1 << ": " << markdown_text(results[i].name) << "\n";
    // What the marks in the table mean, once for all the results.
    std::vector<cell> all;
    for (const auto& named : results)
        all.insert(all.end(), named.result.cells.begin(), named.result.cells.end());
    if (const std::string notes = table_footnotes(all, true); !notes.empty()) out << "\n" << notes;

    std::string invalid;
    for (const auto& named : results)
        for (const auto& c : named.result.cells)
            for (std::size_t run = 0; run < c.samples.size(); ++run)
                if (!c.samples[run].valid)
                    invalid += "- " +
                               markdown_text(named.name + ": " + cell_label(c) + " run " +
                                             std::to_string(run + 1) + ": " + c.samples[run].reason) +
                               "\n";
    out << "\n## Invalid runs\n\n" << (invalid.empty() ? "None.\n" : invalid);

    for (const auto& named : results)
        if (!named.result.kernels.empty())
            out << "\n## What SIMD buys: " << markdown_text(named.name) << "\n\n"
                << markdown_table(inert(kernel_rows(named.result.kernels)));
    for (const auto& file : kernel_files)
        out << "\n## What SIMD buys: " << markdown_text(file.name) << "\n\n"
            << markdown_table(inert(kernel_rows(file.figures)));
    return out.str();
}

}  // namespace corvane::bench
