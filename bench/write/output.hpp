// The exports a user asked for: every text rendered first by its reporter
// (gnuplot run for the plot), then committed as one set (file_commit.hpp).
// Problems throw bench_error: usage ones before any run, "results not
// written" after.
#pragma once

#include <string>
#include <vector>

#include "bench/model/model.hpp"
#include "bench/report/report.hpp"

namespace corvane::bench {

// Before any run: the paths can be written as they will be, and none is one
// of the `inputs` read. Touches no file. Standard output closed from the
// start is "results not written" (3), any other problem a usage one (2).
void check_export_paths(const std::vector<export_request>& exports,
                        const std::vector<std::string>& inputs = {});

// Whether an export goes to standard output, so the table must not.
bool exports_to_stdout(const std::vector<export_request>& exports);

// The text of one export of the results.
std::string render(export_format format, const suite_result& result);

// Runs gnuplot on the script; the SVG, or throws bench_error.
std::string render_svg(const std::string& gnuplot, const std::string& script);

// Renders every export and writes them all, or none.
void write_results(const std::vector<export_request>& exports, const suite_result& result);

// Writes texts already rendered, texts[i] to exports[i], all or none.
void write_texts(const std::vector<export_request>& exports, const std::vector<std::string>& texts);

}  // namespace corvane::bench
