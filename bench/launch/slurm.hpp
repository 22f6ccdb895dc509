// corvane-mpi under Slurm's srun, inside an allocation (salloc, sbatch):
// srun's checks and command, what the allocation holds and which cells fit
// in it, srun's plugin for corvane-mpi's MPI library, what srun says of
// each step, the lines the context shows of them, and a runner that ends a
// step srun left behind. srun's entry in the launcher table (launchers.cpp)
// holds its placement options; this is what srun needs beyond them, and
// launch.cpp's table is how the harness reaches it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/launch/launchers.hpp"
#include "bench/model/model.hpp"

namespace corvane::bench {

// How long a step may wait for processors that other steps of the
// allocation hold (srun --immediate). Without a bound srun waits forever;
// --timeout bounds the run after that.
inline constexpr int srun_queue_wait_s = 60;

// The allocation this process runs in, from Slurm's variables; nothing
// outside one (no SLURM_JOB_ID).
std::optional<slurm_context> current_allocation();

// Whether this process runs inside an allocation: where --launcher auto
// takes srun.
bool inside_allocation();

// srun inside the allocation, with the plugin corvane-mpi's library speaks,
// its allocation recorded: refused outside an allocation, where srun is
// not Slurm's or lacks the plugin, and for a cell asked for that needs more
// CPUs than the allocation holds (a step beyond it would wait in the queue
// for CPUs it can never get). Throws bench_error.
launcher prepare_srun(const launch_request& asked);

// srun's part of the launcher interface (launch.cpp's table): the cells its
// allocation holds (fit_allocation), its record in the context with a step
// entry for each corvane-mpi cell, the lines of that record, and the runner
// that records each step and ends those srun leaves (srun_runner); where
// the context holds no record, run_command.
std::vector<std::string> fit_to_srun(const launcher& srun, const launch_request& asked,
                                     std::vector<cell>& cells);
void record_srun(run_context& context, const launcher& srun, const std::vector<cell>& cells);
void describe_srun(run_context& context);
program_runner srun_runner_of(const launcher& srun, run_context& context);

// Leaves out the corvane-mpi cells of default team sizes that the
// allocation cannot hold (a rank count asked for that does not fit is
// refused by prepare_srun), and returns the warnings that say so and what
// srun's ranks leave unknown.
std::vector<std::string> fit_allocation(std::vector<cell>& cells, const slurm_context& allocation,
                                        bool threads_given);

// A step entry for each corvane-mpi cell, in the order of the cells, each
// filled as its steps run.
void start_steps(slurm_context& allocation, const std::vector<cell>& cells);

// The context's lines of the allocation ("Slurm: job 7 ..."), and of its
// steps, one line per cell: the step ids, nodes, tasks per node, CPUs per
// task and the CPU binding srun applied ("Slurm steps: ...").
std::vector<context_line> allocation_lines(const slurm_context& allocation);
std::vector<context_line> step_lines(const slurm_context& allocation);

// The CPUs of SLURM_JOB_CPUS_PER_NODE ("2", "1(x2)", "4(x2),2": N(xK) is N
// CPUs on each of K nodes): in all, and on the largest node. Nothing when
// the text is not of that form.
struct allocation_cpus {
    long total = 0;
    int largest_node = 0;
};
std::optional<allocation_cpus> cpus_of_allocation(const std::string& cpus_per_node);

// srun's --mpi plugin for an MPI library, by the first line of its version
// (corvane-mpi-version): pmix for Open MPI, pmi2 for MPICH; "" for others.
std::string srun_plugin_for(const std::string& library);

// The plugins `srun --mpi=list` lists.
std::vector<std::string> srun_plugins(const std::string& srun);

// srun, its plugin, its bound on the queue wait, -v (which names the
// step, its nodes and tasks) and a step name of this process's own, so
// that its steps can be found and ended.
std::vector<std::string> srun_command(const std::string& srun, const std::string& plugin);

// What srun -v and --cpu-bind=verbose said of one step, taken out of its
// standard error, which keeps the ranks' own lines and srun's errors.
struct srun_said {
    std::string step_id;                             // "7.3", or "" if it never launched
    std::vector<std::pair<std::string, int>> nodes;  // each node and its tasks
    std::string cpu_bind;
};
srun_said take_srun_lines(std::string& err);

// The reason for a run of `ranks` that did not make one world, as when
// srun's plugin is not the one corvane-mpi's MPI library speaks: each rank
// printed a whole report as a world of one (MPICH), or MPI_Init failed and
// nothing was reported (Open MPI). "" for any other run.
std::string world_mismatch(const process::program_run& run, int ranks, const std::string& plugin,
                           const std::string& library);

// Runs commands as run_command does; an srun command (first word `srun`)
// also has srun's own lines taken out of its error, its step recorded in
// `slurm`, its CPU time dropped (the ranks are slurmstepd's children, not
// srun's, so srun's own would be a wrong number), a run of one-rank worlds
// explained, srun's own helper that outlives it for a moment not counted
// as left behind, and, after a timeout or interrupt, every step of it
// that Slurm still lists cancelled and waited out.
program_runner srun_runner(const std::string& srun, const std::string& library, slurm_context& slurm);

}  // namespace corvane::bench
