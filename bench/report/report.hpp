// The reporters, one file per format: each turns the same suite_result into
// its own text. None decides anything (the harness judged once, and the
// model carries its judgements), and none runs a program or writes a file:
// write/output.hpp renders the exports by the table of formats.hpp, runs
// gnuplot for the plot and commits the files as a set.
#pragma once

#include <string>
#include <vector>

#include "bench/base/text.hpp"
#include "bench/model/model.hpp"

namespace corvane::bench {

using table = std::vector<std::vector<std::string>>;

// The rows the terminal and Markdown tables show, header first (rows.cpp):
// every column, or only those that fit a 100-column terminal.
table result_rows(const std::vector<cell>& cells, bool wide = true);
// A cell's marks as the tables write them: "1 invalid, unstable".
std::string marks_text(const std::vector<cell_mark>& marks);
// A scaling figure of a contended cell, or of one whose baseline was
// contended, carries this mark: doubtful.
inline constexpr const char* doubtful_mark = "?";
// A spread within one clock tick is shown as one tick, after this mark: at most.
inline constexpr const char* within_tick_mark = "≤";
// A cell's spread as the tables write it: "1.2%", "≤20.0%", or "-".
std::string mad_text(const cell_statistics& statistics);
// A cell's invalid runs as every format lists them, warm-ups first:
// "warm-up 1" or "run 3" beside its reason (rows.cpp).
struct invalid_run {
    std::string run, reason;
};
std::vector<invalid_run> invalid_runs_of(const cell& c);
// The lines under that table that explain its marks, or an empty string.
std::string table_footnotes(const std::vector<cell>& cells, bool wide = true);

// Terminal (terminal.cpp): aligned columns, names and notes left. Given a
// width, the last column (the notes) wraps onto lines of its own to keep
// within it.
inline constexpr std::size_t terminal_width = 100;
std::string terminal_table(const table& rows, std::size_t max_width = 0);
std::string warnings_text(const std::vector<std::string>& warnings);
std::string invalid_runs_text(const std::vector<cell>& cells);

// Markdown (markdown.cpp). Text is inert: printable, and no markup of
// its own (no HTML, links, images or cell ends), as on the HTML page.
std::string markdown_text(const std::string& text);
std::string markdown_table(const table& rows);

// CSV, RFC 4180 with CRLF, one row per run (csv.cpp).
std::string csv_rows(const std::vector<cell>& cells);

// JSON (json.cpp), by the field tables of json_fields.hpp, which the
// reader (bench/result_file.hpp) uses too.
std::string json_text(const suite_result& result);

// Speedup against threads, with the ideal line: a gnuplot script that
// draws it as SVG on standard output (plot.cpp).
std::string plot_script(const std::vector<cell>& cells);

// The export formats, each with its option (formats.cpp); their renderers
// are in the same table (formats.hpp).
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

}  // namespace corvane::bench
