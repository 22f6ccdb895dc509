#include <nlohmann/json.hpp>

#include "bench/compare.hpp"

namespace corvane::bench {

using json = nlohmann::json;

std::string comparison_json(const comparison& result) {
    json cells = json::array();
    for (const cell_change& c : result.cells) {
        const auto figure = [&c](double value) { return c.compared ? json(value) : json(nullptr); };
        cells.push_back(
            {{"cell", c.label},
             {"old_median_s", figure(c.old_median_s)},
             {"new_median_s", figure(c.new_median_s)},
             {"ratio", figure(c.ratio.ratio)},
             {"ratio_ci95", c.compared ? json::array({c.ratio.low, c.ratio.high}) : json(nullptr)},
             {"p", figure(c.p)},
             {"p_holm", figure(c.p_holm)},
             {"verdict", c.verdict}});
    }
    const json out = {
        {"min_effect", result.min_effect},
        {"context_differences", result.context_differences},
        {"cells", cells},
        {"geometric_mean_ratio", result.geometric_mean ? json(*result.geometric_mean) : json(nullptr)},
        {"too_few_runs", result.too_few_runs},
        {"any_slower", any_slower(result)}};
    return out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace corvane::bench
