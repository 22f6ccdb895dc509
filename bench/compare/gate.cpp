#include "bench/compare/gate.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bench/base/error.hpp"
#include "bench/base/text.hpp"
#include "bench/base/tick.hpp"

namespace corvane::bench {

namespace {

// A run count large enough for any cell count a machine has: C(2n, n)
// outgrows every family long before.
constexpr std::size_t most_runs_named = 1000;

// The cells and, with two or more, all of them together: the Holm family.
std::size_t family_of(std::size_t compared) { return compared + (compared >= 2 ? 1 : 0); }

bool reachable(double smallest_p, std::size_t family) {
    return smallest_p * static_cast<double>(family) < gate_level;
}

std::size_t runs_for_single_cell(std::size_t family) {
    for (std::size_t n = 1; n < most_runs_named; ++n)
        if (reachable(smallest_one_sided_p(n, n), family)) return n;
    return most_runs_named;
}

change verdict_of(double ratio, double p_slower_holm, double p_faster_holm, double min_effect) {
    if (p_slower_holm < gate_level && ratio > 1.0 && ratio - 1.0 >= min_effect) return change::slower;
    if (p_faster_holm < gate_level && ratio < 1.0 && 1.0 - ratio >= min_effect) return change::faster;
    return change::same;
}

severity level_of(change verdict) {
    switch (verdict) {
        case change::slower:
        case change::lost:
            return severity::fault;
        case change::only_in_new:
        case change::not_compared:
            return severity::warning;
        case change::faster:
        case change::same:
            return severity::note;
    }
    return severity::note;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

}  // namespace

namespace {

// Each cell on its own: lost, only in new, not compared, or compared, with
// its ratio and raw p-values.
cell_verdict cell_verdict_of(const cell_pair& c) {
    cell_verdict v;
    v.label = c.label;
    const std::size_t new_runs = c.new_times.size() + static_cast<std::size_t>(c.new_invalid);
    if (c.in_old && !c.in_new) {
        v.verdict = change::lost;
        v.why = "missing in the new result";
    } else if (c.in_old && c.new_invalid > 0) {
        v.verdict = change::lost;
        v.why = std::to_string(c.new_invalid) + " of " + std::to_string(new_runs) +
                " runs invalid in the new result" +
                (c.new_invalid_reason.empty() ? "" : ", the first: " + c.new_invalid_reason);
    } else if (c.in_old && c.new_invalid_warmups > 0) {
        v.verdict = change::lost;
        v.why = std::to_string(c.new_invalid_warmups) + " warm-up(s) invalid in the new result" +
                (c.new_warmup_reason.empty() ? "" : ", the first: " + c.new_warmup_reason);
    } else if (c.in_old && c.new_times.empty()) {
        v.verdict = change::lost;
        v.why = "no runs in the new result";
    } else if (!c.in_old) {
        v.verdict = change::only_in_new;
        v.why = "only in the new result";
    } else if (c.old_times.empty()) {
        v.why = "no valid runs in the old result";
    } else {
        v.compared = true;
        v.old_median_s = median_of(c.old_times);
        v.new_median_s = median_of(c.new_times);
        v.ratio = widened_by_tick(ratio_of(c.old_times, c.new_times), v.new_median_s, v.old_median_s);
        const one_sided_ps p = one_sided_tests(c.old_times, c.new_times);
        v.p_slower = p.b_larger;
        v.p_faster = p.b_smaller;
    }
    return v;
}

// One Holm family per direction: the compared cells, then all of them
// together (geometric mean ratio, Fisher's combined p-values).
void decide_families(comparison_verdict& out, const std::vector<std::size_t>& compared, double min_effect) {
    std::vector<double> slower, faster;
    double log_sum = 0.0;
    for (std::size_t i : compared) {
        slower.push_back(out.cells[i].p_slower);
        faster.push_back(out.cells[i].p_faster);
        log_sum += std::log(out.cells[i].ratio.ratio);
    }
    if (compared.size() >= 2) {
        cell_verdict whole;
        whole.label = "all " + std::to_string(compared.size()) + " cells together";
        whole.compared = true;
        const double mean = std::exp(log_sum / static_cast<double>(compared.size()));
        whole.ratio = {mean, mean, mean};
        whole.p_slower = fisher_combined_p(slower);
        whole.p_faster = fisher_combined_p(faster);
        slower.push_back(whole.p_slower);
        faster.push_back(whole.p_faster);
        out.together = whole;
    }
    const std::vector<double> slower_holm = holm_adjusted(slower), faster_holm = holm_adjusted(faster);
    const auto decide = [&](cell_verdict& v, std::size_t k) {
        v.p_slower_holm = slower_holm[k];
        v.p_faster_holm = faster_holm[k];
        v.verdict = verdict_of(v.ratio.ratio, v.p_slower_holm, v.p_faster_holm, min_effect);
    };
    for (std::size_t k = 0; k < compared.size(); ++k) decide(out.cells[compared[k]], k);
    if (out.together) decide(*out.together, compared.size());
}

// Whether each compared cell has runs enough to be called slower or faster
// on its own, and whether all of them together do.
void note_reach(comparison_verdict& out, const std::vector<cell_pair>& cells,
                const std::vector<std::size_t>& compared) {
    const std::size_t family = family_of(compared.size());
    std::vector<double> smallest;  // the most extreme p-value each compared cell can give
    for (std::size_t i : compared) {
        smallest.push_back(smallest_one_sided_p(cells[i].old_times.size(), cells[i].new_times.size()));
        out.cells[i].reachable_alone = reachable(smallest.back(), family);
    }
    out.together_reachable = compared.size() >= 2 && reachable(fisher_combined_p(smallest), family);
}

std::vector<std::string> labels_where(const std::vector<cell_verdict>& cells,
                                      bool (*keep)(const cell_verdict&), bool with_why = false) {
    std::vector<std::string> labels;
    for (const cell_verdict& v : cells)
        if (keep(v)) labels.push_back(with_why ? v.label + " (" + v.why + ")" : v.label);
    return labels;
}

}  // namespace

comparison_verdict judge_comparison(const std::vector<cell_pair>& cells, double min_effect) {
    comparison_verdict out;
    std::vector<std::size_t> compared;  // indices into out.cells
    for (const cell_pair& c : cells) {
        out.cells.push_back(cell_verdict_of(c));
        if (out.cells.back().compared) compared.push_back(out.cells.size() - 1);
    }
    decide_families(out, compared, min_effect);
    for (cell_verdict& v : out.cells) v.level = level_of(v.verdict);
    if (out.together) out.together->level = level_of(out.together->verdict);
    note_reach(out, cells, compared);

    const bool any_lost = std::any_of(out.cells.begin(), out.cells.end(),
                                      [](const cell_verdict& v) { return v.verdict == change::lost; });
    const bool any_slower = std::any_of(out.cells.begin(), out.cells.end(),
                                        [](const cell_verdict& v) { return v.verdict == change::slower; });
    const bool whole_slower = out.together && out.together->verdict == change::slower;
    out.gate = any_lost                     ? gate_outcome::lost
               : any_slower || whole_slower ? gate_outcome::slower
                                            : gate_outcome::passed;
    out.messages = verdict_messages(out, min_effect);
    return out;
}

std::vector<gate_message> verdict_messages(const comparison_verdict& verdict, double min_effect) {
    const auto& cells = verdict.cells;
    const std::vector<std::string> lost = labels_where(
        cells, [](const cell_verdict& v) { return v.verdict == change::lost; }, true);
    const std::vector<std::string> compared =
        labels_where(cells, [](const cell_verdict& v) { return v.compared; });
    const std::vector<std::string> alone =
        labels_where(cells, [](const cell_verdict& v) { return v.compared && !v.reachable_alone; });
    const std::vector<std::string> only_new =
        labels_where(cells, [](const cell_verdict& v) { return v.verdict == change::only_in_new; });
    const std::vector<std::string> not_compared = labels_where(
        cells, [](const cell_verdict& v) { return !v.compared && v.verdict == change::not_compared; });
    const bool any_slower = std::any_of(cells.begin(), cells.end(),
                                        [](const cell_verdict& v) { return v.verdict == change::slower; });
    const bool whole_slower = verdict.together && verdict.together->verdict == change::slower;

    std::vector<gate_message> messages;
    if (!lost.empty())
        messages.push_back(
            {severity::warning, "runs lost in the new result, which fail --fail-on-slower: " + joined(lost)});
    if (compared.empty())
        messages.push_back({severity::warning, "no cell has valid runs in both results"});
    else
        messages.push_back(
            {severity::note, "slower or faster: one-sided p < " + fixed(gate_level, 2) +
                                 " after Holm's correction across " + std::to_string(compared.size()) +
                                 (compared.size() >= 2 ? " cells and all of them together" : " cell") +
                                 ", and the ratio at least " + formatted("%g%%", min_effect * 100.0) +
                                 " from 1; otherwise same"});
    if (!alone.empty()) {
        const std::string needed = std::to_string(runs_for_single_cell(family_of(compared.size())));
        if (alone.size() == compared.size() && !verdict.together_reachable)
            messages.push_back({severity::warning,
                                "too few runs: no verdict but same is possible, so "
                                "--fail-on-slower cannot fail on a slowdown (use --runs " +
                                    needed + " or more)"});
        else
            messages.push_back({severity::note,
                                std::to_string(alone.size()) + " of " + std::to_string(compared.size()) +
                                    " cells have too few runs to be called slower or faster on their own (" +
                                    needed + " runs each can): " + joined(alone) +
                                    (verdict.together_reachable ? "; all cells together still can be" : "")});
    }
    if (whole_slower && !any_slower)
        messages.push_back({severity::note, "no single cell is significantly slower, but all " +
                                                std::to_string(compared.size()) +
                                                " together are (geometric mean ratio " +
                                                fixed(verdict.together->ratio.ratio, 3) + ")"});
    if (!only_new.empty())
        messages.push_back({severity::note, "only in the new result, not gated: " + joined(only_new)});
    if (!not_compared.empty())
        messages.push_back(
            {severity::note, "no valid runs in the old result, not compared: " + joined(not_compared)});
    return messages;
}

int gate_exit_status(const comparison_verdict& verdict) {
    switch (verdict.gate) {
        case gate_outcome::lost:
            return runs_lost;
        case gate_outcome::slower:
            return slower_found;
        case gate_outcome::passed:
            return 0;
    }
    return 0;
}

std::string gate_failure(const comparison_verdict& verdict) {
    std::vector<std::string> lost, slower;
    for (const cell_verdict& v : verdict.cells) {
        if (v.verdict == change::lost) lost.push_back(v.label + " (" + v.why + ")");
        if (v.verdict == change::slower)
            slower.push_back(v.label + " (ratio " + fixed(v.ratio.ratio, 3) + ")");
    }
    if (verdict.together && verdict.together->verdict == change::slower)
        slower.push_back(verdict.together->label + " (geometric mean ratio " +
                         fixed(verdict.together->ratio.ratio, 3) + ")");
    switch (verdict.gate) {
        case gate_outcome::lost:
            return "--fail-on-slower: runs lost in the new result: " + joined(lost) +
                   (slower.empty() ? "" : "; significantly slower: " + joined(slower));
        case gate_outcome::slower:
            return "--fail-on-slower: significantly slower: " + joined(slower);
        case gate_outcome::passed:
            return "";
    }
    return "";
}

gate_reach reach_of(std::size_t cells, std::size_t runs) {
    gate_reach reach;
    const std::size_t family = family_of(cells);
    const double smallest = smallest_one_sided_p(runs, runs);
    reach.single_cell = cells > 0 && reachable(smallest, family);
    reach.together = cells >= 2 && reachable(fisher_combined_p(std::vector<double>(cells, smallest)), family);
    reach.runs_for_single_cell = runs_for_single_cell(family);
    return reach;
}

std::string reach_warning(std::size_t cells, std::size_t runs) {
    const gate_reach reach = reach_of(cells, runs);
    if (reach.single_cell || cells == 0) return "";
    const std::string needed = std::to_string(reach.runs_for_single_cell);
    if (reach.together)
        return "with " + std::to_string(runs) + " runs a cell, compare can call these " +
               std::to_string(cells) +
               " cells slower together but no single one of them (that needs --runs " + needed + ")";
    return "with " + std::to_string(runs) + " runs a cell, compare cannot call " +
           (cells == 1 ? std::string("this cell") : "any of these " + std::to_string(cells) + " cells") +
           " slower, and --fail-on-slower cannot fail (use --runs " + needed + " or more)";
}

}  // namespace corvane::bench
