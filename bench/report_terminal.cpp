#include <algorithm>
#include <sstream>

#include "bench/report.hpp"

namespace corvane::bench {

namespace {

// Display width in characters, not bytes ("±" is two bytes of UTF-8).
std::size_t width_of(const std::string& text) {
    std::size_t width = 0;
    for (char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return width;
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

std::string context_text(const nlohmann::json& context, std::uint64_t seed) {
    std::ostringstream out;
    out << "processor: " << context["processor"].get<std::string>() << ", "
        << context["usable_cpus"].get<int>() << " usable of " << context["logical_cores"].get<unsigned>()
        << " logical cores\n"
        << "build: corvane " << context["version"].get<std::string>() << " ("
        << context["commit"].get<std::string>() << "), " << context["compiler"].get<std::string>() << ", "
        << context["build_type"].get<std::string>() << ", OpenMP runtime "
        << context["openmp_runtime"].get<std::string>() << "\n"
        << "flags: " << context["flags"].get<std::string>() << "\n"
        << "kernel plan: strict " << context["kernel_plan"]["strict"]["chosen"].get<std::string>()
        << ", four-lane " << context["kernel_plan"]["four_lane"]["chosen"].get<std::string>()
        << " (each program measures again when it starts)\n";
    if (context.contains("mpi")) {
        const auto& mpi = context["mpi"];
        out << "MPI: " << mpi["implementation"].get<std::string>() << ", launcher "
            << mpi["launcher"].get<std::string>() << ", library " << mpi["library"].get<std::string>();
        if (!mpi["hostfile"].is_null()) out << ", hostfile " << mpi["hostfile"].get<std::string>();
        out << "\n";
    }
    std::string omp;
    for (const auto& [name, value] : context["omp_variables"].items())
        omp += (omp.empty() ? "" : " ") + name + "=" + value.get<std::string>();
    out << "OMP_* in effect: " << (omp.empty() ? "none besides OMP_NUM_THREADS per cell" : omp) << "\n"
        << "runs per cell: " << context["runs"].get<int>() << " after " << context["warmup"].get<int>()
        << " warm-up, at most " << context["timeout_s"].get<double>() << " s each; seed " << seed << "; "
        << context["date"].get<std::string>() << "\n";
    return out.str();
}

}  // namespace corvane::bench
