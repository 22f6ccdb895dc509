#include "tools/kernels/term_check.hpp"

#include <algorithm>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "core/corvane.hpp"

namespace corvane {

namespace {

// The processors this process may run on: its affinity mask (taskset, a
// batch scheduler) where the system has one, not every processor the
// machine has.
int usable_processors() {
#if defined(__linux__)
    cpu_set_t mask;
    if (sched_getaffinity(0, sizeof mask, &mask) == 0) return std::max(1, CPU_COUNT(&mask));
#endif
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace

std::int64_t differing_terms(const kernel& checked, std::int32_t first, std::int32_t count) {
    return differing_terms(checked.terms, first, count, usable_processors());
}

std::int64_t differing_terms(term_kernel terms, std::int32_t first, std::int32_t count, int workers) {
    constexpr std::int32_t chunk = 1 << 14;
    std::vector<std::int64_t> differing(static_cast<std::size_t>(workers), 0);
    auto check = [&](int worker) {
        std::vector<double> got(chunk);
        const block mine = static_block(first, count, workers, worker);
        for (std::int32_t done = 0; done < mine.count; done += chunk) {
            const std::int32_t n = std::min(chunk, mine.count - done);
            terms(mine.first + done, n, step, got.data());
            for (std::int32_t j = 0; j < n; ++j) {
                const double expected = midpoint_term(mine.first + done + j, index_form::zero_based, step);
                // Terms are finite and positive: equal values are equal bits.
                if (got[static_cast<std::size_t>(j)] != expected)
                    ++differing[static_cast<std::size_t>(worker)];
            }
        }
    };
    std::vector<std::thread> threads;
    for (int worker = 1; worker < workers; ++worker) threads.emplace_back(check, worker);
    check(0);
    for (auto& thread : threads) thread.join();
    std::int64_t total = 0;
    for (std::int64_t d : differing) total += d;
    return total;
}

}  // namespace corvane
