#include "bench/model/model.hpp"

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

}  // namespace corvane::bench
