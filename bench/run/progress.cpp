#include "bench/run/progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bench/base/stats.hpp"

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
    const long whole = std::lround(*seconds);
    char text[64];
    if (whole < 60)
        std::snprintf(text, sizeof text, "ETA ~%ld s", whole);
    else if (whole < 3600)
        std::snprintf(text, sizeof text, "ETA ~%ld min %02ld s", whole / 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "ETA ~%ld h %02ld min", whole / 3600, whole / 60 % 60);
    return text;
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
