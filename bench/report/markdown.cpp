#include <sstream>

#include "bench/report/across_results.hpp"
#include "bench/report/context_lines.hpp"
#include "bench/report/report.hpp"

namespace corvane::bench {

std::string markdown_text(const std::string& text) {
    std::string out;
    for (char c : printable(text)) switch (c) {
            case '<':  // HTML, which renderers pass through
                out += "&lt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '|':  // would end a table's cell
            case '[':  // would open a link or, after !, an image
            case ']':
            case '\\':  // would escape what follows it
                out += '\\';
                out += c;
                break;
            default:
                out += c;
        }
    return out;
}

std::string markdown_table(const table& rows) {
    std::ostringstream out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        out << "|";
        for (const auto& field : rows[r]) out << " " << markdown_text(field) << " |";
        out << "\n";
        if (r == 0) {
            out << "|";
            for (std::size_t col = 0; col < rows[r].size(); ++col)
                out << (col == 0 || col + 1 == rows[r].size() ? "---|" : "---:|");
            out << "\n";
        }
    }
    return out.str();
}

namespace {

// What the marks in a table mean, after the blank line Markdown needs
// between a table and the text under it; nothing where no mark is shown.
std::string notes_under_table(const std::vector<cell>& cells) {
    const std::string notes = table_footnotes(cells);
    return notes.empty() ? "" : "\n" + notes;
}

}  // namespace

std::string markdown_results(const suite_result& result) {
    return markdown_table(result_rows(result.cells)) + notes_under_table(result.cells);
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
    out << notes_under_table(all);

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
