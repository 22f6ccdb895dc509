// What a millisecond clock can say. The programs report whole milliseconds
// (clock_tick_s): a difference of two readings is the true time give or
// take one tick. On a machine with many cores a cell lasts a few ticks
// (600 ms over 128 threads is about 5 ms), and its spread and intervals are
// then mostly the clock's, not the program's.
#pragma once

#include <string>
#include <vector>

#include "bench/base/stats.hpp"

namespace corvane::bench {

// Below this many ticks a cell's median is warned about before the figures.
// At 50 ticks one tick is 2% of the median, under the 3% spread that marks
// a cell unstable (unstable_mad): above it the clock no longer dominates
// what the table shows.
inline constexpr double fewest_ticks = 50.0;

// A spread read through the tick: a MAD of at most one tick cannot be told
// from the clock's own rounding (readings 4, 5, 5, 5, 6 ms have a MAD of 0
// and may come from runs of 5.0 ms each or from 4.2 to 5.9 ms). The share
// is then the tick's, an upper bound, and says nothing about stability.
struct tick_spread {
    double relative_mad = 0;   // max(MAD, one tick) / median
    bool within_tick = false;  // the MAD is at most one tick: an upper bound
};
tick_spread spread_of(const std::vector<double>& times, double tick_s = clock_tick_s);

// Unstable only where the spread is the program's, not the clock's.
bool unstable_beyond_tick(const tick_spread& spread);

// The interval of a ratio of times, numerator over denominator (compare's
// new / old, a speedup's baseline / cell), widened by one tick on each time,
// taken at the medians: the low end as if the numerator read one tick long
// and the denominator one tick short, the high end the other way. A
// denominator of one tick or less leaves the high end unbounded (infinity).
ratio_estimate widened_by_tick(const ratio_estimate& ratio, double numerator_median_s,
                               double denominator_median_s, double tick_s = clock_tick_s);

// scale() (stats.hpp) with the intervals, from the baseline's and the
// cell's times, each read on the programs' millisecond clock and so widened
// by its tick.
scaling scale(const std::vector<double>& baseline_times, const std::vector<double>& times,
              std::optional<int> threads);

// The harness's own clock, nanoseconds, over the whole process: a second
// estimate of a short cell's time, with start-up, the kernel plan and exit
// included, so it reads longer than the program's own figure.
struct process_estimate {
    double median_s = 0;  // of the valid runs' wall times
    double relative_mad = 0;
};
process_estimate process_estimate_of(const std::vector<double>& wall_times);

// "corvane-omp threads 128: median 0.005 s is 5 ticks of the programs' 1 ms
// clock, ...": the warning before the figures for a cell whose median is
// under fewest_ticks, or empty. The process clock's figure goes beside it.
std::string short_cell_warning(const std::string& label, double median_s, const process_estimate& process,
                               double tick_s = clock_tick_s);

}  // namespace corvane::bench
