// The benchmarks where Google Benchmark is not at hand (a cross build): the
// other tools work as usual, and asking for the benchmarks says why not.
#include "tools/kernels/benchmarks.hpp"
#include "tools/kernels/command_line.hpp"

namespace corvane::kernels {

int run_benchmarks(const std::vector<std::string>&, const std::string&) {
    throw tool_error(
        "built without Google Benchmark (libbenchmark-dev), so there are no "
        "benchmarks; --plan, --plan --repeat and --verify work",
        1);
}

}  // namespace corvane::kernels
