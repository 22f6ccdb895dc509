// The command line made ready to run: every check that can fail before a
// single run is made, and what they found out about the machine and the
// tools on the way. A problem throws bench_error.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/cli/command_line.hpp"
#include "bench/machine/machine.hpp"
#include "bench/run/suite.hpp"

namespace corvane::bench {

// Bounds that keep every count meaningful and its arithmetic exact.
inline constexpr int most_warmup_runs = 100;
inline constexpr double longest_timeout_s = 7 * 24 * 3600.0;

// A suite ready to run: its options, its cells, and what was found out
// about the machine and tools on the way.
struct prepared_suite {
    suite_options options;
    std::vector<cell> cells;
    std::optional<launcher> mpi;  // with a scheduler's allocation, where it starts the ranks
    std::vector<std::string> warnings;
    machine_facts machine;
    std::string kernels_program;  // corvane-kernels, when --kernels asked for it
};
prepared_suite prepare(const command_line& given);

}  // namespace corvane::bench
