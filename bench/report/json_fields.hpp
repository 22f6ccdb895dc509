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

#include "bench/model/model.hpp"

namespace corvane::bench {

// The schema version of a results file and of compare's document. The rule for changing it: a new
// optional field keeps the version (readers ignore fields they do not know,
// and a file without the field reads as it did before); a field whose
// meaning changes, or a new field a reader cannot do without, raises it.
// Version 1 lacks the machine and the binding; 2 added them; 3 is 2 with
// the fields added since without a raise (program_builds, each run's CPU
// time and switches, the contention, the speedup intervals, kernels). 4
// changes meanings: compare's p-values are one-sided (`p` and `p_holm`
// became `p_slower`, `p_slower_holm`, `p_faster`, `p_faster_holm`, and
// `gate` replaced `any_slower` and `too_few_runs`), and the intervals of a
// speedup and of compare's ratio allow one tick of the programs' clock.
// Added since without a raise: the Slurm allocation and steps, what a
// cell's contention was judged by, and each cell's warm-up runs.
// Every version from oldest_schema_version on is still read.
inline constexpr int schema_version = 4;
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

// Hands each name and member that follow to `field`, all under one rule.
template <class Field>
void each(Field&&, field_rule) {}
template <class Field, class Member, class... Rest>
void each(Field&& field, field_rule rule, const char* name, Member& member, Rest&&... rest) {
    field(name, member, rule);
    each(field, rule, std::forward<Rest>(rest)...);
}

// Each program's build by its record's own keys (the record in the
// executable names them alike), or only why it is unknown.
template <class Build, class Field>
void build_fields(Build& b, Field&& field) {
    each(field, field_rule::optional, "unknown", b.unknown, "program", b.program, "version", b.version,
         "commit", b.commit, "compiler", b.compiler, "flags", b.flags, "build_type", b.build_type,
         "kernel_paths", b.kernel_paths, "openmp_runtime", b.openmp_runtime, "mpi_library", b.mpi_library);
}

template <class Cache, class Field>
void cache_fields(Cache& c, Field&& field) {
    each(field, field_rule::optional, "level", c.level, "kind", c.kind, "bytes", c.bytes, "instances",
         c.instances);
}

template <class Topology, class Field>
void topology_fields(Topology& t, Field&& field) {
    each(field, field_rule::optional, "packages", t.packages, "cores", t.cores, "pus", t.pus, "numa_nodes",
         t.numa_nodes, "allowed_cores", t.allowed_cores, "caches", t.caches);
}

template <class Machine, class Field>
void identity_fields(Machine& m, Field&& field) {
    each(field, field_rule::optional, "hostname", m.hostname, "os", m.os, "kernel", m.kernel, "distribution",
         m.distribution, "cpu_vendor", m.cpu_vendor, "cpu_family", m.cpu_family, "cpu_model", m.cpu_model,
         "cpu_stepping", m.cpu_stepping, "microcode", m.microcode, "hypervisor", m.hypervisor, "min_mhz",
         m.min_mhz, "max_mhz", m.max_mhz, "boost", m.boost, "topology_note", m.topology_note, "topology",
         m.shape);
}

template <class Plan, class Field>
void plan_fields(Plan& p, Field&& field) {
    each(field, field_rule::optional, "chosen", p.chosen, "ns_per_term", p.ns_per_term);
}

template <class Mpi, class Field>
void mpi_fields(Mpi& m, Field&& field) {
    each(field, field_rule::optional, "launcher", m.launcher, "implementation", m.implementation,
         "launcher_version", m.launcher_version, "library", m.library, "launcher_env", m.launcher_env,
         "hostfile", m.hostfile);
}

template <class Step, class Field>
void slurm_step_fields(Step& s, Field&& field) {
    each(field, field_rule::optional, "cell", s.cell, "ids", s.ids, "nodes", s.nodes, "tasks_per_node",
         s.tasks_per_node, "cpus_per_task", s.cpus_per_task, "cpu_bind", s.cpu_bind);
}

template <class Slurm, class Field>
void slurm_fields(Slurm& s, Field&& field) {
    each(field, field_rule::optional, "job_id", s.job_id, "cluster", s.cluster, "partition", s.partition,
         "node_list", s.node_list, "tasks_per_node", s.tasks_per_node, "cpus", s.cpus, "plugin", s.plugin,
         "placement", s.placement, "steps", s.steps);
}

template <class Context, class Field>
void context_fields(Context& c, Field&& field) {
    each(field, field_rule::optional, "processor", c.processor, "logical_cores", c.logical_cores,
         "usable_cpus", c.usable_cpus, "compiler", c.compiler, "flags", c.flags, "build_type", c.build_type,
         "openmp_runtime", c.openmp_runtime, "omp_variables", c.omp_variables, "env", c.env);
    each(field, field_rule::from_one, "threads", c.threads);
    each(field, field_rule::optional, "runs", c.runs, "warmup", c.warmup, "timeout_s", c.timeout_s,
         "kernel_plan", c.kernel_plan, "warnings", c.warnings, "version", c.version, "commit", c.commit,
         "date", c.date, "machine", c.machine, "binding", c.binding, "program_builds", c.program_builds);
    each(field, field_rule::if_present, "mpi", c.mpi, "slurm", c.slurm);
}

// A run. reported_s is null for an invalid run and reason null for a valid
// one; the reader holds a valid run to a time above zero.
template <class Sample, class Field>
void sample_fields(Sample& s, Field&& field) {
    each(field, field_rule::required, "valid", s.valid);
    each(field, field_rule::reported, "reported_s", s.reported_s);
    each(field, field_rule::optional, "wall_s", s.wall_s);
    each(field, field_rule::or_null, "reason", s.reason);
    each(field, field_rule::time, "user_s", s.user_s, "system_s", s.system_s);
    each(field, field_rule::optional, "involuntary_switches", s.involuntary_switches);
}

// A cell as measured. Its statistics are written beside it for other tools
// (json.cpp) and computed again from the samples when read.
template <class Cell, class Field>
void cell_fields(Cell& c, Field&& field) {
    each(field, field_rule::required, "program", c.program, "threads", c.threads);
    each(field, field_rule::from_one, "ranks", c.ranks);
    each(field, field_rule::required, "samples", c.samples);
    each(field, field_rule::optional, "warmups", c.warmups);
}

template <class Kernel, class Field>
void kernel_fields(Kernel& k, Field&& field) {
    each(field, field_rule::required, "name", k.name, "threads", k.threads);
    each(field, field_rule::required_above_zero, "ns_per_term", k.ns_per_term);
    each(field, field_rule::above_zero, "vs_floor", k.vs_floor);
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
