// corvane-mpi under srun, without a cluster: the allocation's CPUs as Slurm
// writes them, what srun -v says of a step, a world of one-rank worlds, and
// the command line inside and outside an allocation. The cluster itself is
// tested in tests/slurm/ (label slurm).
#include <gtest/gtest.h>

#include <string>

#include "bench/launch/launchers.hpp"
#include "bench/launch/slurm.hpp"
#include "bench/run/contention.hpp"
#include "tests/stand_ins.hpp"

using namespace corvane::bench;
using namespace corvane::bench::testing;
using strings = std::vector<std::string>;

namespace {

const char* const value_line = "The value of PI is  3.141592653590\n";
const char* const time_line = "The time to calculate PI was 0.953000 seconds\n";

}  // namespace

TEST(SlurmAllocation, CpusPerNodeCountEachNodeOnceOrAsOftenAsItsRepeat) {
    const std::vector<std::tuple<std::string, long, int>> known = {
        {"2", 2, 2}, {"1(x2)", 2, 1}, {"2,1", 3, 2}, {"4(x2),2", 10, 4}, {"16(x100)", 1600, 16}};
    for (const auto& [text, total, largest] : known) {
        const auto cpus = cpus_of_allocation(text);
        ASSERT_TRUE(cpus) << text;
        EXPECT_EQ(cpus->total, total) << text;
        EXPECT_EQ(cpus->largest_node, largest) << text;
    }
    for (const std::string bad : {"", "x", "2,", ",2", "2(x", "2(x0)", "2(x2", "0", "2;1", "1234567"})
        EXPECT_FALSE(cpus_of_allocation(bad)) << bad;
}

TEST(SlurmAllocation, EachMpiLibraryGetsThePluginItsRanksSpeak) {
    EXPECT_EQ(srun_plugin_for("Open MPI v4.1.4, package: Debian OpenMPI, ident: 4.1.4"), "pmix");
    EXPECT_EQ(srun_plugin_for("MPICH Version:      4.0.2"), "pmi2");
    EXPECT_EQ(srun_plugin_for("Intel(R) MPI Library 2021"), "");
    EXPECT_EQ(srun_plugin_for("unknown"), "");
}

TEST(SrunSays, StepNodesAndMasksAreTakenOutAndTheRanksLinesAndErrorsStay) {
    // What srun -v --cpu-bind=verbose,cores printed for two ranks on two
    // nodes (Slurm 22.05), with a rank's own line and an error among it.
    std::string err =
        "srun: defined options\n"
        "srun: -------------------- --------------------\n"
        "srun: cpu-bind            : verbose,cores\n"
        "srun: jobid 9: nodes(2):`node[1-2]', cpu counts: 1(x2)\n"
        "srun: launch/slurm: launch_p_step_launch: CpuBindType=verbose,cores\n"
        "srun: launching StepId=9.4 on host node1, 1 tasks: 0\n"
        "srun: launching StepId=9.4 on host node2, 1 tasks: 1\n"
        "cpu-bind=MASK - node2, task  1  0 [4243]: mask 0x2 set\n"
        "a rank's own line\n"
        "cpu-bind=MASK - node1, task  0  0 [4242]: mask 0x1 set\n"
        "srun: error: node2: task 1: Exited with exit code 3\n"
        "srun: launch/slurm: _task_finish: node1: task 0: Completed\n";
    const srun_said said = take_srun_lines(err);
    EXPECT_EQ(said.step_id, "9.4");
    EXPECT_EQ(said.nodes, (std::vector<std::pair<std::string, int>>{{"node1", 1}, {"node2", 1}}));
    EXPECT_EQ(said.cpu_bind, "MASK: node1 task 0 0x1, node2 task 1 0x2");
    EXPECT_EQ(err, "a rank's own line\nsrun: error: node2: task 1: Exited with exit code 3\n");

    // Where the cluster cannot bind (task/none), srun says so and applies no mask.
    std::string unbound =
        "srun: cluster configuration lacks support for cpu binding\n"
        "srun: launching 3.0 on host vm, 2 tasks: [0-1]\n";
    const srun_said plain = take_srun_lines(unbound);
    EXPECT_EQ(plain.step_id, "3.0");
    EXPECT_EQ(plain.nodes, (std::vector<std::pair<std::string, int>>{{"vm", 2}}));
    EXPECT_EQ(plain.cpu_bind, "not applied: the cluster lacks support for CPU binding");
    EXPECT_EQ(unbound, "");

    // A step that never launched has no id and no binding.
    std::string refused =
        "srun: error: Unable to create step for job 4: More processors requested than permitted\n";
    EXPECT_EQ(take_srun_lines(refused).step_id, "");
    EXPECT_EQ(refused,
              "srun: error: Unable to create step for job 4: More processors requested than permitted\n");
}

TEST(SrunSays, RanksThatEachReportAloneOrStopInMpiInitAreNamedAsAPluginMismatch) {
    const std::string report = std::string(value_line) + time_line;
    auto ran = [](const std::string& out, int exit_status = 0, const std::string& err = "") {
        corvane::process::program_run run;
        run.out = out;
        run.err = err;
        run.exit_status = exit_status;
        return run;
    };
    const std::string reason = world_mismatch(ran(report + report), 2, "pmix", "MPICH Version: 4.0.2");
    EXPECT_NE(reason.find("expected two lines, got 4"), std::string::npos) << reason;
    EXPECT_NE(reason.find("srun --mpi=pmix does not match corvane-mpi's MPI library (MPICH Version: 4.0.2)"),
              std::string::npos)
        << reason;
    // srun may interleave the ranks' lines.
    EXPECT_NE(
        world_mismatch(ran(std::string(value_line) + value_line + time_line + time_line), 2, "pmix", "MPICH"),
        "");
    // One world's report, one rank, or anything else is no mismatch of worlds.
    EXPECT_EQ(world_mismatch(ran(report), 2, "pmix", "MPICH"), "");
    EXPECT_EQ(world_mismatch(ran(report + report), 1, "pmix", "MPICH"), "");
    EXPECT_EQ(world_mismatch(ran(report + report + report), 2, "pmix", "MPICH"), "");
    EXPECT_EQ(world_mismatch(ran(report + "garbage\n" + time_line), 2, "pmix", "MPICH"), "");
    EXPECT_EQ(world_mismatch(ran(report + report, 1), 2, "pmix", "MPICH"), "");

    // Open MPI's ranks under another plugin stop in MPI_Init and report nothing.
    const std::string init = world_mismatch(ran("", 1,
                                                "OPAL ERROR: Unreachable in file ext3x_client.c at line "
                                                "112\n*** An error occurred in MPI_Init_thread\n"),
                                            2, "pmi2", "Open MPI v4.1.4");
    EXPECT_EQ(
        init,
        "exit status 1: no world started, MPI_Init failed: srun --mpi=pmi2 does not match corvane-mpi's MPI "
        "library (Open MPI v4.1.4): OPAL ERROR: Unreachable in file ext3x_client.c at line 112");
    EXPECT_EQ(world_mismatch(ran("", 1, "out of memory\n"), 2, "pmi2", "Open MPI"), "");
}

TEST(SrunPlacement, EveryRankGetsItsThreadsCpusAndBindSetsSrunsOwnPlacement) {
    EXPECT_EQ(launcher_binding("Slurm", binding::none, 2), (strings{"-c", "2", "--cpu-bind=verbose,none"}));
    EXPECT_EQ(launcher_binding("Slurm", binding::close, 4),
              (strings{"-c", "4", "--cpu-bind=verbose,cores", "--distribution=block:block"}));
    EXPECT_EQ(launcher_binding("Slurm", binding::spread, 1),
              (strings{"-c", "1", "--cpu-bind=verbose,cores", "--distribution=block:cyclic"}));
}

TEST(SrunContention, RanksWithoutCpuTimeAreJudgedByNothingAndSaySo) {
    // Two ranks whose CPU time srun could not give, as the srun runner leaves them.
    cell ranks{"corvane-mpi", 2, 1, {}, {}};
    for (int i = 0; i < 3; ++i)
        ranks.samples.push_back({0.9, 1.3, true, "", std::nullopt, std::nullopt, std::nullopt});
    assess_contention(ranks);
    EXPECT_EQ(ranks.statistics.contention_basis, "nothing");
    EXPECT_FALSE(ranks.statistics.parallelism);
    EXPECT_FALSE(ranks.statistics.contended);

    // Under mpiexec the ranks' CPU time is counted and their switches judge them.
    cell counted{"corvane-mpi", 2, 1, {}, {}};
    for (int i = 0; i < 3; ++i) counted.samples.push_back({0.9, 1.3, true, "", 1.6, 0.1, 400L});
    assess_contention(counted);
    EXPECT_EQ(counted.statistics.contention_basis, "switches alone");
    EXPECT_TRUE(counted.statistics.contended);

    cell team{"corvane-omp", std::nullopt, 2, {}, {}};
    for (int i = 0; i < 3; ++i) team.samples.push_back({0.5, 0.52, true, "", 0.9, 0.05, 5L});
    assess_contention(team);
    EXPECT_EQ(team.statistics.contention_basis, "CPU time and switches");

    // A team whose CPU time was not counted is not called quiet either.
    cell uncounted{"corvane-omp", std::nullopt, 2, {}, {}};
    for (int i = 0; i < 3; ++i)
        uncounted.samples.push_back({0.5, 0.52, true, "", std::nullopt, std::nullopt, std::nullopt});
    assess_contention(uncounted);
    EXPECT_EQ(uncounted.statistics.contention_basis, "nothing");
}

TEST_F(StandIns, TheLauncherIsChosenByAllocationAndAStepBeyondItIsRefusedBeforeAnyRun) {
    const std::vector<std::string> mpi_cells = {"--programs", "corvane-serial", "--threads", "1"};
    auto with = [&](std::vector<std::string> more) {
        more.insert(more.begin(), mpi_cells.begin(), mpi_cells.end());
        return more;
    };
    const environment allocation = {{"SLURM_JOB_ID", "99"}, {"SLURM_JOB_CPUS_PER_NODE", "2"}};
    const std::vector<std::tuple<std::vector<std::string>, environment, std::string>> cases = {
        {with({"--ranks", "1", "--launcher", "slurm"}),
         {},
         "--launcher: 'slurm' is not auto, srun or mpiexec"},
        {with({"--launcher", "srun"}), {}, "--launcher goes with --ranks"},
        {with({"--ranks", "1", "--launcher", "srun", "--mpiexec", "/usr/bin/mpiexec"}),
         {},
         "--mpiexec names the mpiexec launcher; it does not go with --launcher srun"},
        {with({"--ranks", "1", "--launcher", "srun"}),
         {{"SLURM_JOB_ID", ""}},
         "--launcher srun: not inside a Slurm allocation (SLURM_JOB_ID is not set)"},
        // Inside an allocation srun is the default: three ranks cannot fit in two CPUs.
        {with({"--ranks", "1,3"}), allocation,
         "corvane-mpi ranks 3 threads 1: needs 3 x 1 = 3 CPUs, and Slurm allocation 99 holds 2"},
        {{"--programs", "corvane-serial", "--threads", "1,2", "--ranks", "2"},
         allocation,
         "corvane-mpi ranks 2 threads 2: needs 2 x 2 = 4 CPUs"},
        {with({"--ranks", "1"}),
         {{"SLURM_JOB_ID", "99"}, {"SLURM_JOB_CPUS_PER_NODE", "two"}},
         "the CPUs of allocation 99 are unknown"},
    };
    for (const auto& [args, env, message] : cases) {
        const auto run = bench(args, env);
        EXPECT_EQ(run.exit_status, 2) << message << "\n" << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << message;
    }
}

TEST_F(StandIns, TheSrunRunnerRecordsTheStepDropsSrunsCpuTimeAndIgnoresSrunsOwnHelper) {
    // A stand-in srun: says which step it launched, prints one world's
    // report, and leaves a helper of its own running a moment, as srun does.
    stand_in("srun",
             "echo 'srun: launching StepId=41.7 on host vm, 2 tasks: [0-1]' >&2\n"
             "echo 'srun: cluster configuration lacks support for cpu binding' >&2\n"
             "sleep 1 &\nprintf '" +
                 escaped(quick_output) + "'");
    slurm_context slurm;
    slurm.job_id = "41";
    slurm.plugin = "pmix";
    const program_runner run = srun_runner(file("srun"), "Open MPI v4.1.4", slurm);
    const strings command = {file("srun"),       "-c", "1", "--cpu-bind=verbose,none", "-n", "2",
                             file("corvane-mpi")};
    corvane::process::run_options options;
    options.timeout_s = 30;
    const auto ran = run(command, options);
    const sample s = sample_of(ran, 30);
    EXPECT_TRUE(s.valid) << s.reason;
    EXPECT_FALSE(s.user_s);
    EXPECT_FALSE(s.involuntary_switches);
    EXPECT_EQ(ran.err, "");
    ASSERT_EQ(slurm.steps.size(), 1u);
    EXPECT_EQ(slurm.steps[0].cell, "corvane-mpi ranks 2 threads 1");
    EXPECT_EQ(slurm.steps[0].ids, strings{"41.7"});
    EXPECT_EQ(slurm.steps[0].tasks_per_node, "2");
    EXPECT_EQ(slurm.steps[0].cpu_bind, "not applied: the cluster lacks support for CPU binding");

    // Any other command runs as it is, its CPU time counted.
    const auto serial = run({file("corvane-serial")}, options);
    EXPECT_TRUE(serial.user_seconds);
    EXPECT_EQ(slurm.steps.size(), 1u);
}
