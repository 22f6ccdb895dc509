#include "bench/run/contention.hpp"

#include <algorithm>

#include "bench/base/stats.hpp"
#include "bench/base/text.hpp"

namespace corvane::bench {

void assess_contention(cell& c) {
    cell_statistics& r = c.statistics;
    const int threads = workers(c).value_or(1);
    std::vector<double> parallelism, share, preemptions;
    for (const auto& s : c.samples) {
        if (!s.valid || !s.user_s || !s.system_s || s.wall_s <= 0.0) continue;
        const double cpu_s = *s.user_s + *s.system_s;
        parallelism.push_back(cpu_s / s.wall_s);
        share.push_back(cpu_s / (threads * s.reported_s + std::max(s.wall_s - s.reported_s, 0.0)));
        if (s.involuntary_switches && cpu_s > 0.0)
            preemptions.push_back(static_cast<double>(*s.involuntary_switches) / cpu_s);
    }
    // The median: one run that met a passing job does not mark the cell.
    if (!parallelism.empty()) r.parallelism = median_of(parallelism);
    if (!preemptions.empty()) r.preemptions_per_cpu_s = median_of(preemptions);
    // A rule that had nothing to go on says so rather than calling the cell quiet.
    r.contention_basis = parallelism.empty() ? "nothing"
                         : c.ranks           ? (preemptions.empty() ? "nothing" : "switches alone")
                         : threads <= 1 || preemptions.empty() ? "CPU time alone"
                                                               : "CPU time and switches";
    const double busy = share.empty() ? 1.0 : median_of(share);
    const double rate = r.preemptions_per_cpu_s.value_or(0.0);
    if (!c.ranks && busy < least_parallel_share)
        r.contention = "parallelism " + fixed(*r.parallelism, 2) + " on " + std::to_string(threads) +
                       (threads == 1 ? " thread: " : " threads: ") + fixed(busy * 100.0, 0) +
                       "% of the CPU time " + std::to_string(threads) +
                       (threads == 1 ? " busy thread" : " busy threads") + " would use, below " +
                       fixed(least_parallel_share * 100.0, 0) + "%";
    else if (threads > 1 && rate > most_preemptions_per_cpu_s)
        r.contention = fixed(rate, 0) + " involuntary context switches per second of CPU time, above " +
                       fixed(most_preemptions_per_cpu_s, 0) + ": its threads waited for a processor";
    else if (threads > 1 && !c.ranks && rate > many_preemptions_per_cpu_s && busy < busy_share)
        r.contention = fixed(rate, 0) + " involuntary context switches per second of CPU time, above " +
                       fixed(many_preemptions_per_cpu_s, 0) + ", and " + fixed(busy * 100.0, 0) +
                       "% of the CPU time " + std::to_string(threads) + " busy threads would use, below " +
                       fixed(busy_share * 100.0, 0) + "%: its threads waited for a processor";
    r.contended = !r.contention.empty();
}

std::vector<std::string> contention_warnings(const std::vector<cell>& cells) {
    std::vector<std::string> warnings;
    for (const auto& c : cells) {
        if (!c.statistics.contended) continue;
        // The serial programs are the baselines of the speedups.
        const bool own = c.statistics.scaled.speedup.has_value(), baseline = !c.threads;
        const std::string doubtful = own && baseline ? "its speedup and the speedups taken against it"
                                     : baseline      ? "the speedups taken against it"
                                                     : "its speedup, efficiency and serial fraction";
        warnings.push_back("contended: " + cell_label(c) + ": " + c.statistics.contention + "; " + doubtful +
                           " are doubtful");
    }
    return warnings;
}

}  // namespace corvane::bench
