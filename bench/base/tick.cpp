#include "bench/base/tick.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "bench/base/text.hpp"

namespace corvane::bench {

namespace {

double mad_of(const std::vector<double>& values, double median) {
    std::vector<double> deviations;
    for (double x : values) deviations.push_back(std::fabs(x - median));
    return median_of(deviations);
}

}  // namespace

tick_spread spread_of(const std::vector<double>& times, double tick_s) {
    tick_spread spread;
    const double median = median_of(times);
    if (times.empty() || median <= 0.0) return spread;
    const double mad = mad_of(times, median);
    // Readings are whole ticks, computed in seconds: a MAD of one tick may
    // come out a hair above it.
    spread.within_tick = mad <= tick_s * (1.0 + 1e-9);
    spread.relative_mad = std::max(mad, tick_s) / median;
    return spread;
}

bool unstable_beyond_tick(const tick_spread& spread) {
    return !spread.within_tick && spread.relative_mad > unstable_mad;
}

ratio_estimate widened_by_tick(const ratio_estimate& ratio, double numerator_median_s,
                               double denominator_median_s, double tick_s) {
    if (numerator_median_s <= 0.0 || denominator_median_s <= 0.0) return ratio;
    ratio_estimate wide = ratio;
    wide.low = ratio.low * std::max(numerator_median_s - tick_s, 0.0) / numerator_median_s *
               denominator_median_s / (denominator_median_s + tick_s);
    wide.high = denominator_median_s <= tick_s
                    ? std::numeric_limits<double>::infinity()
                    : ratio.high * (numerator_median_s + tick_s) / numerator_median_s * denominator_median_s /
                          (denominator_median_s - tick_s);
    return wide;
}

process_estimate process_estimate_of(const std::vector<double>& wall_times) {
    process_estimate estimate;
    estimate.median_s = median_of(wall_times);
    if (estimate.median_s > 0.0)
        estimate.relative_mad = mad_of(wall_times, estimate.median_s) / estimate.median_s;
    return estimate;
}

std::string short_cell_warning(const std::string& label, double median_s, const process_estimate& process,
                               double tick_s) {
    if (median_s >= fewest_ticks * tick_s) return "";
    const double ticks = median_s / tick_s;
    const std::string tick_text = formatted("%g ms", tick_s * 1e3);
    std::string text = label + ": median " + formatted("%.3f", median_s) + " s is " + formatted("%g", ticks) +
                       " tick(s) of the programs' " + tick_text + " clock, under " +
                       formatted("%g", fewest_ticks) + ": its time, spread and speedup are good to ";
    text += ticks > 0.0 ? "about " + formatted("%.0f", 100.0 / ticks) + "% (one tick)" : "no digit";
    if (process.median_s > 0.0)
        text += "; the harness's clock read " + formatted("%.4f", process.median_s) +
                " s for the whole process (start-up and exit included)";
    return text;
}

scaling scale(const std::vector<double>& baseline_times, const std::vector<double>& times,
              std::optional<int> threads) {
    scaling result = scale(median_of(baseline_times), median_of(times), threads);
    if (!result.speedup || baseline_times.size() < interval_min_runs || times.size() < interval_min_runs)
        return result;
    // A speedup is the ratio of the baseline's times to the cell's, each
    // read on the programs' millisecond clock.
    result.speedup_interval =
        widened_by_tick(ratio_of(times, baseline_times), median_of(baseline_times), median_of(times));
    if (result.efficiency) {
        const double p = threads && *threads > 1 ? *threads : 1.0;
        const ratio_estimate& s = *result.speedup_interval;
        result.efficiency_interval = ratio_estimate{s.ratio / p, s.low / p, s.high / p};
    }
    return result;
}

}  // namespace corvane::bench
