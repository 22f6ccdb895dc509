// The launcher interface: what starts corvane-mpi's ranks, as the harness
// asks for it. Each value of --launcher is one entry of launch.cpp's table:
// where auto takes it, and how it is prepared (its checks, its command). A
// scheduler's launcher (slurm.hpp) also has a record in the context (its
// allocation and the steps the ranks ran as), the cells that fit its
// allocation, the lines the context shows of it, and a runner that ends
// the steps a run leaves behind; the harness reaches them all through here.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/launch/launchers.hpp"
#include "bench/model/model.hpp"

namespace corvane::bench {

// --launcher's help: its values, and which auto takes where.
std::string launcher_option_help();

// The launcher of the MPI cells asked for: chosen (auto takes the first
// entry whose allocation this process runs in, else mpiexec), checked, its
// command ready, with what passes our settings on to ranks on other
// machines. Nothing without --ranks, where --launcher, --mpiexec and
// --hostfile are refused. Throws bench_error.
std::optional<launcher> prepare_launcher(const launch_request& asked);

// The cells the launcher can place. On this machine, bound ranks need a
// core per thread, which is known before any run: more are refused. Under
// a scheduler, the cells of default team sizes that its allocation cannot
// hold are left out. Returns the warnings that say so, and what the
// launcher leaves unknown of the runs.
std::vector<std::string> fit_to_launcher(const launcher& mpi, const launch_request& asked,
                                         std::vector<cell>& cells);

// The launcher's record in the context, with an entry for each MPI cell's
// steps, in the order of the cells; and its lines (describe_launcher).
void record_launcher(run_context& context, const std::optional<launcher>& mpi,
                     const std::vector<cell>& cells);

// What runs the commands: run_command, or under a scheduler its own runner,
// which also records each step in the context (and its lines) and ends the
// steps a run leaves behind.
program_runner launcher_runner(run_context& context, const std::optional<launcher>& mpi);

// The context's launcher lines (launcher_setting, launcher_steps), made
// from its launcher record: when it is recorded, and when a saved result
// is read, since the results file holds the record alone.
void describe_launcher(run_context& context);

}  // namespace corvane::bench
