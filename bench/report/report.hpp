// The reporters, one file per format: each turns the same suite_result into
// its own text, and none writes a file (writer.hpp does that, as a set).
#pragma once

#include <string>
#include <vector>

#include "bench/model.hpp"

namespace corvane::bench {

using table = std::vector<std::vector<std::string>>;

// A number with this many decimals, as every table shows it.
std::string fixed(double value, int decimals);

// The rows the terminal and Markdown tables show, header first (rows.cpp).
table result_rows(const std::vector<cell>& cells);
// The lines under that table that explain its marks, or an empty string.
std::string table_footnotes(const std::vector<cell>& cells);

// Terminal (terminal.cpp): aligned columns, names and notes left.
std::string terminal_table(const table& rows);
std::string context_text(const run_context& context);
std::string warnings_text(const std::vector<std::string>& warnings);
std::string invalid_runs_text(const std::vector<cell>& cells);

// Markdown (markdown.cpp).
std::string markdown_table(const table& rows);

// CSV, RFC 4180 with CRLF, one row per run (csv.cpp).
std::string csv_rows(const std::vector<cell>& cells);

// JSON, schema version 1 (json.cpp): the only place the model has names.
std::string json_text(const suite_result& result);
// Reads a result file whole, validating the schema, and evaluates its
// cells; throws bench_error naming the file and, where one is at fault, the
// field.
suite_result read_result(const std::string& path);

// Speedup against threads, with the ideal line, as SVG (plot.cpp).
std::string plot_script(const std::vector<cell>& cells);
// Runs gnuplot on the script; the SVG, or throws bench_error.
std::string render_svg(const std::string& gnuplot, const std::string& script);

// The export formats, each with its option and one render function.
enum class export_format { json, csv, markdown, plot };
inline constexpr export_format export_formats[] = {export_format::json, export_format::csv,
                                                   export_format::markdown, export_format::plot};
const char* option_of(export_format format);  // "--json", ...
const char* help_of(export_format format);    // what --help says of it
struct export_request {
    export_format format;
    std::string path;  // "-" is standard output
};
std::string render(export_format format, const suite_result& result);

}  // namespace corvane::bench
