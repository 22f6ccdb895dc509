#include <algorithm>
#include <map>
#include <sstream>

#include "bench/report/report.hpp"

namespace corvane::bench {

std::string plot_script(const std::vector<cell>& cells) {
    std::map<std::string, std::vector<std::pair<int, double>>> series;
    int most_threads = 1;
    for (const cell& c : cells) {
        const auto count = workers(c);
        if (!count) continue;
        most_threads = std::max(most_threads, *count);
        const std::string name = c.program + (c.ranks ? ", " + std::to_string(*c.ranks) + " ranks" : "");
        if (const auto speedup = c.statistics.scaled.speedup) series[name].emplace_back(*count, *speedup);
    }
    std::ostringstream out;
    // No output file: gnuplot writes the SVG to its standard output.
    out << "set terminal svg size 800,500 dynamic font 'sans,12' background rgb 'white'\n"
        << "set title 'Speedup against the serial program of the same order'\n"
        << "set xlabel 'threads (ranks x threads for corvane-mpi)'\nset ylabel 'speedup'\nset grid\n"
        << "set key left top\nset xrange [0.8:" << most_threads + 0.2 << "]\nset yrange [0:*]\nset xtics 1\n"
        << "plot x title 'ideal' with lines dashtype 2 linecolor rgb 'gray'";
    for (const auto& [program, points] : series)
        out << ", '-' with linespoints pointtype 7 title '" << program << "'";
    out << "\n";
    for (const auto& [program, points] : series) {
        for (const auto& [threads, speedup] : points) out << threads << " " << speedup << "\n";
        out << "e\n";
    }
    return out.str();
}

}  // namespace corvane::bench
