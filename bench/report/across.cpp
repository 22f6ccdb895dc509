#include "bench/report/across.hpp"

#include <algorithm>
#include <iterator>
#include <sstream>
#include <unordered_map>

#include "bench/report/context.hpp"

namespace corvane::bench {

std::vector<cells_of_label> cells_across(const std::vector<named_result>& results) {
    std::vector<cells_of_label> rows;
    std::unordered_map<std::string, std::size_t> row_of;
    for (std::size_t i = 0; i < results.size(); ++i)
        for (const auto& c : results[i].result.cells) {
            const std::string label = cell_label(c);
            const auto [at, added] = row_of.emplace(label, rows.size());
            if (added) rows.push_back({label, std::vector<const cell*>(results.size(), nullptr)});
            rows[at->second].in[i] = &c;
        }
    return rows;
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

std::string markdown_report(const std::vector<named_result>& results,
                            const std::vector<named_kernels>& kernel_files) {
    std::ostringstream out;
    out << "# Corvane results\n";
    out << "\n## What was measured\n";
    for (const auto& named : results) {
        table rows = {{"", named.name}};
        for (const auto& [label, value] : context_lines(named.result.context, context_view::report))
            rows.push_back({label, value});
        out << "\n" << markdown_table(rows);
    }

    out << "\n## Results\n\nTimes in seconds as the programs reported them; speedup against the serial "
           "program of the same order, with the 95% interval of its Hodges-Lehmann estimate.\n\n";
    table rows = {{"cell"}};
    for (std::size_t i = 0; i < results.size(); ++i) {
        for (const auto& column : figure_columns)
            rows[0].push_back(std::to_string(i + 1) + ": " + column.heading);
        rows[0].push_back(std::to_string(i + 1) + ": notes");
    }
    for (const auto& across : cells_across(results)) {
        rows.push_back({across.label});
        for (const cell* c : across.in) {
            for (auto& figure : cell_figures(c)) rows.back().push_back(figure);
            rows.back().push_back(c ? marks_text(c->statistics.marks) : "");
        }
    }
    out << markdown_table(rows) << "\n";
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
            for (const auto& [run, reason] : invalid_runs_of(c))
                invalid += "- " +
                           markdown_text(named.name + ": " + cell_label(c) + " " + run + ": " + reason) +
                           "\n";
    out << "\n## Invalid runs\n\n" << (invalid.empty() ? "None.\n" : invalid);

    for (const auto& named : results)
        if (!named.result.kernels.empty())
            out << "\n## What SIMD buys: " << markdown_text(named.name) << "\n\n"
                << markdown_table(kernel_rows(named.result.kernels));
    for (const auto& file : kernel_files)
        out << "\n## What SIMD buys: " << markdown_text(file.name) << "\n\n"
            << markdown_table(kernel_rows(file.figures));
    return out.str();
}

}  // namespace corvane::bench
