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

// The rows the terminal and Markdown tables show, header first (rows.cpp):
// every column, or only those that fit a 100-column terminal.
table result_rows(const std::vector<cell>& cells, bool wide = true);
// The kernel each order chose: "strict sse2/divide, four-lane avx512/newton".
std::string plan_text(const std::map<std::string, order_plan>& plans);
// A scaling figure of a contended cell carries this mark: doubtful.
inline constexpr const char* doubtful_mark = "?";
// The lines under that table that explain its marks, or an empty string.
std::string table_footnotes(const std::vector<cell>& cells, bool wide = true);

// Terminal (terminal.cpp): aligned columns, names and notes left. Given a
// width, the last column (the notes) wraps onto lines of its own to keep
// within it.
inline constexpr std::size_t terminal_width = 100;
std::string terminal_table(const table& rows, std::size_t max_width = 0);
std::string context_text(const run_context& context);
std::string warnings_text(const std::vector<std::string>& warnings);
std::string invalid_runs_text(const std::vector<cell>& cells);

// Markdown (markdown.cpp).
std::string markdown_table(const table& rows);

// CSV, RFC 4180 with CRLF, one row per run (csv.cpp).
std::string csv_rows(const std::vector<cell>& cells);

// JSON, schema version 2, reading version 1 too (json.cpp): the only place the model has names.
std::string json_text(const suite_result& result);
// Reads a result file whole, validating the schema, and evaluates its
// cells; throws bench_error naming the file and, where one is at fault, the
// field.
suite_result read_result(const std::string& path);
// A saved file whole, up to the size a result can reach; throws bench_error.
std::string read_result_file(const std::string& path);

// Speedup against threads, with the ideal line, as SVG (plot.cpp).
std::string plot_script(const std::vector<cell>& cells);
// Runs gnuplot on the script; the SVG, or throws bench_error.
std::string render_svg(const std::string& gnuplot, const std::string& script);

// The export formats, each with its option and one render function.
enum class export_format { json, csv, markdown, plot, html };
inline constexpr export_format export_formats[] = {export_format::json, export_format::csv,
                                                   export_format::markdown, export_format::plot,
                                                   export_format::html};
const char* option_of(export_format format);  // "--json", ...
const char* help_of(export_format format);    // what --help says of it
struct export_request {
    export_format format;
    std::string path;  // "-" is standard output
};
std::string render(export_format format, const suite_result& result);

}  // namespace corvane::bench
