#include <algorithm>

#include "bench/report/report.hpp"

namespace corvane::bench {

namespace {

std::string optional_fixed(const std::optional<double>& value, int decimals) {
    return value ? fixed(*value, decimals) : "-";
}

std::string count_text(const std::optional<int>& count) { return count ? std::to_string(*count) : "-"; }

// A statistic of the valid runs, or "-" where there were none.
std::string measured_fixed(const cell& c, double value, int decimals) {
    return c.statistics.valid_runs > 0 ? fixed(value, decimals) : "-";
}

std::string interval_text(const std::optional<ratio_estimate>& interval, int decimals) {
    return interval ? "[" + fixed(interval->low, decimals) + ", " + fixed(interval->high, decimals) + "]"
                    : "-";
}

std::string doubtful_if_contended(const cell& c, const std::optional<double>& value, int decimals) {
    return optional_fixed(value, decimals) + (value && c.statistics.doubtful_scaling ? doubtful_mark : "");
}

// One column of the results table. The default terminal table shows the
// columns a reader needs first and fits 100 columns; `wide_only` ones join
// them with --wide and in Markdown. Notes stay last: the terminal wraps them.
struct column {
    const char* header;
    bool wide_only;
    std::string (*value)(const cell&);
};

const column columns[] = {
    {"program", false, [](const cell& c) { return c.program; }},
    {"ranks", false, [](const cell& c) { return count_text(c.ranks); }},
    {"threads", false, [](const cell& c) { return count_text(c.threads); }},
    {"median s", false, [](const cell& c) { return measured_fixed(c, c.statistics.reported.median, 3); }},
    {"min s", true, [](const cell& c) { return measured_fixed(c, c.statistics.reported.min, 3); }},
    {"max s", true, [](const cell& c) { return measured_fixed(c, c.statistics.reported.max, 3); }},
    {"mean ± sd s", true,
     [](const cell& c) {
         const auto& r = c.statistics.reported;
         return c.statistics.valid_runs > 0 ? fixed(r.mean, 4) + " ± " + fixed(r.stddev, 4) : "-";
     }},
    {"mad", false, [](const cell& c) { return mad_text(c.statistics); }},
    {"valid", false,
     [](const cell& c) {
         const auto& r = c.statistics;
         return std::to_string(r.valid_runs) + "/" + std::to_string(r.valid_runs + r.invalid_runs);
     }},
    {"gap s", true,
     [](const cell& c) {
         return measured_fixed(c, c.statistics.wall.median - c.statistics.reported.median, 3);
     }},
    {"parallelism", false, [](const cell& c) { return optional_fixed(c.statistics.parallelism, 2); }},
    {"speedup", false,
     [](const cell& c) { return doubtful_if_contended(c, c.statistics.scaled.speedup, 2); }},
    {"speedup 95% CI", true,
     [](const cell& c) { return interval_text(c.statistics.scaled.speedup_interval, 2); }},
    {"efficiency", true,  // speedup over workers: the default table keeps its width for the notes
     [](const cell& c) { return doubtful_if_contended(c, c.statistics.scaled.efficiency, 2); }},
    {"efficiency 95% CI", true,
     [](const cell& c) { return interval_text(c.statistics.scaled.efficiency_interval, 2); }},
    {"serial fraction", true,
     [](const cell& c) { return doubtful_if_contended(c, c.statistics.scaled.karp_flatt, 3); }},
    {"notes", false, [](const cell& c) { return marks_text(c.statistics.marks); }},
};

}  // namespace

std::string mad_text(const cell_statistics& r) {
    if (r.valid_runs == 0) return "-";
    if (r.spread.within_tick) return within_tick_mark + fixed(r.spread.relative_mad * 100.0, 1) + "%";
    return fixed(r.reported.relative_mad * 100.0, 1) + "%";
}

std::string marks_text(const std::vector<cell_mark>& marks) {
    std::string text;
    for (const auto& mark : marks) text += (text.empty() ? "" : ", ") + mark.text;
    return text;
}

std::vector<invalid_run> invalid_runs_of(const cell& c) {
    std::vector<invalid_run> invalid;
    for (std::size_t run = 0; run < c.warmups.size(); ++run)
        if (!c.warmups[run].valid)
            invalid.push_back({"warm-up " + std::to_string(run + 1), c.warmups[run].reason});
    for (std::size_t run = 0; run < c.samples.size(); ++run)
        if (!c.samples[run].valid)
            invalid.push_back({"run " + std::to_string(run + 1), c.samples[run].reason});
    return invalid;
}

table result_rows(const std::vector<cell>& cells, bool wide) {
    // The ranks column only where corvane-mpi ran.
    const bool any_ranks =
        std::any_of(cells.begin(), cells.end(), [](const cell& c) { return c.ranks.has_value(); });
    std::vector<const column*> shown;
    for (const column& col : columns)
        if ((wide || !col.wide_only) && (any_ranks || std::string(col.header) != "ranks"))
            shown.push_back(&col);
    table rows(1);
    for (const column* col : shown) rows[0].push_back(col->header);
    for (const cell& c : cells) {
        auto& row = rows.emplace_back();
        for (const column* col : shown) row.push_back(col->value(c));
    }
    return rows;
}

std::string table_footnotes(const std::vector<cell>& cells, bool wide) {
    std::string notes;
    // Within 100 columns, and only where a mark is shown.
    if (std::any_of(cells.begin(), cells.end(), [](const cell& c) { return c.statistics.doubtful_scaling; }))
        notes += std::string(doubtful_mark) +
                 " contended: the threads, or the serial baseline's, did not get the processors they are\n"
                 "  counted with (see the warnings), so the speedup, efficiency and serial fraction are "
                 "doubtful\n";
    if (std::any_of(cells.begin(), cells.end(),
                    [](const cell& c) { return c.statistics.spread.within_tick; }))
        notes += std::string(within_tick_mark) +
                 " mad: the spread is within one tick of the programs' 1 ms clock, shown as one tick\n"
                 "  of the median: an upper bound, not a measure of stability\n";
    if (std::any_of(cells.begin(), cells.end(), [](const cell& c) { return c.statistics.few_ticks; }))
        notes +=
            "ticks: a median under " + fixed(fewest_ticks, 0) +
            " ticks of the programs' 1 ms clock, good to about one tick; process: the\n"
            "  harness's own clock over the whole process, start-up and exit included, so it reads longer\n";
    if (wide && std::any_of(cells.begin(), cells.end(), [](const cell& c) {
            return c.statistics.scaled.speedup && !c.statistics.scaled.speedup_interval;
        }))
        notes += "95% CI: \"-\" where a cell or its baseline has fewer than " +
                 std::to_string(interval_min_runs) + " valid runs\n";
    return notes;
}

}  // namespace corvane::bench
