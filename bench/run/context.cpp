#include "bench/run/context.hpp"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>

#include "bench/base/error.hpp"
#include "bench/base/stats.hpp"
#include "bench/base/text.hpp"
#include "bench/machine/helper_programs.hpp"
#include "bench/run/build_record.hpp"
#include "build_info.hpp"
#include "core/corvane.hpp"
#include "core/kernels.hpp"

extern char** environ;

namespace corvane::bench {

namespace {

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

process::program_run run_briefly(const std::string& path, const std::vector<std::string>& args,
                                 const environment& env = {}) {
    process::run_options options;
    options.env = env;
    options.timeout_s = 30;
    return process::run_program(path, args, options);
}

}  // namespace

std::vector<std::string> system_warnings(const machine_facts& machine) {
    const int cpus = machine.usable_cpus;
    std::vector<std::string> warnings;
    if (std::string(build_info::build_type) == "Debug")
        warnings.push_back(
            "corvane-bench itself built as Debug: its kernel plan and clock are not those of an optimised "
            "build");
    for (const auto& governor : machine.governors)
        warnings.push_back("CPU frequency governor '" + governor +
                           "', not 'performance': the clock speed may change between runs");
    double load[1] = {0};
    if (getloadavg(load, 1) == 1 && load[0] > 0.5 * cpus) {
        warnings.push_back("load average " + formatted("%.2f", load[0]) + " on " + std::to_string(cpus) +
                           " processors at the start: other work competes with the runs");
    }
    return warnings;
}

std::string team_problem(const std::string& probe, const environment& env, int threads) {
    const auto run = run_briefly(probe, {}, env);
    int team = 0, limit = 0, dynamic = 0, procs = 0;
    if (run.exit_status != 0 || std::sscanf(run.out.c_str(), "team %d limit %d dynamic %d procs %d", &team,
                                            &limit, &dynamic, &procs) != 4) {
        const std::string why = !run.failure.empty()   ? run.failure
                                : run.timed_out        ? "it did not finish in 30 s"
                                : run.signal != 0      ? "killed by signal " + std::to_string(run.signal)
                                : run.exit_status != 0 ? "exit status " + std::to_string(run.exit_status)
                                                       : "it printed '" + first_line(run.out) + "'";
        const std::string said = first_line(run.err);
        return "corvane-team-probe did not answer: " + printable(why + (said.empty() ? "" : ": " + said));
    }
    if (team == threads) return "";
    std::string cause;
    if (limit < threads) cause = "OMP_THREAD_LIMIT allows " + std::to_string(limit);
    if (dynamic) cause += (cause.empty() ? "" : "; ") + std::string("OMP_DYNAMIC is true");
    if (procs < threads)
        cause += (cause.empty() ? "" : "; ") + std::string("the affinity mask allows ") +
                 std::to_string(procs) + " processor(s)";
    return "a parallel region would get " + std::to_string(team) + " thread(s), not " +
           std::to_string(threads) + (cause.empty() ? "" : " (" + cause + ")");
}

std::vector<std::string> check_teams(const suite_options& options, const std::vector<cell>& cells) {
    std::vector<std::string> warnings;
    const bool any_team = std::any_of(cells.begin(), cells.end(), [](const cell& c) { return c.threads; });
    const std::string probe = find_helper("corvane-team-probe", own_directory());
    if (any_team && probe.empty()) {
        warnings.push_back(
            "team sizes are not checked: corvane-team-probe is neither beside corvane-bench nor in " +
            installed_helper_directory() + " nor on PATH");
        return warnings;
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
    return warnings;
}

std::map<std::string, order_plan> measured_kernel_plan() {
    set_step();
    std::map<std::string, order_plan> plans;
    for (summation_order order : {summation_order::strict, summation_order::four_lane}) {
        const kernel_plan measured = measure_plan(order);
        order_plan& plan = plans[order_name(order)];
        plan.chosen = kernel_name(measured.chosen_kernel());
        for (const candidate& c : measured.candidates)
            plan.ns_per_term.emplace_back(kernel_name(*c.k), c.ns_per_term);
    }
    return plans;
}

bool is_openmp_variable(const std::string& name) {
    // libgomp's GOMP_CPU_AFFINITY and LLVM's KMP_AFFINITY place a team as
    // surely as OMP_PLACES does.
    for (const char* prefix : {"OMP_", "GOMP_", "KMP_"})
        if (name.rfind(prefix, 0) == 0) return true;
    return false;
}

run_context context_of(const suite_options& options, const machine_facts& machine,
                       const std::vector<std::string>& warnings, const std::optional<launcher>& mpi,
                       const std::string& hostfile) {
    run_context context;
    // What the programs see: the harness's own OpenMP settings, then --env.
    // Names are as untrusted as values: either may hold escape sequences.
    for (char** entry = environ; *entry; ++entry) {
        const std::string text(*entry);
        if (is_openmp_variable(text) && text.find('=') != std::string::npos)
            context.omp_variables[printable(text.substr(0, text.find('=')))] =
                printable(text.substr(text.find('=') + 1));
    }
    for (const auto& [name, value] : options.env) {
        context.env[printable(name)] = printable(value);
        if (is_openmp_variable(name)) context.omp_variables[printable(name)] = printable(value);
    }
    context.omp_variables.erase("OMP_NUM_THREADS");  // set per cell from --threads
    if (options.bind != binding::none)
        for (const char* name : {"OMP_PLACES", "OMP_PROC_BIND"})
            context.omp_variables.erase(name);  // per cell
    context.processor = machine.processor;
    context.logical_cores = machine.logical_cores;
    context.usable_cpus = machine.usable_cpus;
    context.compiler = build_info::compiler;
    context.flags = build_info::flags;
    context.build_type = build_info::build_type;
    context.openmp_runtime = build_info::openmp_runtime;
    context.threads = options.threads;
    context.runs = options.runs;
    context.warmup = options.warmup;
    context.timeout_s = options.timeout_s;
    context.kernel_plan = measured_kernel_plan();
    context.warnings = warnings;
    context.version = build_info::version;
    context.commit = build_info::commit;
    context.date = utc_now();
    context.seed = options.seed;
    context.machine = machine.identity;
    context.binding = binding_name(options.bind);
    std::vector<std::string> programs = options.programs;
    if (!options.ranks.empty()) programs.push_back("corvane-mpi");
    context.program_builds = read_program_builds(options.bin_dir, programs);
    const auto build_problems = build_warnings(context.program_builds);
    context.warnings.insert(context.warnings.end(), build_problems.begin(), build_problems.end());
    if (mpi) {
        mpi_context recorded;
        recorded.launcher = printable(mpi->path);
        recorded.implementation = mpi->implementation;
        recorded.launcher_version = mpi->version;
        recorded.library = mpi_library_version(options.bin_dir);
        recorded.launcher_env = mpi->env;
        if (!hostfile.empty()) recorded.hostfile = printable(hostfile);
        context.mpi = recorded;
    }
    return context;
}

}  // namespace corvane::bench
