#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <numeric>

#include "bench/base/stats.hpp"

namespace corvane::bench {

namespace {

// U of a against b: pairs with a above b, ties counting one half.
double u_statistic(const std::vector<double>& a, const std::vector<double>& b) {
    double u = 0.0;
    for (double x : a)
        for (double y : b) u += x > y ? 1.0 : x == y ? 0.5 : 0.0;
    return u;
}

// The variance of U under the null hypothesis, corrected for ties.
double u_variance(const std::vector<double>& a, const std::vector<double>& b) {
    const double n1 = static_cast<double>(a.size()), n2 = static_cast<double>(b.size());
    std::vector<double> pooled(a);
    pooled.insert(pooled.end(), b.begin(), b.end());
    std::sort(pooled.begin(), pooled.end());
    double ties = 0.0;
    for (std::size_t i = 0; i < pooled.size();) {
        std::size_t j = i;
        while (j < pooled.size() && pooled[j] == pooled[i]) ++j;
        const double t = static_cast<double>(j - i);
        ties += t * t * t - t;
        i = j;
    }
    const double n = n1 + n2;
    return n1 * n2 / 12.0 * ((n + 1.0) - ties / (n * (n - 1.0)));
}

double binomial(std::size_t n, std::size_t k) {
    double result = 1.0;
    for (std::size_t i = 1; i <= k; ++i)
        result = result * static_cast<double>(n - k + i) / static_cast<double>(i);
    return result;
}

// One rule for every count of arrangements, the one-sided p-values and the
// interval's critical value alike: exact up to this many values in both
// samples, the normal approximation beyond. C(40, 20) is about 1.4e11, well
// inside the integers a double holds exactly; the counts take microseconds
// and the critical value's table at most 21 x 21 x 401 doubles.
constexpr std::size_t exact_values_limit = 40;

bool counted_exactly(std::size_t m, std::size_t n) { return m + n <= exact_values_limit; }

// The largest c with P(U <= c) <= 2.5% under the null hypothesis, or -1 if
// even U = 0 is likelier: exact from the counts of arrangements for small
// samples, the normal approximation otherwise.
long counted_critical_u(std::size_t m, std::size_t n) {
    const std::size_t most = m * n;
    if (!counted_exactly(m, n)) {
        const double mean = static_cast<double>(most) / 2.0;
        const double sd = std::sqrt(static_cast<double>(most) * static_cast<double>(m + n + 1) / 12.0);
        return static_cast<long>(std::floor(mean - 1.959964 * sd));
    }
    // ways[i][j][u]: arrangements of i values of one sample and j of the
    // other with U = u, built up one value at a time.
    std::vector<std::vector<std::vector<double>>> ways(
        m + 1, std::vector<std::vector<double>>(n + 1, std::vector<double>(most + 1, 0.0)));
    for (std::size_t i = 0; i <= m; ++i)
        for (std::size_t j = 0; j <= n; ++j) {
            if (i == 0 || j == 0) {
                ways[i][j][0] = 1.0;
                continue;
            }
            for (std::size_t u = 0; u <= i * j; ++u)
                ways[i][j][u] = (u >= j ? ways[i - 1][j][u - j] : 0.0) + ways[i][j - 1][u];
        }
    const double total = binomial(m + n, m);
    double below = 0.0;
    long c = -1;
    for (std::size_t u = 0; u <= most; ++u) {
        below += ways[m][n][u];
        if (below / total > 0.025) break;
        c = static_cast<long>(u);
    }
    return c;
}

// The table depends on the sample sizes alone, and compare asks for the same
// few sizes for every cell.
long lower_critical_u(std::size_t m, std::size_t n) {
    static thread_local std::map<std::pair<std::size_t, std::size_t>, long> known;
    const auto found = known.find({m, n});
    if (found != known.end()) return found->second;
    return known[{m, n}] = counted_critical_u(m, n);
}

std::vector<double> sorted_logs(const std::vector<double>& values) {
    std::vector<double> logs;
    for (double v : values) logs.push_back(std::log(v));
    std::sort(logs.begin(), logs.end());
    return logs;
}

// How many differences log_b[j] - log_a[i] are at most t. Rounding keeps
// each difference monotonic in both logs, so the count is a staircase
// walked once: the larger log_a[i], the more of log_b qualify.
std::size_t differences_at_most(const std::vector<double>& log_a, const std::vector<double>& log_b,
                                double t) {
    std::size_t count = 0, j = 0;
    for (double x : log_a) {
        while (j < log_b.size() && log_b[j] - x <= t) ++j;
        count += j;
    }
    return count;
}

// A double's place among all doubles, as an unsigned number.
std::uint64_t order_key(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits >> 63 ? ~bits : bits | (std::uint64_t{1} << 63);
}
double from_order_key(std::uint64_t key) {
    const std::uint64_t bits = key >> 63 ? key & ~(std::uint64_t{1} << 63) : ~key;
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The k-th smallest (from 0) of all m x n differences log_b[j] - log_a[i],
// each computed as a sort of them all would compute it, without forming
// them: the smallest double with more than k differences at or below it,
// found by halving the doubles between the extremes (at most 64 steps of
// m + n each). Hodges-Lehmann over a thousand runs against a thousand is
// then milliseconds, not a sort of a million values.
double nth_difference(const std::vector<double>& log_a, const std::vector<double>& log_b, std::size_t k) {
    std::uint64_t low = order_key(log_b.front() - log_a.back()),
                  high = order_key(log_b.back() - log_a.front());
    while (low < high) {
        const std::uint64_t middle = low + (high - low) / 2;
        if (differences_at_most(log_a, log_b, from_order_key(middle)) > k)
            high = middle;
        else
            low = middle + 1;
    }
    return from_order_key(low);
}

}  // namespace

double median_of(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    if (n == 0) return 0.0;
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
}

summary summarize(const std::vector<double>& samples) {
    summary s;
    if (samples.empty()) return s;
    const double n = static_cast<double>(samples.size());
    s.median = median_of(samples);
    s.min = *std::min_element(samples.begin(), samples.end());
    s.max = *std::max_element(samples.begin(), samples.end());
    s.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / n;
    double squares = 0.0;
    for (double x : samples) squares += (x - s.mean) * (x - s.mean);
    s.stddev = samples.size() > 1 ? std::sqrt(squares / (n - 1.0)) : 0.0;
    s.cv = s.mean > 0.0 ? s.stddev / s.mean : 0.0;

    std::vector<double> deviations;
    for (double x : samples) deviations.push_back(std::fabs(x - s.median));
    const double mad = median_of(deviations);
    s.relative_mad = s.median > 0.0 ? mad / s.median : 0.0;
    if (samples.size() >= outlier_min_runs) {
        const double limit = 3.0 * 1.4826 * std::max(mad, clock_tick_s);
        for (double d : deviations) s.outliers += d > limit ? 1 : 0;
    }
    return s;
}

ratio_estimate ratio_of(const std::vector<double>& a, const std::vector<double>& b) {
    ratio_estimate estimate;
    if (a.empty() || b.empty()) return estimate;
    const std::vector<double> log_a = sorted_logs(a), log_b = sorted_logs(b);
    const std::size_t count = a.size() * b.size();
    const auto nth = [&](std::size_t k) { return nth_difference(log_a, log_b, k); };
    const double median = count % 2 ? nth(count / 2) : (nth(count / 2 - 1) + nth(count / 2)) / 2.0;
    estimate.ratio = std::exp(median);
    const long c = lower_critical_u(a.size(), b.size());
    // The interval runs from the (c+1)-th smallest difference to the
    // (c+1)-th largest; with too few runs for that, the whole range.
    const std::size_t low = c >= 0 ? static_cast<std::size_t>(c) : 0;
    const std::size_t high = c >= 0 ? count - 1 - static_cast<std::size_t>(c) : count - 1;
    estimate.low = std::exp(nth(low));
    estimate.high = std::exp(nth(high));
    return estimate;
}

std::vector<double> holm_adjusted(const std::vector<double>& p) {
    std::vector<std::size_t> order(p.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&p](std::size_t i, std::size_t j) { return p[i] < p[j]; });
    std::vector<double> adjusted(p.size());
    double running = 0.0;
    for (std::size_t rank = 0; rank < order.size(); ++rank) {
        const double scaled = static_cast<double>(p.size() - rank) * p[order[rank]];
        running = std::max(running, std::min(1.0, scaled));
        adjusted[order[rank]] = running;
    }
    return adjusted;
}

scaling scale(double baseline_median, double median, std::optional<int> threads) {
    scaling result;
    if (baseline_median <= 0.0 || median <= 0.0) return result;
    const double speedup = baseline_median / median;
    result.speedup = speedup;
    if (threads && *threads > 1) {
        const double p = *threads;
        result.efficiency = speedup / p;
        result.karp_flatt = (1.0 / speedup - 1.0 / p) / (1.0 - 1.0 / p);
    } else if (threads) {
        result.efficiency = speedup;
    }
    return result;
}

}  // namespace corvane::bench

namespace corvane::bench {

namespace {

double log_binomial(double n, double k) {
    return std::lgamma(n + 1.0) - std::lgamma(k + 1.0) - std::lgamma(n - k + 1.0);
}

// The null distribution of 2U given the ties: the pooled values in groups of
// equal values, ascending; choosing k of a group of t for b adds to 2U, for
// each of the k, twice the a-values below the group and the t - k a-values
// level with it. ways[j][s] counts the arrangements with j values of b so
// far and 2U = s.
one_sided_ps exact_one_sided(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> pooled(a);
    pooled.insert(pooled.end(), b.begin(), b.end());
    std::sort(pooled.begin(), pooled.end());
    const std::size_t nb = b.size(), width = 2 * a.size() * b.size() + 1;
    // ways[j * width + s], and the next group's counts beside it.
    std::vector<double> ways(width * (nb + 1), 0.0), next(ways.size());
    ways[0] = 1.0;
    std::size_t before = 0, highest = 0;  // values of earlier groups; the largest 2U so far
    for (std::size_t i = 0; i < pooled.size();) {
        std::size_t t = 0;
        while (i + t < pooled.size() && pooled[i + t] == pooled[i]) ++t;
        std::fill(next.begin(), next.end(), 0.0);
        std::size_t reached = 0;
        for (std::size_t j = 0; j <= std::min(nb, before); ++j) {
            const std::size_t a_below = before - j;
            for (std::size_t k = 0; k <= t && j + k <= nb; ++k) {
                if (a_below + (t - k) > a.size()) continue;
                const std::size_t adds = k * (2 * a_below + (t - k));
                const double choices = binomial(t, k);
                const double* from = &ways[j * width];
                double* to = &next[(j + k) * width + adds];
                for (std::size_t s = 0; s <= highest && s + adds < width; ++s)
                    if (from[s] != 0.0) to[s] += from[s] * choices;
                reached = std::max(reached, std::min(highest + adds, width - 1));
            }
        }
        std::swap(ways, next);
        highest = reached;
        before += t;
        i += t;
    }
    const double observed = 2.0 * u_statistic(b, a);
    double as_large = 0.0, as_small = 0.0, total = 0.0;
    for (std::size_t s = 0; s < width; ++s) {
        const double count = ways[nb * width + s];
        total += count;
        if (static_cast<double>(s) >= observed - 1e-9) as_large += count;
        if (static_cast<double>(s) <= observed + 1e-9) as_small += count;
    }
    return {as_large / total, as_small / total};
}

one_sided_ps normal_one_sided(const std::vector<double>& a, const std::vector<double>& b) {
    const double n1 = static_cast<double>(a.size()), n2 = static_cast<double>(b.size());
    const double variance = u_variance(a, b);
    if (variance <= 0.0) return {};
    const double shift = u_statistic(b, a) - n1 * n2 / 2.0, sd = std::sqrt(variance);
    return {std::min(1.0, 0.5 * std::erfc((shift - 0.5) / sd / std::sqrt(2.0))),
            std::min(1.0, 0.5 * std::erfc((-shift - 0.5) / sd / std::sqrt(2.0)))};
}

}  // namespace

one_sided_ps one_sided_tests(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.empty() || b.empty()) return {};
    return counted_exactly(a.size(), b.size()) ? exact_one_sided(a, b) : normal_one_sided(a, b);
}

double one_sided_p(const std::vector<double>& a, const std::vector<double>& b) {
    return one_sided_tests(a, b).b_larger;
}

double smallest_one_sided_p(std::size_t a, std::size_t b) {
    if (a == 0 || b == 0) return 1.0;
    // Exactly where the count is an integer a double holds: 3 against 3
    // runs give 1/20, which is not below 0.05.
    const double count = binomial(a + b, a);
    if (count < 9e15) return 1.0 / count;
    return std::exp(-log_binomial(static_cast<double>(a + b), static_cast<double>(a)));
}

double fisher_combined_p(const std::vector<double>& p) {
    if (p.empty()) return 1.0;
    double half = 0.0;  // half the statistic, -sum ln p
    for (double x : p) half -= std::log(std::max(x, 1e-300));
    // P(chi-squared(2k) >= 2h) = exp(-h) sum_{i<k} h^i / i!, summed in logs.
    const double log_half = std::log(std::max(half, 1e-300));
    double log_sum = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < p.size(); ++i) {
        const double term = static_cast<double>(i) * log_half - std::lgamma(static_cast<double>(i) + 1.0);
        const double high = std::max(log_sum, term);
        log_sum = high + std::log(std::exp(log_sum - high) + std::exp(term - high));
    }
    return std::min(1.0, std::exp(log_sum - half));
}

}  // namespace corvane::bench
