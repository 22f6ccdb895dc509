#include <algorithm>
#include <cstdio>

#include "bench/report/report.hpp"

namespace corvane::bench {

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

namespace {

std::string optional_fixed(const std::optional<double>& value, int decimals) {
    return value ? fixed(*value, decimals) : "-";
}

std::string count_text(const std::optional<int>& count) { return count ? std::to_string(*count) : "-"; }

std::string cell_notes(const cell_statistics& r) {
    std::string notes;
    const auto add = [&notes](const std::string& note) { notes += (notes.empty() ? "" : ", ") + note; };
    if (r.unstable) add("unstable");
    if (r.reported.outliers > 0) add(std::to_string(r.reported.outliers) + " outlier(s)");
    if (r.invalid_runs > 0) add(std::to_string(r.invalid_runs) + " invalid");
    return notes;
}

}  // namespace

table result_rows(const std::vector<cell>& cells) {
    table rows = {{"program", "ranks", "threads", "median s", "min s", "max s", "mean ± sd s", "mad", "valid",
                   "gap s", "speedup", "efficiency", "serial fraction", "notes"}};
    for (const cell& c : cells) {
        const cell_statistics& r = c.statistics;
        const bool measured = r.valid_runs > 0;
        const auto stat = [measured](double value) { return measured ? fixed(value, 3) : "-"; };
        rows.push_back({c.program, count_text(c.ranks), count_text(c.threads), stat(r.reported.median),
                        stat(r.reported.min), stat(r.reported.max),
                        measured ? fixed(r.reported.mean, 4) + " ± " + fixed(r.reported.stddev, 4) : "-",
                        measured ? fixed(r.reported.relative_mad * 100.0, 1) + "%" : "-",
                        std::to_string(r.valid_runs) + "/" + std::to_string(r.valid_runs + r.invalid_runs),
                        measured ? fixed(r.wall.median - r.reported.median, 3) : "-",
                        optional_fixed(r.scaled.speedup, 2), optional_fixed(r.scaled.efficiency, 2),
                        optional_fixed(r.scaled.karp_flatt, 3), cell_notes(r)});
    }
    // The ranks column only where corvane-mpi ran.
    if (std::none_of(cells.begin(), cells.end(), [](const cell& c) { return c.ranks.has_value(); }))
        for (auto& row : rows) row.erase(row.begin() + 1);
    return rows;
}

}  // namespace corvane::bench
