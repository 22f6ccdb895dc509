#include <algorithm>
#include <chrono>
#include <string_view>
#include <thread>
#include <vector>

#include "core/corvane.hpp"
#include "core/kernels.hpp"

extern const corvane::kernel corvane_baseline_divide;
#if defined(CORVANE_X86_PATHS)
extern const corvane::kernel corvane_avx2_divide;
extern const corvane::kernel corvane_avx2_newton;
extern const corvane::kernel corvane_avx512_divide;
extern const corvane::kernel corvane_avx512_newton;
#endif

namespace corvane {

int supported_kernels(const kernel* kernels[max_kernels]) {
    int count = 0;
    kernels[count++] = &corvane_baseline_divide;
#if defined(CORVANE_X86_PATHS)
    // __builtin_cpu_supports also checks that the operating system saves the
    // wide registers, not only that the processor has them.
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2");
    const bool fma = avx2 && __builtin_cpu_supports("fma");
    const bool avx512 = __builtin_cpu_supports("avx512f");  // includes its own FMA
    if (avx2) kernels[count++] = &corvane_avx2_divide;
    if (avx512) kernels[count++] = &corvane_avx512_divide;
    if (fma) kernels[count++] = &corvane_avx2_newton;
    if (avx512) kernels[count++] = &corvane_avx512_newton;
#endif
    return count;
}

int choose_kernel(const double ns_per_term[], int count) {
    const double fastest = *std::min_element(ns_per_term, ns_per_term + count);
    int chosen = 0;
    while (ns_per_term[chosen] > fastest * (1.0 + plan_margin)) ++chosen;
    return chosen;
}

namespace {

using seconds = std::chrono::duration<double>;

// Long enough that a reading is hundreds of clock resolutions, short enough
// that all candidates together stay near a millisecond.
constexpr std::int32_t plan_first = 500000000;
constexpr std::int32_t plan_terms = 8192;
constexpr int plan_rounds = 12;

sum_kernel kernel_for(const kernel& k, summation_order order) {
    return order == summation_order::strict ? k.strict : k.four_lane;
}

const kernel& widest_divide_kernel() {
    const kernel* kernels[max_kernels];
    const int count = supported_kernels(kernels);
    int widest = 0;
    for (int i = 0; i < count; ++i)
        if (std::string_view(kernels[i]->method) == "divide") widest = i;
    return *kernels[widest];
}

// Written only before any thread that sums exists, like step.
const kernel& unplanned = widest_divide_kernel();
const kernel* planned[2] = {&unplanned, &unplanned};

}  // namespace

kernel_plan measure_plan(summation_order order) {
    const auto started = std::chrono::steady_clock::now();
    kernel_plan plan{};
    plan.order = order;
    plan.count = supported_kernels(plan.candidates);

    volatile double sink = 0.0;
    double best[max_kernels];
    for (int i = 0; i < plan.count; ++i) {
        // Once untimed: brings in the code and wakes the wide units.
        sink = sink + kernel_for(*plan.candidates[i], order)(plan_first, plan_terms, 0.0, step);
        best[i] = 1e9;
    }
    // Rounds interleave the candidates so that a drift of the clock speed
    // does not favour one; the minimum is the reading least disturbed.
    for (int round = 0; round < plan_rounds; ++round) {
        for (int i = 0; i < plan.count; ++i) {
            const sum_kernel sum = kernel_for(*plan.candidates[i], order);
            const auto before = std::chrono::steady_clock::now();
            sink = sink + sum(plan_first, plan_terms, 0.0, step);
            best[i] = std::min(best[i], seconds(std::chrono::steady_clock::now() - before).count());
        }
    }
    for (int i = 0; i < plan.count; ++i) plan.ns_per_term[i] = best[i] * 1e9 / plan_terms;
    plan.chosen = choose_kernel(plan.ns_per_term, plan.count);
    plan.planning_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    return plan;
}

kernel_plan plan_kernel(summation_order order) {
    const kernel_plan plan = measure_plan(order);
    planned[static_cast<int>(order)] = plan.candidates[plan.chosen];
    return plan;
}

const kernel& planned_kernel(summation_order order) { return *planned[static_cast<int>(order)]; }

std::int64_t differing_terms(const kernel& checked, std::int32_t first, std::int32_t count) {
    constexpr std::int32_t chunk = 1 << 14;
    const int workers = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::int64_t> differing(static_cast<std::size_t>(workers), 0);
    auto check = [&](int worker) {
        std::vector<double> got(chunk);
        const block mine = static_block(first, count, workers, worker);
        for (std::int32_t done = 0; done < mine.count; done += chunk) {
            const std::int32_t n = std::min(chunk, mine.count - done);
            checked.terms(mine.first + done, n, step, got.data());
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
