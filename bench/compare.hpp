// compare OLD NEW: whether the programs got faster, cell by cell.
#pragma once

#include <string>
#include <vector>

#include "bench/model.hpp"
#include "bench/report/report.hpp"

namespace corvane::bench {

// Per cell: the ratio new / old as the Hodges-Lehmann estimate (the median
// of all pairwise ratios of a new time to an old one) with its
// distribution-free 95% confidence interval; the two-sided Mann-Whitney U
// test's p-value after Holm's correction across cells; and a verdict,
// faster or slower only when significant and the estimate at least
// min_effect away from 1. The contexts are compared field by field.
struct comparison {
    table rows;
    std::vector<std::string> context_differences;  // one line each
    std::vector<std::string> notes;                // printed under the table
};
comparison compare_results(const suite_result& old_result, const suite_result& new_result, double min_effect);

}  // namespace corvane::bench
