#include "bench/cli/prepare.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>
#include <sstream>

#include "bench/base/error.hpp"
#include "bench/compare/gate.hpp"
#include "bench/launch/slurm.hpp"
#include "bench/machine/helpers.hpp"
#include "bench/run/context.hpp"
#include "bench/run/kernel_figures.hpp"
#include "bench/write/output.hpp"
#include "build_info.hpp"

namespace corvane::bench {

namespace {

std::string default_launcher() {
    if (*build_info::mpiexec) return build_info::mpiexec;
    return find_on_path("mpiexec");
}

void check_counts(const suite_options& options) {
    if (options.runs < 1) throw bench_error("--runs must be at least 1");
    if (options.runs > static_cast<int>(max_samples_per_cell))
        throw bench_error("--runs must be at most " + std::to_string(max_samples_per_cell));
    if (options.warmup < 0) throw bench_error("--warmup must be 0 or more");
    if (options.warmup > most_warmup_runs)
        throw bench_error("--warmup must be at most " + std::to_string(most_warmup_runs));
    if (!std::isfinite(options.timeout_s) || options.timeout_s <= 0 || options.timeout_s > longest_timeout_s)
        throw bench_error("--timeout: give a number of seconds above 0 and at most " +
                          std::to_string(static_cast<long>(longest_timeout_s)));
}

std::vector<std::string> program_list(const std::string& list) {
    std::vector<std::string> programs;
    if (list.empty() || list.front() == ',' || list.back() == ',' || list.find(",,") != std::string::npos)
        throw bench_error("--programs: '" + list + "' is not a comma-separated list of program names");
    std::stringstream names(list);
    for (std::string name; std::getline(names, name, ',');) {
        const program_info* info = find_program(name);
        if (info && info->distributed) throw bench_error(name + " runs through --ranks, not --programs");
        if (!info) {
            std::string known;
            for (const auto& p : known_programs())
                if (!p.distributed) known += (known.empty() ? "" : ", ") + std::string(p.name);
            throw bench_error("unknown program '" + name + "' (known: " + known + ")");
        }
        if (std::find(programs.begin(), programs.end(), name) != programs.end())
            throw bench_error("--programs names " + name + " twice");
        programs.push_back(name);
    }
    if (programs.empty()) throw bench_error("--programs: no program named");
    return programs;
}

void find_programs(const suite_options& options) {
    for (const auto& name : options.programs)
        if (!is_executable_file(options.bin_dir + "/" + name))
            throw bench_error(name + " not found in " + options.bin_dir +
                              " as an executable file (build it, or name another --bin-dir or --programs)");
}

// --launcher: srun inside a Slurm allocation (auto there), else mpiexec;
// --mpiexec names mpiexec's program and so implies it.
bool launch_with_srun(const command_line& given) {
    if (given.launcher != "auto" && given.launcher != "srun" && given.launcher != "mpiexec")
        throw bench_error("--launcher: '" + given.launcher + "' is not auto, srun or mpiexec");
    if (!given.mpiexec.empty() && given.launcher == "srun")
        throw bench_error("--mpiexec names the mpiexec launcher; it does not go with --launcher srun");
    if (!given.mpiexec.empty() || given.launcher == "mpiexec") return false;
    const char* job = std::getenv("SLURM_JOB_ID");
    return given.launcher == "srun" || (job && *job);
}

// srun inside the allocation, with the plugin corvane-mpi's library speaks.
launcher prepare_srun(suite_options& options, const command_line& given, slurm_context& allocation) {
    const std::string srun = find_on_path("srun");
    if (srun.empty()) throw bench_error("--launcher srun: srun is not on PATH");
    launcher found = identify_launcher(srun, options.ranks.back(), 0, given.hostfile);
    if (found.implementation != "Slurm")
        throw bench_error("--launcher srun: " + srun + " --version does not name Slurm ('" + found.version +
                          "')");
    const std::string library = mpi_library_version(options.bin_dir);
    allocation.plugin = srun_plugin_for(library);
    if (allocation.plugin.empty())
        throw bench_error("--launcher srun: no srun plugin is known for corvane-mpi's MPI library ('" +
                          library + "'; Open MPI needs pmix, MPICH pmi2); use --launcher mpiexec");
    const auto plugins = srun_plugins(srun);
    if (std::find(plugins.begin(), plugins.end(), allocation.plugin) == plugins.end())
        throw bench_error("--launcher srun: srun --mpi=list does not list " + allocation.plugin + ", which " +
                          library + " needs; use --launcher mpiexec");
    found.command = srun_command(srun, allocation.plugin);
    // -c and its count of threads come first; the rest is the same for every cell.
    const auto placed = launcher_binding(found.implementation, options.bind, 1);
    allocation.placement = "-c <threads>";
    for (std::size_t i = 2; i < placed.size(); ++i) allocation.placement += " " + placed[i];
    return found;
}

// A step beyond the allocation would wait in the queue for CPUs it can
// never get: a cell asked for that needs more than the allocation holds is
// refused. Of the default team sizes, those that do not fit are left out
// (fit_allocation); a rank count that does not fit on one thread each
// is refused all the same.
void check_allocation(const suite_options& options, const slurm_context& allocation, bool threads_given) {
    const char* cpus_per_node = std::getenv("SLURM_JOB_CPUS_PER_NODE");
    const auto cpus = cpus_of_allocation(cpus_per_node ? cpus_per_node : "");
    if (!cpus)
        throw bench_error("--launcher srun: the CPUs of allocation " + allocation.job_id +
                          " are unknown (SLURM_JOB_CPUS_PER_NODE is missing or not understood)");
    for (int r : options.ranks)
        for (int t : threads_given ? options.threads : std::vector<int>{1}) {
            const std::string cell = cell_label({"corvane-mpi", r, t, {}, {}});
            if (static_cast<long>(r) * t > cpus->total)
                throw bench_error(cell + ": needs " + std::to_string(r) + " x " + std::to_string(t) + " = " +
                                  std::to_string(r * t) + " CPUs, and Slurm allocation " + allocation.job_id +
                                  " holds " + std::to_string(cpus->total) +
                                  " (ask salloc or sbatch for more, or give fewer --ranks or --threads)");
            if (t > cpus->largest_node)
                throw bench_error(cell + ": a rank of " + std::to_string(t) + " threads needs " +
                                  std::to_string(t) +
                                  " CPUs on one node, and the largest node of Slurm "
                                  "allocation " +
                                  allocation.job_id + " has " + std::to_string(cpus->largest_node));
        }
}

// Leaves out the corvane-mpi cells of default team sizes that the
// allocation cannot hold, and says so.
void fit_allocation(std::vector<cell>& cells, const slurm_context& allocation,
                    std::vector<std::string>& warnings) {
    const char* cpus_per_node = std::getenv("SLURM_JOB_CPUS_PER_NODE");
    const auto cpus = cpus_of_allocation(cpus_per_node ? cpus_per_node : "");
    for (auto c = cells.begin(); c != cells.end();) {
        if (!c->ranks || (*workers(*c) <= cpus->total && *c->threads <= cpus->largest_node)) {
            ++c;
            continue;
        }
        warnings.push_back(cell_label(*c) + " left out: " + std::to_string(*workers(*c)) +
                           " CPUs, more than Slurm allocation " + allocation.job_id + " holds (" +
                           std::to_string(cpus->total) + ", at most " + std::to_string(cpus->largest_node) +
                           " on a node)");
        c = cells.erase(c);
    }
}

// MPI cells: the launcher, and how it passes our settings on to the ranks.
std::optional<launcher> prepare_mpi(suite_options& options, const command_line& given, int cpus,
                                    std::optional<slurm_context>& slurm) {
    if (given.ranks.empty()) {
        if (!given.hostfile.empty()) throw bench_error("--hostfile goes with --ranks");
        if (!given.mpiexec.empty()) throw bench_error("--mpiexec goes with --ranks");
        if (given.launcher != "auto") throw bench_error("--launcher goes with --ranks");
        return std::nullopt;
    }
    options.ranks = parse_counts(given.ranks, "--ranks");
    if (!given.hostfile.empty() && access(given.hostfile.c_str(), R_OK) != 0)
        throw bench_error("--hostfile: cannot read " + given.hostfile);
    std::optional<launcher> mpi;
    if (launch_with_srun(given)) {
        slurm = current_allocation();
        if (!slurm)
            throw bench_error(
                "--launcher srun: not inside a Slurm allocation (SLURM_JOB_ID is not set); "
                "start one with salloc or sbatch, or use --launcher mpiexec");
        check_allocation(options, *slurm, !given.threads.empty());
        mpi = prepare_srun(options, given, *slurm);
    } else {
        mpi = identify_launcher(given.mpiexec.empty() ? default_launcher() : given.mpiexec,
                                options.ranks.back(), cpus, given.hostfile);
    }
    options.mpiexec = mpi->command;
    options.mpiexec_env = mpi->env;
    options.mpi_implementation = mpi->implementation;
    launcher_binding(mpi->implementation, options.bind, 1);  // refuses what this launcher cannot place
    // Ranks on other machines see only what the launcher passes on.
    if (!mpi->forward_flag.empty()) {
        options.mpiexec.insert(options.mpiexec.end(), {mpi->forward_flag, "OMP_NUM_THREADS"});
        for (const auto& [name, value] : placement_environment(options.bind, options.machine, 1))
            options.mpiexec.insert(options.mpiexec.end(), {mpi->forward_flag, name});
        for (const auto& [name, value] : options.env)
            options.mpiexec.insert(options.mpiexec.end(), {mpi->forward_flag, name});
    }
    if (!is_executable_file(options.bin_dir + "/corvane-mpi"))
        throw bench_error("corvane-mpi not found in " + options.bin_dir +
                          " (it is built where MPI is found)");
    return mpi;
}

// Refuses cells whose team would not be the size they are labelled with.
void check_teams(const suite_options& options, const std::vector<cell>& cells,
                 std::vector<std::string>& warnings) {
    const bool any_team = std::any_of(cells.begin(), cells.end(), [](const cell& c) { return c.threads; });
    const std::string probe = find_helper("corvane-team-probe", own_directory());
    if (any_team && probe.empty()) {
        warnings.push_back(
            "team sizes are not checked: corvane-team-probe is neither beside corvane-bench nor in " +
            installed_helper_directory() + " nor on PATH");
        return;
    }
    std::set<std::string> asked;
    for (const auto& c : cells) {
        if (!c.threads) continue;
        const environment env = cell_environment(options, c);
        std::string key;
        for (const auto& [name, value] : env) key += name + "=" + value + "\n";
        if (!asked.insert(key).second) continue;
        const std::string problem = team_problem(probe, env, *c.threads);
        if (!problem.empty()) throw bench_error(cell_label(c) + ": " + problem);
    }
}

// A launcher refuses to bind more threads than there are cores (Open MPI
// says so only after it started); on one machine that is known before.
void check_bound_ranks(const suite_options& options, const std::vector<cell>& cells, int cpus) {
    const int cores = options.machine ? std::min(cpus, options.machine->allowed_cores) : cpus;
    for (const auto& c : cells)
        if (c.ranks && *workers(c) > cores)
            throw bench_error(cell_label(c) + ": --bind " + binding_name(options.bind) + " gives each of " +
                              std::to_string(*c.ranks) + " ranks " + std::to_string(*c.threads) +
                              " core(s) of its own, and this process may use " + std::to_string(cores) +
                              " (use --bind none to let them share)");
}

}  // namespace

prepared_suite prepare(const command_line& given) {
    prepared_suite suite;
    suite_options& options = suite.options;
    options = given.options;
    suite.machine = gather_machine();
    const int cpus = suite.machine.usable_cpus;
    check_counts(options);
    options.machine = suite.machine.identity.shape;
    options.threads = !given.threads.empty() ? thread_list(given.threads, options.machine, cpus)
                      : options.machine      ? scan_threads(*options.machine, cpus)
                                             : default_threads(cpus);
    options.bind = binding_named(given.bind);
    options.programs = program_list(given.programs);
    find_programs(options);
    for (const auto& entry : given.env) {
        const auto equals = entry.find('=');
        if (equals == std::string::npos || equals == 0)
            throw bench_error("--env: '" + entry + "' is not NAME=VALUE");
        options.env.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
        if (options.bind != binding::none &&
            (entry.rfind("OMP_PLACES=", 0) == 0 || entry.rfind("OMP_PROC_BIND=", 0) == 0))
            throw bench_error("--env " + entry.substr(0, equals) + " and --bind " + given.bind +
                              " both place the threads; give one of them");
    }
    // Inherited, they would be replaced per cell without a word.
    for (const char* name : {"OMP_PLACES", "OMP_PROC_BIND"})
        if (options.bind != binding::none && std::getenv(name))
            throw bench_error(std::string(name) + " in the environment and --bind " + given.bind +
                              " both place the threads; unset it or use --bind none");
    suite.mpi = prepare_mpi(options, given, cpus, suite.slurm);
    const bool plotting =
        std::any_of(given.exports.begin(), given.exports.end(),
                    [](const export_request& e) { return e.format == export_format::plot; });
    if (plotting && find_on_path("gnuplot").empty())
        throw bench_error("--plot needs gnuplot (Debian package gnuplot-nox), which is not on PATH");
    check_export_paths(given.exports);
    if (given.kernels) suite.kernels_program = find_kernels_program(own_directory());
    suite.cells = make_cells(options);
    if (options.bind != binding::none && given.hostfile.empty() && !suite.slurm)
        check_bound_ranks(options, suite.cells, cpus);
    if (suite.slurm && given.threads.empty()) fit_allocation(suite.cells, *suite.slurm, suite.warnings);
    if (suite.slurm)
        suite.warnings.push_back(
            "corvane-mpi under srun: its ranks are slurmstepd's children, not this process's, so their CPU "
            "time and context switches are unknown here (Slurm's accounting is not read): those cells "
            "show no parallelism, and their contention is not judged");
    check_teams(options, suite.cells, suite.warnings);
    if (options.threads.back() > cpus && std::any_of(suite.cells.begin(), suite.cells.end(),
                                                     [](const cell& c) { return c.threads.has_value(); }))
        suite.warnings.push_back("--threads " + std::to_string(options.threads.back()) +
                                 " is more than the " + std::to_string(cpus) +
                                 " processor(s) this process may use: such teams share processors");
    const bool saving = std::any_of(given.exports.begin(), given.exports.end(),
                                    [](const export_request& e) { return e.format == export_format::json; });
    // Results saved for compare: whether their runs can ever fail the gate.
    if (const std::string reach = reach_warning(suite.cells.size(), static_cast<std::size_t>(options.runs));
        saving && !reach.empty())
        suite.warnings.push_back(reach);
    const auto system = system_warnings(suite.machine);
    suite.warnings.insert(suite.warnings.begin(), system.begin(), system.end());
    return suite;
}

}  // namespace corvane::bench
