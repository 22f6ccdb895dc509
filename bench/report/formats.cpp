#include "bench/context.hpp"
#include "bench/report/across.hpp"
#include "bench/report/report.hpp"

namespace corvane::bench {

namespace {

// Markdown needs a blank line between the table and the text under it.
std::string footnotes_after_table(const std::vector<cell>& cells) {
    const std::string notes = table_footnotes(cells);
    return notes.empty() ? "" : "\n" + notes;
}

}  // namespace

const char* option_of(export_format format) {
    switch (format) {
        case export_format::json:
            return "--json";
        case export_format::csv:
            return "--csv";
        case export_format::markdown:
            return "--markdown";
        case export_format::plot:
            return "--plot";
        case export_format::html:
            return "--html";
    }
    return "";
}

const char* help_of(export_format format) {
    switch (format) {
        case export_format::json:
            return "write the results as JSON (- for standard output)";
        case export_format::csv:
            return "write every run as CSV (- for standard output)";
        case export_format::markdown:
            return "write the table as Markdown (- for standard output)";
        case export_format::plot:
            return "draw speedup against threads as SVG (needs gnuplot)";
        case export_format::html:
            return "write the report as one HTML page, charts included (- for standard output)";
    }
    return "";
}

std::string render(export_format format, const suite_result& result) {
    switch (format) {
        case export_format::json:
            return json_text(result);
        case export_format::csv:
            return csv_rows(result.cells);
        case export_format::markdown:
            return markdown_table(result_rows(result.cells)) + footnotes_after_table(result.cells);
        case export_format::plot:
            return render_svg(find_on_path("gnuplot"), plot_script(result.cells));
        case export_format::html:
            return html_report({{"this run", result}});
    }
    return "";
}

}  // namespace corvane::bench
