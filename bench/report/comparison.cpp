#include "bench/report/comparison.hpp"

#include <cmath>

#include "bench/base/text.hpp"

namespace corvane::bench {

namespace {

// A cell's line: the p-value of the direction its ratio points in, which
// is the one its verdict rests on. All cells together have no medians and
// no interval, only the geometric mean of their ratios.
std::vector<std::string> row_of(const cell_verdict& v, bool whole = false) {
    if (!v.compared)
        return {v.label, "-", "-", "-", "-", "-", v.verdict == change::lost ? "lost: " + v.why : v.why};
    const auto median = [whole](double s) { return whole ? std::string("-") : fixed(s, 3); };
    const std::string high = std::isinf(v.ratio.high) ? "inf" : fixed(v.ratio.high, 3);
    return {v.label,
            median(v.old_median_s),
            median(v.new_median_s),
            fixed(v.ratio.ratio, 3),
            whole ? "-" : "[" + fixed(v.ratio.low, 3) + ", " + high + "]",
            fixed(v.ratio.ratio > 1.0 ? v.p_slower_holm : v.p_faster_holm, 4),
            change_name(v.verdict)};
}

}  // namespace

table comparison_table(const comparison& result) {
    table rows = {{"cell", "old median s", "new median s", "ratio", "95% CI", "p (Holm)", "verdict"}};
    for (const cell_verdict& v : result.verdict.cells) rows.push_back(row_of(v));
    if (result.verdict.together) rows.push_back(row_of(*result.verdict.together, true));
    return rows;
}

std::vector<std::string> messages_of(const comparison& result, severity level) {
    std::vector<std::string> lines;
    for (const gate_message& m : result.verdict.messages)
        if (m.level == level) lines.push_back(m.text);
    return lines;
}

}  // namespace corvane::bench
