// compare OLD NEW: whether the programs got faster, cell by cell.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/compare/gate.hpp"
#include "bench/model/model.hpp"
#include "bench/report/report.hpp"

namespace corvane::bench {

// Per cell: the two medians, the ratio new / old as the Hodges-Lehmann
// estimate (the median of all pairwise ratios of a new time to an old one)
// with its distribution-free 95% interval, widened by the programs' clock
// tick; one-sided Mann-Whitney p-values after Holm's correction; and a
// verdict, all from the gate's one judgement (gate.hpp). The contexts are
// compared field by field.
struct comparison {
    comparison_verdict verdict;                    // the new result's cells, then those only in the old
    table rows;                                    // the cells and all of them together, as data
    std::vector<std::string> context_differences;  // one line each
    double min_effect = 0;
};
comparison compare_results(const suite_result& old_result, const suite_result& new_result, double min_effect);

// The verdict's messages of one severity: notes go under the table,
// warnings to standard error, one line each.
std::vector<std::string> messages_of(const comparison& result, severity level);

// The comparison as one JSON document (compare_json.cpp).
std::string comparison_json(const comparison& result);

}  // namespace corvane::bench
