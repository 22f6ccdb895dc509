// compare's reporters: the table, the notes and warnings, and the JSON
// document, each read from the one comparison (model/verdict.hpp).
#pragma once

#include <string>
#include <vector>

#include "bench/model/verdict.hpp"
#include "bench/report/report.hpp"

namespace corvane::bench {

// The cells, then all of them together, as the terminal and Markdown show
// them: medians, ratio, its interval ("inf" for an open end), p and verdict.
table comparison_table(const comparison& result);

// The verdict's messages of one severity: notes go under the table,
// warnings to standard error, one line each.
std::vector<std::string> messages_of(const comparison& result, severity level);

// The comparison as one JSON document (comparison_json.cpp).
std::string comparison_json(const comparison& result);

}  // namespace corvane::bench
