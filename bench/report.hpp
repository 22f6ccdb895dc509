// The reporters, one per format: each turns the same cells and results into
// its own text, and none writes a file (exports.hpp does that, as a set).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/suite.hpp"

namespace corvane::bench {

using table = std::vector<std::vector<std::string>>;

// A number with this many decimals, as every table shows it.
std::string fixed(double value, int decimals);

// The rows the terminal and Markdown tables show, header first
// (report_rows.cpp).
table result_rows(const std::vector<cell>& cells, const std::vector<cell_result>& results);

// Terminal (report_terminal.cpp): aligned columns, names and notes left.
std::string terminal_table(const table& rows);
std::string context_text(const nlohmann::json& context, std::uint64_t seed);
std::string warnings_text(const std::vector<std::string>& warnings);
std::string invalid_runs_text(const std::vector<cell>& cells);

// Markdown (report_markdown.cpp).
std::string markdown_table(const table& rows);

// CSV, RFC 4180 with CRLF, one row per run (report_csv.cpp).
std::string csv_rows(const std::vector<cell>& cells);

// JSON, schema version 1 (report_json.cpp).
nlohmann::json to_json(std::uint64_t seed, const nlohmann::json& context, const std::vector<cell>& cells,
                       const std::vector<cell_result>& results);
// Reads a result file; throws std::runtime_error with a one-line reason.
nlohmann::json read_result(const std::string& path);

// Speedup against threads, with the ideal line, as SVG (report_plot.cpp).
std::string plot_script(const std::vector<cell>& cells, const std::vector<cell_result>& results);
// Runs gnuplot on the script; the SVG, or throws std::runtime_error.
std::string render_svg(const std::string& gnuplot, const std::string& script);

// compare OLD NEW (compare.cpp): per cell the ratio of medians with its 95%
// confidence interval, the U test's p-value after Holm's correction across
// cells, and a verdict; faster or slower only when significant and at least
// min_effect away from 1.
struct comparison {
    table rows;
    std::vector<std::string> context_differences;  // one line each
    std::vector<std::string> notes;                // printed under the table
};
comparison compare_results(const nlohmann::json& old_result, const nlohmann::json& new_result,
                           double min_effect);

}  // namespace corvane::bench
