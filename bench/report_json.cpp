#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "bench/report.hpp"

namespace corvane::bench {

using json = nlohmann::json;

namespace {

json optional_json(const std::optional<double>& value) { return value ? json(*value) : json(nullptr); }

}  // namespace

json to_json(std::uint64_t seed, const json& context, const std::vector<cell>& cells,
             const std::vector<cell_result>& results) {
    json out_cells = json::array();
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const cell& c = cells[i];
        const cell_result& r = results[i];
        json samples = json::array();
        for (const auto& s : c.samples)
            samples.push_back({{"reported_s", s.valid ? json(s.reported_s) : json(nullptr)},
                               {"wall_s", s.wall_s},
                               {"valid", s.valid},
                               {"reason", s.valid ? json(nullptr) : json(s.reason)}});
        const bool measured = r.valid_runs > 0;
        const auto stat = [measured](double value) { return measured ? json(value) : json(nullptr); };
        out_cells.push_back({
            {"program", c.program},
            {"threads", c.threads ? json(*c.threads) : json(nullptr)},
            {"ranks", c.ranks ? json(*c.ranks) : json(nullptr)},
            {"samples", samples},
            {"median_s", stat(r.reported.median)},
            {"min_s", stat(r.reported.min)},
            {"max_s", stat(r.reported.max)},
            {"mean_s", stat(r.reported.mean)},
            {"stddev_s", stat(r.reported.stddev)},
            {"cv", stat(r.reported.cv)},
            {"relative_mad", stat(r.reported.relative_mad)},
            {"unstable", r.unstable},
            {"outliers", r.reported.outliers},
            {"median_wall_s", stat(r.wall.median)},
            {"gap_s", stat(r.wall.median - r.reported.median)},
            {"speedup", optional_json(r.scaled.speedup)},
            {"efficiency", optional_json(r.scaled.efficiency)},
            {"karp_flatt", optional_json(r.scaled.karp_flatt)},
            {"valid_runs", r.valid_runs},
            {"invalid_runs", r.invalid_runs},
        });
    }
    return {{"schema_version", 1}, {"context", context}, {"seed", seed}, {"cells", out_cells}};
}

json read_result(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    json result;
    try {
        in >> result;
    } catch (const json::exception&) {
        throw std::runtime_error(path + " is not valid JSON");
    }
    if (!result.is_object() || result.value("schema_version", 0) != 1 || !result.contains("cells") ||
        !result["cells"].is_array())
        throw std::runtime_error(path + " is not a corvane-bench result (schema version 1)");
    for (const auto& c : result["cells"]) {
        if (!c.is_object() || !c.contains("program") || !c["program"].is_string() || !c.contains("threads") ||
            !(c["threads"].is_null() || c["threads"].is_number_integer()) || !c.contains("samples") ||
            !c["samples"].is_array())
            throw std::runtime_error(path + " has a malformed cell");
        for (const auto& s : c["samples"])
            if (!s.is_object() || !s.contains("reported_s") ||
                !(s["reported_s"].is_number() || s["reported_s"].is_null()) || !s.contains("valid") ||
                !s["valid"].is_boolean())
                throw std::runtime_error(path + " has a malformed sample");
    }
    return result;
}

}  // namespace corvane::bench
