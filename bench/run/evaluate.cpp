#include "bench/run/evaluate.hpp"

#include <map>

#include "bench/base/text.hpp"
#include "bench/base/tick.hpp"
#include "bench/run/contention.hpp"

namespace corvane::bench {

namespace {

// The marks in the order a reader should see them: failures first.
std::vector<cell_mark> marks_of(const cell_statistics& r) {
    std::vector<cell_mark> marks;
    if (r.valid_runs == 0) marks.push_back({severity::fault, "no valid run"});
    if (r.invalid_runs > 0) marks.push_back({severity::fault, std::to_string(r.invalid_runs) + " invalid"});
    if (r.invalid_warmups > 0)
        marks.push_back({severity::fault, std::to_string(r.invalid_warmups) + " invalid warm-up"});
    if (r.contended) marks.push_back({severity::warning, "contended"});
    if (r.baseline_contended) marks.push_back({severity::warning, "baseline contended"});
    // The harness's own clock beside the programs': a second estimate, of
    // the whole process.
    if (r.few_ticks)
        marks.push_back({severity::warning,
                         fixed(r.reported.median / clock_tick_s, 0) + " ticks" +
                             (r.wall.median > 0.0 ? " (process " + fixed(r.wall.median, 4) + " s)" : "")});
    if (r.unstable) marks.push_back({severity::warning, "unstable"});
    if (r.reported.outliers > 0)
        marks.push_back({severity::note, std::to_string(r.reported.outliers) + " outlier(s)"});
    return marks;
}

}  // namespace

void evaluate(std::vector<cell>& cells) {
    std::map<std::string, const cell*> serial;
    for (auto& c : cells) {
        cell_statistics& r = c.statistics;
        r = {};
        std::vector<double> wall;
        for (const auto& s : c.samples) {
            if (s.valid) wall.push_back(s.wall_s);
            ++(s.valid ? r.valid_runs : r.invalid_runs);
        }
        for (const auto& s : c.warmups) r.invalid_warmups += s.valid ? 0 : 1;
        const std::vector<double> times = valid_times(c);
        r.reported = summarize(times);
        r.wall = summarize(wall);
        r.spread = spread_of(times);
        r.unstable = r.valid_runs > 1 && unstable_beyond_tick(r.spread);
        r.few_ticks = r.valid_runs > 0 && r.reported.median < fewest_ticks * clock_tick_s;
        assess_contention(c);
        if (!c.threads && r.valid_runs > 0) serial[c.program] = &c;
    }
    for (auto& c : cells) {
        cell_statistics& r = c.statistics;
        const program_info* info = find_program(c.program);
        const auto baseline = info && info->baseline ? serial.find(info->baseline) : serial.end();
        if (baseline != serial.end() && r.valid_runs > 0) {
            r.scaled = scale(valid_times(*baseline->second), valid_times(c), workers(c));
            r.baseline_contended = baseline->second->statistics.contended;
        }
        r.doubtful_scaling = r.scaled.speedup && (r.contended || r.baseline_contended);
        r.marks = marks_of(r);
    }
}

std::vector<std::string> tick_warnings(const std::vector<cell>& cells) {
    std::vector<std::string> warnings;
    for (const auto& c : cells) {
        if (!c.statistics.few_ticks) continue;
        std::vector<double> wall;
        for (const auto& s : c.samples)
            if (s.valid && s.wall_s > 0.0) wall.push_back(s.wall_s);
        warnings.push_back(
            short_cell_warning(cell_label(c), c.statistics.reported.median, process_estimate_of(wall)));
    }
    return warnings;
}

}  // namespace corvane::bench
