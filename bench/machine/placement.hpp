// Team sizes and where teams run: the default team sizes that follow from a
// machine's shape, --threads and --ranks as lists of counts, and the OpenMP
// places under --bind. The functions take a topology value, so that tests
// can hand them simulated machines.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/model/model.hpp"

namespace corvane::bench {

// --bind: whether teams and ranks are pinned, packed or spread out.
enum class binding { none, close, spread };
binding binding_named(const std::string& name);  // throws bench_error
const char* binding_name(binding bind);

// Default team sizes: 1, the powers of two below `cpus`, and `cpus`.
std::vector<int> default_threads(int cpus);

// Parses "1,2,4" given to `option`: positive integers, sorted, without
// repeats. Throws bench_error naming the offending item.
std::vector<int> parse_counts(const std::string& list, const std::string& option);

// Default team sizes: 1, the powers of two below the cores, the cores,
// then every processing unit when cores have more than one (SMT). Within
// `usable_cpus`, the affinity mask and the cgroup quota.
std::vector<int> scan_threads(const topology& machine, int usable_cpus);

// --threads: numbers, "cores" and "pus", sorted without repeats. Without a
// topology "cores" cannot be known and is refused; "pus" is `usable_cpus`.
std::vector<int> thread_list(const std::string& list, const std::optional<topology>& machine,
                             int usable_cpus);

// OMP_PLACES and OMP_PROC_BIND for an OpenMP team of `threads`; nothing for
// binding::none.
environment placement_environment(binding bind, const std::optional<topology>& machine, int threads);

}  // namespace corvane::bench
