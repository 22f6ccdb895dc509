#include "bench/machine/machine.hpp"

#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench/base/error.hpp"
#include "bench/base/text.hpp"

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

// CPUs a cgroup quota allows ("max" or "QUOTA PERIOD" in cpu.max), or 0.
int quota_cpus(long quota, long period) {
    if (quota <= 0 || period <= 0) return 0;
    return static_cast<int>(std::ceil(static_cast<double>(quota) / static_cast<double>(period)));
}

std::string text_of_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// "/a/b" -> "/a" -> "": a group's parent, up to the root.
std::string parent_of(const std::string& dir) {
    const auto slash = dir.find_last_of('/');
    return slash == std::string::npos ? "" : dir.substr(0, slash);
}

bool lists(const std::string& comma_separated, const std::string& item) {
    std::stringstream items(comma_separated);
    for (std::string each; std::getline(items, each, ',');)
        if (each == item) return true;
    return false;
}

}  // namespace

int cgroup_cpu_limit(const std::string& cgroup, const std::string& mountinfo, const std::string& root) {
    int limit = 0;
    const auto take = [&limit](int cpus) {
        if (cpus > 0) limit = limit == 0 ? cpus : std::min(limit, cpus);
    };
    // Where cgroup v1's cpu controller is mounted, and which group is the
    // mount's root (in a container, its own group).
    std::string v1_mount, v1_mount_root;
    std::istringstream mounts(mountinfo);
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, mount_root, mount_point, word;
        fields >> id >> parent >> device >> mount_root >> mount_point;
        while (fields >> word && word != "-") {}
        std::string type, source, options;
        if (fields >> type >> source >> options && type == "cgroup" && lists(options, "cpu") &&
            v1_mount.empty())
            v1_mount = mount_point, v1_mount_root = mount_root;
    }
    std::istringstream groups(cgroup);
    for (std::string line; std::getline(groups, line);) {
        // "ID:CONTROLLERS:PATH"; cgroup v2 has ID 0 and no controllers.
        const auto first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string group = line.substr(second + 1);
        if (line.rfind("0::", 0) == 0) {
            // cgroup v2: this process's group and every group above it.
            for (std::string dir = group;; dir = parent_of(dir)) {
                std::istringstream max(first_line_of(root + "/sys/fs/cgroup" + dir + "/cpu.max"));
                std::string quota;
                long period = 0;
                if (max >> quota >> period && quota != "max")
                    take(quota_cpus(std::atol(quota.c_str()), period));
                if (dir.empty() || dir == "/") break;
            }
        } else if (lists(controllers, "cpu") && !v1_mount.empty()) {
            // cgroup v1: the quota of this process's own group and of those
            // above it, up to the mount's root, not the hierarchy's root alone.
            std::string below = group;
            if (v1_mount_root != "/") {
                if (group.compare(0, v1_mount_root.size(), v1_mount_root) != 0) continue;
                below = group.substr(v1_mount_root.size());
                if (!below.empty() && below[0] != '/') continue;  // a sibling whose name begins alike
            }
            for (std::string dir = below == "/" ? "" : below;; dir = parent_of(dir)) {
                const std::string at = root + v1_mount + dir + "/";
                take(quota_cpus(std::atol(first_line_of(at + "cpu.cfs_quota_us").c_str()),
                                std::atol(first_line_of(at + "cpu.cfs_period_us").c_str())));
                if (dir.empty()) break;
            }
        }
    }
    return limit;
}

namespace {

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

int usable_cpus() {
    int cpus = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof mask, &mask) == 0) cpus = std::max(1, CPU_COUNT(&mask));
    const int quota =
        cgroup_cpu_limit(text_of_file("/proc/self/cgroup"), text_of_file("/proc/self/mountinfo"));
    return quota > 0 ? std::min(cpus, quota) : cpus;
}

machine_facts gather_machine() {
    machine_facts facts;
    facts.identity = identify_machine();
    facts.processor = cpuinfo_field("model name");
    facts.logical_cores = static_cast<int>(std::thread::hardware_concurrency());
    facts.usable_cpus = usable_cpus();
    for (int cpu = 0; cpu < facts.logical_cores; ++cpu) {
        const std::string governor =
            first_line_of("/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/cpufreq/scaling_governor");
        if (!governor.empty() && governor != "performance") facts.governors.insert(printable(governor));
    }
    return facts;
}

}  // namespace corvane::bench
