// The summation kernels behind strict_sum and four_lane_sum. A kernel is an
// instruction-set path (how many terms one instruction evaluates) and an
// evaluation method (how the quotient 4 / (1 + x*x) is formed). Every kernel
// gives the same bits; which one a program runs is measured when it starts.
#pragma once

#include <cstdint>
#include <string>

#include "core/corvane.hpp"

namespace corvane {

// Sums the 0-based terms first .. first + count - 1 onto start.
using sum_kernel = double (*)(std::int32_t first, std::int32_t count, double start, double step_width);

// Writes the 0-based terms first .. first + count - 1 to out, evaluated the
// way the kernel's sums evaluate them.
using term_kernel = void (*)(std::int32_t first, std::int32_t count, double step_width, double* out);

struct kernel {
    const char* path;  // sse2, avx2, avx512 (portable off x86)
    // divide: the processor's IEEE division. newton: no division; a
    // reciprocal estimate refined with fused multiply-adds to the correctly
    // rounded 1 / (1 + x*x), times 4 (exact: a power of two).
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
// wide. Returns how many were written (at most max_kernels).
inline constexpr int max_kernels = 5;
int supported_kernels(const kernel* kernels[max_kernels]);

// The plan for one order: every supported kernel's measured speed and the
// one chosen.
struct kernel_plan {
    summation_order order;
    int count;
    const kernel* candidates[max_kernels];
    double ns_per_term[max_kernels];
    int chosen;
    double planning_ms;  // what measuring took
};

// A more elaborate candidate must beat every simpler one by this share, so
// that near-ties go the same way on every run of a quiet machine.
inline constexpr double plan_margin = 0.05;

// The simplest candidate whose time is within plan_margin of the fastest.
// Times are given simplest first.
int choose_kernel(const double ns_per_term[], int count);

// Times every supported kernel of the order on a short range (the minimum
// of several runs each, interleaved) and chooses; step must be set. Takes
// about a millisecond.
kernel_plan measure_plan(summation_order order);

// Measures and from then on sums the order with the chosen kernel. Call
// before any thread that sums exists; until then the widest divide path is
// used.
kernel_plan plan_kernel(summation_order order);

const kernel& planned_kernel(summation_order order);

// "avx512/newton": how the tools name a kernel.
inline std::string kernel_name(const kernel& k) { return std::string(k.path) + "/" + k.method; }

inline const char* order_name(summation_order order) {
    return order == summation_order::strict ? "strict" : "four_lane";
}

// How many of the 0-based terms first .. first + count - 1 the kernel
// evaluates differently from the plain IEEE 4.0 / (1.0 + x * x), checked
// one by one on all processors this process may use.
std::int64_t differing_terms(const kernel& checked, std::int32_t first, std::int32_t count);

}  // namespace corvane
