// The machine the results are measured on, gathered once before the runs
// (as Google Benchmark builds its CPUInfo once): who it is (host, system,
// processor, hypervisor, clock), its shape from hwloc, the processors this
// process may use, and the frequency governors. Everything else reads the
// facts gathered here and never looks again.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "bench/model/model.hpp"

namespace corvane::bench {

struct machine_facts {
    machine_identity identity;  // its shape is where teams are placed, if known
    std::string processor;      // the model name, "unknown" where it is not exposed
    int logical_cores = 0;
    // The processors this process may run on: its affinity mask, limited by a
    // cgroup CPU quota where one is set (containers, batch schedulers).
    int usable_cpus = 1;
    std::set<std::string> governors;  // frequency governors other than performance
};

machine_facts gather_machine();

// Who the machine is, "unknown" where a field is not exposed.
machine_identity identify_machine();

// This machine's shape, or none, with the reason in `why_not`.
std::optional<topology> machine_topology(std::string& why_not);

// For tests only: a simulated machine from hwloc's synthetic description,
// e.g. "pack:2 numa:2 core:8 pu:2". None when built without hwloc; throws
// bench_error when hwloc refuses the description.
std::optional<topology> synthetic_topology(const std::string& description);

int usable_cpus();

// The CPUs that the cgroup quotas of this process's own group and of the
// groups above it allow, or 0 for no quota, from the text of
// /proc/self/cgroup and /proc/self/mountinfo (v1 and v2); `root` goes
// before every path read, for tests.
int cgroup_cpu_limit(const std::string& cgroup, const std::string& mountinfo, const std::string& root = "");

}  // namespace corvane::bench
