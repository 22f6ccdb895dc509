// The verdicts of compare OLD NEW, and the gate --fail-on-slower keeps: pure
// functions of the times both results hold, so that the table, the notes,
// the warnings and the exit status are read from one value and cannot
// disagree.
//
// The question the gate asks is one-sided: did NEW get slower? Each cell is
// tested one-sided (exact Mann-Whitney U, ties counted), and so are all
// cells together (Fisher's combination of the cells' p-values), and Holm's
// correction runs over the cells and the whole as one family. The whole is
// what lets 5 runs a cell catch a build that is slower everywhere, however
// many cells there are; the cells name a slowdown confined to one of them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "bench/base/error.hpp"
#include "bench/base/stats.hpp"
#include "bench/model/model.hpp"

namespace corvane::bench {

// False alarms on two results of one build at most this often: a gate that
// cries wolf in CI is switched off.
inline constexpr double gate_level = 0.05;

enum class change { faster, same, slower, lost, only_in_new, not_compared };
const char* change_name(change c);  // "faster", "same", "slower", "lost runs", ...

// One cell as the two results hold it.
struct cell_pair {
    std::string label;
    bool in_old = false, in_new = false;
    std::vector<double> old_times, new_times;  // the valid runs' reported seconds
    int new_invalid = 0;                       // runs of NEW that are not valid
    std::string new_invalid_reason;            // the first one's reason, where known
};

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

// The verdict of one comparison at this smallest effect (0.01 for 1%).
comparison_verdict judge_comparison(const std::vector<cell_pair>& cells, double min_effect);

// The verdict's notes and warnings in words, from its data alone: what
// judge_comparison puts in `messages`.
std::vector<gate_message> verdict_messages(const comparison_verdict& verdict, double min_effect);

// What compare --fail-on-slower exits with: 0, slower_found (4) or runs_lost (5).
int gate_exit_status(const comparison_verdict& verdict);

// Why the gate failed, one line for standard error; empty when it passed.
std::string gate_failure(const comparison_verdict& verdict);

// Before the runs: whether two results of `cells` cells with `runs` valid
// runs each can call a single cell slower, whether they can call all cells
// together slower, and the fewest runs with which a single cell can.
struct gate_reach {
    bool single_cell = false, together = false;
    std::size_t runs_for_single_cell = 0;
};
gate_reach reach_of(std::size_t cells, std::size_t runs);

// The warning for before the runs, or empty when a single cell can be called.
std::string reach_warning(std::size_t cells, std::size_t runs);

}  // namespace corvane::bench
