// compare's verdict as data: each cell's, all cells' together, the gate's
// outcome and the notes and warnings in words. The gate (compare/gate.hpp)
// makes it once; the reporters (report/comparison.hpp) only show it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/base/stats.hpp"
#include "bench/model/model.hpp"

namespace corvane::bench {

enum class change { faster, same, slower, lost, only_in_new, not_compared };
const char* change_name(change c);  // "faster", "same", "slower", "lost runs", ...

struct cell_verdict {
    std::string label;
    change verdict = change::not_compared;
    std::string why;        // lost, only in new, not compared: in words
    bool compared = false;  // valid runs in both, and none lost
    double old_median_s = 0, new_median_s = 0;
    // new / old, Hodges-Lehmann with its 95% interval, widened by one tick
    // of the programs' clock on each median (tick.hpp).
    ratio_estimate ratio;
    // One-sided: new slower than old; new faster than old. Raw, and after
    // Holm's correction within the family of that direction.
    double p_slower = 1, p_slower_holm = 1, p_faster = 1, p_faster_holm = 1;
    // fault: what fails the gate (slower, lost); warning: not compared or
    // only in new; note: faster or same.
    severity level = severity::note;
    // A compared cell with runs enough to be called slower or faster on its
    // own, within its Holm family.
    bool reachable_alone = false;
};

// note: under the table; warning: on standard error.
struct gate_message {
    severity level;
    std::string text;
};

enum class gate_outcome { passed, slower, lost };

struct comparison_verdict {
    std::vector<cell_verdict> cells;  // in the order given
    // All compared cells together, when there are two or more: the geometric
    // mean of their ratios (no interval) and Fisher's combined p-values.
    std::optional<cell_verdict> together;
    bool together_reachable = false;  // runs enough for all cells together to be called slower
    gate_outcome gate = gate_outcome::passed;
    std::vector<gate_message> messages;  // for under the table or standard error
};

// One comparison: its verdict, how the two contexts differ (one line each)
// and the smallest effect it was judged at (0.01 for 1%).
struct comparison {
    comparison_verdict verdict;  // the new result's cells, then those only in the old
    std::vector<std::string> context_differences;
    double min_effect = 0;
};

}  // namespace corvane::bench
