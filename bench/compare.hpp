// compare OLD NEW: whether the programs got faster, cell by cell.
#pragma once

#include <optional>
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

// One cell of both results, as data: the table, --json and --fail-on-slower
// all read these, so they cannot disagree.
struct cell_change {
    std::string label;
    bool compared = false;  // valid runs in both results; otherwise only verdict says why
    double old_median_s = 0, new_median_s = 0;
    ratio_estimate ratio;  // new / old
    double p = 1, p_holm = 1;
    std::string verdict;  // "faster", "slower", "same", or why the cell was not compared
    // fault: slower, what --fail-on-slower fails on; warning: not compared.
    severity level = severity::note;
};

// The one rule for a verdict: significant after the correction, and large.
const char* verdict_of(const ratio_estimate& ratio, double p_holm, double min_effect);

struct comparison {
    std::vector<cell_change> cells;                // the new result's cells, then those only in the old
    table rows;                                    // the same cells, as the table shows them
    std::vector<std::string> context_differences;  // one line each
    std::vector<std::string> notes;                // printed under the table
    double min_effect = 0;
    std::optional<double> geometric_mean;  // of the compared cells' ratios
    bool too_few_runs = false;             // no p-value could fall below 0.05: every verdict is same
};
comparison compare_results(const suite_result& old_result, const suite_result& new_result, double min_effect);

// Whether any cell is significantly slower: what --fail-on-slower gates on.
bool any_slower(const comparison& result);

// The comparison as one JSON document (compare_json.cpp).
std::string comparison_json(const comparison& result);

}  // namespace corvane::bench
