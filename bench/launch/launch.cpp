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

// Ranks on a hostfile's machines are not bound by this one's cores.
std::vector<std::string> fit_to_mpiexec(const launcher&, const launch_request& asked,
                                        std::vector<cell>& cells) {
    if (asked.bind != binding::none && asked.hostfile.empty()) check_bound_ranks(asked, cells);
    return {};
}

// A value of --launcher besides auto, and everything the harness asks of
// it. A scheduler's launcher also keeps a record in the context (its
// allocation, its steps), shows lines of it, and runs the commands itself;
// mpiexec and its like have none of these (nullptr).
struct launcher_choice {
    const char* name;
    const char* auto_takes;   // where auto takes it, for --help
    bool (*taken_by_auto)();  // nullptr for the last, which auto takes where no other is
    launcher (*prepare)(const launch_request& asked);
    std::vector<std::string> (*fit)(const launcher& mpi, const launch_request& asked,
                                    std::vector<cell>& cells);
    void (*record)(run_context& context, const launcher& mpi, const std::vector<cell>& cells);
    void (*describe)(run_context& context);  // its lines, where the context holds its record
    program_runner (*runner)(const launcher& mpi, run_context& context);
};

const launcher_choice launcher_choices[] = {
    {"srun", "srun inside a Slurm allocation", inside_allocation, prepare_srun, fit_to_srun, record_srun,
     describe_srun, srun_runner_of},
    // Last: what auto takes outside every allocation, and what --mpiexec names.
    {"mpiexec", "mpiexec outside one", nullptr, prepare_mpiexec, fit_to_mpiexec, nullptr, nullptr, nullptr},
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

// The entry a launcher was prepared by.
const launcher_choice& entry_of(const launcher& mpi) {
    for (const auto& choice : launcher_choices)
        if (mpi.choice == choice.name) return choice;
    return mpiexec_choice;
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
    const launcher_choice& choice = chosen(asked);
    launcher mpi = choice.prepare(asked);
    mpi.choice = choice.name;
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
    return entry_of(mpi).fit(mpi, asked, cells);
}

void record_launcher(run_context& context, const std::optional<launcher>& mpi,
                     const std::vector<cell>& cells) {
    if (!mpi || !entry_of(*mpi).record) return;
    entry_of(*mpi).record(context, *mpi, cells);
    describe_launcher(context);
}

program_runner launcher_runner(run_context& context, const std::optional<launcher>& mpi) {
    if (!mpi || !entry_of(*mpi).runner) return run_command;
    const program_runner own = entry_of(*mpi).runner(*mpi, context);
    // Its lines follow its record, which each run adds to.
    return [own, &context](const std::vector<std::string>& command, const process::run_options& options) {
        process::program_run run = own(command, options);
        describe_launcher(context);
        return run;
    };
}

void describe_launcher(run_context& context) {
    context.launcher_setting.clear();
    context.launcher_steps.clear();
    for (const auto& choice : launcher_choices)
        if (choice.describe) choice.describe(context);
}

}  // namespace corvane::bench
