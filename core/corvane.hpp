// Corvane: pi by midpoint-rule integration of 4/(1+x^2) over [0, 1].
//
// Every program is run() plus one summation strategy. The strategies differ
// only in the order in which the billion midpoint terms are added, and that
// order fixes the result to the last bit.
#pragma once

#include <cstdint>

#include "core/fp_guard.hpp"

namespace corvane {

inline constexpr std::int32_t num_steps = 1000000000;

// 1.0 / num_steps, written by set_step() before timing starts and only read
// afterwards, so worker threads read it without synchronisation.
extern double step;
void set_step();

// Interval k (0-based) has its midpoint at (k + 0.5) * step; interval i
// (1-based) at (i - 0.5) * step. Both forms give the same x for i = k + 1.
enum class index_form { zero_based, one_based };

inline double midpoint_term(std::int32_t index, index_form form, double step_width) {
    const double offset = form == index_form::zero_based ? 0.5 : -0.5;
    const double x = (static_cast<double>(index) + offset) * step_width;
    return 4.0 / (1.0 + x * x);
}

// Strict order: start + t(first) + t(first + 1) + ... one rounded addition at
// a time, in increasing index order.
double strict_sum(std::int32_t first, std::int32_t count, index_form form, double start);

// Four-lane order of a loop vectorised for two-wide double vectors: lanes
// L0..L3 take the terms whose offset from `first` is 0/4, 1/5, 2/6, 3/7
// (mod 8), L0 starting at `start`; R = (L0 + L2) + (L1 + L3), then the last
// count % 8 terms are added to R one by one.
double four_lane_sum(std::int32_t first, std::int32_t count, index_form form, double start);

// One thread's share of a static schedule without chunk size: count
// iterations from `first` split into `threads` contiguous blocks in thread
// order, the first count % threads blocks one iteration longer. A thread
// beyond the iterations gets an empty block.
struct block {
    std::int32_t first;
    std::int32_t count;
};
block static_block(std::int32_t first, std::int32_t count, int threads, int thread);

// Milliseconds of wall-clock time since the process started, from a steady
// clock: the tick the report's seconds are counted in.
std::int64_t clock_ms();

enum class summation_order { strict, four_lane };

// A strategy adds the terms of intervals 0 .. count - 1 into sum.
using strategy = void (*)(double& sum, std::int32_t count);

void serial_strict(double& sum, std::int32_t count);
void serial_four_lane(double& sum, std::int32_t count);

// Where the driver reads the time and writes the report: the real clock and
// standard output, or stand-ins in tests.
using clock_source = std::int64_t (*)();
using line_writer = bool (*)(const char* line);  // false: the line was not written
bool write_to_stdout(const char* line);

// Chooses the fastest kernel for the strategy's order, times the strategy
// over num_steps intervals and prints the two-line report. Both clock
// readings come before any output, so a slow console is not timed. Returns
// the process exit status: 0, or 1 if standard output could not be written
// (after saying so on standard error).
int run(const char* program, summation_order order, strategy summation, clock_source clock = clock_ms,
        line_writer write = write_to_stdout);

// The two report lines; the exit status as for run().
int report(const char* program, double pi, std::int64_t elapsed_ms, line_writer write = write_to_stdout);

}  // namespace corvane

// The console entry point: wmain on Windows, main elsewhere.
#ifdef _WIN32
#define CORVANE_ENTRY wmain
#else
#define CORVANE_ENTRY main
#endif
