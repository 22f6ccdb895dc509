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

std::string interval_text(const std::optional<ratio_estimate>& interval, int decimals) {
    return interval ? "[" + fixed(interval->low, decimals) + ", " + fixed(interval->high, decimals) + "]"
                    : "-";
}

// A figure of a contended cell carries the mark that the footnote explains.
constexpr const char* doubtful_mark = "?";

std::string cell_notes(const cell_statistics& r) {
    std::string notes;
    const auto add = [&notes](const std::string& note) { notes += (notes.empty() ? "" : ", ") + note; };
    if (r.contended) add("contended");
    if (r.unstable) add("unstable");
    if (r.reported.outliers > 0) add(std::to_string(r.reported.outliers) + " outlier(s)");
    if (r.invalid_runs > 0) add(std::to_string(r.invalid_runs) + " invalid");
    return notes;
}

}  // namespace

table result_rows(const std::vector<cell>& cells) {
    table rows = {{"program", "ranks", "threads", "median s", "min s", "max s", "mean ± sd s", "mad", "valid",
                   "gap s", "parallelism", "speedup", "speedup 95% CI", "efficiency", "efficiency 95% CI",
                   "serial fraction", "notes"}};
    for (const cell& c : cells) {
        const cell_statistics& r = c.statistics;
        const bool measured = r.valid_runs > 0;
        const auto stat = [measured](double value) { return measured ? fixed(value, 3) : "-"; };
        const auto scaled = [&r](const std::optional<double>& value, int decimals) {
            return optional_fixed(value, decimals) + (value && r.contended ? doubtful_mark : "");
        };
        rows.push_back({c.program, count_text(c.ranks), count_text(c.threads), stat(r.reported.median),
                        stat(r.reported.min), stat(r.reported.max),
                        measured ? fixed(r.reported.mean, 4) + " ± " + fixed(r.reported.stddev, 4) : "-",
                        measured ? fixed(r.reported.relative_mad * 100.0, 1) + "%" : "-",
                        std::to_string(r.valid_runs) + "/" + std::to_string(r.valid_runs + r.invalid_runs),
                        measured ? fixed(r.wall.median - r.reported.median, 3) : "-",
                        optional_fixed(r.parallelism, 2), scaled(r.scaled.speedup, 2),
                        interval_text(r.scaled.speedup_interval, 2), scaled(r.scaled.efficiency, 2),
                        interval_text(r.scaled.efficiency_interval, 2), scaled(r.scaled.karp_flatt, 3),
                        cell_notes(r)});
    }
    // The ranks column only where corvane-mpi ran.
    if (std::none_of(cells.begin(), cells.end(), [](const cell& c) { return c.ranks.has_value(); }))
        for (auto& row : rows) row.erase(row.begin() + 1);
    return rows;
}

std::string table_footnotes(const std::vector<cell>& cells) {
    std::string notes;
    if (std::any_of(cells.begin(), cells.end(), [](const cell& c) { return c.statistics.contended; }))
        notes += std::string(doubtful_mark) +
                 " contended: the threads did not get the processors they are counted with (see the "
                 "warnings), so the speedup, efficiency and serial fraction are doubtful\n";
    if (std::any_of(cells.begin(), cells.end(), [](const cell& c) {
            return c.statistics.scaled.speedup && !c.statistics.scaled.speedup_interval;
        }))
        notes += "95% CI: \"-\" where a cell or its baseline has fewer than " +
                 std::to_string(interval_min_runs) + " valid runs\n";
    return notes;
}

}  // namespace corvane::bench
