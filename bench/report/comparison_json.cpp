#include <cmath>

#include <nlohmann/json.hpp>

#include "bench/report/comparison.hpp"
#include "bench/report/json_fields.hpp"

namespace corvane::bench {

using json = nlohmann::json;

namespace {

const char* severity_name(severity level) {
    switch (level) {
        case severity::note:
            return "note";
        case severity::warning:
            return "warning";
        case severity::fault:
            return "fault";
    }
    return "";
}

const char* gate_name(gate_outcome gate) {
    switch (gate) {
        case gate_outcome::passed:
            return "passed";
        case gate_outcome::slower:
            return "slower";
        case gate_outcome::lost:
            return "lost runs";
    }
    return "";
}

// A figure of a compared cell, null for one that was not; an unbounded
// interval end (a cell of one tick) is null too, as JSON has no infinity.
json figure(const cell_verdict& v, double value) {
    return v.compared && std::isfinite(value) ? json(value) : json(nullptr);
}

// The p-values are one-sided: p_slower that NEW is slower, p_faster that
// it is faster, raw and after Holm's correction within their direction.
json verdict_json(const cell_verdict& v) {
    return {{"cell", v.label},
            {"p_slower", figure(v, v.p_slower)},
            {"p_slower_holm", figure(v, v.p_slower_holm)},
            {"p_faster", figure(v, v.p_faster)},
            {"p_faster_holm", figure(v, v.p_faster_holm)},
            {"ratio", figure(v, v.ratio.ratio)},
            {"verdict", change_name(v.verdict)},
            {"severity", severity_name(v.level)}};
}

}  // namespace

std::string comparison_json(const comparison& result) {
    const comparison_verdict& verdict = result.verdict;
    json cells = json::array();
    for (const cell_verdict& v : verdict.cells) {
        json cell = verdict_json(v);
        cell.update(
            {{"old_median_s", figure(v, v.old_median_s)},
             {"new_median_s", figure(v, v.new_median_s)},
             {"ratio_ci95",
              v.compared ? json::array({figure(v, v.ratio.low), figure(v, v.ratio.high)}) : json(nullptr)},
             {"why", v.why.empty() ? json(nullptr) : json(v.why)}});
        cells.push_back(cell);
    }
    json messages = json::array();
    for (const gate_message& m : verdict.messages)
        messages.push_back({{"severity", severity_name(m.level)}, {"text", m.text}});
    const json out = {{"schema_version", schema_version},
                      {"min_effect", result.min_effect},
                      {"context_differences", result.context_differences},
                      {"cells", cells},
                      {"together", verdict.together ? verdict_json(*verdict.together) : json(nullptr)},
                      {"gate", gate_name(verdict.gate)},
                      {"messages", messages}};
    return out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace corvane::bench
