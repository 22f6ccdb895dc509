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
constexpr std::int32_t plan_terms = 8192;
constexpr int plan_rounds = 4;  // at most; the budget is shared out over this many

// A block has settled when its last readings agree this closely; a block of
// a wide path runs at least long enough for its unit to wake (tens of
// microseconds on Intel), so that a slow start that agrees with itself is
// not taken for the steady state.
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

// The strict order's floor: one dependent addition per term, the chain that
// every strict kernel ends in, so none of them can be faster.
double addition_chain(std::int32_t count, double increment) {
    double sum = 0.0;
    for (std::int32_t k = 0; k < count; ++k) sum += increment;
    return sum;
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

// Written only before any thread that sums exists, like step. Until a plan
// is made the widest divide path is used, looked up only then: nothing of
// the plan runs before main.
const kernel* planned[2] = {nullptr, nullptr};

double block_share(std::size_t candidates) {
    return plan_budget_s / static_cast<double>(plan_rounds * std::max<std::size_t>(candidates, 1));
}

}  // namespace

std::vector<double> settled_seconds(const std::vector<plan_call>& calls, const plan_clock& now) {
    return settled_seconds(calls, now, 0.0);
}

std::vector<double> settled_seconds(const std::vector<plan_call>& calls, const plan_clock& now,
                                    double floor_s) {
    std::vector<int> units(calls.size());
    for (std::size_t i = 0; i < calls.size(); ++i) units[i] = static_cast<int>(i);  // none shared
    return settled_seconds(calls, now, floor_s, units);
}

std::vector<double> settled_seconds(const std::vector<plan_call>& calls, const plan_clock& now,
                                    double floor_s, const std::vector<int>& units) {
    std::vector<double> least(calls.size(), std::numeric_limits<double>::infinity());
    if (calls.empty()) return least;
    const double longest = block_share(calls.size());
    const double shortest = std::min(wake_up_s, longest);
    // Candidates of one unit one after the other, simplest first: the
    // first of them wakes it for the rest.
    std::vector<std::size_t> visits(calls.size());
    for (std::size_t i = 0; i < calls.size(); ++i) visits[i] = i;
    std::stable_sort(visits.begin(), visits.end(),
                     [&units](std::size_t a, std::size_t b) { return units[a] < units[b]; });
    std::vector<bool> contending(calls.size(), true);
    std::size_t previous_choice = calls.size();  // none yet
    for (std::size_t round = 0; round < plan_rounds; ++round) {
        int awake = 0;  // the unit the last block kept at work for a wake-up's time, if any
        // Each round starts one candidate later, so none always follows the same.
        for (std::size_t j = 0; j < calls.size(); ++j) {
            const std::size_t i = visits[(j + round) % calls.size()];
            if (!contending[i]) continue;
            const bool needs_waking = units[i] != units[0] && units[i] != awake;
            const double begun = now();
            least[i] =
                std::min(least[i], settled_block(calls[i], now, needs_waking ? shortest : 0.0, longest));
            awake = now() - begun >= shortest ? units[i] : units[0];
        }
        const std::size_t chosen = choose_kernel(least);
        const double fastest = *std::min_element(least.begin(), least.end());
        std::size_t still = 0;
        bool simpler_still = false;
        for (std::size_t i = 0; i < calls.size(); ++i) {
            contending[i] = least[i] <= fastest * (1.0 + plan_margin) * (1.0 + contention_band);
            still += contending[i] ? 1 : 0;
            simpler_still = simpler_still || (contending[i] && i < chosen);
        }
        // One round is enough for the baseline at the floor, or for a lone
        // contender; any other choice is confirmed by a further round, so
        // that one disturbed block cannot decide.
        const bool at_floor =
            floor_s > 0.0 && !simpler_still && least[chosen] <= floor_s * (1.0 + plan_margin / 2);
        if (still <= 1 || (at_floor && (chosen == 0 || round > 0)) || chosen == previous_choice) break;
        previous_choice = chosen;
    }
    return least;
}

kernel_plan measure_plan(summation_order order) {
    const steady::time_point started = steady::now();
    const plan_clock now = [started] { return seconds(steady::now() - started).count(); };
    kernel_plan plan{order, {}, 0, 0.0};
    std::vector<plan_call> calls;
    std::vector<int> units;  // one per instruction-set path, numbered as first seen
    volatile double sink = 0.0;
    for (const kernel* k : supported_kernels()) {
        std::size_t unit = 0;
        while (unit < plan.candidates.size() && std::string_view(plan.candidates[unit].k->path) != k->path)
            ++unit;
        units.push_back(static_cast<int>(unit));
        plan.candidates.push_back({k, 0.0});
        const sum_kernel sum = kernel_for(*k, order);
        calls.push_back([sum, &sink] { sink = sink + sum(plan_first, plan_terms, 0.0, step); });
    }
    // Only the strict order has a floor that a kernel can reach: the
    // four-lane order's own chain is a quarter as long, far below any
    // evaluation of the terms.
    double floor_s = 0.0;
    if (order == summation_order::strict) {
        const double increment = step;
        const plan_call chain = [increment, &sink] { sink = sink + addition_chain(plan_terms, increment); };
        floor_s = settled_block(chain, now, 0.0, block_share(calls.size()));
    }
    const std::vector<double> least = settled_seconds(calls, now, floor_s, units);
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

const kernel& planned_kernel(summation_order order) {
    if (const kernel* chosen = planned[static_cast<int>(order)]) return *chosen;
    static const kernel& unplanned = widest_divide_kernel();
    return unplanned;
}

void use_kernel(summation_order order, const kernel& k) { planned[static_cast<int>(order)] = &k; }

}  // namespace corvane
