// The machine corvane-bench measures on: team sizes and placement decided
// for simulated machines (hwloc's synthetic topologies), and the machine's
// identity in the JSON result.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/base/error.hpp"
#include "bench/compare/compare.hpp"
#include "bench/compare/result_file.hpp"
#include "bench/launch/launchers.hpp"
#include "bench/machine/machine.hpp"
#include "bench/machine/placement.hpp"
#include "bench/report/context_lines.hpp"
#include "bench/report/report.hpp"
#include "bench/run/suite.hpp"

using namespace corvane::bench;

namespace {

using strings = std::vector<std::string>;

// A simulated machine, or the test is skipped when hwloc is not built in.
#define SIMULATE(machine, description)                                       \
    const std::optional<topology> machine = synthetic_topology(description); \
    if (!machine) GTEST_SKIP() << "built without hwloc: simulated machines cannot be loaded"

std::string thrown_by(const std::function<void()>& action) {
    try {
        action();
    } catch (const bench_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(SimulatedMachine, TwoPackagesOfSixteenCoresWithSmtAndFourNumaNodes) {
    SIMULATE(machine, "pack:2 numa:2 core:8 pu:2");
    EXPECT_EQ(shape_text(*machine), "2 packages, 32 cores, 2 PUs/core, 4 NUMA nodes");
    EXPECT_EQ(machine->allowed_cores, 32);
    // Cores first; the hyperthreads only as the last step of the scan.
    EXPECT_EQ(scan_threads(*machine, 64), (std::vector<int>{1, 2, 4, 8, 16, 32, 64}));
    EXPECT_EQ(thread_list("cores", machine, 64), (std::vector<int>{32}));
    EXPECT_EQ(thread_list("pus", machine, 64), (std::vector<int>{64}));
    EXPECT_EQ(thread_list("pus,1,cores,4", machine, 64), (std::vector<int>{1, 4, 32, 64}));
    // An affinity mask or a quota of 12 processors: 12 cores at most, and no SMT step.
    EXPECT_EQ(scan_threads(*machine, 12), (std::vector<int>{1, 2, 4, 8, 12}));
    EXPECT_EQ(thread_list("cores,pus", machine, 12), (std::vector<int>{12}));

    // A team up to the cores gets a core per thread; beyond, a PU per thread.
    EXPECT_EQ(placement_environment(binding::close, machine, 32),
              (environment{{"OMP_PLACES", "cores"}, {"OMP_PROC_BIND", "close"}}));
    EXPECT_EQ(placement_environment(binding::spread, machine, 8),
              (environment{{"OMP_PLACES", "cores"}, {"OMP_PROC_BIND", "spread"}}));
    EXPECT_EQ(placement_environment(binding::spread, machine, 64),
              (environment{{"OMP_PLACES", "threads"}, {"OMP_PROC_BIND", "spread"}}));
    EXPECT_EQ(placement_environment(binding::none, machine, 64), environment{});

    EXPECT_EQ(launcher_binding("Open MPI", binding::close, 8),
              (strings{"--map-by", "slot:PE=8", "--bind-to", "core"}));
    EXPECT_EQ(launcher_binding("Open MPI", binding::spread, 16),
              (strings{"--map-by", "numa:PE=16", "--bind-to", "core"}));
    EXPECT_EQ(launcher_binding("MPICH", binding::close, 8),
              (strings{"-bind-to", "core:8", "-map-by", "core:8"}));
    EXPECT_EQ(launcher_binding("MPICH", binding::spread, 16),
              (strings{"-bind-to", "core:16", "-map-by", "numa"}));
}

TEST(SimulatedMachine, OneSocketOfEightCoresWithoutSmt) {
    SIMULATE(machine, "pack:1 core:8 pu:1");
    EXPECT_EQ(shape_text(*machine), "1 package, 8 cores, 1 PU/core, 1 NUMA node");
    EXPECT_EQ(scan_threads(*machine, 8), (std::vector<int>{1, 2, 4, 8}));
    EXPECT_EQ(thread_list("cores", machine, 8), thread_list("pus", machine, 8));
    EXPECT_EQ(placement_environment(binding::close, machine, 8),
              (environment{{"OMP_PLACES", "cores"}, {"OMP_PROC_BIND", "close"}}));
    // More threads than cores, with nothing finer to place them on.
    EXPECT_EQ(placement_environment(binding::close, machine, 16),
              (environment{{"OMP_PLACES", "cores"}, {"OMP_PROC_BIND", "close"}}));
    EXPECT_EQ(launcher_binding("Open MPI", binding::close, 1),
              (strings{"--map-by", "slot:PE=1", "--bind-to", "core"}));
}

TEST(SimulatedMachine, TheTwoCoreDevelopmentMachineScansOneAndTwo) {
    SIMULATE(machine, "pack:1 l3:1(size=33554432) l2:2(size=1048576) l1d:1(size=49152) core:1 pu:1");
    EXPECT_EQ(shape_text(*machine), "1 package, 2 cores, 1 PU/core, 1 NUMA node");
    EXPECT_EQ(caches_text(*machine), "L1d 48K L2 1M L3 32M");
    EXPECT_EQ(scan_threads(*machine, 2), (std::vector<int>{1, 2}));
    EXPECT_EQ(scan_threads(*machine, 1), (std::vector<int>{1}));  // a quota of one processor
}

TEST(SimulatedMachine, ARefusedDescriptionIsAnError) {
    SIMULATE(machine, "pack:1 core:1 pu:1");
    EXPECT_NE(thrown_by([] { synthetic_topology("pack:two"); }).find("hwloc refuses the synthetic topology"),
              std::string::npos);
}

TEST(Placement, NoneKeepsTodaysLauncherOptionsAndAnUnknownLauncherCannotBind) {
    EXPECT_EQ(launcher_binding("Open MPI", binding::none, 4), (strings{"--bind-to", "none"}));
    EXPECT_EQ(launcher_binding("MPICH", binding::none, 4), (strings{"-bind-to", "none"}));
    EXPECT_EQ(launcher_binding("unknown", binding::none, 4), strings{});
    EXPECT_NE(thrown_by([] {
                  launcher_binding("unknown", binding::spread, 1);
              }).find("--bind spread: the launcher is neither Open MPI's nor MPICH's"),
              std::string::npos);
    EXPECT_EQ(binding_named("spread"), binding::spread);
    EXPECT_EQ(thrown_by([] { binding_named("tight"); }), "--bind: 'tight' is not none, close or spread");
}

TEST(Placement, WithoutATopologyCoresAreRefusedAndPusAreTheUsableProcessors) {
    EXPECT_EQ(thread_list("pus", std::nullopt, 3), (std::vector<int>{3}));
    EXPECT_NE(thrown_by([] {
                  thread_list("1,cores", std::nullopt, 2);
              }).find("'cores' needs the machine's topology"),
              std::string::npos);
    // The runtime still knows its cores.
    EXPECT_EQ(placement_environment(binding::close, std::nullopt, 8),
              (environment{{"OMP_PLACES", "cores"}, {"OMP_PROC_BIND", "close"}}));
    EXPECT_EQ(thrown_by([] { thread_list("cores,", std::nullopt, 2); }).find("--threads"), 0u);
    EXPECT_EQ(thrown_by([] { thread_list("pus,x", std::nullopt, 2); }),
              "--threads: 'x' is not a positive integer, cores or pus");
}

TEST(Placement, EachCellGetsItsTeamsPlacesAndEachRankCellItsLauncherOptions) {
    SIMULATE(machine, "pack:1 core:2 pu:2");
    suite_options options;
    options.bin_dir = "/bin-dir";
    options.runs = 1;
    options.warmup = 0;
    options.threads = {2, 4};
    options.programs = {"corvane-omp"};
    options.ranks = {1};
    options.mpiexec = {"/usr/bin/mpiexec", "-x", "OMP_NUM_THREADS"};
    options.mpi_implementation = "Open MPI";
    options.bind = binding::close;
    options.machine = machine;
    const std::vector<cell> cells = make_cells(options);
    ASSERT_EQ(cells.size(), 4u);
    EXPECT_EQ(cell_environment(options, cells[0]),
              (environment{{"OMP_NUM_THREADS", "2"}, {"OMP_PLACES", "cores"}, {"OMP_PROC_BIND", "close"}}));
    EXPECT_EQ(cell_environment(options, cells[1]),
              (environment{{"OMP_NUM_THREADS", "4"}, {"OMP_PLACES", "threads"}, {"OMP_PROC_BIND", "close"}}));

    std::vector<strings> commands;
    auto ran = cells;
    run_suite(options, ran, [&](const strings& command, const corvane::process::run_options&) {
        commands.push_back(command);
        return corvane::process::program_run{};
    });
    EXPECT_EQ(std::count(commands.begin(), commands.end(),
                         strings{"/usr/bin/mpiexec", "--map-by", "slot:PE=4", "--bind-to", "core", "-x",
                                 "OMP_NUM_THREADS", "-n", "1", "/bin-dir/corvane-mpi"}),
              1);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), strings{"/bin-dir/corvane-omp"}), 2);
}

TEST(MachineInJson, WrittenAsVersionThreeAndReadBack) {
    suite_result result;
    result.context.binding = "spread";
    machine_identity& machine = result.context.machine;
    machine.hostname = "node1";
    machine.cpu_family = "26";
    machine.microcode = "unknown";
    machine.hypervisor = "none";
    machine.shape = topology{2, 32, 64, 4, 32, {{1, "data", 49152, 32}, {3, "unified", 33554432, 2}}};
    result.cells.push_back({"corvane-serial", std::nullopt, std::nullopt, {{0.5, 0.51, true, ""}}, {}});
    const std::string path = ::testing::TempDir() + "machine_" + std::to_string(getpid()) + ".json";
    std::ofstream(path) << json_text(result);
    const suite_result read = read_result(path);
    std::remove(path.c_str());
    EXPECT_NE(json_text(result).find("\"schema_version\": 4"), std::string::npos);
    EXPECT_EQ(read.context.binding, "spread");
    EXPECT_EQ(read.context.machine.hostname, "node1");
    EXPECT_EQ(read.context.machine.cpu_family, "26");
    EXPECT_EQ(read.context.machine.microcode, "unknown");
    ASSERT_TRUE(read.context.machine.shape);
    EXPECT_EQ(shape_text(*read.context.machine.shape), "2 packages, 32 cores, 2 PUs/core, 4 NUMA nodes");
    EXPECT_EQ(caches_text(*read.context.machine.shape), "L1d 48K L3 32M");
}

TEST(MachineInJson, AVersionOneResultReadsWithTheMachineUnknown) {
    const std::string path = ::testing::TempDir() + "version1_" + std::to_string(getpid()) + ".json";
    std::ofstream(path) << R"({"schema_version": 1, "context": {"processor": "AMD EPYC"}, "seed": 3,
        "cells": [{"program": "corvane-serial", "threads": null,
                   "samples": [{"reported_s": 0.5, "wall_s": 0.51, "valid": true, "reason": null}]}]})";
    const suite_result read = read_result(path);
    EXPECT_EQ(read.context.processor, "AMD EPYC");
    EXPECT_EQ(read.context.machine.hostname, "");
    EXPECT_FALSE(read.context.machine.shape);
    EXPECT_EQ(read.context.binding, "");

    std::ofstream(path)
        << R"({"schema_version": 2, "context": {"machine": {"topology": {"cores": 0, "pus": 1}}},
        "cells": []})";
    EXPECT_NE(thrown_by([&] { read_result(path); }).find("context.machine.topology has fewer than one core"),
              std::string::npos);
    std::ofstream(path) << R"({"schema_version": 2, "context": {"binding": "close"}, "cells": []})";
    EXPECT_EQ(read_result(path).context.binding, "close");
    // Version 3, before compare's p-values became one-sided, still reads; the next does not.
    std::ofstream(path) << R"({"schema_version": 3, "context": {"binding": "close"}, "cells": []})";
    EXPECT_EQ(read_result(path).context.binding, "close");
    std::ofstream(path) << R"({"schema_version": 5, "cells": []})";
    EXPECT_NE(thrown_by([&] { read_result(path); }).find("schema version 1 to 4"), std::string::npos);
    std::remove(path.c_str());
}

TEST(MachineInCompare, ADifferentShapeOrBindingIsADifferenceAndAnOldFileIsNot) {
    suite_result old_result, new_result, version_one;
    old_result.context.binding = "none";
    old_result.context.machine.shape = topology{1, 8, 8, 1, 8, {}};
    new_result.context.binding = "close";
    new_result.context.machine.shape = topology{1, 8, 16, 1, 8, {}};
    const auto differences = compare_results(old_result, new_result, 0.01).context_differences;
    EXPECT_EQ(differences, (strings{"binding differs: old none, new close",
                                    "topology differs: old 1 package, 8 cores, 1 PU/core, 1 NUMA node, new 1 "
                                    "package, 8 cores, 2 PUs/core, 1 NUMA node"}));
    EXPECT_TRUE(compare_results(version_one, new_result, 0.01).context_differences.empty());
}

// cgroup quotas on made-up trees: v1 as a batch job's group below the
// hierarchy's root, v1 in a container (the mount's root is its group), v2.
TEST(CgroupQuota, IsReadFromTheProcessesOwnGroupAndThoseAboveIt) {
    char name[] = "/tmp/corvane-cgroup-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    const std::string root = name;
    const auto put = [&root](const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
        std::ofstream(root + path) << text << "\n";
    };
    const std::string v1_mount =
        "35 25 0:30 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid - cgroup cgroup rw,cpu,cpuacct\n";
    put("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1");
    put("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000");
    put("/sys/fs/cgroup/cpu,cpuacct/slurm/job_7/cpu.cfs_quota_us", "150000");
    put("/sys/fs/cgroup/cpu,cpuacct/slurm/job_7/cpu.cfs_period_us", "100000");
    put("/sys/fs/cgroup/cpu,cpuacct/slurm/job_7/step_0/cpu.cfs_quota_us", "-1");
    put("/sys/fs/cgroup/cpu,cpuacct/slurm/job_7/step_0/cpu.cfs_period_us", "100000");
    EXPECT_EQ(cgroup_cpu_limit("4:cpu,cpuacct:/slurm/job_7/step_0\n", v1_mount, root), 2);
    EXPECT_EQ(cgroup_cpu_limit("4:cpu,cpuacct:/\n", v1_mount, root), 0) << "no quota at the root";
    EXPECT_EQ(cgroup_cpu_limit("4:memory:/slurm/job_7\n", v1_mount, root), 0) << "not the cpu controller";
    EXPECT_EQ(cgroup_cpu_limit("4:cpu,cpuacct:/slurm/job_70\n", v1_mount, root), 0) << "another group";

    // A container: its own group is the mount's root.
    put("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "300000");
    put("/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000");
    EXPECT_EQ(cgroup_cpu_limit("3:cpu:/docker/abc\n",
                               "40 30 0:31 /docker/abc /sys/fs/cgroup/cpu ro - cgroup cgroup rw,cpu\n", root),
              3);
    EXPECT_EQ(cgroup_cpu_limit("3:cpu:/docker/abcdef\n",
                               "40 30 0:31 /docker/abc /sys/fs/cgroup/cpu ro - cgroup cgroup rw,cpu\n", root),
              0);

    // cgroup v2: the tightest quota on the way up.
    put("/sys/fs/cgroup/user.slice/cpu.max", "400000 100000");
    put("/sys/fs/cgroup/user.slice/run/cpu.max", "max 100000");
    EXPECT_EQ(cgroup_cpu_limit("0::/user.slice/run\n", "", root), 4);
    std::filesystem::remove_all(root);
}
