#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "bench/report.hpp"

namespace corvane::bench {

namespace {

using json = nlohmann::json;

std::string key_of(const json& c) {
    const auto count = [&c](const char* field) {
        return c.contains(field) && c[field].is_number_integer() ? std::to_string(c[field].get<int>())
                                                                 : std::string("-");
    };
    const bool distributed = c.contains("ranks") && !c["ranks"].is_null();
    return c["program"].get<std::string>() + " " + (distributed ? count("ranks") + "x" : "") +
           count("threads");
}

std::vector<double> valid_samples(const json& c) {
    std::vector<double> samples;
    for (const auto& s : c["samples"])
        if (s["valid"].get<bool>() && s["reported_s"].is_number() && s["reported_s"].get<double>() > 0)
            samples.push_back(s["reported_s"].get<double>());
    return samples;
}

// 1, 0.1, 2.5: a percentage as a person writes it.
std::string shortest(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// The context a result was measured in, as "what: value" for comparison.
std::map<std::string, std::string> comparable_context(const json& result) {
    std::map<std::string, std::string> fields;
    if (!result.contains("context") || !result["context"].is_object()) return fields;
    const json& context = result["context"];
    for (const char* name : {"processor", "logical_cores", "usable_cpus", "compiler", "build_type", "flags"})
        if (context.contains(name)) fields[name] = context[name].dump();
    if (context.contains("kernel_plan") && context["kernel_plan"].is_object())
        for (const auto& [order, plan] : context["kernel_plan"].items())
            if (plan.is_object() && plan.contains("chosen"))
                fields["kernel plan (" + order + ")"] = plan["chosen"].dump();
    return fields;
}

}  // namespace

comparison compare_results(const json& old_result, const json& new_result, double min_effect) {
    comparison out;
    const auto old_context = comparable_context(old_result), new_context = comparable_context(new_result);
    for (const auto& [name, value] : new_context) {
        const auto old = old_context.find(name);
        if (old != old_context.end() && old->second != value)
            out.context_differences.push_back(name + " differs: old " + old->second + ", new " + value);
    }

    std::map<std::string, json> old_cells;
    for (const auto& c : old_result["cells"]) old_cells[key_of(c)] = c;
    struct compared {
        std::string key;
        std::vector<double> before, after;
        double p = 1;
    };
    std::vector<compared> cells;
    std::set<std::string> matched;
    out.rows = {{"cell", "old median s", "new median s", "ratio", "95% CI", "p (Holm)", "verdict"}};
    for (const auto& c : new_result["cells"]) {
        const std::string key = key_of(c);
        const auto old = old_cells.find(key);
        if (old == old_cells.end()) {
            out.rows.push_back({key, "-", "-", "-", "-", "-", "only in the new result"});
            continue;
        }
        matched.insert(key);
        compared entry{key, valid_samples(old->second), valid_samples(c)};
        if (entry.before.empty() || entry.after.empty()) {
            out.rows.push_back({key, "-", "-", "-", "-", "-", "no valid runs to compare"});
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
        const double old_median = median_of(entry.before), new_median = median_of(entry.after);
        const ratio_estimate shift = ratio_of(entry.before, entry.after);
        const double ratio = new_median / old_median;
        const bool significant = adjusted[i] < 0.05;
        const bool large = std::fabs(ratio - 1.0) >= min_effect;
        const char* verdict = !significant || !large || ratio == 1.0 ? "same"
                              : ratio < 1.0                          ? "faster"
                                                                     : "slower";
        out.rows.push_back({entry.key, fixed(old_median, 3), fixed(new_median, 3), fixed(ratio, 3),
                            "[" + fixed(shift.low, 3) + ", " + fixed(shift.high, 3) + "]",
                            fixed(adjusted[i], 4), verdict});
        log_sum += std::log(ratio);
        if (smallest_possible_p(entry.before.size(), entry.after.size()) *
                static_cast<double>(cells.size()) >=
            0.05)
            too_few = true;
    }
    for (const auto& [key, c] : old_cells)
        if (!matched.count(key)) out.rows.push_back({key, "-", "-", "-", "-", "-", "only in the old result"});

    if (!cells.empty())
        out.notes.push_back("geometric mean of ratios (new / old, below 1 is faster): " +
                            fixed(std::exp(log_sum / static_cast<double>(cells.size())), 3) + " over " +
                            std::to_string(cells.size()) + " cells");
    else
        out.notes.push_back("no cell with valid runs in both results");
    out.notes.push_back("faster or slower: p < 0.05 after Holm's correction across " +
                        std::to_string(cells.size()) + " cells and the medians at least " +
                        shortest(min_effect * 100.0) + "% apart; otherwise same");
    if (too_few)
        out.notes.push_back(
            "too few runs: with these sample sizes no p-value can fall below 0.05 after the "
            "correction, so every cell reads same (use --runs 5 or more)");
    return out;
}

}  // namespace corvane::bench
