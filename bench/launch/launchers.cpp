#include "bench/launch/launchers.hpp"

#include <unistd.h>

#include <cstdlib>

#include "bench/base/error.hpp"
#include "bench/base/text.hpp"
#include "bench/machine/helper_programs.hpp"
#include "process/process.hpp"

namespace corvane::bench {

namespace {

// What corvane-bench knows of one implementation's launcher.
struct launcher_kind {
    const char* implementation;
    const char* named;                    // as the error texts name it: "Open MPI's"
    std::vector<const char*> signatures;  // any of these in its --version names it
    const char* forward_flag;             // "" where every variable reaches the ranks
    const char* hostfile_option;
    // Refuses more ranks than processors unless told (and then only without a hostfile).
    const char* oversubscribe_option;
    // Refuses to start as root unless these variables say so twice; asking
    // for --ranks as root is saying so, and the context records it.
    std::vector<const char*> root_variables;
    // Its placement options for ranks of `per_rank` threads each.
    std::vector<std::string> (*placement)(binding bind, const std::string& per_rank);
};

const launcher_kind known_launchers[] = {
    {"Open MPI",
     "Open MPI's",
     {"Open MPI", "OpenRTE"},
     "-x",
     "--hostfile",
     "--oversubscribe",
     {"OMPI_ALLOW_RUN_AS_ROOT", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM"},
     [](binding bind, const std::string& per_rank) -> std::vector<std::string> {
         if (bind == binding::none) return {"--bind-to", "none"};
         // Each rank gets as many cores as it has threads, next to each other
         // or spread over the NUMA nodes; binding to one core would put all
         // of a rank's threads on it.
         return {"--map-by", (bind == binding::close ? "slot:PE=" : "numa:PE=") + per_rank, "--bind-to",
                 "core"};
     }},
    {"MPICH",
     "MPICH's",
     {"HYDRA"},
     "",
     "-f",
     nullptr,
     {},
     [](binding bind, const std::string& per_rank) -> std::vector<std::string> {
         if (bind == binding::none) return {"-bind-to", "none"};
         return {"-bind-to", "core:" + per_rank, "-map-by",
                 bind == binding::close ? "core:" + per_rank : "numa"};
     }},
    // Slurm's srun, inside an allocation: it places tasks on the allocation's
    // nodes itself, so there is no hostfile, and every variable reaches them.
    // -c reserves a rank's threads their CPUs, whether bound or not; verbose
    // makes srun say which masks it applied, for the context.
    {"Slurm",
     "Slurm's srun",
     {"slurm"},
     "",
     nullptr,
     nullptr,
     {},
     [](binding bind, const std::string& per_rank) -> std::vector<std::string> {
         if (bind == binding::none) return {"-c", per_rank, "--cpu-bind=verbose,none"};
         return {"-c", per_rank, "--cpu-bind=verbose,cores",
                 bind == binding::close ? "--distribution=block:block" : "--distribution=block:cyclic"};
     }},
};

const launcher_kind* kind_named(const std::string& implementation) {
    for (const auto& kind : known_launchers)
        if (implementation == kind.implementation) return &kind;
    return nullptr;
}

const launcher_kind* kind_recognised(const std::string& version_text) {
    for (const auto& kind : known_launchers)
        for (const char* signature : kind.signatures)
            if (version_text.find(signature) != std::string::npos) return &kind;
    return nullptr;
}

// "Open MPI's nor MPICH's": the entries that take a hostfile (mpiexec
// and its like), or the others (schedulers, which place ranks themselves).
std::string names_of(bool take_a_hostfile) {
    std::string names;
    for (const auto& kind : known_launchers)
        if ((kind.hostfile_option != nullptr) == take_a_hostfile)
            names += (names.empty() ? "" : " nor ") + std::string(kind.named);
    return names;
}

}  // namespace

launcher identify_launcher(const std::string& path, int most_ranks, int cpus, const std::string& hostfile) {
    launcher found;
    found.path = path;
    if (path.empty() || access(path.c_str(), X_OK) != 0)
        throw bench_error("--ranks needs mpiexec, and " +
                          (path.empty() ? std::string("none was found") : path + " cannot be run") +
                          " (name one with --mpiexec; Debian: openmpi-bin or mpich)");
    process::run_options options;
    options.timeout_s = 30;
    const auto version = process::run_program(path, {"--version"}, options);
    const std::string text = version.out + version.err;
    // Every launcher answers --version; one that fails to would fail every run.
    if (version.exit_status != 0 || version.signal != 0 || version.timed_out || !version.failure.empty())
        throw bench_error("--mpiexec: " + path + " --version failed (" +
                          (!version.failure.empty() ? printable(version.failure)
                           : version.timed_out      ? std::string("no answer within 30 s")
                           : version.signal != 0    ? "killed by signal " + std::to_string(version.signal)
                                                    : "exit status " + std::to_string(version.exit_status)) +
                          "), so it cannot launch the ranks");
    found.version = printable(first_line(text));
    found.command = {path};
    const launcher_kind* kind = kind_recognised(text);
    if (!kind) {
        found.implementation = "unknown";
        if (!hostfile.empty())
            throw bench_error("--hostfile: " + path + " is neither " + names_of(true) +
                              " launcher, whose hostfile options corvane-bench knows; name one of those "
                              "with --mpiexec");
        return found;
    }
    found.implementation = kind->implementation;
    found.forward_flag = kind->forward_flag;
    if (kind->oversubscribe_option && most_ranks > cpus && hostfile.empty())
        found.command.push_back(kind->oversubscribe_option);
    if (!hostfile.empty() && !kind->hostfile_option)
        throw bench_error("--hostfile: " + path +
                          " places ranks on its allocation's nodes, not a hostfile's");
    if (!hostfile.empty()) found.command.insert(found.command.end(), {kind->hostfile_option, hostfile});
    if (geteuid() == 0)
        for (const char* name : kind->root_variables)
            if (!std::getenv(name)) found.env.emplace_back(name, "1");
    return found;
}

std::string mpi_library_version(const std::string& bin_dir) {
    const std::string helper = find_helper("corvane-mpi-version", bin_dir);
    if (helper.empty()) return "unknown";
    process::run_options options;
    options.timeout_s = 30;
    const auto run = process::run_program(helper, {}, options);
    const std::string line = first_line(run.out);
    return run.exit_status == 0 && !line.empty() ? printable(line) : "unknown";
}

std::vector<std::string> launcher_binding(const std::string& implementation, binding bind, int threads) {
    if (const launcher_kind* kind = kind_named(implementation))
        return kind->placement(bind, std::to_string(threads));
    if (bind == binding::none) return {};
    throw bench_error(std::string("--bind ") + binding_name(bind) + ": the launcher is neither " +
                      names_of(true) + " (nor " + names_of(false) +
                      "), whose binding options corvane-bench knows; use --bind none or name one of those "
                      "with --mpiexec");
}

process::program_run run_command(const std::vector<std::string>& command,
                                 const process::run_options& options) {
    return process::run_program(command[0], {command.begin() + 1, command.end()}, options);
}

}  // namespace corvane::bench
