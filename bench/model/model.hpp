// The results of a suite: one typed record that the suite fills, and every
// reporter and compare read. It holds data only: what the harness measured
// and found out, and the judgements it made (contention, marks), each once;
// the reporters render it and decide nothing. Its names in JSON are in
// report/json_fields.hpp.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench/base/stats.hpp"
#include "bench/base/tick.hpp"

namespace corvane::bench {

using environment = std::vector<std::pair<std::string, std::string>>;

struct program_info {
    const char* name;
    bool parallel;             // takes its team size from OMP_NUM_THREADS
    const char* baseline;      // the serial program of the same order, or nullptr
    bool distributed = false;  // started by mpiexec, one cell per --ranks entry
};

const std::vector<program_info>& known_programs();
const program_info* find_program(const std::string& name);

// One run of a program. An invalid run keeps its reason and no time.
struct sample {
    double reported_s = 0;  // what the program printed
    double wall_s = 0;      // how long the process lived, by our clock
    bool valid = false;
    std::string reason;
    // The process's CPU time and preemptions, where the system counted
    // them: unknown in older result files and where switches are not counted.
    std::optional<double> user_s = std::nullopt, system_s = std::nullopt;
    std::optional<long> involuntary_switches = std::nullopt;
};

// How much a mark matters to a reader; each format shows the levels its own way.
enum class severity {
    note,     // worth knowing: outliers
    warning,  // the figures are doubtful: unstable, contended
    fault,    // runs failed: invalid runs, no valid run
};

// What a reader must see beside a cell's figures: "2 invalid", "unstable".
struct cell_mark {
    severity level;
    std::string text;
};

struct cell_statistics {
    summary reported, wall;  // over valid samples only; wall is the harness's own clock
    int valid_runs = 0, invalid_runs = 0;
    int invalid_warmups = 0;  // a program that fails its first, cold start is broken too
    // The reported times' spread read through the programs' clock tick:
    // within one tick it is the clock's, and its share an upper bound.
    tick_spread spread;
    bool unstable = false;  // a spread beyond the tick, above unstable_mad of the median
    // The median is under fewest_ticks ticks of the programs' clock: its
    // time, spread and speedup are good to about one tick, and the wall
    // time (start-up and exit included) is shown beside it.
    bool few_ticks = false;
    scaling scaled;  // against the serial program of the same order
    // Over the valid runs that carry CPU time (contention.hpp): CPU time /
    // wall time, and involuntary context switches per second of CPU time.
    std::optional<double> parallelism, preemptions_per_cpu_s;
    // The threads did not get their processors: the scaling is doubtful.
    bool contended = false;
    std::string contention;  // why, when contended
    // The serial program this cell's speedup is taken against was contended.
    bool baseline_contended = false;
    // Its speedup, efficiency and serial fraction are doubtful: it or its
    // baseline was contended.
    bool doubtful_scaling = false;
    // What the contention was judged by: "CPU time and switches", "switches
    // alone" or "nothing" where no valid run's CPU time is known (ranks that
    // a scheduler's launcher started are not the harness's children).
    std::string contention_basis;
    std::vector<cell_mark> marks;
};

// A cell holds at most this many runs: enough for any study, and few
// enough that compare's exact tests stay within seconds and megabytes.
inline constexpr std::size_t max_samples_per_cell = 1000;

// A program on one team size (and, for corvane-mpi, one number of ranks).
struct cell {
    std::string program;
    std::optional<int> ranks;    // MPI processes, for corvane-mpi only
    std::optional<int> threads;  // none for the serial programs
    std::vector<sample> samples;
    cell_statistics statistics;  // filled by evaluate()
    // The warm-up runs before the counted ones: judged like them, never in
    // the statistics.
    std::vector<sample> warmups = {};
};

// A cell's one name, in tables, reasons and compare:
// "corvane-omp threads 2", "corvane-mpi ranks 2 threads 1".
std::string cell_label(const cell& c);

// How many threads the cell runs in all: ranks times threads.
std::optional<int> workers(const cell& c);

// The times a cell's statistics are taken over: its valid samples.
std::vector<double> valid_times(const cell& c);

// The kernel one summation order chose, and what every candidate measured.
struct order_plan {
    std::string chosen;
    std::vector<std::pair<std::string, double>> ns_per_term;  // kernel name, simplest first
};

struct mpi_context {
    std::string launcher, implementation, launcher_version, library;
    environment launcher_env;
    std::optional<std::string> hostfile;
};

// The steps of one corvane-mpi cell under Slurm, as srun reported them.
struct slurm_step {
    std::string cell;              // its label
    std::vector<std::string> ids;  // "7.3", one per run, warm-ups too
    std::string nodes;             // "node1,node2"
    std::string tasks_per_node;    // "1,1": tasks on each of those nodes
    int cpus_per_task = 0;
    std::string cpu_bind;  // the masks srun applied, or why none
};

// The Slurm allocation corvane-mpi ran in, and the steps it ran as.
struct slurm_context {
    std::string job_id, cluster, partition, node_list;
    std::string tasks_per_node;  // the allocation's, as Slurm writes it: "2", "1(x2)"
    int cpus = 0;                // every CPU the allocation holds
    std::string plugin;          // srun --mpi
    std::string placement;       // srun's options for --bind
    std::vector<slurm_step> steps;
};

// One line of the context as shown: a label and its value.
struct context_line {
    std::string label, value;
};

// One kind of cache: "L1d 48K" is level 1, data, 48 KiB in each of its instances.
struct cache_info {
    int level = 0;
    std::string kind;  // "data", "instruction" or "unified"
    std::uint64_t bytes = 0;
    int instances = 0;
};

// The shape of a machine as hwloc sees it (or a simulated one in tests).
struct topology {
    int packages = 0, cores = 0, pus = 0, numa_nodes = 0;
    // Cores with a processing unit this process may run on: fewer than
    // `cores` under an affinity mask.
    int allowed_cores = 0;
    std::vector<cache_info> caches;  // by level, data before instruction
};

// Who the machine is. A field the system does not expose is "unknown";
// read from a file that does not carry it, it stays empty.
struct machine_identity {
    std::string hostname, os, kernel, distribution;
    std::string cpu_vendor, cpu_family, cpu_model, cpu_stepping, microcode;
    std::string hypervisor;         // "none" on bare metal
    std::string min_mhz, max_mhz;   // the frequency range cpufreq allows
    std::string boost;              // "on", "off" or "unknown"
    std::optional<topology> shape;  // none when it could not be learned
    std::string topology_note;      // why not, when it could not
};

// A program's own build, as the record inside its executable says. A
// program without a readable record has only `unknown`: why.
struct program_build {
    std::string program, version, commit, compiler, flags, build_type, kernel_paths, openmp_runtime,
        mpi_library;
    std::string unknown;
};

// What the results were measured with and on. Fields a result file does
// not carry stay empty (or 0) and are not compared.
struct run_context {
    std::string processor;
    int logical_cores = 0, usable_cpus = 0;
    // corvane-bench's own build; the programs' are in program_builds.
    std::string compiler, flags, build_type, openmp_runtime;
    std::map<std::string, std::string> omp_variables;  // OMP_* besides OMP_NUM_THREADS
    std::map<std::string, std::string> env;            // --env
    std::vector<int> threads;
    int runs = 0, warmup = 0;
    double timeout_s = 0;
    std::map<std::string, order_plan> kernel_plan;  // by order: "strict", "four_lane"
    std::vector<std::string> warnings;
    std::string version, commit, date;
    std::optional<mpi_context> mpi;
    std::uint64_t seed = 0;
    machine_identity machine;
    std::string binding;                                  // --bind: "none", "close" or "spread"
    std::map<std::string, program_build> program_builds;  // by program, as read from its file
    std::optional<slurm_context> slurm;                   // where srun launched corvane-mpi
    // The launcher's record above as lines, made from it in launch/
    // (launch.hpp) for the reporters, which show them as they are: its
    // setting, with the rest of the context, and its steps, after the runs
    // and in the report. Not in the results file: made again when one is read.
    std::vector<context_line> launcher_setting, launcher_steps;
};

// One kernel of corvane-kernels as measured on the machine of the results:
// "four_lane/avx512/newton" on 1 thread at 0.354 ns/term, 1.11 x its floor.
struct kernel_figure {
    std::string name;
    int threads = 1;
    double ns_per_term = 0;
    std::optional<double> vs_floor;  // none for the floors themselves
};

struct suite_result {
    run_context context;
    std::vector<cell> cells;
    std::vector<kernel_figure> kernels;  // empty unless corvane-kernels was run
};

}  // namespace corvane::bench
