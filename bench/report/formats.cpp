#include "bench/report/formats.hpp"

#include "bench/report/html.hpp"

namespace corvane::bench {

namespace {

std::string json_of_run(const suite_result& result) { return json_text(result); }

std::string csv_of_run(const suite_result& result) { return csv_rows(result.cells); }

std::string plot_of_run(const suite_result& result) { return plot_script(result.cells); }

// The run's page is the one-result case of `report`'s.
std::string html_of_run(const suite_result& result) { return html_report({{"this run", result}}); }

const format_entry format_table[] = {
    {export_format::json, "--json", "write the results as JSON (- for standard output)", json_of_run, false,
     nullptr},
    {export_format::csv, "--csv", "write every run as CSV (- for standard output)", csv_of_run, false,
     nullptr},
    {export_format::markdown, "--markdown", "write the table as Markdown (- for standard output)",
     markdown_results, false, markdown_report},
    {export_format::plot, "--plot", "draw speedup against threads as SVG (needs gnuplot)", plot_of_run, true,
     nullptr},
    {export_format::html, "--html",
     "write the report as one HTML page, charts included (- for standard output)", html_of_run, false,
     html_report},
};

}  // namespace

const format_entry& format_of(export_format format) {
    for (const auto& entry : format_table)
        if (entry.format == format) return entry;
    return format_table[0];
}

const char* option_of(export_format format) { return format_of(format).option; }

const char* help_of(export_format format) { return format_of(format).help; }

}  // namespace corvane::bench
