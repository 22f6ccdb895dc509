#include <algorithm>
#include <chrono>
#include <limits>
#include <string_view>
#include <vector>

#include "core/corvane.hpp"
#include "core/kernels.hpp"

namespace corvane {

std::size_t choose_kernel(const std::vector<double>& times) {
    const double fastest = *std::min_element(times.begin(), times.end());
    std::size_t chosen = 0;
    while (times[chosen] > fastest * (1.0 + plan_margin)) ++chosen;
    return chosen;
}

namespace {

using steady = std::chrono::steady_clock;
using seconds = std::chrono::duration<double>;

// A call is a few microseconds: thousands of clock resolutions, and short
// enough that a block holds dozens of them.
constexpr std::int32_t plan_first = 500000000;
constexpr std::int32_t plan_terms = 16384;
constexpr int plan_rounds = 4;

// A block has settled when its last readings agree this closely; it runs at
// least long enough for a wide unit to wake (tens of microseconds on Intel),
// so that a slow start that agrees with itself is not taken for the steady
// state.
constexpr int settle_window = 4;
constexpr double settle_tolerance = 0.03;
constexpr double wake_up_s = 100e-6;

// The least of the block's last readings once they agree, or once the block
// has used its share of the budget.
double settled_block(const plan_call& call, const plan_clock& now, double shortest, double longest) {
    double last[settle_window];
    int readings = 0;
    const double begun = now();
    for (;;) {
        const double before = now();
        call();
        const double after = now();
        last[readings++ % settle_window] = after - before;
        const int kept = std::min(readings, settle_window);
        const double fastest = *std::min_element(last, last + kept);
        const double slowest = *std::max_element(last, last + kept);
        const bool settled = kept == settle_window && slowest <= fastest * (1.0 + settle_tolerance);
        if ((settled && after - begun >= shortest) || after - begun >= longest) return fastest;
    }
}

sum_kernel kernel_for(const kernel& k, summation_order order) {
    return order == summation_order::strict ? k.strict : k.four_lane;
}

const kernel& widest_divide_kernel() {
    const kernel* widest = nullptr;
    for (const kernel* k : supported_kernels())
        if (std::string_view(k->method) == "divide") widest = k;
    return *widest;
}

// Written only before any thread that sums exists, like step.
const kernel& unplanned = widest_divide_kernel();
const kernel* planned[2] = {&unplanned, &unplanned};

}  // namespace

std::vector<double> settled_seconds(const std::vector<plan_call>& calls, const plan_clock& now) {
    std::vector<double> least(calls.size(), std::numeric_limits<double>::infinity());
    if (calls.empty()) return least;
    const double longest = plan_budget_s / static_cast<double>(plan_rounds * calls.size());
    const double shortest = std::min(wake_up_s, longest);
    // Each round starts one candidate later, so none always follows the same.
    for (std::size_t round = 0; round < plan_rounds; ++round)
        for (std::size_t j = 0; j < calls.size(); ++j) {
            const std::size_t i = (j + round) % calls.size();
            least[i] = std::min(least[i], settled_block(calls[i], now, shortest, longest));
        }
    return least;
}

kernel_plan measure_plan(summation_order order) {
    const steady::time_point started = steady::now();
    const plan_clock now = [started] { return seconds(steady::now() - started).count(); };
    kernel_plan plan{order, {}, 0, 0.0};
    std::vector<plan_call> calls;
    volatile double sink = 0.0;
    for (const kernel* k : supported_kernels()) {
        plan.candidates.push_back({k, 0.0});
        const sum_kernel sum = kernel_for(*k, order);
        calls.push_back([sum, &sink] { sink = sink + sum(plan_first, plan_terms, 0.0, step); });
    }
    const std::vector<double> least = settled_seconds(calls, now);
    std::vector<double> ns_per_term;
    for (std::size_t i = 0; i < least.size(); ++i) {
        plan.candidates[i].ns_per_term = least[i] * 1e9 / plan_terms;
        ns_per_term.push_back(plan.candidates[i].ns_per_term);
    }
    plan.chosen = choose_kernel(ns_per_term);
    plan.planning_ms = now() * 1e3;
    return plan;
}

kernel_plan plan_kernel(summation_order order) {
    const kernel_plan plan = measure_plan(order);
    planned[static_cast<int>(order)] = &plan.chosen_kernel();
    return plan;
}

const kernel& planned_kernel(summation_order order) { return *planned[static_cast<int>(order)]; }

void use_kernel(summation_order order, const kernel& k) { planned[static_cast<int>(order)] = &k; }

}  // namespace corvane
