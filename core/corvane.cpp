#include "core/corvane.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/kernels.hpp"
#include "core/report_lines.hpp"

namespace corvane {

double step;

void set_step() { step = 1.0 / static_cast<double>(num_steps); }

namespace {

// 1-based index i has the same midpoint as 0-based index i - 1, so the
// kernels only know the 0-based form.
std::int32_t zero_based(std::int32_t first, index_form form) {
    return form == index_form::zero_based ? first : first - 1;
}

using steady = std::chrono::steady_clock;
const steady::time_point process_start = steady::now();

// Flushes standard output; a report that did not reach it is a failed run,
// not a successful one, so say why on standard error and exit 1.
int finish_report(const char* program, bool printed) {
    if (printed && std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
    const int error = errno;
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", program,
                 error != 0 ? std::strerror(error) : "write error");
    return 1;
}

}  // namespace

double strict_sum(std::int32_t first, std::int32_t count, index_form form, double start) {
    return planned_kernel(summation_order::strict).strict(zero_based(first, form), count, start, step);
}

double four_lane_sum(std::int32_t first, std::int32_t count, index_form form, double start) {
    return planned_kernel(summation_order::four_lane).four_lane(zero_based(first, form), count, start, step);
}

block static_block(std::int32_t first, std::int32_t count, int threads, int thread) {
    const std::int64_t base = count / threads;
    const std::int64_t longer = count % threads;
    const std::int64_t offset = thread * base + (thread < longer ? thread : longer);
    return {static_cast<std::int32_t>(first + offset),
            static_cast<std::int32_t>(base + (thread < longer ? 1 : 0))};
}

std::int64_t clock_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - process_start).count();
}

void serial_strict(double& sum, std::int32_t count) {
    sum = strict_sum(0, count, index_form::zero_based, sum);
}

void serial_four_lane(double& sum, std::int32_t count) {
    sum = four_lane_sum(0, count, index_form::zero_based, sum);
}

bool write_to_stdout(const char* line) { return std::fputs(line, stdout) >= 0; }

int run(const char* program, summation_order order, strategy summation, clock_source clock,
        line_writer write) {
    double sum = 0.0;
    set_step();
    plan_kernel(order);

    const std::int64_t start = clock();
    summation(sum, num_steps);
    const double pi = step * sum;
    const std::int64_t end = clock();

    return report(program, pi, end - start, write);
}

int report(const char* program, double pi, std::int64_t elapsed_ms, line_writer write) {
    const std::string value = value_line(pi) + "\n";
    const std::string time = time_line(static_cast<double>(elapsed_ms) / 1000.0) + "\n";
    errno = 0;
    return finish_report(program, write(value.c_str()) && write(time.c_str()));
}

}  // namespace corvane
