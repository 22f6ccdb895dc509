// The machine the results are measured on: who it is (host, system,
// processor, hypervisor, clock), its shape from hwloc, and what follows from
// that shape for a suite: the default team sizes and where threads and
// ranks are placed. The functions that decide take a topology value, so
// that tests can hand them simulated machines.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/model.hpp"

namespace corvane::bench {

// --bind: whether teams and ranks are pinned, packed or spread out.
enum class binding { none, close, spread };
binding binding_named(const std::string& name);  // throws bench_error
const char* binding_name(binding bind);

// This machine's shape, or none, with the reason in `why_not`.
std::optional<topology> machine_topology(std::string& why_not);

// For tests only: a simulated machine from hwloc's synthetic description,
// e.g. "pack:2 numa:2 core:8 pu:2". None when built without hwloc; throws
// bench_error when hwloc refuses the description.
std::optional<topology> synthetic_topology(const std::string& description);

// "2 packages, 32 cores, 2 PUs/core, 4 NUMA nodes" and "L1d 48K L2 1M L3 32M".
std::string shape_text(const topology& machine);
std::string caches_text(const topology& machine);
// The machine in one line: host, system, processor, shape, caches, clock.
std::string machine_text(const machine_identity& m);

// Everything known about this machine, "unknown" where it is not exposed.
machine_identity identify_machine();

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

// The launcher's own options that place ranks of `threads` threads each:
// Open MPI ("Open MPI") or MPICH's Hydra ("MPICH"). Throws bench_error for
// another launcher unless `bind` is none.
std::vector<std::string> launcher_binding(const std::string& implementation, binding bind, int threads);

}  // namespace corvane::bench
