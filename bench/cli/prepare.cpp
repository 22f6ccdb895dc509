#include "bench/cli/prepare.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "bench/base/error.hpp"
#include "bench/compare/gate.hpp"
#include "bench/launch/launch.hpp"
#include "bench/machine/helper_programs.hpp"
#include "bench/run/context.hpp"
#include "bench/run/kernel_figures.hpp"
#include "bench/write/output.hpp"
#include "build_info.hpp"

namespace corvane::bench {

namespace {

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

// What the MPI cells ask of the launcher, from the options and the machine.
launch_request launch_request_of(const command_line& given, const suite_options& options, int cpus) {
    launch_request asked;
    asked.launcher = given.launcher;
    asked.mpiexec = given.mpiexec;
    asked.built_for = build_info::mpiexec;
    asked.hostfile = given.hostfile;
    asked.ranks = options.ranks;
    asked.threads_given = !given.threads.empty();
    asked.threads = asked.threads_given ? options.threads : std::vector<int>{1};
    asked.bin_dir = options.bin_dir;
    asked.bind = options.bind;
    asked.machine = options.machine;
    asked.env = options.env;
    asked.cpus = cpus;
    return asked;
}

}  // namespace

prepared_suite prepare(const command_line& given) {
    prepared_suite suite;
    suite_options& options = suite.options;
    options = given.options;
    suite.machine = gather_machine();
    const int cpus = suite.machine.usable_cpus;
    check_counts(options);
    options.programs = program_list(given.programs);
    options.machine = suite.machine.identity.shape;
    options.threads = !given.threads.empty() ? thread_list(given.threads, options.machine, cpus)
                      : options.machine      ? scan_threads(*options.machine, cpus)
                                             : default_threads(cpus);
    options.bind = binding_named(given.bind);
    if (const std::string missing = first_missing_program(options.bin_dir, options.programs);
        !missing.empty())
        throw bench_error(missing + " not found in " + options.bin_dir +
                          " as an executable file (build it, or name another --bin-dir or --programs)");
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
    if (!given.ranks.empty()) options.ranks = parse_counts(given.ranks, "--ranks");
    const launch_request asked = launch_request_of(given, options, cpus);
    suite.mpi = prepare_launcher(asked);
    if (suite.mpi) {
        options.mpiexec = suite.mpi->command;
        options.mpiexec_env = suite.mpi->env;
        options.mpi_implementation = suite.mpi->implementation;
    }
    const bool plotting =
        std::any_of(given.exports.begin(), given.exports.end(),
                    [](const export_request& e) { return e.format == export_format::plot; });
    if (plotting && find_on_path("gnuplot").empty())
        throw bench_error("--plot needs gnuplot (Debian package gnuplot-nox), which is not on PATH");
    check_export_paths(given.exports);
    if (given.kernels) suite.kernels_program = find_kernels_program(own_directory());
    suite.cells = make_cells(options);
    if (suite.mpi) {
        const auto fitted = fit_to_launcher(*suite.mpi, asked, suite.cells);
        suite.warnings.insert(suite.warnings.end(), fitted.begin(), fitted.end());
    }
    const auto unchecked = check_teams(options, suite.cells);
    suite.warnings.insert(suite.warnings.end(), unchecked.begin(), unchecked.end());
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
