// Writing the exports a user asked for: every text rendered first, then
// written as one set (see exports.hpp for how). Problems throw bench_error:
// usage ones before any run, "results not written" after.
#pragma once

#include <vector>

#include "bench/model.hpp"
#include "bench/report/report.hpp"

namespace corvane::bench {

// Before any run: the paths can be written as they will be. Touches no file.
void check_export_paths(const std::vector<export_request>& exports);

// Whether an export goes to standard output, so the table must not.
bool exports_to_stdout(const std::vector<export_request>& exports);

// Renders every export and writes them all, or none.
void write_exports(const std::vector<export_request>& exports, const suite_result& result);

// Writes texts already rendered, texts[i] to exports[i], all or none.
void write_texts(const std::vector<export_request>& exports, const std::vector<std::string>& texts);

}  // namespace corvane::bench
