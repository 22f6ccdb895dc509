// The summation kernels behind strict_sum and four_lane_sum. A kernel is an
// instruction-set path (how many terms one instruction evaluates) and an
// evaluation method (how the quotient 4 / (1 + x*x) is formed). Every kernel
// gives the same bits; which one a program runs is measured when it starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/corvane.hpp"

namespace corvane {

// Sums the 0-based terms first .. first + count - 1 onto start.
using sum_kernel = double (*)(std::int32_t first, std::int32_t count, double start, double step_width);

// Writes the 0-based terms first .. first + count - 1 to out, evaluated the
// way the kernel's sums evaluate them (what they add, scaled to the term).
using term_kernel = void (*)(std::int32_t first, std::int32_t count, double step_width, double* out);

struct kernel {
    const char* path;  // sse2, avx2, avx512, neon, sve (portable elsewhere)
    // divide: the processor's IEEE division. newton: no division; a
    // reciprocal estimate refined with fused multiply-adds to the correctly
    // rounded 1 / (1 + x*x); its sums add these and scale by 4 once (exact:
    // a power of two).
    const char* method;
    sum_kernel strict;
    sum_kernel four_lane;
    // Benchmarks only: the terms in no prescribed order, into independent
    // accumulators; how fast this kernel can evaluate terms at all.
    sum_kernel evaluation_floor;
    term_kernel terms;
};

// The kernels this processor and operating system can run, simplest first:
// the divide paths from narrow to wide, then the newton paths from narrow to
// wide.
std::vector<const kernel*> supported_kernels();

// One kernel of a plan and its measured steady-state speed.
struct candidate {
    const kernel* k;
    double ns_per_term;
};

// The plan for one order: every supported kernel, simplest first, and the
// one chosen.
struct kernel_plan {
    summation_order order;
    std::vector<candidate> candidates;
    std::size_t chosen;
    double planning_ms;  // what measuring took

    const kernel& chosen_kernel() const { return *candidates[chosen].k; }
};

// A more elaborate candidate must beat every simpler one by this share, so
// that near-ties go the same way on every run of a quiet machine.
inline constexpr double plan_margin = 0.05;

// The simplest candidate whose time is within plan_margin of the fastest.
// Times are given simplest first.
std::size_t choose_kernel(const std::vector<double>& times);

// Planning measures each candidate as the long run will see it: in a
// contiguous block of its own calls, since a wide unit may run slowly until
// it has worked for a while without interruption (Intel), and fall back
// after a while of other work. A block ends when its last readings agree
// (or at its share of the budget). The first round times every candidate;
// later rounds, each starting one candidate later so that a drift of the
// clock speed favours none, time only those still in contention, until a
// round confirms the choice of the one before (at most four rounds).
using plan_clock = std::function<double()>;  // seconds, steady
using plan_call = std::function<void()>;     // one call of a candidate on the planning range

// Each call's least settled time, in seconds, measured within
// plan_budget_s of the clock in all. The first call is the baseline: the
// narrowest path, with no unit to wake.
inline constexpr double plan_budget_s = 0.004;
std::vector<double> settled_seconds(const std::vector<plan_call>& calls, const plan_clock& now);

// As above, given floor_s: the least time a call of any candidate can take
// (0 where none is known). Once the baseline (after the first round) or the
// chosen candidate with nothing simpler left in contention (after a later
// one) runs within half the margin of the floor, no candidate can beat it
// by the margin, and no further round is timed.
std::vector<double> settled_seconds(const std::vector<plan_call>& calls, const plan_clock& now,
                                    double floor_s);

// As above, given which unit each call works (units[i], equal for calls of
// one instruction-set path; units[0] is the baseline's, with nothing to
// wake). A block that follows one of the same unit long enough to have
// woken it needs no wake-up time of its own, so the first round visits the
// candidates of one unit one after the other.
std::vector<double> settled_seconds(const std::vector<plan_call>& calls, const plan_clock& now,
                                    double floor_s, const std::vector<int>& units);

// After a round, a candidate slower than the fastest by the margin and this
// share more is out of contention: a settled block is not that far off.
inline constexpr double contention_band = 0.25;

// Times every supported kernel of the order as above and chooses; step must
// be set. Takes well under a millisecond on a quiet machine, at most
// plan_budget_s.
kernel_plan measure_plan(summation_order order);

// Measures and from then on sums the order with the chosen kernel. Call
// before any thread that sums exists; until then the widest divide path is
// used.
kernel_plan plan_kernel(summation_order order);

const kernel& planned_kernel(summation_order order);

// Sums the order with k from now on, whatever a plan would choose: how the
// tests run the strategies on every kernel. Same rule as plan_kernel.
void use_kernel(summation_order order, const kernel& k);

// "avx512/newton": how the tools name a kernel.
inline std::string kernel_name(const kernel& k) { return std::string(k.path) + "/" + k.method; }

inline const char* order_name(summation_order order) {
    return order == summation_order::strict ? "strict" : "four_lane";
}

}  // namespace corvane
