#include "bench/launch/slurm.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

#include "bench/base/error.hpp"
#include "bench/base/text.hpp"
#include "bench/machine/helper_programs.hpp"
#include "core/report_lines.hpp"

namespace corvane::bench {

namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? printable(value) : "";
}

// Every step of this process carries this name, which squeue -s shows.
std::string step_name() { return "corvane-bench." + std::to_string(getpid()); }

bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// A whole number of at most six digits at `at`, which moves past it; -1 if none.
int number_at(const std::string& text, std::size_t& at) {
    std::size_t end = at;
    while (end < text.size() && end - at < 7 && text[end] >= '0' && text[end] <= '9') ++end;
    if (end == at || end - at > 6) return -1;
    const int value = std::stoi(text.substr(at, end - at));
    at = end;
    return value;
}

process::program_run run_briefly(const std::string& path, const std::vector<std::string>& args) {
    process::run_options options;
    options.timeout_s = 10;
    return process::run_program(path, args, options);
}

// squeue and scancel: beside srun, else (srun a site's wrapper) on PATH.
std::string tool_beside(const std::string& srun, const std::string& tool) {
    const std::string beside = srun.substr(0, srun.find_last_of('/') + 1) + tool;
    return is_executable_file(beside) ? beside : find_on_path(tool);
}

// The steps of this job that carry our name and that Slurm still lists.
std::vector<std::string> our_steps(const std::string& srun, const std::string& job) {
    const auto listed = run_briefly(tool_beside(srun, "squeue"), {"-h", "-s", "-j", job, "-o", "%i %j"});
    std::vector<std::string> steps;
    for (const auto& line : process::lines_of(listed.out)) {
        const auto space = line.find(' ');
        if (space != std::string::npos && line.substr(space + 1) == step_name())
            steps.push_back(line.substr(0, space));
    }
    return steps;
}

// srun got TERM and then KILL with its process group. Its tasks are
// slurmstepd's, which ends them when srun goes, in about KillWait; scancel
// makes sure, and we wait until Slurm no longer lists the step, so that no
// rank of it competes with the next run.
void end_our_steps(const std::string& srun, const std::string& job) {
    constexpr double longest_wait_s = 30;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const auto steps = our_steps(srun, job);
        if (steps.empty()) return;
        for (const auto& step : steps) run_briefly(tool_beside(srun, "scancel"), {step});
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > longest_wait_s)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

// The value after `option` in a command ("-n", "2"), or 0.
int option_value(const std::vector<std::string>& command, const std::string& option) {
    for (std::size_t i = 1; i + 1 < command.size(); ++i)
        if (command[i] == option) {
            std::size_t at = 0;
            return std::max(number_at(command[i + 1], at), 0);
        }
    return 0;
}

std::string counted(int count, const std::string& what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

// The CPUs the allocation holds, from SLURM_JOB_CPUS_PER_NODE.
std::optional<allocation_cpus> allocated_cpus() {
    return cpus_of_allocation(variable("SLURM_JOB_CPUS_PER_NODE"));
}

// A step beyond the allocation would wait in the queue for CPUs it can
// never get: a cell asked for that needs more than the allocation holds is
// refused. Of the default team sizes, those that do not fit are left out
// (fit_allocation); a rank count that does not fit on one thread each
// is refused all the same.
void check_allocation(const launch_request& asked, const slurm_context& allocation) {
    const auto cpus = allocated_cpus();
    if (!cpus)
        throw bench_error("--launcher srun: the CPUs of allocation " + allocation.job_id +
                          " are unknown (SLURM_JOB_CPUS_PER_NODE is missing or not understood)");
    for (int r : asked.ranks)
        for (int t : asked.threads) {
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

}  // namespace

std::optional<slurm_context> current_allocation() {
    slurm_context allocation;
    allocation.job_id = variable("SLURM_JOB_ID");
    if (allocation.job_id.empty()) return std::nullopt;
    allocation.cluster = variable("SLURM_CLUSTER_NAME");
    allocation.partition = variable("SLURM_JOB_PARTITION");
    allocation.node_list = variable("SLURM_JOB_NODELIST");
    allocation.tasks_per_node = variable("SLURM_TASKS_PER_NODE");
    const auto cpus = cpus_of_allocation(variable("SLURM_JOB_CPUS_PER_NODE"));
    if (cpus) allocation.cpus = static_cast<int>(std::min<long>(cpus->total, 1 << 30));
    return allocation;
}

bool inside_allocation() {
    const char* job = std::getenv("SLURM_JOB_ID");
    return job && *job;
}

launcher prepare_srun(const launch_request& asked) {
    std::optional<slurm_context> allocation = current_allocation();
    if (!allocation)
        throw bench_error(
            "--launcher srun: not inside a Slurm allocation (SLURM_JOB_ID is not set); "
            "start one with salloc or sbatch, or use --launcher mpiexec");
    check_allocation(asked, *allocation);
    const std::string srun = find_on_path("srun");
    if (srun.empty()) throw bench_error("--launcher srun: srun is not on PATH");
    launcher found = identify_launcher(srun, asked.ranks.back(), 0, asked.hostfile);
    if (found.implementation != "Slurm")
        throw bench_error("--launcher srun: " + srun + " --version does not name Slurm ('" + found.version +
                          "')");
    const std::string library = mpi_library_version(asked.bin_dir);
    allocation->plugin = srun_plugin_for(library);
    if (allocation->plugin.empty())
        throw bench_error("--launcher srun: no srun plugin is known for corvane-mpi's MPI library ('" +
                          library + "'; Open MPI needs pmix, MPICH pmi2); use --launcher mpiexec");
    const auto plugins = srun_plugins(srun);
    if (std::find(plugins.begin(), plugins.end(), allocation->plugin) == plugins.end())
        throw bench_error("--launcher srun: srun --mpi=list does not list " + allocation->plugin +
                          ", which " + library + " needs; use --launcher mpiexec");
    found.command = srun_command(srun, allocation->plugin);
    // -c and its count of threads come first; the rest is the same for every cell.
    const auto placed = launcher_binding(found.implementation, asked.bind, 1);
    allocation->placement = "-c <threads>";
    for (std::size_t i = 2; i < placed.size(); ++i) allocation->placement += " " + placed[i];
    found.allocation = allocation;
    return found;
}

std::vector<std::string> fit_allocation(std::vector<cell>& cells, const slurm_context& allocation,
                                        bool threads_given) {
    std::vector<std::string> warnings;
    const auto cpus = allocated_cpus();
    for (auto c = cells.begin(); !threads_given && c != cells.end();) {
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
    warnings.push_back(
        "corvane-mpi under srun: its ranks are slurmstepd's children, not this process's, so their CPU "
        "time and context switches are unknown here (Slurm's accounting is not read): those cells "
        "show no parallelism, and their contention is not judged");
    return warnings;
}

void start_steps(slurm_context& allocation, const std::vector<cell>& cells) {
    for (const cell& c : cells)
        if (c.ranks) allocation.steps.push_back({cell_label(c), {}, "", "", *c.threads, ""});
}

// "job 7 (cluster corvane, partition debug) on vm: tasks per node 2, 2 CPUs;
// srun --mpi=pmix -c <threads> --cpu-bind=verbose,none".
std::vector<context_line> allocation_lines(const slurm_context& s) {
    return {{"Slurm", "job " + s.job_id + " (cluster " + s.cluster + ", partition " + s.partition + ") on " +
                          s.node_list + ": tasks per node " + s.tasks_per_node + ", " +
                          counted(s.cpus, "CPU") + "; srun --mpi=" + s.plugin + " " + s.placement}};
}

std::vector<context_line> step_lines(const slurm_context& allocation) {
    std::vector<context_line> out;
    for (const auto& step : allocation.steps) {
        // Every id up to three; beyond, the first and the last.
        const std::size_t count = step.ids.size();
        std::string ids = count == 0 ? "no step launched" : count == 1 ? "step" : "steps";
        for (std::size_t i = 0; i < count; ++i)
            if (count <= 3 || i == 0 || i + 1 == count)
                ids += (i == 0 ? " " : count > 3 ? " ... " : ", ") + step.ids[i];
        if (count > 3) ids += " (" + std::to_string(count) + ")";
        out.push_back({"Slurm steps", step.cell + ": " + ids + " on " +
                                          (step.nodes.empty() ? "-" : step.nodes) + ", tasks per node " +
                                          (step.tasks_per_node.empty() ? "-" : step.tasks_per_node) + ", " +
                                          counted(step.cpus_per_task, "CPU") + " per task, CPU binding " +
                                          (step.cpu_bind.empty() ? "unknown" : step.cpu_bind)});
    }
    return out;
}

std::optional<allocation_cpus> cpus_of_allocation(const std::string& cpus_per_node) {
    allocation_cpus cpus;
    std::size_t at = 0;
    while (at < cpus_per_node.size()) {
        const int per_node = number_at(cpus_per_node, at);
        int nodes = 1;
        if (at < cpus_per_node.size() && cpus_per_node.compare(at, 2, "(x") == 0) {
            at += 2;
            nodes = number_at(cpus_per_node, at);
            if (nodes < 1 || at >= cpus_per_node.size() || cpus_per_node[at] != ')') return std::nullopt;
            ++at;
        }
        if (per_node < 1) return std::nullopt;
        cpus.total += static_cast<long>(per_node) * nodes;
        cpus.largest_node = std::max(cpus.largest_node, per_node);
        if (at == cpus_per_node.size()) break;
        if (cpus_per_node[at] != ',' || ++at == cpus_per_node.size()) return std::nullopt;
    }
    if (cpus.total == 0) return std::nullopt;
    return cpus;
}

std::string srun_plugin_for(const std::string& library) {
    if (starts_with(library, "Open MPI")) return "pmix";
    if (library.find("MPICH") != std::string::npos) return "pmi2";
    return "";
}

std::vector<std::string> srun_plugins(const std::string& srun) {
    // One plugin a line, indented; the lines around them are not plugins.
    std::vector<std::string> plugins;
    for (const auto& line : process::lines_of(run_briefly(srun, {"--mpi=list"}).out)) {
        if (line.empty() || (line[0] != '\t' && line[0] != ' ')) continue;
        const auto start = line.find_first_not_of(" \t");
        if (start != std::string::npos) plugins.push_back(line.substr(start));
    }
    return plugins;
}

std::vector<std::string> srun_command(const std::string& srun, const std::string& plugin) {
    return {srun, "-v", "--mpi=" + plugin, "--immediate=" + std::to_string(srun_queue_wait_s),
            "--job-name=" + step_name()};
}

srun_said take_srun_lines(std::string& err) {
    srun_said said;
    std::string kept, mode;
    std::map<int, std::string> masks;  // by task: each task's line comes when it starts
    bool unsupported = false;
    for (const auto& line : process::lines_of(err)) {
        // "srun: launching StepId=7.3 on host node1, 2 tasks: [0-1]" (older
        // releases: "launching 7.3 on host ...").
        if (starts_with(line, "srun: launching ")) {
            std::istringstream words(line.substr(16));
            std::string step, on, host, node;
            int tasks = 0;
            if (words >> step >> on >> host >> node >> tasks && on == "on" && host == "host") {
                said.step_id = printable(starts_with(step, "StepId=") ? step.substr(7) : step);
                if (!node.empty() && node.back() == ',') node.pop_back();
                said.nodes.emplace_back(printable(node), tasks);
            }
            continue;
        }
        // "cpu-bind=MASK - node1, task  0  0 [4242]: mask 0x1 set", one per task.
        if (starts_with(line, "cpu-bind=")) {
            std::istringstream words(line.substr(9));
            std::string dash, node, task, mask = "?";
            int rank = -1;
            words >> mode >> dash >> node >> task >> rank;
            if (!node.empty() && node.back() == ',') node.pop_back();
            const auto at = line.find("mask ");
            if (at != std::string::npos) std::istringstream(line.substr(at + 5)) >> mask;
            masks[rank] = printable(node) + " task " + std::to_string(rank) + " " + printable(mask);
            continue;
        }
        if (line.find("lacks support for cpu binding") != std::string::npos) unsupported = true;
        // srun's own informational lines; its errors and warnings stay.
        if (starts_with(line, "srun: ") && !starts_with(line, "srun: error") &&
            !starts_with(line, "srun: fatal") && !starts_with(line, "srun: warning"))
            continue;
        kept += line + "\n";
    }
    for (const auto& [rank, text] : masks)
        said.cpu_bind += (said.cpu_bind.empty() ? printable(mode) + ": " : ", ") + text;
    said.cpu_bind = !masks.empty()         ? said.cpu_bind
                    : unsupported          ? "not applied: the cluster lacks support for CPU binding"
                    : said.step_id.empty() ? ""
                                           : "not reported";
    err = kept;
    return said;
}

std::string world_mismatch(const process::program_run& run, int ranks, const std::string& plugin,
                           const std::string& library) {
    const std::string mismatch =
        "srun --mpi=" + plugin + " does not match corvane-mpi's MPI library (" + library + ")";
    // Ranks that could not join a world stop in MPI_Init, which every MPI
    // library names when it fails; nothing was reported.
    if (run.exit_status > 0 && run.out.empty() && run.err.find("MPI_Init") != std::string::npos)
        return "exit status " + std::to_string(run.exit_status) +
               ": no world started, MPI_Init failed: " + mismatch + ": " +
               printable(first_line(run.err).substr(0, 200));
    if (ranks < 2 || run.exit_status != 0) return "";
    const auto lines = process::lines_of(run.out);
    if (lines.size() != 2 * static_cast<std::size_t>(ranks)) return "";
    // srun forwards each rank's lines as they come, so the reports may interleave.
    const auto values = std::count(lines.begin(), lines.end(), expected_value_line());
    const auto times = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return parse_time_line(line).has_value();
    });
    if (values != ranks || times != ranks) return "";
    return "expected two lines, got " + std::to_string(lines.size()) + ": " + std::to_string(ranks) +
           " worlds of one rank each reported, not one world of " + std::to_string(ranks) + ": " + mismatch;
}

program_runner srun_runner(const std::string& srun, const std::string& library, slurm_context& slurm) {
    return [srun, library, &slurm](const std::vector<std::string>& command,
                                   const process::run_options& options) {
        process::program_run run = run_command(command, options);
        if (command.empty() || command[0] != srun) return run;
        run.user_seconds = run.system_seconds = std::nullopt;
        run.involuntary_switches = run.voluntary_switches = std::nullopt;
        run.cpu_seconds = 0;
        // srun forks a helper of its own (which cancels the step should srun
        // die), and it may outlive srun by a moment; the runner ends it then
        // as left behind. The ranks are slurmstepd's children, never srun's
        // descendants, so nothing of theirs is counted there: srun returns
        // once every task has ended, and after a timeout or interrupt Slurm
        // is asked what is left (below).
        run.left_behind = 0;
        const srun_said said = take_srun_lines(run.err);
        if (run.timed_out || run.interrupted_by || run.signal != 0) end_our_steps(srun, slurm.job_id);

        const int ranks = option_value(command, "-n"), threads = option_value(command, "-c");
        const std::string mismatch = world_mismatch(run, ranks, slurm.plugin, library);
        if (run.failure.empty() && !mismatch.empty()) run.failure = mismatch;

        const std::string label = cell_label({"corvane-mpi", ranks, threads, {}, {}});
        auto step = std::find_if(slurm.steps.begin(), slurm.steps.end(),
                                 [&](const slurm_step& s) { return s.cell == label; });
        if (step == slurm.steps.end())
            step = slurm.steps.insert(slurm.steps.end(), {label, {}, "", "", threads, ""});
        if (said.step_id.empty()) return run;
        step->ids.push_back(said.step_id);
        step->nodes.clear();
        step->tasks_per_node.clear();
        for (const auto& [node, tasks] : said.nodes) {
            step->nodes += (step->nodes.empty() ? "" : ",") + node;
            step->tasks_per_node += (step->tasks_per_node.empty() ? "" : ",") + std::to_string(tasks);
        }
        step->cpu_bind = said.cpu_bind;
        return run;
    };
}

std::vector<std::string> fit_to_srun(const launcher& srun, const launch_request& asked,
                                     std::vector<cell>& cells) {
    return srun.allocation ? fit_allocation(cells, *srun.allocation, asked.threads_given)
                           : std::vector<std::string>{};
}

void record_srun(run_context& context, const launcher& srun, const std::vector<cell>& cells) {
    if (!srun.allocation) return;
    context.slurm = srun.allocation;
    start_steps(*context.slurm, cells);
}

void describe_srun(run_context& context) {
    if (!context.slurm) return;
    context.launcher_setting = allocation_lines(*context.slurm);
    context.launcher_steps = step_lines(*context.slurm);
}

program_runner srun_runner_of(const launcher& srun, run_context& context) {
    if (!context.slurm) return run_command;
    return srun_runner(srun.path, context.mpi->library, *context.slurm);
}

}  // namespace corvane::bench
