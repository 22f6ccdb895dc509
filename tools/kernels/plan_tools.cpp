#include "tools/kernels/plan_tools.hpp"

#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

#include "core/kernels.hpp"
#include "process/process.hpp"
#include "tools/kernels/scalar_loops.hpp"
#include "tools/kernels/system.hpp"

namespace corvane::kernels {

namespace {

// The kernel a fresh process chose ("?" if it failed). A cold plan takes
// milliseconds; ten seconds means it hangs.
std::string cold_choice(const std::string& self, summation_order order) {
    process::run_options options;
    options.timeout_s = 10;
    const process::program_run run = process::run_program(self, {"--plan-cold", order_name(order)}, options);
    if (run.exit_status != 0) return "?";
    std::string text = run.out;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

void busy_scalar(double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    volatile double sink = 0.0;
    for (std::int32_t first = 0; std::chrono::steady_clock::now() < until; first += 4096)
        sink = sink + scalar_strict(first, 4096);
}

constexpr summation_order both_orders[] = {summation_order::strict, summation_order::four_lane};

}  // namespace

int print_plan() {
    for (summation_order order : both_orders) {
        const double processor_before = processor_time_ms();
        const kernel_plan plan = measure_plan(order);
        std::printf("%s order, measured in %.2f ms (%.2f ms of processor time):\n", order_name(order),
                    plan.planning_ms, processor_time_ms() - processor_before);
        for (std::size_t i = 0; i < plan.candidates.size(); ++i)
            std::printf("  %-14s %.3f ns/term%s\n", kernel_name(*plan.candidates[i].k).c_str(),
                        plan.candidates[i].ns_per_term, i == plan.chosen ? "  <- chosen" : "");
    }
    std::printf(
        "The plan takes the first candidate within %.0f%% of the fastest: a wider or "
        "division-free kernel must win clearly.\n",
        plan_margin * 100);
    return 0;
}

int plan_cold(summation_order order) {
    const kernel_plan plan = measure_plan(order);
    std::printf("%s\n", kernel_name(plan.chosen_kernel()).c_str());
    return 0;
}

// Each start follows either a second of idle or half a second of scalar
// work (as in the suite, run after run), on the processor that did it.
int repeat_plan(const std::string& self, int starts) {
    const int cpu = pin_to_current_processor();
    struct condition {
        const char* name;
        void (*before)();
    };
    const condition conditions[] = {
        {"after 1 s idle", [] { std::this_thread::sleep_for(std::chrono::seconds(1)); }},
        {"after 0.5 s of scalar work", [] { busy_scalar(0.5); }},
    };
    std::map<std::string, std::map<std::string, int>> chosen;  // condition and order -> kernel -> starts
    for (int start = 0; start < starts; ++start)
        for (const condition& c : conditions)
            for (summation_order order : both_orders) {
                c.before();
                ++chosen[std::string(c.name) + "\t" + order_name(order)][cold_choice(self, order)];
            }
    std::printf("%d cold starts per order and condition, each a fresh process", starts);
    if (cpu >= 0) std::printf(" on CPU %d", cpu);
    std::printf(":\n");
    for (const condition& c : conditions) {
        std::printf("%s\n", c.name);
        for (summation_order order : both_orders) {
            std::printf("  %-10s", order_name(order));
            const char* separator = "";
            for (const auto& [name, count] : chosen[std::string(c.name) + "\t" + order_name(order)]) {
                std::printf("%s%s %d of %d", separator, name.c_str(), count, starts);
                separator = ", ";
            }
            std::printf("\n");
        }
    }
    return 0;
}

}  // namespace corvane::kernels
