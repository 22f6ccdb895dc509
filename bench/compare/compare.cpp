#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "bench/base/text.hpp"
#include "bench/compare/compare.hpp"
#include "bench/report/context_lines.hpp"
#include "bench/run/build_record.hpp"

namespace corvane::bench {

namespace {

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

    // NEW's cells in its order, then those only in OLD.
    std::map<std::string, const cell*> old_cells;
    for (const auto& c : old_result.cells) old_cells[cell_label(c)] = &c;
    std::vector<cell_pair> pairs;
    std::set<std::string> matched;
    for (const auto& c : new_result.cells) {
        cell_pair pair{cell_label(c), false, true, {}, valid_times(c), c.statistics.invalid_runs, ""};
        for (const sample& s : c.samples)
            if (!s.valid && pair.new_invalid_reason.empty()) pair.new_invalid_reason = s.reason;
        pair.new_invalid_warmups = c.statistics.invalid_warmups;
        for (const sample& s : c.warmups)
            if (!s.valid && pair.new_warmup_reason.empty()) pair.new_warmup_reason = s.reason;
        if (const auto old = old_cells.find(pair.label); old != old_cells.end()) {
            matched.insert(pair.label);
            pair.in_old = true;
            pair.old_times = valid_times(*old->second);
        }
        pairs.push_back(std::move(pair));
    }
    for (const auto& [label, c] : old_cells)
        if (!matched.count(label)) pairs.push_back({label, true, false, valid_times(*c), {}, 0, ""});
    out.verdict = judge_comparison(pairs, min_effect);
    // What the columns are, first among the notes under the table.
    out.verdict.messages.insert(
        out.verdict.messages.begin(),
        {{severity::note,
          "ratio: new / old, the median of all ratios of a new time to an old one (Hodges-Lehmann); its 95% "
          "interval allows one tick of the programs' 1 ms clock on each median"},
         {severity::note,
          "p (Holm): one-sided, in the direction of the ratio; all cells together: the geometric mean of "
          "their ratios, and Fisher's combination of their p-values"}});

    return out;
}

}  // namespace corvane::bench
