// The benchmarks where Google Benchmark is not at hand (a cross build): the
// other tools work as usual, and asking for the benchmarks says why not.
#include "tools/kernels/benchmarks.hpp"
#include "tools/kernels/command_line.hpp"

namespace corvane::kernels {

const char benchmarks_usage[] = R"(
This build has no benchmarks: it was built without Google Benchmark
(libbenchmark-dev). Asked for them, with no option or with --json, it
says so and exits 1.
Exit status: 0 done; 1 a term differs (--verify), a report was not
written, or the benchmarks were asked for; 2 a usage problem.
)";

int run_benchmarks(const std::vector<std::string>&, const std::string&) {
    throw tool_error(
        "built without Google Benchmark (libbenchmark-dev), so there are no "
        "benchmarks; --plan, --plan --repeat and --verify work",
        1);
}

}  // namespace corvane::kernels
