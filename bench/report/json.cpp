#include <nlohmann/json.hpp>

#include "bench/report/json_fields.hpp"
#include "bench/report/report.hpp"

namespace corvane::bench {

using json = nlohmann::json;

namespace {

// Any member of the model as JSON, records by their field tables.
template <class T>
json to_json(const T& value) {
    if constexpr (is_record<T>) {
        json out = json::object();
        fields_of(value, [&out](const char* name, const auto& member, field_rule rule) {
            if constexpr (is_optional<std::decay_t<decltype(member)>>::value)
                if (rule == field_rule::if_present && !member) return;
            out[name] = to_json(member);
        });
        return out;
    } else if constexpr (is_optional<T>::value) {
        return value ? to_json(*value) : json(nullptr);
    } else if constexpr (is_pairs<T>::value || is_map<T>::value) {
        json out = json::object();
        for (const auto& [name, item] : value) out[name] = to_json(item);
        return out;
    } else if constexpr (is_vector<T>::value) {
        json out = json::array();
        for (const auto& item : value) out.push_back(to_json(item));
        return out;
    } else {
        return json(value);
    }
}

// A build that is unknown says only why.
template <>
json to_json(const program_build& build) {
    json out = json::object();
    build_fields(build, [&](const char* name, const std::string& member, field_rule) {
        if ((std::string(name) == "unknown") == !build.unknown.empty()) out[name] = member;
    });
    return out;
}

template <>
json to_json(const sample& s) {
    json out = json::object();
    sample_fields(s,
                  [&out](const char* name, const auto& member, field_rule) { out[name] = to_json(member); });
    if (!s.valid) out["reported_s"] = nullptr;
    if (s.valid) out["reason"] = nullptr;
    return out;
}

json interval_json(const std::optional<ratio_estimate>& interval) {
    return interval ? json::array({interval->low, interval->high}) : json(nullptr);
}

// What the harness computed of a cell, for other tools; a reader computes
// it again from the samples.
template <>
json to_json(const cell& c) {
    json out = json::object();
    cell_fields(c, [&out](const char* name, const auto& member, field_rule) { out[name] = to_json(member); });
    const cell_statistics& r = c.statistics;
    const bool measured = r.valid_runs > 0;
    const auto stat = [measured](double value) { return measured ? json(value) : json(nullptr); };
    out.update({
        {"median_s", stat(r.reported.median)},
        {"min_s", stat(r.reported.min)},
        {"max_s", stat(r.reported.max)},
        {"mean_s", stat(r.reported.mean)},
        {"stddev_s", stat(r.reported.stddev)},
        {"cv", stat(r.reported.cv)},
        {"relative_mad", stat(r.reported.relative_mad)},
        {"mad_within_tick", r.spread.within_tick},
        {"unstable", r.unstable},
        {"few_ticks", r.few_ticks},
        {"outliers", r.reported.outliers},
        {"median_wall_s", stat(r.wall.median)},
        {"gap_s", stat(r.wall.median - r.reported.median)},
        {"speedup", to_json(r.scaled.speedup)},
        {"efficiency", to_json(r.scaled.efficiency)},
        {"karp_flatt", to_json(r.scaled.karp_flatt)},
        {"valid_runs", r.valid_runs},
        {"invalid_runs", r.invalid_runs},
        {"parallelism", to_json(r.parallelism)},
        {"involuntary_switches_per_cpu_s", to_json(r.preemptions_per_cpu_s)},
        {"contended", r.contended},
        {"contention", r.contended ? json(r.contention) : json(nullptr)},
        {"baseline_contended", r.baseline_contended},
        {"contention_judged_by", r.contention_basis},
        {"speedup_ci", interval_json(r.scaled.speedup_interval)},
        {"efficiency_ci", interval_json(r.scaled.efficiency_interval)},
    });
    return out;
}

}  // namespace

std::string json_text(const suite_result& result) {
    json out = {{"schema_version", schema_version},
                {"context", to_json(result.context)},
                {"seed", result.context.seed},
                {"cells", to_json(result.cells)}};
    // Only a suite that ran corvane-kernels has them.
    if (!result.kernels.empty()) out["kernels"] = to_json(result.kernels);
    return out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace corvane::bench
