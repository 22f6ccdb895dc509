#include "bench/report/context_lines.hpp"

#include "bench/base/text.hpp"

#include <set>
#include <sstream>

namespace corvane::bench {

namespace {

std::string counted(int count, const std::string& what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

// 48K, 1M, 32M: the way cache sizes are written.
std::string size_text(std::uint64_t bytes) {
    for (const auto& [unit, suffix] :
         {std::pair{1ull << 30, "G"}, std::pair{1ull << 20, "M"}, std::pair{1ull << 10, "K"}})
        if (bytes >= unit && bytes % unit == 0) return std::to_string(bytes / unit) + suffix;
    return std::to_string(bytes) + "B";
}

std::string joined(const std::map<std::string, std::string>& values, const char* between) {
    std::string text;
    for (const auto& [name, value] : values)
        text += (text.empty() ? "" : between) + printable(name) + "=" + printable(value);
    return text;
}

using lines = std::vector<context_line>;

// One line, or none where there is nothing to say.
lines one(const char* label, const std::string& value) {
    if (value.empty()) return {};
    return {{label, value}};
}

lines machine_lines(const run_context& c, const char* label) {
    return c.machine.hostname.empty() ? lines{} : one(label, machine_text(c.machine));
}

// The programs' builds: one "programs' build" line when every program was
// built alike, else one "PROGRAM build" line each.
lines builds_lines(const run_context& c, const char*) {
    const auto& builds = c.program_builds;
    std::set<std::string> texts;
    for (const auto& [program, build] : builds) texts.insert(build_text(build));
    if (texts.size() == 1) return {{"programs' build", *texts.begin()}};
    lines out;
    for (const auto& [program, build] : builds) out.push_back({program + " build", build_text(build)});
    return out;
}

std::string mpi_text(const run_context& c, bool terminal) {
    const auto& mpi = c.mpi;
    if (!mpi) return "";
    const std::string hostfile = mpi->hostfile ? ", hostfile " + *mpi->hostfile : "";
    return terminal
               ? mpi->implementation + ", launcher " + mpi->launcher + ", library " + mpi->library + hostfile
               : mpi->implementation + " " + mpi->library + ", launcher " + mpi->launcher + hostfile;
}

// One line of the context as each view shows it; nullptr where a view does
// not show it. The terminal speaks of this run; the report names every
// field, since the results it sets side by side may differ in any of them.
using lines_of = lines (*)(const run_context&, const char* label);
struct context_entry {
    const char* label;
    lines_of terminal, report;
};

const context_entry context_table[] = {
    {"processor",
     [](const run_context& c, const char* label) {
         return one(label, c.processor + ", " + std::to_string(c.usable_cpus) + " usable of " +
                               std::to_string(c.logical_cores) + " logical cores");
     },
     [](const run_context& c, const char* label) { return one(label, c.processor); }},
    {"machine", machine_lines, machine_lines},
    {"processors", nullptr,
     [](const run_context& c, const char* label) {
         return c.logical_cores > 0 ? one(label, std::to_string(c.usable_cpus) + " usable of " +
                                                     std::to_string(c.logical_cores) + " logical")
                                    : lines{};
     }},
    {"programs' build", builds_lines, builds_lines},
    {"corvane-bench's build",
     [](const run_context& c, const char* label) {
         return one(label, "corvane " + c.version + " (" + c.commit + "), " + c.compiler + ", " +
                               c.build_type + ", OpenMP runtime " + c.openmp_runtime);
     },
     nullptr},
    {"corvane-bench's compiler", nullptr,
     [](const run_context& c, const char* label) { return one(label, c.compiler); }},
    {"corvane-bench's build", nullptr,
     [](const run_context& c, const char* label) { return one(label, c.build_type); }},
    {"corvane-bench's flags", [](const run_context& c, const char* label) { return one(label, c.flags); },
     [](const run_context& c, const char* label) { return one(label, c.flags); }},
    {"binding", nullptr, [](const run_context& c, const char* label) { return one(label, c.binding); }},
    {"OpenMP runtime", nullptr,
     [](const run_context& c, const char* label) { return one(label, c.openmp_runtime); }},
    {"kernel plan",
     [](const run_context& c, const char* label) {
         return one(label, plan_text(c.kernel_plan) + " (each program measures again when it starts)");
     },
     [](const run_context& c, const char* label) { return one(label, plan_text(c.kernel_plan)); }},
    {"MPI", [](const run_context& c, const char* label) { return one(label, mpi_text(c, true)); }, nullptr},
    {"binding",
     [](const run_context& c, const char* label) {
         return c.binding.empty() || c.binding == "none"
                    ? lines{}
                    : one(label, c.binding +
                                     " (OMP_PLACES and OMP_PROC_BIND per cell; ranks by the launcher's own "
                                     "options)");
     },
     nullptr},
    {"OMP_*, GOMP_*, KMP_* in effect",
     [](const run_context& c, const char* label) {
         const std::string omp = joined(c.omp_variables, " ");
         return one(label, omp.empty() ? "none besides OMP_NUM_THREADS per cell" : omp);
     },
     nullptr},
    {"OMP_*, GOMP_*, KMP_* set", nullptr,
     [](const run_context& c, const char* label) { return one(label, joined(c.omp_variables, " ")); }},
    {"--env", nullptr,
     [](const run_context& c, const char* label) { return one(label, joined(c.env, " ")); }},
    {"MPI", nullptr, [](const run_context& c, const char* label) { return one(label, mpi_text(c, false)); }},
    // The launcher's own lines, as launch/ made them: its setting, and in
    // the report its steps.
    {"launcher", [](const run_context& c, const char*) { return c.launcher_setting; },
     [](const run_context& c, const char*) {
         lines out = c.launcher_setting;
         out.insert(out.end(), c.launcher_steps.begin(), c.launcher_steps.end());
         return out;
     }},
    {"corvane", nullptr,
     [](const run_context& c, const char* label) {
         return one(label, c.version + (c.commit.empty() ? "" : " (" + c.commit + ")"));
     }},
    {"date", nullptr, [](const run_context& c, const char* label) { return one(label, c.date); }},
    {"runs per cell",
     [](const run_context& c, const char* label) {
         std::ostringstream text;
         text << c.runs << " after " << c.warmup << " warm-up, at most " << c.timeout_s << " s each; seed "
              << c.seed << "; " << c.date;
         return one(label, text.str());
     },
     [](const run_context& c, const char* label) {
         return c.runs > 0 ? one(label, std::to_string(c.runs) + " after " + std::to_string(c.warmup) +
                                            " warm-up, seed " + std::to_string(c.seed))
                           : lines{};
     }},
    {"warning", nullptr,
     [](const run_context& c, const char* label) {
         lines out;
         for (const auto& warning : c.warnings) out.push_back({label, warning});
         if (c.warnings.empty()) out.push_back({"warnings", "none"});
         return out;
     }},
};

}  // namespace

std::string shape_text(const topology& machine) {
    const std::string threading = machine.pus % machine.cores == 0
                                      ? std::to_string(machine.pus / machine.cores) + " PU" +
                                            (machine.pus == machine.cores ? "" : "s") + "/core"
                                      : counted(machine.pus, "PU");
    return counted(machine.packages, "package") + ", " + counted(machine.cores, "core") + ", " + threading +
           ", " + counted(machine.numa_nodes, "NUMA node");
}

std::string caches_text(const topology& machine) {
    std::string text;
    for (const auto& cache : machine.caches)
        text += (text.empty() ? "L" : " L") + std::to_string(cache.level) +
                (cache.kind == "data"          ? "d"
                 : cache.kind == "instruction" ? "i"
                                               : "") +
                " " + size_text(cache.bytes);
    return text;
}

// "host vm · Linux 6.1.0 · AuthenticAMD family 26 model 2 stepping 1, microcode 0xb002 · 1 package, 2 cores,
// 1 PU/core, 1 NUMA node · L1d 48K L2 1M L3 32M · hypervisor KVM · 1500-3700 MHz, boost on"
std::string machine_text(const machine_identity& m) {
    const std::string clock = m.min_mhz == "unknown" && m.max_mhz == "unknown" ? "clock unknown"
                              : m.min_mhz == m.max_mhz                         ? m.max_mhz + " MHz"
                                                       : m.min_mhz + "-" + m.max_mhz + " MHz";
    std::string text = "host " + m.hostname + " · " + m.os + " " + m.kernel + " · " + m.cpu_vendor +
                       " family " + m.cpu_family + " model " + m.cpu_model + " stepping " + m.cpu_stepping +
                       ", microcode " + m.microcode + " · ";
    if (m.shape) {
        text += shape_text(*m.shape);
        if (!m.shape->caches.empty()) text += " · " + caches_text(*m.shape);
    } else {
        text += m.topology_note;
    }
    return text + " · hypervisor " + m.hypervisor + " · " + clock + ", boost " + m.boost;
}

std::string build_text(const program_build& build) {
    if (!build.unknown.empty()) return "build unknown (" + build.unknown + ")";
    return (build.build_type.empty() ? "no build type" : build.build_type) + ", " + build.compiler +
           ", commit " + build.commit + ", flags " + build.flags + ", kernel paths " + build.kernel_paths;
}

std::string plan_text(const std::map<std::string, order_plan>& plans) {
    std::string text;
    for (const auto& [order, shown] : {std::pair{"strict", "strict"}, std::pair{"four_lane", "four-lane"}})
        if (const auto plan = plans.find(order); plan != plans.end())
            text += (text.empty() ? "" : ", ") + std::string(shown) + " " + plan->second.chosen;
    return text;
}

std::vector<context_line> context_lines(const run_context& context, context_view view) {
    lines out;
    for (const context_entry& entry : context_table) {
        const lines_of in_view = view == context_view::terminal ? entry.terminal : entry.report;
        if (!in_view) continue;
        const lines shown = in_view(context, entry.label);
        out.insert(out.end(), shown.begin(), shown.end());
    }
    return out;
}

std::string context_text(const run_context& context) {
    std::string text;
    for (const auto& [label, value] : context_lines(context, context_view::terminal))
        text += printable(label) + ": " + printable(value) + "\n";
    return text;
}

}  // namespace corvane::bench
