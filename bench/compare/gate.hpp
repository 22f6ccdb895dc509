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
#include "bench/model/verdict.hpp"

namespace corvane::bench {

// False alarms on two results of one build at most this often: a gate that
// cries wolf in CI is switched off.
inline constexpr double gate_level = 0.05;

// One cell as the two results hold it.
struct cell_pair {
    std::string label;
    bool in_old = false, in_new = false;
    std::vector<double> old_times, new_times;  // the valid runs' reported seconds
    int new_invalid = 0;                       // runs of NEW that are not valid
    std::string new_invalid_reason;            // the first one's reason, where known
    // Warm-ups of NEW that are not valid: a build that fails its first,
    // cold start is broken, whatever its counted runs did.
    int new_invalid_warmups = 0;
    std::string new_warmup_reason = {};
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
