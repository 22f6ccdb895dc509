#include "bench/report/across_results.hpp"

#include <algorithm>
#include <iterator>
#include <unordered_map>

namespace corvane::bench {

std::vector<cells_of_label> cells_across(const std::vector<named_result>& results) {
    std::vector<cells_of_label> rows;
    std::unordered_map<std::string, std::size_t> row_of;
    for (std::size_t i = 0; i < results.size(); ++i)
        for (const auto& c : results[i].result.cells) {
            const std::string label = cell_label(c);
            const auto [at, added] = row_of.emplace(label, rows.size());
            if (added) rows.push_back({label, std::vector<const cell*>(results.size(), nullptr)});
            rows[at->second].in[i] = &c;
        }
    return rows;
}

std::vector<std::string> cell_figures(const cell* c) {
    if (!c) return std::vector<std::string>(std::size(figure_columns), "-");
    const cell_statistics& r = c->statistics;
    const bool measured = r.valid_runs > 0;
    const auto& interval = r.scaled.speedup_interval;
    return {measured ? fixed(r.reported.median, 3) : "-",
            mad_text(r),
            std::to_string(r.valid_runs) + "/" + std::to_string(r.valid_runs + r.invalid_runs),
            r.parallelism ? fixed(*r.parallelism, 2) : "-",
            r.scaled.speedup ? fixed(*r.scaled.speedup, 2) + (r.doubtful_scaling ? doubtful_mark : "") : "-",
            interval ? "[" + fixed(interval->low, 2) + ", " + fixed(interval->high, 2) + "]" : "-"};
}

table kernel_rows(const std::vector<kernel_figure>& kernels) {
    table rows = {{"kernel", "threads", "ns/term", "× floor"}};
    for (const auto& k : kernels)
        rows.push_back({k.name, std::to_string(k.threads), fixed(k.ns_per_term, 3),
                        k.vs_floor ? fixed(*k.vs_floor, 2) : "floor"});
    return rows;
}

}  // namespace corvane::bench
