#include <algorithm>
#include <cmath>
#include <numeric>

#include "harness.hpp"

namespace corvane::bench {

namespace {

constexpr double clock_tick_s = 0.001;

// U of a against b: pairs with a above b, ties counting one half.
double u_statistic(const std::vector<double>& a, const std::vector<double>& b) {
    double u = 0.0;
    for (double x : a)
        for (double y : b) u += x > y ? 1.0 : x == y ? 0.5 : 0.0;
    return u;
}

double exact_p(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> pooled(a);
    pooled.insert(pooled.end(), b.begin(), b.end());
    const double centre = static_cast<double>(a.size() * b.size()) / 2.0;
    const double observed = std::fabs(u_statistic(a, b) - centre);
    // Every way of choosing which pooled values form the first sample.
    std::vector<bool> chosen(pooled.size(), false);
    std::fill(chosen.begin(), chosen.begin() + static_cast<long>(a.size()), true);
    std::sort(chosen.begin(), chosen.end());
    long as_extreme = 0, total = 0;
    do {
        std::vector<double> first, second;
        for (std::size_t i = 0; i < pooled.size(); ++i)
            (chosen[i] ? first : second).push_back(pooled[i]);
        if (std::fabs(u_statistic(first, second) - centre) >= observed - 1e-9) ++as_extreme;
        ++total;
    } while (std::next_permutation(chosen.begin(), chosen.end()));
    return static_cast<double>(as_extreme) / static_cast<double>(total);
}

double normal_p(const std::vector<double>& a, const std::vector<double>& b) {
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
    const double variance = n1 * n2 / 12.0 * ((n + 1.0) - ties / (n * (n - 1.0)));
    if (variance <= 0.0) return 1.0;
    const double z = (std::fabs(u_statistic(a, b) - n1 * n2 / 2.0) - 0.5) / std::sqrt(variance);
    return std::min(1.0, std::erfc(std::max(z, 0.0) / std::sqrt(2.0)));
}

double binomial(std::size_t n, std::size_t k) {
    double result = 1.0;
    for (std::size_t i = 1; i <= k; ++i)
        result = result * static_cast<double>(n - k + i) / static_cast<double>(i);
    return result;
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
    const double mad = std::max(median_of(deviations), clock_tick_s);
    for (double d : deviations) s.outliers += d > 3.0 * 1.4826 * mad ? 1 : 0;
    return s;
}

double mann_whitney_p(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.empty() || b.empty()) return 1.0;
    return binomial(a.size() + b.size(), a.size()) <= 200000.0 ? exact_p(a, b) : normal_p(a, b);
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
