#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "bench/build_record.hpp"
#include "bench/compare.hpp"
#include "bench/report/context.hpp"
#include "bench/text.hpp"

namespace corvane::bench {

namespace {

// 1, 0.1, 2.5: a percentage as a person writes it.
std::string shortest(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// The context a result was measured in, as "what: value" for comparison.
// A field a file does not carry (empty or 0) is not compared.
std::map<std::string, std::string> comparable_context(const run_context& context) {
    std::map<std::string, std::string> fields;
    const auto add = [&fields](const std::string& name, const std::string& value) {
        if (!value.empty() && value != "0") fields[name] = value;
    };
    add("processor", context.processor);
    add("logical_cores", std::to_string(context.logical_cores));
    add("usable_cpus", std::to_string(context.usable_cpus));
    add("compiler", context.compiler);
    add("build_type", context.build_type);
    add("flags", context.flags);
    for (const auto& [order, plan] : context.kernel_plan) add("kernel plan (" + order + ")", plan.chosen);
    // The machine's shape and state, and where the threads ran.
    const machine_identity& machine = context.machine;
    if (machine.shape) add("topology", shape_text(*machine.shape));
    add("microcode", machine.microcode);
    add("hypervisor", machine.hypervisor);
    add("boost", machine.boost);
    add("binding", context.binding);
    for (const auto& [program, build] : context.program_builds) {
        add(program + " build", build.unknown.empty() ? "recorded" : "unknown");
        for (const build_field& field : compared_build_fields)
            add(program + " " + field.name, build.*field.value);
    }
    return fields;
}

}  // namespace

const char* verdict_of(const ratio_estimate& ratio, double p_holm, double min_effect) {
    const bool significant = p_holm < 0.05;
    const bool large = std::fabs(ratio.ratio - 1.0) >= min_effect;
    return !significant || !large || ratio.ratio == 1.0 ? "same" : ratio.ratio < 1.0 ? "faster" : "slower";
}

bool any_slower(const comparison& result) {
    return std::any_of(result.cells.begin(), result.cells.end(),
                       [](const cell_change& c) { return c.level == severity::fault; });
}

comparison compare_results(const suite_result& old_result, const suite_result& new_result,
                           double min_effect) {
    comparison out;
    out.min_effect = min_effect;
    const auto old_context = comparable_context(old_result.context);
    for (const auto& [name, value] : comparable_context(new_result.context)) {
        const auto old = old_context.find(name);
        if (old != old_context.end() && old->second != value)
            out.context_differences.push_back(name + " differs: old " + old->second + ", new " + value);
    }

    std::map<std::string, const cell*> old_cells;
    for (const auto& c : old_result.cells) old_cells[cell_label(c)] = &c;
    std::vector<std::pair<std::vector<double>, std::vector<double>>> times;  // of compared cells
    std::vector<double> p;
    std::set<std::string> matched;
    for (const auto& c : new_result.cells) {
        cell_change change;
        change.label = cell_label(c);
        const auto old = old_cells.find(change.label);
        if (old == old_cells.end()) {
            change.verdict = "only in the new result";
            change.level = severity::warning;
        } else {
            matched.insert(change.label);
            auto before = valid_times(*old->second), after = valid_times(c);
            if (before.empty() || after.empty()) {
                change.verdict = "no valid runs to compare";
                change.level = severity::warning;
            } else {
                change.compared = true;
                change.old_median_s = median_of(before);
                change.new_median_s = median_of(after);
                // The figure and its interval are one estimator: Hodges-Lehmann.
                change.ratio = ratio_of(before, after);
                change.p = mann_whitney_p(before, after);
                p.push_back(change.p);
                times.emplace_back(std::move(before), std::move(after));
            }
        }
        out.cells.push_back(change);
    }
    for (const auto& [label, c] : old_cells)
        if (!matched.count(label))
            out.cells.push_back({label, false, 0, 0, {}, 1, 1, "only in the old result", severity::warning});

    const std::vector<double> adjusted = holm_adjusted(p);
    double log_sum = 0.0;
    std::size_t next = 0;
    for (cell_change& change : out.cells) {
        if (!change.compared) continue;
        const auto& [before, after] = times[next];
        change.p_holm = adjusted[next++];
        change.verdict = verdict_of(change.ratio, change.p_holm, min_effect);
        if (change.verdict == std::string("slower")) change.level = severity::fault;
        log_sum += std::log(change.ratio.ratio);
        if (smallest_possible_p(before.size(), after.size()) * static_cast<double>(times.size()) >= 0.05)
            out.too_few_runs = true;
    }

    out.rows = {{"cell", "old median s", "new median s", "ratio", "95% CI", "p (Holm)", "verdict"}};
    for (const cell_change& c : out.cells)
        out.rows.push_back(
            c.compared
                ? std::vector<std::string>{c.label, fixed(c.old_median_s, 3), fixed(c.new_median_s, 3),
                                           fixed(c.ratio.ratio, 3),
                                           "[" + fixed(c.ratio.low, 3) + ", " + fixed(c.ratio.high, 3) + "]",
                                           fixed(c.p_holm, 4), c.verdict}
                : std::vector<std::string>{c.label, "-", "-", "-", "-", "-", c.verdict});

    if (!times.empty()) out.geometric_mean = std::exp(log_sum / static_cast<double>(times.size()));
    if (out.geometric_mean)
        out.notes.push_back(
            "geometric mean of ratios (new / old, below 1 is faster): " + fixed(*out.geometric_mean, 3) +
            " over " + std::to_string(times.size()) + " cells");
    else
        out.notes.push_back("no cell with valid runs in both results");
    out.notes.push_back(
        "ratio: the median of all ratios of a new time to an old one (Hodges-Lehmann), with its 95% "
        "interval");
    out.notes.push_back("faster or slower: p < 0.05 after Holm's correction across " +
                        std::to_string(times.size()) + " cells and the ratio at least " +
                        shortest(min_effect * 100.0) + "% from 1; otherwise same");
    if (out.too_few_runs)
        out.notes.push_back(
            "too few runs: with these sample sizes no p-value can fall below 0.05 after the "
            "correction, so every cell reads same (use --runs 5 or more)");
    return out;
}

}  // namespace corvane::bench
