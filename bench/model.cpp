#include "bench/model.hpp"

#include "bench/contention.hpp"

namespace corvane::bench {

const std::vector<program_info>& known_programs() {
    static const std::vector<program_info> programs = {
        {"corvane-serial", false, nullptr},
        {"corvane-serial-simd", false, "corvane-serial"},
        {"corvane-omp", true, "corvane-serial"},
        {"corvane-omp-simd", true, "corvane-serial-simd"},
        {"corvane-autopar", true, "corvane-serial-simd"},
        {"corvane-mpi", true, "corvane-serial-simd", true},
    };
    return programs;
}

const program_info* find_program(const std::string& name) {
    for (const auto& program : known_programs())
        if (name == program.name) return &program;
    return nullptr;
}

std::string cell_label(const cell& c) {
    return c.program + (c.ranks ? " ranks " + std::to_string(*c.ranks) : "") +
           (c.threads ? " threads " + std::to_string(*c.threads) : "");
}

std::optional<int> workers(const cell& c) {
    if (!c.threads) return std::nullopt;
    return *c.threads * c.ranks.value_or(1);
}

std::vector<double> valid_times(const cell& c) {
    std::vector<double> times;
    for (const auto& s : c.samples)
        if (s.valid) times.push_back(s.reported_s);
    return times;
}

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
