#include "bench/report/report.hpp"

namespace corvane::bench {

namespace {

struct format_option {
    export_format format;
    const char* option;
    const char* help;
};

const format_option format_options[] = {
    {export_format::json, "--json", "write the results as JSON (- for standard output)"},
    {export_format::csv, "--csv", "write every run as CSV (- for standard output)"},
    {export_format::markdown, "--markdown", "write the table as Markdown (- for standard output)"},
    {export_format::plot, "--plot", "draw speedup against threads as SVG (needs gnuplot)"},
    {export_format::html, "--html",
     "write the report as one HTML page, charts included (- for standard output)"},
};

const format_option& option_entry(export_format format) {
    for (const auto& entry : format_options)
        if (entry.format == format) return entry;
    return format_options[0];
}

}  // namespace

const char* option_of(export_format format) { return option_entry(format).option; }

const char* help_of(export_format format) { return option_entry(format).help; }

}  // namespace corvane::bench
