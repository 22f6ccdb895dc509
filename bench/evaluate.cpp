#include "bench/evaluate.hpp"

#include <map>

#include "bench/contention.hpp"

namespace corvane::bench {

namespace {

// The marks in the order a reader should see them: failures first.
std::vector<cell_mark> marks_of(const cell_statistics& r) {
    std::vector<cell_mark> marks;
    if (r.valid_runs == 0) marks.push_back({severity::fault, "no valid run"});
    if (r.invalid_runs > 0) marks.push_back({severity::fault, std::to_string(r.invalid_runs) + " invalid"});
    if (r.contended) marks.push_back({severity::warning, "contended"});
    if (r.unstable) marks.push_back({severity::warning, "unstable"});
    if (r.reported.outliers > 0)
        marks.push_back({severity::note, std::to_string(r.reported.outliers) + " outlier(s)"});
    return marks;
}

}  // namespace

void evaluate(std::vector<cell>& cells) {
    std::map<std::string, std::vector<double>> serial_times;
    for (auto& c : cells) {
        cell_statistics& r = c.statistics;
        r = {};
        std::vector<double> wall;
        for (const auto& s : c.samples) {
            if (s.valid) wall.push_back(s.wall_s);
            ++(s.valid ? r.valid_runs : r.invalid_runs);
        }
        r.reported = summarize(valid_times(c));
        r.wall = summarize(wall);
        r.unstable = r.valid_runs > 1 && r.reported.relative_mad > unstable_mad;
        if (!c.threads && r.valid_runs > 0) serial_times[c.program] = valid_times(c);
        judge_contention(c);
        r.marks = marks_of(r);
    }
    for (auto& c : cells) {
        const program_info* info = find_program(c.program);
        if (!info || !info->baseline || c.statistics.valid_runs == 0) continue;
        const auto baseline = serial_times.find(info->baseline);
        if (baseline == serial_times.end()) continue;
        c.statistics.scaled = scale(baseline->second, valid_times(c), workers(c));
    }
}

}  // namespace corvane::bench
