#include <algorithm>
#include <set>
#include <sstream>

#include "bench/build_record.hpp"
#include "bench/machine.hpp"
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

}  // namespace

std::string plan_text(const std::map<std::string, order_plan>& plans) {
    std::string text;
    for (const auto& [order, shown] : {std::pair{"strict", "strict"}, std::pair{"four_lane", "four-lane"}})
        if (const auto plan = plans.find(order); plan != plans.end())
            text += (text.empty() ? "" : ", ") + std::string(shown) + " " + plan->second.chosen;
    return text;
}

namespace {

// Notes split after each ", ", the places where they may wrap.
std::vector<std::string> note_pieces(const std::string& notes) {
    std::vector<std::string> pieces;
    for (std::size_t start = 0; start < notes.size();) {
        const auto comma = notes.find(", ", start);
        const auto end = comma == std::string::npos ? notes.size() : comma + 1;
        pieces.push_back(notes.substr(start, end - start));
        start = comma == std::string::npos ? end : comma + 2;
    }
    return pieces;
}

// The notes as lines of at most `width` characters where they can be.
std::vector<std::string> wrapped(const std::string& notes, std::size_t width) {
    std::vector<std::string> lines{""};
    for (const auto& piece : note_pieces(notes)) {
        if (!lines.back().empty() && width_of(lines.back()) + 1 + width_of(piece) > width)
            lines.emplace_back();
        lines.back() += (lines.back().empty() ? "" : " ") + piece;
    }
    return lines;
}

}  // namespace

std::string terminal_table(const table& rows, std::size_t max_width) {
    const std::size_t last = rows[0].size() - 1;
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (std::size_t col = 0; col < row.size(); ++col)
            widths[col] = std::max(widths[col], width_of(row[col]));
    std::size_t before_last = 0;
    for (std::size_t col = 0; col < last; ++col) before_last += widths[col] + 2;
    if (max_width > before_last && last > 0) {
        std::size_t narrowest = width_of(rows[0][last]);  // no note is cut within itself
        for (const auto& row : rows)
            for (const auto& piece : note_pieces(row[last])) narrowest = std::max(narrowest, width_of(piece));
        widths[last] = std::max(narrowest, std::min(widths[last], max_width - before_last));
    }
    std::ostringstream out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (std::size_t col = 0; col < last; ++col) {
            const std::string pad(widths[col] - width_of(rows[r][col]), ' ');
            // Names read left to right; numbers line up on the right.
            line += (col ? "  " : "") + (col == 0 ? rows[r][col] + pad : pad + rows[r][col]);
        }
        const auto notes = wrapped(rows[r][last], widths[last]);
        for (std::size_t n = 0; n < notes.size(); ++n) {
            std::string text =
                (n == 0 ? line : std::string(before_last - 2, ' ')) + (last ? "  " : "") + notes[n];
            text.erase(text.find_last_not_of(' ') + 1);
            out << text << "\n";
        }
        if (r == 0) out << std::string(before_last + widths[last], '-') << "\n";
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
        << context.logical_cores << " logical cores\n";
    if (!context.machine.hostname.empty()) out << "machine: " << machine_text(context.machine) << "\n";
    for (const auto& [label, text] : builds_summary(context.program_builds))
        out << label << ": " << text << "\n";
    out << "corvane-bench's build: corvane " << context.version << " (" << context.commit << "), "
        << context.compiler << ", " << context.build_type << ", OpenMP runtime " << context.openmp_runtime
        << "\n"
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
    if (!context.binding.empty() && context.binding != "none")
        out << "binding: " << context.binding
            << " (OMP_PLACES and OMP_PROC_BIND per cell; ranks by the launcher's own options)\n";
    out << "OMP_* in effect: " << (omp.empty() ? "none besides OMP_NUM_THREADS per cell" : omp) << "\n"
        << "runs per cell: " << context.runs << " after " << context.warmup << " warm-up, at most "
        << context.timeout_s << " s each; seed " << context.seed << "; " << context.date << "\n";
    return out.str();
}

}  // namespace corvane::bench
