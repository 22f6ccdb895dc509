// The results file's names for the model: one field table per record, each
// a function that hands every field to `field(name, member, rule)`. The
// writer (json.cpp) and the reader (bench/result_file.cpp) both walk these
// tables, so every name is spelled once and the two cannot disagree.
#pragma once

#include <map>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "bench/model.hpp"

namespace corvane::bench {

// The schema version of a results file. The rule for changing it: a new
// optional field keeps the version (readers ignore fields they do not know,
// and a file without the field reads as it did before); a field whose
// meaning changes, or a new field a reader cannot do without, raises it.
// Version 1 lacks the machine and the binding; 2 added them; 3 is 2 with
// the fields added since without a raise (program_builds, each run's CPU
// time and switches, the contention, the speedup intervals, kernels, the
// Slurm allocation and steps).
// Every version from oldest_schema_version on is still read.
inline constexpr int schema_version = 3;
inline constexpr int oldest_schema_version = 1;

// How the reader checks a field; the writer writes every field as it is.
enum class field_rule {
    optional,             // absent keeps the default; a value of the wrong type is refused
    or_null,              // the same, and null reads as the default
    required,             // absent is refused too
    from_one,             // a whole number from 1 (null for an optional member)
    above_zero,           // a number above zero (null for an optional member)
    required_above_zero,  // the same, and absent is refused
    reported,             // a time or null, never absent: what a run reported
    time,                 // a time from 0, or null where not measured
    if_present,           // the writer leaves it out where there is none
};

template <class Build, class Field>
void build_fields(Build& b, Field&& field) {
    // Each program's build by its record's own keys (the record in the
    // executable names them alike), or only why it is unknown.
    field("unknown", b.unknown, field_rule::optional);
    field("program", b.program, field_rule::optional);
    field("version", b.version, field_rule::optional);
    field("commit", b.commit, field_rule::optional);
    field("compiler", b.compiler, field_rule::optional);
    field("flags", b.flags, field_rule::optional);
    field("build_type", b.build_type, field_rule::optional);
    field("kernel_paths", b.kernel_paths, field_rule::optional);
    field("openmp_runtime", b.openmp_runtime, field_rule::optional);
    field("mpi_library", b.mpi_library, field_rule::optional);
}

template <class Cache, class Field>
void cache_fields(Cache& c, Field&& field) {
    field("level", c.level, field_rule::optional);
    field("kind", c.kind, field_rule::optional);
    field("bytes", c.bytes, field_rule::optional);
    field("instances", c.instances, field_rule::optional);
}

template <class Topology, class Field>
void topology_fields(Topology& t, Field&& field) {
    field("packages", t.packages, field_rule::optional);
    field("cores", t.cores, field_rule::optional);
    field("pus", t.pus, field_rule::optional);
    field("numa_nodes", t.numa_nodes, field_rule::optional);
    field("allowed_cores", t.allowed_cores, field_rule::optional);
    field("caches", t.caches, field_rule::optional);
}

template <class Machine, class Field>
void identity_fields(Machine& m, Field&& field) {
    field("hostname", m.hostname, field_rule::optional);
    field("os", m.os, field_rule::optional);
    field("kernel", m.kernel, field_rule::optional);
    field("distribution", m.distribution, field_rule::optional);
    field("cpu_vendor", m.cpu_vendor, field_rule::optional);
    field("cpu_family", m.cpu_family, field_rule::optional);
    field("cpu_model", m.cpu_model, field_rule::optional);
    field("cpu_stepping", m.cpu_stepping, field_rule::optional);
    field("microcode", m.microcode, field_rule::optional);
    field("hypervisor", m.hypervisor, field_rule::optional);
    field("min_mhz", m.min_mhz, field_rule::optional);
    field("max_mhz", m.max_mhz, field_rule::optional);
    field("boost", m.boost, field_rule::optional);
    field("topology_note", m.topology_note, field_rule::optional);
    field("topology", m.shape, field_rule::optional);
}

template <class Plan, class Field>
void plan_fields(Plan& p, Field&& field) {
    field("chosen", p.chosen, field_rule::optional);
    field("ns_per_term", p.ns_per_term, field_rule::optional);
}

template <class Mpi, class Field>
void mpi_fields(Mpi& m, Field&& field) {
    field("launcher", m.launcher, field_rule::optional);
    field("implementation", m.implementation, field_rule::optional);
    field("launcher_version", m.launcher_version, field_rule::optional);
    field("library", m.library, field_rule::optional);
    field("launcher_env", m.launcher_env, field_rule::optional);
    field("hostfile", m.hostfile, field_rule::optional);
}

template <class Step, class Field>
void slurm_step_fields(Step& s, Field&& field) {
    field("cell", s.cell, field_rule::optional);
    field("ids", s.ids, field_rule::optional);
    field("nodes", s.nodes, field_rule::optional);
    field("tasks_per_node", s.tasks_per_node, field_rule::optional);
    field("cpus_per_task", s.cpus_per_task, field_rule::optional);
    field("cpu_bind", s.cpu_bind, field_rule::optional);
}

template <class Slurm, class Field>
void slurm_fields(Slurm& s, Field&& field) {
    field("job_id", s.job_id, field_rule::optional);
    field("cluster", s.cluster, field_rule::optional);
    field("partition", s.partition, field_rule::optional);
    field("node_list", s.node_list, field_rule::optional);
    field("tasks_per_node", s.tasks_per_node, field_rule::optional);
    field("cpus", s.cpus, field_rule::optional);
    field("plugin", s.plugin, field_rule::optional);
    field("placement", s.placement, field_rule::optional);
    field("steps", s.steps, field_rule::optional);
}

template <class Context, class Field>
void context_fields(Context& c, Field&& field) {
    field("processor", c.processor, field_rule::optional);
    field("logical_cores", c.logical_cores, field_rule::optional);
    field("usable_cpus", c.usable_cpus, field_rule::optional);
    field("compiler", c.compiler, field_rule::optional);
    field("flags", c.flags, field_rule::optional);
    field("build_type", c.build_type, field_rule::optional);
    field("openmp_runtime", c.openmp_runtime, field_rule::optional);
    field("omp_variables", c.omp_variables, field_rule::optional);
    field("env", c.env, field_rule::optional);
    field("threads", c.threads, field_rule::from_one);
    field("runs", c.runs, field_rule::optional);
    field("warmup", c.warmup, field_rule::optional);
    field("timeout_s", c.timeout_s, field_rule::optional);
    field("kernel_plan", c.kernel_plan, field_rule::optional);
    field("warnings", c.warnings, field_rule::optional);
    field("version", c.version, field_rule::optional);
    field("commit", c.commit, field_rule::optional);
    field("date", c.date, field_rule::optional);
    field("machine", c.machine, field_rule::optional);
    field("binding", c.binding, field_rule::optional);
    field("program_builds", c.program_builds, field_rule::optional);
    field("mpi", c.mpi, field_rule::if_present);
    field("slurm", c.slurm, field_rule::if_present);
}

// A run. reported_s is null for an invalid run and reason null for a valid
// one; the reader holds a valid run to a time above zero.
template <class Sample, class Field>
void sample_fields(Sample& s, Field&& field) {
    field("valid", s.valid, field_rule::required);
    field("reported_s", s.reported_s, field_rule::reported);
    field("wall_s", s.wall_s, field_rule::optional);
    field("reason", s.reason, field_rule::or_null);
    field("user_s", s.user_s, field_rule::time);
    field("system_s", s.system_s, field_rule::time);
    field("involuntary_switches", s.involuntary_switches, field_rule::optional);
}

// A cell as measured. Its statistics are written beside it for other tools
// (json.cpp) and computed again from the samples when read.
template <class Cell, class Field>
void cell_fields(Cell& c, Field&& field) {
    field("program", c.program, field_rule::required);
    field("threads", c.threads, field_rule::required);
    field("ranks", c.ranks, field_rule::from_one);
    field("samples", c.samples, field_rule::required);
}

template <class Kernel, class Field>
void kernel_fields(Kernel& k, Field&& field) {
    field("name", k.name, field_rule::required);
    field("threads", k.threads, field_rule::required);
    field("ns_per_term", k.ns_per_term, field_rule::required_above_zero);
    field("vs_floor", k.vs_floor, field_rule::above_zero);
}

// Every record's table by its type, for walkers that meet records inside records.
template <class Record, class Field>
void fields_of(Record& r, Field&& field) {
    using type = std::remove_const_t<Record>;
    if constexpr (std::is_same_v<type, program_build>) build_fields(r, field);
    if constexpr (std::is_same_v<type, cache_info>) cache_fields(r, field);
    if constexpr (std::is_same_v<type, topology>) topology_fields(r, field);
    if constexpr (std::is_same_v<type, machine_identity>) identity_fields(r, field);
    if constexpr (std::is_same_v<type, order_plan>) plan_fields(r, field);
    if constexpr (std::is_same_v<type, mpi_context>) mpi_fields(r, field);
    if constexpr (std::is_same_v<type, slurm_step>) slurm_step_fields(r, field);
    if constexpr (std::is_same_v<type, slurm_context>) slurm_fields(r, field);
    if constexpr (std::is_same_v<type, run_context>) context_fields(r, field);
    if constexpr (std::is_same_v<type, sample>) sample_fields(r, field);
    if constexpr (std::is_same_v<type, cell>) cell_fields(r, field);
    if constexpr (std::is_same_v<type, kernel_figure>) kernel_fields(r, field);
}

template <class T>
inline constexpr bool is_record =
    std::is_same_v<T, program_build> || std::is_same_v<T, cache_info> || std::is_same_v<T, topology> ||
    std::is_same_v<T, machine_identity> || std::is_same_v<T, order_plan> || std::is_same_v<T, mpi_context> ||
    std::is_same_v<T, slurm_step> || std::is_same_v<T, slurm_context> || std::is_same_v<T, run_context> ||
    std::is_same_v<T, sample> || std::is_same_v<T, cell> || std::is_same_v<T, kernel_figure>;

// The shapes the walkers tell apart.
template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};
template <class T>
struct is_vector : std::false_type {};
template <class T>
struct is_vector<std::vector<T>> : std::true_type {};
template <class T>
struct is_map : std::false_type {};
template <class T>
struct is_map<std::map<std::string, T>> : std::true_type {};
// Name-value pairs in order (an environment, a plan's candidates): a JSON object.
template <class T>
struct is_pairs : std::false_type {};
template <class T>
struct is_pairs<std::vector<std::pair<std::string, T>>> : std::true_type {};

}  // namespace corvane::bench
