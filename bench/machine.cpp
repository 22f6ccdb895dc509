#include "bench/machine.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "bench/error.hpp"
#include "bench/suite.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>

#include <cstring>
#endif

#ifdef CORVANE_HAVE_HWLOC
#include <hwloc.h>
#endif

namespace corvane::bench {

namespace {

const std::string unknown = "unknown";

std::string first_line_of(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\"");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\"") - first + 1);
}

// The first processor's "key: value" fields of /proc/cpuinfo.
std::string cpuinfo_field(const std::string& key) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line) && !line.empty();) {
        const auto colon = line.find(':');
        if (colon != std::string::npos && trimmed(line.substr(0, colon)) == key)
            return printable(trimmed(line.substr(colon + 1)));
    }
    return unknown;
}

std::string os_release_name() {
    std::ifstream release("/etc/os-release");
    for (std::string line; std::getline(release, line);)
        if (line.rfind("PRETTY_NAME=", 0) == 0) return printable(trimmed(line.substr(12)));
    return unknown;
}

// The vendor a hypervisor gives in CPUID leaf 0x40000000, by its usual name.
[[maybe_unused]] std::string hypervisor_named(const std::string& vendor) {
    static const std::pair<const char*, const char*> names[] = {
        {"KVMKVMKVM", "KVM"},           {"Microsoft Hv", "Hyper-V"},  {"VMwareVMware", "VMware"},
        {"XenVMMXenVMM", "Xen"},        {"TCGTCGTCGTCG", "QEMU TCG"}, {"bhyve bhyve", "bhyve"},
        {"VBoxVBoxVBox", "VirtualBox"}, {"ACRNACRNACRN", "ACRN"},     {"lrpepyh  vr", "Parallels"}};
    const std::string vendor_text = trimmed(std::string(vendor.c_str()));
    for (const auto& [id, name] : names)
        if (vendor_text == id) return name;
    return vendor_text.empty() ? unknown : printable(vendor_text);
}

std::string hypervisor() {
#if defined(__x86_64__) || defined(__i386__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    // CPUID.1:ECX bit 31 is reserved for a hypervisor to say it is there.
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return unknown;
    if (!(ecx & (1u << 31))) return "none";
    __cpuid(0x40000000, eax, ebx, ecx, edx);
    char vendor[13] = {};
    std::memcpy(vendor, &ebx, 4);
    std::memcpy(vendor + 4, &ecx, 4);
    std::memcpy(vendor + 8, &edx, 4);
    const std::string named = hypervisor_named(vendor);
    if (named != unknown) return named;
#endif
    const std::string type = trimmed(first_line_of("/sys/hypervisor/type"));
    return type.empty() ? unknown : printable(type);
}

// cpufreq's range in kHz, as whole MHz.
std::string mhz_from(const std::string& path) {
    const std::string khz = trimmed(first_line_of(path));
    if (khz.empty() || khz.size() > 12 ||
        !std::all_of(khz.begin(), khz.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return unknown;
    return std::to_string(std::stoll(khz) / 1000);
}

std::string boost_state() {
    const std::string boost = trimmed(first_line_of("/sys/devices/system/cpu/cpufreq/boost"));
    if (boost == "1" || boost == "0") return boost == "1" ? "on" : "off";
    const std::string no_turbo = trimmed(first_line_of("/sys/devices/system/cpu/intel_pstate/no_turbo"));
    if (no_turbo == "1" || no_turbo == "0") return no_turbo == "1" ? "off" : "on";
    return unknown;
}

#ifdef CORVANE_HAVE_HWLOC
// The shape of a loaded topology; `allowed` (may be null) is the set of
// processing units this process may run on.
std::optional<topology> shape_of(hwloc_topology_t loaded, hwloc_const_cpuset_t allowed) {
    topology shape;
    const auto count = [loaded](hwloc_obj_type_t type) {
        return std::max(0, hwloc_get_nbobjs_by_type(loaded, type));
    };
    shape.packages = count(HWLOC_OBJ_PACKAGE);
    shape.cores = count(HWLOC_OBJ_CORE);
    shape.pus = count(HWLOC_OBJ_PU);
    shape.numa_nodes = count(HWLOC_OBJ_NUMANODE);
    if (shape.cores == 0 || shape.pus == 0) return std::nullopt;
    for (int i = 0; i < shape.cores; ++i) {
        const hwloc_obj_t core = hwloc_get_obj_by_type(loaded, HWLOC_OBJ_CORE, static_cast<unsigned>(i));
        if (!allowed || hwloc_bitmap_intersects(core->cpuset, allowed)) ++shape.allowed_cores;
    }
    for (hwloc_obj_type_t type :
         {HWLOC_OBJ_L1CACHE, HWLOC_OBJ_L1ICACHE, HWLOC_OBJ_L2CACHE, HWLOC_OBJ_L2ICACHE, HWLOC_OBJ_L3CACHE,
          HWLOC_OBJ_L3ICACHE, HWLOC_OBJ_L4CACHE, HWLOC_OBJ_L5CACHE}) {
        const hwloc_obj_t first = hwloc_get_obj_by_type(loaded, type, 0);
        if (!first) continue;
        cache_info cache;
        cache.level = static_cast<int>(first->attr->cache.depth);
        cache.kind = first->attr->cache.type == HWLOC_OBJ_CACHE_DATA          ? "data"
                     : first->attr->cache.type == HWLOC_OBJ_CACHE_INSTRUCTION ? "instruction"
                                                                              : "unified";
        cache.bytes = first->attr->cache.size;
        cache.instances = count(type);
        shape.caches.push_back(cache);
    }
    return shape;
}

// Loads a topology, this machine's or a synthetic one, and reads its shape.
std::optional<topology> load_topology(const char* synthetic, std::string& why_not) {
    hwloc_topology_t loaded;
    if (hwloc_topology_init(&loaded) != 0) {
        why_not = "hwloc could not start";
        return std::nullopt;
    }
    hwloc_topology_set_icache_types_filter(loaded, HWLOC_TYPE_FILTER_KEEP_ALL);  // hwloc leaves them out
    // The whole machine, also what a cgroup's cpuset keeps from us; the
    // affinity mask below says what this process may use.
    if (!synthetic) hwloc_topology_set_flags(loaded, HWLOC_TOPOLOGY_FLAG_INCLUDE_DISALLOWED);
    if (synthetic && hwloc_topology_set_synthetic(loaded, synthetic) != 0) {
        hwloc_topology_destroy(loaded);
        throw bench_error(std::string("hwloc refuses the synthetic topology '") + synthetic + "'");
    }
    std::optional<topology> shape;
    if (hwloc_topology_load(loaded) != 0) {
        why_not = "hwloc could not read it";
    } else {
        hwloc_cpuset_t bound = synthetic ? nullptr : hwloc_bitmap_alloc();
        if (bound && hwloc_get_cpubind(loaded, bound, HWLOC_CPUBIND_PROCESS) != 0) {
            hwloc_bitmap_free(bound);
            bound = nullptr;
        }
        shape = shape_of(loaded, bound);
        if (bound) hwloc_bitmap_free(bound);
        if (!shape) why_not = "hwloc found no cores";
    }
    hwloc_topology_destroy(loaded);
    return shape;
}
#endif

}  // namespace

binding binding_named(const std::string& name) {
    for (binding bind : {binding::none, binding::close, binding::spread})
        if (name == binding_name(bind)) return bind;
    throw bench_error("--bind: '" + name + "' is not none, close or spread");
}

const char* binding_name(binding bind) {
    switch (bind) {
        case binding::close:
            return "close";
        case binding::spread:
            return "spread";
        default:
            return "none";
    }
}

std::optional<topology> machine_topology(std::string& why_not) {
#ifdef CORVANE_HAVE_HWLOC
    return load_topology(nullptr, why_not);
#else
    why_not = "built without hwloc";
    return std::nullopt;
#endif
}

std::optional<topology> synthetic_topology(const std::string& description) {
#ifdef CORVANE_HAVE_HWLOC
    std::string why_not;
    auto shape = load_topology(description.c_str(), why_not);
    if (!shape) throw bench_error("synthetic topology '" + description + "': " + why_not);
    return shape;
#else
    (void)description;
    return std::nullopt;
#endif
}

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

machine_identity identify_machine() {
    machine_identity machine;
    char host[256] = {};
    machine.hostname = gethostname(host, sizeof host - 1) == 0 ? printable(host) : unknown;
    utsname system{};
    const bool named = uname(&system) == 0;
    machine.os = named ? printable(system.sysname) : unknown;
    machine.kernel = named ? printable(system.release) : unknown;
    machine.distribution = os_release_name();
    machine.cpu_vendor = cpuinfo_field("vendor_id");
    machine.cpu_family = cpuinfo_field("cpu family");
    machine.cpu_model = cpuinfo_field("model");
    machine.cpu_stepping = cpuinfo_field("stepping");
    machine.microcode = cpuinfo_field("microcode");
    machine.hypervisor = hypervisor();
    const std::string cpufreq = "/sys/devices/system/cpu/cpu0/cpufreq/";
    machine.min_mhz = mhz_from(cpufreq + "cpuinfo_min_freq");
    machine.max_mhz = mhz_from(cpufreq + "cpuinfo_max_freq");
    machine.boost = boost_state();
    std::string why_not;
    machine.shape = machine_topology(why_not);
    if (!machine.shape) machine.topology_note = "topology unknown: " + why_not;
    return machine;
}

namespace {

int usable_cores(const topology& machine, int usable_cpus) {
    return std::max(1,
                    std::min(machine.allowed_cores > 0 ? machine.allowed_cores : machine.cores, usable_cpus));
}

int usable_pus(const topology& machine, int usable_cpus) {
    return std::max(1, std::min(machine.pus, usable_cpus));
}

}  // namespace

std::vector<int> scan_threads(const topology& machine, int usable_cpus) {
    const int cores = usable_cores(machine, usable_cpus);
    std::vector<int> threads = default_threads(cores);
    if (machine.pus > machine.cores && usable_pus(machine, usable_cpus) > cores)
        threads.push_back(usable_pus(machine, usable_cpus));
    return threads;
}

std::vector<int> thread_list(const std::string& list, const std::optional<topology>& machine,
                             int usable_cpus) {
    std::string numbers;
    for (std::size_t start = 0;;) {
        const std::size_t end = list.find(',', start);
        std::string item = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (item == "cores" && !machine)
            throw bench_error(
                "--threads: 'cores' needs the machine's topology, which is unknown here (hwloc, Debian "
                "libhwloc-dev); give a number");
        if (item == "cores") item = std::to_string(usable_cores(*machine, usable_cpus));
        if (item == "pus") item = std::to_string(machine ? usable_pus(*machine, usable_cpus) : usable_cpus);
        numbers += item;
        if (end == std::string::npos) break;
        numbers += ',';
        start = end + 1;
    }
    return parse_counts(numbers, "--threads");
}

environment placement_environment(binding bind, const std::optional<topology>& machine, int threads) {
    if (bind == binding::none) return {};
    // One core per thread keeps a team off a core's second PU until it has
    // more threads than cores; only then do the PUs themselves become places.
    const bool beyond_cores =
        machine && machine->pus > machine->cores && threads > usable_cores(*machine, machine->pus);
    return {{"OMP_PLACES", beyond_cores ? "threads" : "cores"}, {"OMP_PROC_BIND", binding_name(bind)}};
}

std::vector<std::string> launcher_binding(const std::string& implementation, binding bind, int threads) {
    const std::string per_rank = std::to_string(threads);
    if (implementation == "Open MPI") {
        if (bind == binding::none) return {"--bind-to", "none"};
        // Each rank gets as many cores as it has threads, next to each other
        // or spread over the NUMA nodes; binding to one core would put all
        // of a rank's threads on it.
        return {"--map-by", (bind == binding::close ? "slot:PE=" : "numa:PE=") + per_rank, "--bind-to",
                "core"};
    }
    if (implementation == "MPICH") {
        if (bind == binding::none) return {"-bind-to", "none"};
        return {"-bind-to", "core:" + per_rank, "-map-by",
                bind == binding::close ? "core:" + per_rank : "numa"};
    }
    if (bind == binding::none) return {};
    throw bench_error(std::string("--bind ") + binding_name(bind) +
                      ": the launcher is neither Open MPI's nor MPICH's, whose binding options corvane-bench "
                      "knows; use --bind none or name one of those with --mpiexec");
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

}  // namespace corvane::bench
