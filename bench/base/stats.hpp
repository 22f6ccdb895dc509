// The statistics of corvane-bench: robust summaries of one cell's times,
// the rank test and confidence interval that compare uses, and scaling.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace corvane::bench {

// The programs count time in whole milliseconds.
inline constexpr double clock_tick_s = 0.001;

// A cell is unstable when its median absolute deviation exceeds this share
// of its median. One slow run moves the median and the MAD by at most one
// rank, so it cannot make a cell unstable on its own, as it can the cv.
inline constexpr double unstable_mad = 0.03;

// Outliers are named only from this many runs on: with fewer, three scaled
// MADs say little about what is usual.
inline constexpr int outlier_min_runs = 5;

struct summary {
    double median = 0, min = 0, max = 0, mean = 0, stddev = 0, cv = 0;
    double relative_mad = 0;  // median absolute deviation / median
    int outliers = 0;
};

// Sample standard deviation (n - 1); one sample has none (0). Outliers lie
// more than three scaled MADs from the median, the MAD counted as at least
// one clock tick so that readings a tick apart are not outliers.
summary summarize(const std::vector<double>& samples);
double median_of(std::vector<double> samples);

// The ratio of b to a (b / a) as the Hodges-Lehmann estimate on logarithms,
// with the distribution-free 95% confidence interval from the U statistic.
struct ratio_estimate {
    double ratio = 1, low = 1, high = 1;
};
ratio_estimate ratio_of(const std::vector<double>& a, const std::vector<double>& b);

// Holm's step-down adjustment of p-values for testing them all at once.
std::vector<double> holm_adjusted(const std::vector<double>& p);

// Below this many valid runs in either cell, the scaling has no interval.
inline constexpr std::size_t interval_min_runs = 3;

struct scaling {
    std::optional<double> speedup, efficiency, karp_flatt;
    // 95% intervals, from ratio_of (the estimator of compare) of the
    // baseline's times over the cell's, widened by one tick of the programs'
    // clock on each median (tick.hpp); efficiency's is speedup's / threads.
    std::optional<ratio_estimate> speedup_interval, efficiency_interval;
};

// Speedup against the baseline median; efficiency and the Karp-Flatt serial
// fraction only for a team of threads (more than one).
scaling scale(double baseline_median, double median, std::optional<int> threads);

}  // namespace corvane::bench

// The gate's tests, one-sided: whether the second sample tends to be larger
// than the first (new slower than old, in compare).
namespace corvane::bench {

// P(U >= the observed U) for the U of b against a (pairs with b above a,
// ties one half), under the hypothesis that the two samples come from one
// distribution: exact given the ties in the pooled values, by counting
// arrangements, up to 40 values in all (the one limit of every count, the
// interval's too); beyond, the normal approximation with tie and continuity
// correction.
double one_sided_p(const std::vector<double>& a, const std::vector<double>& b);

// Both one-sided p-values from one count: b larger (one_sided_p), and b
// smaller, P(U <= the observed U).
struct one_sided_ps {
    double b_larger = 1, b_smaller = 1;
};
one_sided_ps one_sided_tests(const std::vector<double>& a, const std::vector<double>& b);

// The smallest one-sided p-value the test can give for these sample sizes:
// one arrangement of all those with every value of b above every value of a.
double smallest_one_sided_p(std::size_t a, std::size_t b);

// Fisher's combination of independent p-values: P(chi-squared with 2k
// degrees of freedom >= -2 sum ln p). Valid for p-values that are never
// too small under their hypothesis, as exact rank tests' are (it is then
// conservative).
double fisher_combined_p(const std::vector<double>& p);

}  // namespace corvane::bench
