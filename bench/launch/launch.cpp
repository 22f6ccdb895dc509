#include "bench/launch/launch.hpp"

#include <algorithm>
#include <iterator>

#include "bench/base/error.hpp"
#include "bench/launch/slurm.hpp"
#include "bench/machine/helper_programs.hpp"

namespace corvane::bench {

namespace {

// mpiexec and its like (the table of launchers.cpp): --mpiexec, else the
// one corvane-mpi was built for, else the one on PATH.
launcher prepare_mpiexec(const launch_request& asked) {
    const std::string path = !asked.mpiexec.empty()     ? asked.mpiexec
                             : !asked.built_for.empty() ? asked.built_for
                                                        : find_on_path("mpiexec");
    return identify_launcher(path, asked.ranks.back(), asked.cpus, asked.hostfile);
}

// A value of --launcher besides auto.
struct launcher_choice {
    const char* name;
    const char* auto_takes;   // where auto takes it, for --help
    bool (*taken_by_auto)();  // nullptr for the last, which auto takes where no other is
    launcher (*prepare)(const launch_request& asked);
};

const launcher_choice launcher_choices[] = {
    {"srun", "srun inside a Slurm allocation", inside_allocation, prepare_srun},
    // Last: what auto takes outside every allocation, and what --mpiexec names.
    {"mpiexec", "mpiexec outside one", nullptr, prepare_mpiexec},
};
const launcher_choice& mpiexec_choice = launcher_choices[std::size(launcher_choices) - 1];

// "srun or mpiexec", or what each auto takes, as --help and the errors name them.
std::string joined(const char* launcher_choice::*part, const char* last_between) {
    std::string text;
    for (const auto& choice : launcher_choices)
        text += (text.empty()                 ? ""
                 : &choice == &mpiexec_choice ? last_between
                                              : ", ") +
                std::string(choice.*part);
    return text;
}

// --mpiexec names mpiexec's program and so implies it.
const launcher_choice& chosen(const launch_request& asked) {
    const launcher_choice* named = nullptr;
    for (const auto& choice : launcher_choices)
        if (asked.launcher == choice.name) named = &choice;
    if (!named && asked.launcher != "auto")
        throw bench_error("--launcher: '" + asked.launcher + "' is not auto, " +
                          joined(&launcher_choice::name, " or "));
    if (!asked.mpiexec.empty() && named && named != &mpiexec_choice)
        throw bench_error("--mpiexec names the " + std::string(mpiexec_choice.name) +
                          " launcher; it does not go with --launcher " + asked.launcher);
    if (named) return *named;
    for (const auto& choice : launcher_choices)
        if (asked.mpiexec.empty() && choice.taken_by_auto && choice.taken_by_auto()) return choice;
    return mpiexec_choice;
}

// A launcher refuses to bind more threads than there are cores (Open MPI
// says so only after it started); on one machine that is known before.
void check_bound_ranks(const launch_request& asked, const std::vector<cell>& cells) {
    const int cores = asked.machine ? std::min(asked.cpus, asked.machine->allowed_cores) : asked.cpus;
    for (const auto& c : cells)
        if (c.ranks && *workers(c) > cores)
            throw bench_error(cell_label(c) + ": --bind " + binding_name(asked.bind) + " gives each of " +
                              std::to_string(*c.ranks) + " ranks " + std::to_string(*c.threads) +
                              " core(s) of its own, and this process may use " + std::to_string(cores) +
                              " (use --bind none to let them share)");
}

}  // namespace

std::string launcher_option_help() {
    return "auto, " + joined(&launcher_choice::name, " or ") +
           ": what starts the ranks (default auto: " + joined(&launcher_choice::auto_takes, ", ") + ")";
}

std::optional<launcher> prepare_launcher(const launch_request& asked) {
    if (asked.ranks.empty()) {
        if (!asked.hostfile.empty()) throw bench_error("--hostfile goes with --ranks");
        if (!asked.mpiexec.empty()) throw bench_error("--mpiexec goes with --ranks");
        if (asked.launcher != "auto") throw bench_error("--launcher goes with --ranks");
        return std::nullopt;
    }
    if (!asked.hostfile.empty() && !is_readable(asked.hostfile))
        throw bench_error("--hostfile: cannot read " + asked.hostfile);
    launcher mpi = chosen(asked).prepare(asked);
    launcher_binding(mpi.implementation, asked.bind, 1);  // refuses what this launcher cannot place
    // Ranks on other machines see only what the launcher passes on.
    if (!mpi.forward_flag.empty()) {
        mpi.command.insert(mpi.command.end(), {mpi.forward_flag, "OMP_NUM_THREADS"});
        for (const auto& [name, value] : placement_environment(asked.bind, asked.machine, 1))
            mpi.command.insert(mpi.command.end(), {mpi.forward_flag, name});
        for (const auto& [name, value] : asked.env)
            mpi.command.insert(mpi.command.end(), {mpi.forward_flag, name});
    }
    if (!is_executable_file(asked.bin_dir + "/corvane-mpi"))
        throw bench_error("corvane-mpi not found in " + asked.bin_dir + " (it is built where MPI is found)");
    return mpi;
}

std::vector<std::string> fit_to_launcher(const launcher& mpi, const launch_request& asked,
                                         std::vector<cell>& cells) {
    if (mpi.allocation) return fit_allocation(cells, *mpi.allocation, asked.threads_given);
    // Ranks on a hostfile's machines are not bound by this one's cores.
    if (asked.bind != binding::none && asked.hostfile.empty()) check_bound_ranks(asked, cells);
    return {};
}

void record_launcher(run_context& context, const std::optional<launcher>& mpi,
                     const std::vector<cell>& cells) {
    if (!mpi || !mpi->allocation) return;
    context.slurm = mpi->allocation;
    start_steps(*context.slurm, cells);
    describe_launcher(context);
}

program_runner launcher_runner(run_context& context, const std::optional<launcher>& mpi) {
    if (!mpi || !context.slurm) return run_command;
    const program_runner srun = srun_runner(mpi->path, context.mpi->library, *context.slurm);
    return [srun, &context](const std::vector<std::string>& command, const process::run_options& options) {
        process::program_run run = srun(command, options);
        describe_launcher(context);
        return run;
    };
}

void describe_launcher(run_context& context) {
    context.launcher_setting.clear();
    context.launcher_steps.clear();
    if (!context.slurm) return;
    context.launcher_setting = allocation_lines(*context.slurm);
    context.launcher_steps = step_lines(*context.slurm);
}

}  // namespace corvane::bench
