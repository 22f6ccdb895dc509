#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "bench/build_record.hpp"
#include "bench/compare.hpp"

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
    for (const auto& [program, build] : context.program_builds) {
        add(program + " build", build.unknown.empty() ? "recorded" : "unknown");
        for (const build_field& field : compared_build_fields)
            add(program + " " + field.name, build.*field.value);
    }
    return fields;
}

}  // namespace

comparison compare_results(const suite_result& old_result, const suite_result& new_result,
                           double min_effect) {
    comparison out;
    const auto old_context = comparable_context(old_result.context);
    for (const auto& [name, value] : comparable_context(new_result.context)) {
        const auto old = old_context.find(name);
        if (old != old_context.end() && old->second != value)
            out.context_differences.push_back(name + " differs: old " + old->second + ", new " + value);
    }

    std::map<std::string, const cell*> old_cells;
    for (const auto& c : old_result.cells) old_cells[cell_label(c)] = &c;
    struct compared {
        std::string label;
        std::vector<double> before, after;
        double p = 1;
    };
    std::vector<compared> cells;
    std::set<std::string> matched;
    out.rows = {{"cell", "old median s", "new median s", "ratio", "95% CI", "p (Holm)", "verdict"}};
    for (const auto& c : new_result.cells) {
        const std::string label = cell_label(c);
        const auto old = old_cells.find(label);
        if (old == old_cells.end()) {
            out.rows.push_back({label, "-", "-", "-", "-", "-", "only in the new result"});
            continue;
        }
        matched.insert(label);
        compared entry{label, valid_times(*old->second), valid_times(c)};
        if (entry.before.empty() || entry.after.empty()) {
            out.rows.push_back({label, "-", "-", "-", "-", "-", "no valid runs to compare"});
            continue;
        }
        entry.p = mann_whitney_p(entry.before, entry.after);
        cells.push_back(entry);
    }
    std::vector<double> p;
    for (const auto& entry : cells) p.push_back(entry.p);
    const std::vector<double> adjusted = holm_adjusted(p);

    double log_sum = 0.0;
    bool too_few = false;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const compared& entry = cells[i];
        // The figure and its interval are one estimator: Hodges-Lehmann.
        const ratio_estimate ratio = ratio_of(entry.before, entry.after);
        const bool significant = adjusted[i] < 0.05;
        const bool large = std::fabs(ratio.ratio - 1.0) >= min_effect;
        const char* verdict = !significant || !large || ratio.ratio == 1.0 ? "same"
                              : ratio.ratio < 1.0                          ? "faster"
                                                                           : "slower";
        out.rows.push_back({entry.label, fixed(median_of(entry.before), 3), fixed(median_of(entry.after), 3),
                            fixed(ratio.ratio, 3),
                            "[" + fixed(ratio.low, 3) + ", " + fixed(ratio.high, 3) + "]",
                            fixed(adjusted[i], 4), verdict});
        log_sum += std::log(ratio.ratio);
        if (smallest_possible_p(entry.before.size(), entry.after.size()) *
                static_cast<double>(cells.size()) >=
            0.05)
            too_few = true;
    }
    for (const auto& [label, c] : old_cells)
        if (!matched.count(label))
            out.rows.push_back({label, "-", "-", "-", "-", "-", "only in the old result"});

    if (!cells.empty())
        out.notes.push_back("geometric mean of ratios (new / old, below 1 is faster): " +
                            fixed(std::exp(log_sum / static_cast<double>(cells.size())), 3) + " over " +
                            std::to_string(cells.size()) + " cells");
    else
        out.notes.push_back("no cell with valid runs in both results");
    out.notes.push_back(
        "ratio: the median of all ratios of a new time to an old one (Hodges-Lehmann), with its 95% "
        "interval");
    out.notes.push_back("faster or slower: p < 0.05 after Holm's correction across " +
                        std::to_string(cells.size()) + " cells and the ratio at least " +
                        shortest(min_effect * 100.0) + "% from 1; otherwise same");
    if (too_few)
        out.notes.push_back(
            "too few runs: with these sample sizes no p-value can fall below 0.05 after the "
            "correction, so every cell reads same (use --runs 5 or more)");
    return out;
}

}  // namespace corvane::bench
