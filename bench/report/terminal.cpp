#include <algorithm>
#include <set>
#include <sstream>

#include "bench/build_record.hpp"
#include "bench/report/report.hpp"
#include "bench/suite.hpp"

namespace corvane::bench {

namespace {

// Display width in characters, not bytes ("±" is two bytes of UTF-8).
std::size_t width_of(const std::string& text) {
    std::size_t width = 0;
    for (char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return width;
}

// "strict sse2/divide, four-lane avx512/divide"
std::string plan_text(const std::map<std::string, order_plan>& plans) {
    std::string text;
    for (const auto& [order, shown] : {std::pair{"strict", "strict"}, std::pair{"four_lane", "four-lane"}})
        if (const auto plan = plans.find(order); plan != plans.end())
            text += (text.empty() ? "" : ", ") + std::string(shown) + " " + plan->second.chosen;
    return text;
}

// One line when every program was built alike, else one per program.
std::string program_builds_text(const std::map<std::string, program_build>& builds) {
    std::set<std::string> texts;
    for (const auto& [program, build] : builds) texts.insert(build_text(build));
    if (texts.size() == 1) return "programs' build: " + *texts.begin() + "\n";
    std::string out = texts.empty() ? "" : "programs' builds differ:\n";
    for (const auto& [program, build] : builds) out += "  " + program + ": " + build_text(build) + "\n";
    return out;
}

}  // namespace

std::string terminal_table(const table& rows) {
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (std::size_t col = 0; col < row.size(); ++col)
            widths[col] = std::max(widths[col], width_of(row[col]));
    std::ostringstream out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (std::size_t col = 0; col < rows[r].size(); ++col) {
            const std::string pad(widths[col] - width_of(rows[r][col]), ' ');
            // Names and notes read left to right; numbers line up on the right.
            const bool left = col == 0 || col + 1 == rows[r].size();
            line += (col ? "  " : "") + (left ? rows[r][col] + pad : pad + rows[r][col]);
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out << line << "\n";
        if (r == 0) {
            std::size_t total = 0;
            for (std::size_t w : widths) total += w + 2;
            out << std::string(total - 2, '-') << "\n";
        }
    }
    return out.str();
}

std::string invalid_runs_text(const std::vector<cell>& cells) {
    std::ostringstream out;
    for (const auto& c : cells) {
        int run = 0;
        for (const auto& s : c.samples) {
            ++run;
            if (!s.valid) out << "invalid: " << cell_label(c) << " run " << run << ": " << s.reason << "\n";
        }
    }
    return out.str();
}

std::string warnings_text(const std::vector<std::string>& warnings) {
    std::string out;
    for (const auto& warning : warnings) out += "warning: " + warning + "\n";
    return out;
}

std::string context_text(const run_context& context) {
    std::ostringstream out;
    out << "processor: " << context.processor << ", " << context.usable_cpus << " usable of "
        << context.logical_cores << " logical cores\n"
        << program_builds_text(context.program_builds) << "corvane-bench's build: corvane " << context.version
        << " (" << context.commit << "), " << context.compiler << ", " << context.build_type
        << ", OpenMP runtime " << context.openmp_runtime << "\n"
        << "corvane-bench's flags: " << context.flags << "\n"
        << "kernel plan: " << plan_text(context.kernel_plan)
        << " (each program measures again when it starts)\n";
    if (const auto& mpi = context.mpi) {
        out << "MPI: " << mpi->implementation << ", launcher " << mpi->launcher << ", library "
            << mpi->library;
        if (mpi->hostfile) out << ", hostfile " << *mpi->hostfile;
        out << "\n";
    }
    std::string omp;
    for (const auto& [name, value] : context.omp_variables)
        omp += (omp.empty() ? "" : " ") + name + "=" + value;
    out << "OMP_* in effect: " << (omp.empty() ? "none besides OMP_NUM_THREADS per cell" : omp) << "\n"
        << "runs per cell: " << context.runs << " after " << context.warmup << " warm-up, at most "
        << context.timeout_s << " s each; seed " << context.seed << "; " << context.date << "\n";
    return out.str();
}

}  // namespace corvane::bench
