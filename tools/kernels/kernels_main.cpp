// corvane-kernels: the summation kernels beside the floors their orders
// allow (benchmarks.hpp), the plan a program would make (plan_tools.hpp),
// and every term of every kernel checked (verify.hpp). This file parses the
// command line, runs one tool and reports.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/corvane.hpp"
#include "process/process.hpp"
#include "tools/kernels/benchmarks.hpp"
#include "tools/kernels/command_line.hpp"
#include "tools/kernels/plan_tools.hpp"
#include "tools/kernels/system.hpp"
#include "tools/kernels/verify.hpp"

using namespace corvane;
using namespace corvane::kernels;

namespace {

constexpr int standard_output = 1;  // its descriptor

// What was printed must have reached standard output: a full disk, a
// closed pipe or a descriptor closed before the start (now /dev/null) is a
// failure (status 1), said on standard error.
int written(int status, bool closed_at_start) {
    errno = closed_at_start ? EBADF : 0;
    if (!closed_at_start && std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
    std::fprintf(stderr, "corvane-kernels: cannot write standard output: %s\n",
                 errno != 0 ? std::strerror(errno) : "write error");
    return 1;
}

int run(const command& given) {
    switch (given.chosen) {
        case tool::help:
            std::fputs(usage_text, stdout);
            std::fputs(benchmarks_usage, stdout);
            return 0;
        case tool::version:
            std::printf("corvane-kernels %s\n", CORVANE_VERSION);
            return 0;
        case tool::plan:
            return print_plan();
        case tool::repeat_plan:
            return repeat_plan(own_program_path(), given.repeats);
        case tool::plan_cold:
            return plan_cold(given.order);
        case tool::verify:
            return verify_every_term();
        case tool::benchmarks:
            break;
    }
    return run_benchmarks(given.benchmark_flags, given.json_path);
}

}  // namespace

int main(int argc, char** argv) {
    const bool output_closed = process::guard_standard_descriptors() & (1 << standard_output);
    set_step();
    try {
        return written(run(parse_command_line(std::vector<std::string>(argv + 1, argv + argc))),
                       output_closed);
    } catch (const tool_error& e) {
        std::fprintf(stderr, "corvane-kernels: %s%s\n", e.what(),
                     e.status == usage_status ? " (see corvane-kernels --help)" : "");
        return e.status;
    }
}
