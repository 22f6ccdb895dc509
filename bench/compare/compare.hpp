// compare OLD NEW: whether the programs got faster, cell by cell.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/compare/gate.hpp"
#include "bench/model/model.hpp"
#include "bench/model/verdict.hpp"

namespace corvane::bench {

// Per cell: the two medians, the ratio new / old as the Hodges-Lehmann
// estimate (the median of all pairwise ratios of a new time to an old one)
// with its distribution-free 95% interval, widened by the programs' clock
// tick; one-sided Mann-Whitney p-values after Holm's correction; and a
// verdict, all from the gate's one judgement (gate.hpp). The contexts are
// compared field by field. The reporters of report/comparison.hpp show it.
comparison compare_results(const suite_result& old_result, const suite_result& new_result, double min_effect);

}  // namespace corvane::bench
