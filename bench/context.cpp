#include "bench/context.hpp"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "bench/build_record.hpp"
#include "bench/error.hpp"
#include "bench/machine.hpp"
#include "build_info.hpp"
#include "core/corvane.hpp"
#include "core/kernels.hpp"

extern char** environ;

namespace corvane::bench {

namespace {

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string read_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// CPUs a cgroup quota allows ("max" or "QUOTA PERIOD" in cpu.max), or 0.
int quota_cpus(long quota, long period) {
    if (quota <= 0 || period <= 0) return 0;
    return static_cast<int>(std::ceil(static_cast<double>(quota) / static_cast<double>(period)));
}

int cgroup_cpus() {
    int limit = 0;
    const auto take = [&limit](int cpus) {
        if (cpus > 0) limit = limit == 0 ? cpus : std::min(limit, cpus);
    };
    // cgroup v2: this process's group and every group above it.
    std::ifstream groups("/proc/self/cgroup");
    for (std::string line; std::getline(groups, line);) {
        if (line.rfind("0::", 0) != 0) continue;
        for (std::string dir = line.substr(3);; dir = dir.substr(0, dir.find_last_of('/'))) {
            std::istringstream max(read_line("/sys/fs/cgroup" + dir + "/cpu.max"));
            std::string quota;
            long period = 0;
            if (max >> quota >> period && quota != "max") take(quota_cpus(std::atol(quota.c_str()), period));
            if (dir.empty() || dir == "/") break;
        }
    }
    // cgroup v1, as a container sees its own.
    const std::string v1 = "/sys/fs/cgroup/cpu/";
    take(quota_cpus(std::atol(read_line(v1 + "cpu.cfs_quota_us").c_str()),
                    std::atol(read_line(v1 + "cpu.cfs_period_us").c_str())));
    return limit;
}

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

std::string processor_model() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
            std::string model = line.substr(line.find(':') + 1);
            model.erase(0, model.find_first_not_of(' '));
            return model;
        }
    }
    return "unknown";
}

int usable_cpus() {
    int cpus = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof mask, &mask) == 0) cpus = std::max(1, CPU_COUNT(&mask));
    const int quota = cgroup_cpus();
    return quota > 0 ? std::min(cpus, quota) : cpus;
}

std::string find_on_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return dir + "/" + program;
    return "";
}

std::string own_directory() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    const std::string exe(path, static_cast<std::size_t>(length));
    return exe.substr(0, exe.find_last_of('/'));
}

bool is_executable_file(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string installed_helper_directory() { return own_directory() + "/" + CORVANE_HELPER_DIR; }

std::string find_helper(const std::string& name, const std::string& first_dir) {
    for (const auto& dir : {first_dir, installed_helper_directory()})
        if (is_executable_file(dir + "/" + name)) return dir + "/" + name;
    return "";
}

std::vector<std::string> system_warnings(int cpus, int runs, bool saving_results) {
    std::vector<std::string> warnings;
    if (std::string(build_info::build_type) == "Debug")
        warnings.push_back(
            "corvane-bench itself built as Debug: its kernel plan and clock are not those of an optimised "
            "build");
    std::set<std::string> governors;
    for (int cpu = 0; cpu < static_cast<int>(std::thread::hardware_concurrency()); ++cpu) {
        const std::string governor =
            read_line("/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/cpufreq/scaling_governor");
        if (!governor.empty() && governor != "performance") governors.insert(governor);
    }
    for (const auto& governor : governors)
        warnings.push_back("CPU frequency governor '" + governor +
                           "', not 'performance': the clock speed may change between runs");
    double load[1] = {0};
    if (getloadavg(load, 1) == 1 && load[0] > 0.5 * cpus) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "load average %.2f on %d processors at the start: other work competes with the runs",
                      load[0], cpus);
        warnings.push_back(text);
    }
    if (saving_results && runs < 5) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "%d runs per cell: compare needs at least 5 (with %d its smallest possible p is %.3f)",
                      runs, runs,
                      smallest_possible_p(static_cast<std::size_t>(runs), static_cast<std::size_t>(runs)));
        warnings.push_back(text);
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

launcher identify_launcher(const std::string& path, int most_ranks, int cpus, const std::string& hostfile) {
    launcher found;
    found.path = path;
    if (path.empty() || access(path.c_str(), X_OK) != 0)
        throw bench_error("--ranks needs mpiexec, and " +
                          (path.empty() ? std::string("none was found") : path + " cannot be run") +
                          " (name one with --mpiexec; Debian: openmpi-bin or mpich)");
    const auto version = run_briefly(path, {"--version"});
    const std::string text = version.out + version.err;
    found.version = printable(first_line(text));
    found.command = {path};
    if (text.find("Open MPI") != std::string::npos || text.find("OpenRTE") != std::string::npos) {
        found.implementation = "Open MPI";
        found.forward_flag = "-x";
        if (most_ranks > cpus && hostfile.empty()) found.command.push_back("--oversubscribe");
        if (!hostfile.empty()) found.command.insert(found.command.end(), {"--hostfile", hostfile});
        // Open MPI refuses to start as root unless told twice; asking for
        // --ranks as root is telling it, and the context records it.
        if (geteuid() == 0)
            for (const char* name : {"OMPI_ALLOW_RUN_AS_ROOT", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM"})
                if (!std::getenv(name)) found.env.emplace_back(name, "1");
    } else if (text.find("HYDRA") != std::string::npos) {
        found.implementation = "MPICH";
        if (!hostfile.empty()) found.command.insert(found.command.end(), {"-f", hostfile});
    } else {
        found.implementation = "unknown";
        if (!hostfile.empty())
            throw bench_error("--hostfile: " + path +
                              " is neither Open MPI's nor MPICH's launcher, whose hostfile "
                              "options corvane-bench knows; name one of those with --mpiexec");
    }
    return found;
}

std::string mpi_library_version(const std::string& bin_dir) {
    const std::string helper = find_helper("corvane-mpi-version", bin_dir);
    if (helper.empty()) return "unknown";
    const auto run = run_briefly(helper, {});
    const std::string line = first_line(run.out);
    return run.exit_status == 0 && !line.empty() ? printable(line) : "unknown";
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

run_context context_of(const suite_options& options, int cpus, const std::vector<std::string>& warnings,
                       const std::optional<launcher>& mpi, const std::string& hostfile) {
    run_context context;
    // What the programs see: the harness's own OMP_* settings, then --env.
    for (char** entry = environ; *entry; ++entry) {
        const std::string text(*entry);
        if (text.rfind("OMP_", 0) == 0 && text.find('=') != std::string::npos)
            context.omp_variables[text.substr(0, text.find('='))] =
                printable(text.substr(text.find('=') + 1));
    }
    for (const auto& [name, value] : options.env) {
        context.env[printable(name)] = printable(value);
        if (name.rfind("OMP_", 0) == 0) context.omp_variables[name] = printable(value);
    }
    context.omp_variables.erase("OMP_NUM_THREADS");  // set per cell from --threads
    if (options.bind != binding::none)
        for (const char* name : {"OMP_PLACES", "OMP_PROC_BIND"})
            context.omp_variables.erase(name);  // per cell
    context.processor = printable(processor_model());
    context.logical_cores = static_cast<int>(std::thread::hardware_concurrency());
    context.usable_cpus = cpus;
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
    context.machine = identify_machine();
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
