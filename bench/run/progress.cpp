#include "bench/run/progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bench/base/stats.hpp"
#include "bench/base/text.hpp"

namespace corvane::bench {

std::optional<double> remaining_estimate_s(const std::vector<std::vector<double>>& wall_s_by_cell, int rounds,
                                           double timeout_s) {
    std::vector<double> all;
    for (const auto& walls : wall_s_by_cell) all.insert(all.end(), walls.begin(), walls.end());
    if (all.empty()) return std::nullopt;
    const double typical = median_of(all);
    double left = 0;
    for (const auto& walls : wall_s_by_cell) {
        const int remaining = std::max(0, rounds - static_cast<int>(walls.size()));
        const double each = walls.empty() ? typical : median_of(walls);
        left += remaining * std::min(each, timeout_s);
    }
    return left;
}

std::string eta_text(const std::optional<double>& seconds) {
    if (!seconds) return "";
    const double whole = std::round(*seconds);
    if (whole < 60) return "ETA ~" + formatted("%.0f s", whole);
    if (whole < 3600)
        return "ETA ~" + formatted("%.0f min ", std::floor(whole / 60)) +
               formatted("%02.0f s", std::fmod(whole, 60));
    return "ETA ~" + formatted("%.0f h ", std::floor(whole / 3600)) +
           formatted("%02.0f min", std::fmod(std::floor(whole / 60), 60));
}

namespace {

// Back to the start of the line, and the line erased.
constexpr const char* erase_line = "\r\033[K";
bool line_shown = false;

}  // namespace

void show_progress(const std::string& note) {
    if (!isatty(STDERR_FILENO)) return;
    std::fprintf(stderr, "%s%s", erase_line, note.c_str());
    line_shown = !note.empty();
}

void clear_progress() {
    if (line_shown) show_progress("");
}

}  // namespace corvane::bench
